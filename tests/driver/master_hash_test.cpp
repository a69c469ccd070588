// The spatial hashes, loading a tile's local list through them, and the commit
// of a tile into the master list.
#include "driver/master_hash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace zeb {
namespace {

using namespace zeb::test;

// A master list with the given starting stars (u, v, flux in both filters).
struct Start {
  double u, v;
  float z;
};
MasterList master_with(const std::vector<Start>& stars) {
  MasterList m;
  m.allocate(2);
  for (const Start& s : stars) {
    const int n = ++m.nmasti;
    m.umast0(n) = s.u;
    m.vmast0(n) = s.v;
    m.zmast0(n, 1) = s.z;
    m.zmast0(n, 2) = 2.0f * s.z;
  }
  m.nmasts = m.nmasti;
  return m;
}

SpatialHash hash_of(const MasterList& m) {
  SpatialHash h;
  Captured c = capture([&] { push_hash(h, 0, m.nmasti, m.umast0, m.vmast0); });
  EXPECT_FALSE(c.stopped) << c.out;
  return h;
}

TEST(HashCell, NearestTileCentreWithTiesGoingUp) {
  EXPECT_EQ(hash_index(135.999), 1);
  EXPECT_EQ(hash_index(136.0), 2);
  EXPECT_EQ(hash_index(76.0), 1);
  EXPECT_EQ(hash_index(16.0), 1);
  EXPECT_EQ(hash_index(-103.9), 1);  // truncation toward zero keeps -104 < u < 16 in cell 1
  EXPECT_EQ(hash_index(-104.0), 0);
  EXPECT_EQ(hash_index(11895.999), 99);  // the centre of tile 99 is 11836
  EXPECT_EQ(hash_index(11896.0), 100);
  EXPECT_FALSE(hash_cell(1.0e300, 5.0).in_grid());  // no overflow of the integer index
  EXPECT_FALSE(hash_cell(5.0, -1.0e300).in_grid());
  EXPECT_TRUE(hash_cell(11835.0, -100.0).in_grid());
}

TEST(Hash, PushEntersMembersInInsertionOrder) {
  MasterList m = master_with({{135.999, 10, 1}, {136.0, 10, 1}, {100, 10, 1}, {136.5, 10, 1}, {5000, 7000, 1}});
  SpatialHash h;
  Captured c = capture([&] { push_hash(h, 0, 5, m.umast0, m.vmast0); });
  ASSERT_FALSE(c.stopped);
  EXPECT_EQ(c.out, "     enter push_hash... \n              No:      0\n              Ns:      5\n");
  EXPECT_EQ(h.nash(1, 1), 2);
  EXPECT_EQ(h.nash(2, 1), 2);
  EXPECT_EQ(h.cell(1, 1), (std::vector<int>{1, 3}));
  EXPECT_EQ(h.cell(2, 1), (std::vector<int>{2, 4}));
  EXPECT_EQ(h.cell(42, 59), (std::vector<int>{5}));  // trunc(4924/120 + 0.5) + 1, trunc(6924/120 + 0.5) + 1
  EXPECT_EQ(h.nash(42, 59), 1);

  // A later push appends entries No + 1 .. Ns.
  m.umast0(6) = 100.0;
  m.vmast0(6) = 20.0;
  capture([&] { push_hash(h, 5, 6, m.umast0, m.vmast0); });
  EXPECT_EQ(h.cell(1, 1), (std::vector<int>{1, 3, 6}));
  EXPECT_EQ(h.nash(1, 1), 3);

  init_hash(h);
  EXPECT_EQ(h.nash(1, 1), 0);
  EXPECT_TRUE(h.cell(42, 59).empty());
}

// A star outside the grid, or one cell too many, stops the run saying which,
// with the entries before it kept.
TEST(Hash, AStarItCannotHoldStopsTheRunSayingWhy) {
  MasterList m = master_with({{10, 10, 1}, {11896, 76, 1}});
  SpatialHash h;
  Captured c = capture([&] { push_hash(h, 0, 2, m.umast0, m.vmast0); });
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find(" HASH PROB  it.lt.1 or it.gt._HASHDIM  \n"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find(" --->       it:  100 11896\n"), std::string::npos) << c.out;
  EXPECT_EQ(h.cell(1, 1), (std::vector<int>{1}));
  MasterList full = master_with(std::vector<Start>(HASH_CELL_MAX + 1, Start{200.0, 300.0, 1.0f}));
  SpatialHash hf;
  c = capture([&] { push_hash(hf, 0, full.nmasti, full.umast0, full.vmast0); });
  EXPECT_EQ(c.err, "STOP nash.gt.32767\n");
  EXPECT_EQ(hf.nash(2, 3), 32767);
}

TEST(TileLimits, WindowGivesTheLoadingLimits) {
  const TileLimits full = tile_limits(2, 3);
  EXPECT_EQ(full.uref_t, 196);
  EXPECT_EQ(full.vref_t, 316);
  EXPECT_EQ(full.umin_t, 121);
  EXPECT_EQ(full.umax_t, 271);
  EXPECT_EQ(full.vmin_t, 241);
  EXPECT_EQ(full.vmax_t, 391);
  const TileLimits part = tile_limits(2, 3, 100, 181, 140, 141);
  EXPECT_EQ(part.umin_t, 170);  // -25.5 + 196 truncated
  EXPECT_EQ(part.umax_t, 211);
  EXPECT_EQ(part.vmin_t, 310);  // -5.5 + 316
  EXPECT_EQ(part.vmax_t, 311);
  EXPECT_TRUE(in_inner_region(136.0, 16.0, 196, 76));
  EXPECT_FALSE(in_inner_region(256.0, 76.0, 196, 76));  // UREF_T + 60 belongs to the next tile
  EXPECT_FALSE(in_inner_region(200.0, 15.999, 196, 76));
}

TEST(LoadLocal, TakesStarsStrictlyInsideTheLimitsFromTheThreeByThreeCells) {
  MasterList m = master_with({{130, 130, 100},      // 1: cell (1,1), outside the inner region
                              {121, 200, 1},        // 2: on the loading limit: not taken
                              {200, 140, 3},        // 3: cell (2,1), inner
                              {270.5, 270.5, 4},    // 4: cell (3,3)
                              {250, 250, 5},        // 5: cell (2,2), inner
                              {400, 196, 6},        // 6: cell (4,2), not visited
                              {130, 260, 7},        // 7: cell (1,3)
                              {131, 131, 8}});      // 8: cell (1,1) after star 1
  m.wmast0(3) = 4;
  SpatialHash h = hash_of(m);
  LocalList local;
  reset_local(local);
  int ls = 0;
  Captured c = capture([&] { ls = load_local_list(tile_limits(2, 2), h, m, local, true); });
  ASSERT_FALSE(c.stopped);
  ASSERT_EQ(ls, 6);
  const std::vector<int> order{1, 8, 7, 3, 5, 4};
  for (int l = 1; l <= ls; ++l) EXPECT_EQ(local.n0_l(l), order[l - 1]) << l;
  EXPECT_EQ(local.gg_l(1), 0);
  EXPECT_EQ(local.gg_l(4), 1);
  EXPECT_EQ(local.gg_l(5), 1);
  EXPECT_EQ(local.gg_l(6), 0);
  EXPECT_EQ(local.w0_l(4), 4);
  EXPECT_EQ(local.u0_l(1), 19.0f);  // 2 (130 - 196) + 151
  EXPECT_EQ(local.v0_l(4), 39.0f);  // 2 (140 - 196) + 151
  EXPECT_EQ(local.uf_l(6), 300.0f);
  EXPECT_EQ(local.vf_l(6), 300.0f);
  EXPECT_DOUBLE_EQ(local.uu_l(6), 270.5);
  EXPECT_EQ(local.z0_lf(4, 1), 3.0f);
  EXPECT_EQ(local.z1_lf(4, 2), 6.0f);
  EXPECT_EQ(local.z2_lf(4, 1), 3.0f);
  EXPECT_EQ(local.sz0_lf(4, 1), 0.0f);
  EXPECT_EQ(local.su0_l(4), 9.99f);  // untouched by loading
  const std::vector<std::string> out = split_lines(c.out);
  ASSERT_EQ(out.size(), 6u);
  // ('L',i4.4,1x,'R',i7.7,1x,l1,1x,4(f12.5,1x),2(f15.5))
  EXPECT_EQ(out[0], "L0001 R0000001 F    130.00000    130.00000     19.00000     19.00000       100.00000      200.00000");
  EXPECT_EQ(out[3], "L0004 R0000003 T    200.00000    140.00000    159.00000     39.00000         3.00000        6.00000");

  // At the edge of the grid the cells are clipped.
  LocalList edge;
  reset_local(edge);
  int ls1 = 0;
  capture([&] { ls1 = load_local_list(tile_limits(1, 1), h, m, edge, false); });
  ASSERT_EQ(ls1, 2);  // stars 1 and 8; 2, 3 and 7 lie beyond 151 in u or v
  EXPECT_EQ(edge.n0_l(1), 1);
  EXPECT_EQ(edge.n0_l(2), 8);
}

// A found star appended to the local list by the finding step.
void add_found(LocalList& local, int& ls, float u0, float v0) {
  ++ls;
  local.u0_l(ls) = u0;
  local.v0_l(ls) = v0;
  local.n0_l(ls) = 0;
  local.gg_l(ls) = 0;
  local.z0_lf(ls, 1) = 10.0f * ls;
}

TEST(Commit, OnlyTheTileWhoseInnerRegionHoldsAStarRewritesItAndNewIdentifiersFollowTileOrder) {
  MasterList m = master_with({{140.0, 100.0, 500}});  // in tile (1,1)'s outer and tile (2,1)'s inner region
  SpatialHash h = hash_of(m);

  // Tile (1,1) loads the star but does not own it.
  const TileLimits t11 = tile_limits(1, 1);
  LocalList local;
  reset_local(local);
  int ls = load_local_list(t11, h, m, local, false);
  ASSERT_EQ(ls, 1);
  EXPECT_EQ(local.gg_l(1), 0);
  local.u0_l(1) = 280.0f;  // moved by the measurement
  local.z0_lf(1, 1) = 999.0f;
  add_found(local, ls, 101.0f, 101.0f);  // (51, 51): inner
  add_found(local, ls, 281.0f, 101.0f);  // (141, 51): outside the inner region
  add_found(local, ls, 151.5f, 151.0f);  // (76.25, 76): inner
  int added = 0;
  capture([&] { added = commit_tile('R', t11, ls, local, m); });
  EXPECT_EQ(added, 2);
  EXPECT_EQ(m.nmasts, 3);
  EXPECT_EQ(local.n0_l(2), 2);
  EXPECT_EQ(local.n0_l(3), 0);
  EXPECT_EQ(local.gg_l(3), 0);
  EXPECT_EQ(local.n0_l(4), 3);
  EXPECT_DOUBLE_EQ(m.umast0(1), 140.0);  // untouched by tile (1,1)
  EXPECT_FLOAT_EQ(m.zmast0(1, 1), 500.0f);
  EXPECT_DOUBLE_EQ(m.umast0(2), 51.0);
  EXPECT_DOUBLE_EQ(m.vmast0(2), 51.0);
  EXPECT_FLOAT_EQ(m.zmast0(2, 1), 20.0f);
  EXPECT_DOUBLE_EQ(m.umast0(3), 76.25);
  EXPECT_DOUBLE_EQ(m.vmast0(3), 76.0);
  EXPECT_FLOAT_EQ(m.xmast0(3), 151.5f);
  EXPECT_DOUBLE_EQ(m.umast0(4), 0.0);  // the outside star got no entry

  // Tile (2,1) owns it and writes every result into entry 1.
  const TileLimits t21 = tile_limits(2, 1);
  reset_local(local);
  ls = load_local_list(t21, h, m, local, false);
  ASSERT_EQ(ls, 1);
  EXPECT_EQ(local.gg_l(1), 1);
  local.u0_l(1) = 39.5f;  // 140.25
  local.w0_l(1) = 0;
  // Every per-filter result, each with its own value in each filter.
  using Result = std::pair<void (*)(LocalList&, int, float), float (*)(const MasterList&, int)>;
#define RESULT(lf, mast)                                                                              \
  Result {                                                                                            \
    [](LocalList& l, int k, float v) { l.lf(1, k) = static_cast<std::decay_t<decltype(l.lf(1, k))>>(v); }, \
        [](const MasterList& e, int k) { return static_cast<float>(e.mast(1, k)); }                    \
  }
  const Result results[] = {
      RESULT(z0_lf, zmast0),   RESULT(sz0_lf, szmast0), RESULT(f0_lf, fmast0),     RESULT(g0_lf, gmast0),
      RESULT(z1_lf, zmast1),   RESULT(sz1_lf, szmast1), RESULT(q1_lf, qmast1),     RESULT(o1_lf, omast1),
      RESULT(f1_lf, fmast1),   RESULT(g1_lf, gmast1),   RESULT(z2_lf, zmast2),     RESULT(sz2_lf, szmast2),
      RESULT(q2_lf, qmast2),   RESULT(o2_lf, omast2),   RESULT(f2_lf, fmast2),     RESULT(g2_lf, gmast2),
      RESULT(z3_lf, zmast3),   RESULT(sz3_lf, szmast3), RESULT(q3_lf, qmast3),     RESULT(o3_lf, omast3),
      RESULT(f3_lf, fmast3),   RESULT(g3_lf, gmast3),   RESULT(barsky_lf, barsky), RESULT(rmssky_lf, rmssky)};
#undef RESULT
  for (std::size_t r = 0; r < std::size(results); ++r)
    for (int k = 1; k <= 2; ++k) results[r].first(local, k, static_cast<float>(10 * r + k));
  add_found(local, ls, 151.0f, 151.0f);  // (196, 76)
  capture([&] { added = commit_tile('R', t21, ls, local, m); });
  EXPECT_EQ(added, 1);
  EXPECT_EQ(m.nmasts, 4);
  EXPECT_EQ(local.n0_l(2), 4);
  EXPECT_DOUBLE_EQ(m.umast0(1), 140.25);
  EXPECT_DOUBLE_EQ(m.vmast0(1), 100.0);
  EXPECT_FLOAT_EQ(m.xmast0(1), 39.5f);
  EXPECT_FLOAT_EQ(m.ymast0(1), 199.0f);
  EXPECT_EQ(m.wmast0(1), 0);
  for (std::size_t r = 0; r < std::size(results); ++r)
    for (int k = 1; k <= 2; ++k) EXPECT_EQ(results[r].second(m, k), static_cast<float>(10 * r + k)) << r << " " << k;
  EXPECT_DOUBLE_EQ(m.umast0(4), 196.0);
  EXPECT_DOUBLE_EQ(m.vmast0(4), 76.0);
}

TEST(Commit, ModeAReportsTheChosenStarThroughItsOwnEntry) {
  MasterList report;
  report.allocate(FDIM, 1);
  LocalList local;
  reset_local(local);
  int ls = 0;
  add_found(local, ls, 151.0f, 151.0f);
  add_found(local, ls, 161.0f, 141.0f);
  local.n0_l(2) = 17;  // the artificial star's identifier
  local.gg_l(2) = 1;
  commit_art_report(tile_limits(3, 3), ls, local, report);
  ASSERT_EQ(report.umast0.n(), 1);
  EXPECT_DOUBLE_EQ(report.umast0(1), 321.0);  // 0.5 (161 - 151) + 316
  EXPECT_DOUBLE_EQ(report.vmast0(1), 311.0);
  EXPECT_FLOAT_EQ(report.zmast0(1, 1), 20.0f);
  EXPECT_DOUBLE_EQ(local.uu_l(1), 316.0);
  EXPECT_EQ(local.n0_l(1), 0);  // no identifier for the other star
}

TEST(Commit, AListNeverAllocatedIsAFaultOfTheProgramNotAListMadeOnDemand) {
  MasterList none;
  LocalList local;
  reset_local(local);
  EXPECT_THROW(commit_tile('R', tile_limits(1, 1), 0, local, none), std::logic_error);
  EXPECT_THROW(commit_art_report(tile_limits(1, 1), 0, local, none), std::logic_error);
  EXPECT_EQ(none.umast0.n(), 0);
}

}  // namespace
}  // namespace zeb
