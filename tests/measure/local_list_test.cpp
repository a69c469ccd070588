// Clearing the local list and blanking one of its entries.
#include "measure/local_list.h"

#include <gtest/gtest.h>

namespace zeb {
namespace {

TEST(LocalList, ResetClearsEveryEntryToItsEmptyState) {
  LocalList local;
  local.uu_l(1) = 5.0;
  local.u0_l(LDIM) = 3.0f;
  local.gg_l(7) = 1;
  local.z2_lf(9, 2) = 4.0f;
  local.g3_lf(LDIM, 1) = 2;
  local.rmssky_lf(1, 1) = 8.0f;
  local.su0_l(2) = 0.5f;
  reset_local(local);
  for (int l : {1, 2, 7, 9, LDIM}) {
    EXPECT_EQ(local.uu_l(l), 0.0);
    EXPECT_EQ(local.u0_l(l), 0.0f);
    EXPECT_EQ(local.gg_l(l), 0);
    EXPECT_EQ(local.n0_l(l), NSTMAX);  // an empty slot
    EXPECT_EQ(local.su0_l(l), 9.99f);  // position scatter not measured
    EXPECT_EQ(local.sv0_l(l), 9.99f);
    EXPECT_EQ(local.mask_l(l), 1.0f);
    for (int f = 1; f <= FDIM; ++f) {
      EXPECT_EQ(local.z2_lf(l, f), 0.0f);
      EXPECT_EQ(local.g3_lf(l, f), 0);
      EXPECT_EQ(local.rmssky_lf(l, f), 0.0f);
    }
  }
}

TEST(LocalList, NullBlanksOneEntryOnly) {
  LocalList local;
  reset_local(local);
  for (int l : {4, 5, 6}) {
    local.uu_l(l) = 100.0 + l;
    local.vv_l(l) = 200.0 + l;
    local.n0_l(l) = 40 + l;
    local.gg_l(l) = 1;
    local.w0_l(l) = 3;
    local.pfnd_l(l) = 2;
    for (int f = 1; f <= FDIM; ++f) {
      local.z0_lf(l, f) = 10.0f * f;
      local.q1_lf(l, f) = 0.5f;
      local.f2_lf(l, f) = 6;
      local.barsky_lf(l, f) = 1.25f;
    }
  }
  null_l(5, local);
  EXPECT_EQ(local.uu_l(5), 0.0);
  EXPECT_EQ(local.vv_l(5), 0.0);
  EXPECT_EQ(local.n0_l(5), 0);
  EXPECT_EQ(local.gg_l(5), 0);
  EXPECT_EQ(local.w0_l(5), 0);
  EXPECT_EQ(local.pfnd_l(5), 0);
  EXPECT_EQ(local.su0_l(5), 0.0f);
  EXPECT_EQ(local.mask_l(5), 0.0f);
  for (int f = 1; f <= FDIM; ++f) {
    EXPECT_EQ(local.z0_lf(5, f), 0.0f);
    EXPECT_EQ(local.q1_lf(5, f), 0.0f);
    EXPECT_EQ(local.f2_lf(5, f), 0);
    EXPECT_EQ(local.barsky_lf(5, f), 0.0f);
  }
  for (int l : {4, 6}) {
    EXPECT_EQ(local.uu_l(l), 100.0 + l);
    EXPECT_EQ(local.n0_l(l), 40 + l);
    EXPECT_EQ(local.z0_lf(l, 2), 20.0f);
    EXPECT_EQ(local.f2_lf(l, 1), 6);
    EXPECT_EQ(local.su0_l(l), 9.99f);
  }
}

}  // namespace
}  // namespace zeb
