// The local-maximum test: visiting the neighbours one by one and reading the
// neighbourhood map give the same answer, including ties, flags, values that
// are not numbers and neighbourhoods reaching beyond the raster.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

#include "find/find_internal.h"

namespace {

using namespace zeb;
using zeb::find_detail::LocalMaximumTest;

struct Raster {
  Array2<float> d{TILE_GRID, TILE_GRID};
  Array2<std::uint8_t> u{TILE_GRID, TILE_GRID};
};

// Small integer values (many ties), and in the left half a few flags and
// values that are not ordinary numbers.
Raster tie_rich_raster(unsigned seed) {
  Raster r;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> level(0, 3), rare(0, 999);
  for (int y = 1; y <= TILE_GRID; ++y)
    for (int x = 1; x <= TILE_GRID; ++x) {
      r.d(x, y) = static_cast<float>(level(rng));
      const int k = x < 150 ? rare(rng) : 999;
      if (k < 3) r.u(x, y) = 1;
      if (k == 3) r.d(x, y) = std::numeric_limits<float>::quiet_NaN();
      if (k == 4) r.d(x, y) = std::numeric_limits<float>::infinity();
      if (k == 5) r.d(x, y) = -std::numeric_limits<float>::infinity();
    }
  // A flat corner above everything around it: its pixels tie with their
  // whole neighbourhood up to a radius of about 70.
  for (int y = 230; y <= TILE_GRID; ++y)
    for (int x = 230; x <= TILE_GRID; ++x) r.d(x, y) = 10.0f;
  return r;
}

TEST(LocalMaximum, NeighbourVisitsAndNeighbourhoodMapAgree) {
  for (int h : {9, 20, 40}) {
    const Raster r = tie_rich_raster(static_cast<unsigned>(h));
    LocalMaximumTest visits, map;
    visits.configure(h);
    map.configure(h);
    visits.start(r.d.view(), r.u.view());
    map.start(r.d.view(), r.u.view());
    map.use_neighbourhood_map();
    int peaks = 0, mismatches = 0;
    for (int y = 6; y <= 296; ++y)
      for (int x = 6; x <= 296; ++x) {
        if (r.u(x, y) != 0) continue;  // flagged pixels never reach the test
        const bool a = visits(x, y), b = map(x, y);
        peaks += a;
        mismatches += a != b;
      }
    EXPECT_EQ(mismatches, 0) << h;
    EXPECT_GT(peaks, 0) << h;  // the flat corner at least
  }
}

TEST(LocalMaximum, TiesPassHigherOrFlaggedNeighboursFailOutsideIgnored) {
  Raster r;
  r.d(150, 150) = 5.0f;
  r.d(155, 150) = 5.0f;  // a tie at distance 5
  LocalMaximumTest t;
  t.configure(5);
  t.start(r.d.view(), r.u.view());
  EXPECT_TRUE(t(150, 150));
  r.d(154, 153) = 5.5f;  // 4^2 + 3^2 = 25 <= 30.25
  EXPECT_FALSE(t(150, 150));
  r.d(154, 153) = 0.0f;
  r.u(146, 147) = 1;  // 4^2 + 3^2: a flag in reach
  EXPECT_FALSE(t(150, 150));
  r.u(146, 147) = 0;
  r.u(145, 147) = 1;  // 5^2 + 3^2 = 34: out of reach
  EXPECT_TRUE(t(150, 150));
  // A radius reaching past the raster edge ignores what is not there.
  r.d(8, 8) = 9.0f;
  t.configure(50);
  t.start(r.d.view(), r.u.view());
  EXPECT_TRUE(t(8, 8));
  EXPECT_FALSE(t(150, 150));
}

TEST(LocalMaximum, FlatResidualSwitchesToTheMap) {
  Raster r;  // all zero: every pixel ties with all its neighbours
  LocalMaximumTest t;
  t.configure(99);
  t.start(r.d.view(), r.u.view());
  bool all = true;
  for (int y = 6; y <= 296; ++y)
    for (int x = 6; x <= 296; ++x) all = all && t(x, y);
  EXPECT_TRUE(all);
  EXPECT_TRUE(t.uses_neighbourhood_map());
  // A small neighbourhood is always visited.
  LocalMaximumTest s;
  s.configure(5);
  s.start(r.d.view(), r.u.view());
  for (int y = 6; y <= 296; ++y)
    for (int x = 6; x <= 296; ++x) s(x, y);
  EXPECT_FALSE(s.uses_neighbourhood_map());
}

}  // namespace
