// barsigw, barsig_sns and dbubble on hand-worked samples.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/robust_stats.h"
#include "support/test_support.h"

namespace zeb {
namespace {

RobustMean sns(std::vector<float> x) { return barsig_sns(x.data(), static_cast<int>(x.size())); }

void expect_result(const RobustMean& r, float mean, float scatter, int used) {
  EXPECT_FLOAT_EQ(r.mean, mean);
  EXPECT_FLOAT_EQ(r.scatter, scatter);
  EXPECT_EQ(r.used, used);
}

TEST(BarsigSns, NoneOrOneValue) {
  expect_result(barsig_sns(nullptr, 0), 0.0f, 0.0f, 0);
  expect_result(sns({7.0f}), 7.0f, 999.9f, 1);
}

TEST(BarsigSns, TwoValues) {
  // m = 10, S = max(4, 1) = 4: 12 is within 5S -> both.
  expect_result(sns({12.0f, 10.0f}), 11.0f, 1.0f, 2);
  // 31 > 10 + 20: the lower alone.
  expect_result(sns({31.0f, 10.0f}), 10.0f, 999.9f, 1);
  // S grows with the value: m = 1000, S = 100, 1400 < 1500.
  expect_result(sns({1000.0f, 1400.0f}), 1200.0f, 200.0f, 2);
}

TEST(BarsigSns, ThreeValues) {
  // lower (10.5, 1) is taken; S = 4; 12 <= 22.5 and 10 >= -1.5: all kept.
  expect_result(sns({12.0f, 10.0f, 11.0f}), 11.0f, 1.0f, 3);
  // 30 > 10.5 + 12 is dropped, then the pair rule: (10 + 11) / 2.
  expect_result(sns({10.0f, 30.0f, 11.0f}), 10.5f, 0.5f, 2);
}

TEST(BarsigSns, FourValuesAndTheThirdCandidate) {
  // lower (104, 8), S = 10.4: 200 dropped; then (102, 4), S = 10.2: all three kept.
  expect_result(sns({200.0f, 100.0f, 108.0f, 104.0f}), 104.0f, 4.0f, 3);
  // lower spread 40 exceeds the third's 3 (mean of 100, 101): m = 100.5,
  // S = 10.05 drops 180, then 140, leaving the pair 100, 101. (The lower pair
  // alone would have kept all four.)
  expect_result(sns({100.0f, 101.0f, 140.0f, 180.0f}), 100.5f, 0.5f, 2);
}

TEST(BarsigSns, SaturatedMajorityKeepsTheTwoFaintValues) {
  expect_result(sns({40000.0f, 500.0f, 41000.0f, 600.0f}), 550.0f, 50.0f, 2);
  expect_result(sns({500.0f, 600.0f, 40000.0f, 41000.0f, 42000.0f}), 550.0f, 50.0f, 2);
  // Six values: 1e6 is dropped first, and the rule then applies to the five left.
  expect_result(sns({500.0f, 600.0f, 40000.0f, 41000.0f, 42000.0f, 1.0e6f}), 550.0f, 50.0f, 2);
}

TEST(BarsigSns, FiveValues) {
  // lower (11.5, 1.5), S = 4: 50 dropped; four left, lower (11, 2): kept,
  // mean 11.5, scatter (1.5 + 0.5 + 0.5 + 1.5) / 3.
  expect_result(sns({13.0f, 50.0f, 10.0f, 12.0f, 11.0f}), 11.5f, 4.0f / 3.0f, 4);
}

TEST(BarsigSns, SixValuesDropHighOrLow) {
  // lower (21.5, 1.2), S = 4: 60 dropped; five kept: mean 22, scatter 6 / 4.
  expect_result(sns({20.0f, 21.0f, 22.0f, 23.0f, 24.0f, 60.0f}), 22.0f, 1.5f, 5);
  // lower spread 24.8 > upper 1.2: upper (21.5) taken; -40 < 21.5 - 12 is dropped.
  expect_result(sns({-40.0f, 20.0f, 21.0f, 22.0f, 23.0f, 24.0f}), 22.0f, 1.5f, 5);
}

TEST(BarsigSns, SevenValues) {
  // lower (101.5, 4/3), S = 10.15: all kept, scatter 12 / 6.
  expect_result(sns({106.0f, 100.0f, 101.0f, 105.0f, 102.0f, 104.0f, 103.0f}), 103.0f, 2.0f, 7);
  // 300 dropped, then six kept: mean 102.5, scatter 9 / 5.
  expect_result(sns({100.0f, 101.0f, 102.0f, 103.0f, 104.0f, 105.0f, 300.0f}), 102.5f, 1.8f, 7 - 1);
}

TEST(BarsigSns, EightValuesUseFiveValueSubsetMeans) {
  // lower mean (10+12+14+16+18)/5 = 14, spread (20-12)/3; S = 4: 27 > 26 is
  // dropped (a divisor of 4 would give 17.5 and keep it); seven left: lower
  // (13, 8/3), 22 <= 25: mean 16, scatter 24 / 6.
  expect_result(sns({10.0f, 12.0f, 14.0f, 16.0f, 18.0f, 20.0f, 22.0f, 27.0f}), 16.0f, 4.0f, 7);
}

TEST(BarsigSns, NineValues) {
  // lower (53, 5/3), S = 5.3: all kept, mean 54, scatter 20 / 8.
  expect_result(sns({50, 51, 52, 53, 54, 55, 56, 57, 58}), 54.0f, 2.5f, 9);
  // 80 > 68.9 dropped; eight left: lower mean 52, S = 5.2: kept, scatter 16 / 7.
  expect_result(sns({50, 51, 52, 53, 54, 55, 56, 57, 80}), 53.5f, 16.0f / 7.0f, 8);
}

TEST(BarsigSns, TenValues) {
  // lower (1003.5, 2), S = 100.35: all kept, scatter 25 / 9.
  expect_result(sns({1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009}), 1004.5f, 25.0f / 9.0f, 10);
  expect_result(sns({1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 2000}), 1004.0f, 2.5f, 9);
}

TEST(BarsigSns, MoreThanTenValuesStop) {
  std::vector<float> x(11, 1.0f);
  const auto c = test::capture([&] { barsig_sns(x.data(), 11); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("barsig_sns called with NTOT>10: "), std::string::npos);
  EXPECT_NE(c.out.find("11"), std::string::npos);
}

TEST(Barsigw, SinglePassWithoutClippingIsTheWeightedMean) {
  const float x[] = {1.0f, 2.0f, 4.0f}, w[] = {1.0f, 1.0f, 2.0f};
  // mean (1 + 2 + 8) / 4; scatter about the previous centre 0: the same sum.
  expect_result(barsigw(x, w, 3, 99.9f), 2.75f, 2.75f, 3);
}

TEST(Barsigw, ClippingRemovesAnOutlier) {
  const float x[] = {10.0f, 10.0f, 10.0f, 10.0f, 1000.0f}, w[] = {1, 1, 1, 1, 1};
  // pass 1: m = 208, s = 208; pass 2: 1000 is beyond 624, m = 10, s = 198;
  // then m = 10, s = 0 and the four equal values stay in.
  expect_result(barsigw(x, w, 5, 3.0f), 10.0f, 0.0f, 4);
}

TEST(Barsigw, FewerThanTwoUsedGiveScatter0999) {
  const float x[] = {5.0f}, w[] = {2.0f};
  expect_result(barsigw(x, w, 1, 3.0f), 5.0f, 0.999f, 1);
  expect_result(barsigw(x, w, 0, 3.0f), 0.0f, 0.999f, 0);
}

TEST(Barsigw, ValuesThatAreNotNumbersAreLeftOut) {
  const float x[] = {1.0f, std::nanf(""), 3.0f}, w[] = {1, 1, 1};
  expect_result(barsigw(x, w, 3, 99.9f), 2.0f, 2.0f, 2);
}

}  // namespace
}  // namespace zeb
