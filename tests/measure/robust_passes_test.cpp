// barsigw and barsig stop passing once a pass leaves centre and scatter as
// they were; the results must be those of all 30 passes. Compared here, bit
// for bit, with the passes written out in full on random samples with outliers.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/robust_stats.h"

namespace zeb {
namespace {

RobustMean barsigw_all_passes(const std::vector<float>& x, const std::vector<float>& w, float k) {
  double m = 0.0, s = 9.0e9;
  int used = 0;
  for (int pass = 1; pass <= (k > 90.0f ? 1 : 30); ++pass) {
    double swx = 0.0, swd = 0.0, sw = 0.0;
    used = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double d = std::fabs(static_cast<double>(x[i]) - m);
      if (!(d <= static_cast<double>(k) * s)) continue;
      swx += static_cast<double>(w[i]) * x[i];
      swd += static_cast<double>(w[i]) * d;
      sw += w[i];
      ++used;
    }
    if (sw > 0.0) {
      m = swx / sw;
      s = swd / sw;
    }
  }
  return {static_cast<float>(m), used < 2 ? 0.999f : static_cast<float>(s), used};
}

RobustMean barsig_all_passes(const std::vector<float>& x) {
  float mean = 0.0f, sigma = 9.0e9f;
  int used = 0;
  for (int pass = 1; pass <= 30; ++pass) {
    double sum = 0.0, sumdev = 0.0;
    used = 0;
    for (float v : x) {
      const float dev = std::fabs(v - mean);
      if (dev <= 3.0f * sigma) {
        sum += v;
        sumdev += dev;
        ++used;
      }
    }
    if (used > 0) mean = static_cast<float>(sum / used);
    if (used > 1) sigma = static_cast<float>(sumdev / (used - 1));
  }
  return {mean, used < 2 ? 0.999f : sigma, used};
}

std::vector<float> sample(std::mt19937& g, int n) {
  std::normal_distribution<float> normal(100.0f, 10.0f);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> x;
  for (int i = 0; i < n; ++i) {
    float v = normal(g);
    if (u(g) < 0.15f) v += 500.0f * u(g) - 100.0f;  // outliers on both sides
    if (u(g) < 0.1f) v = std::round(v);            // ties
    x.push_back(v);
  }
  return x;
}

TEST(RobustPasses, BarsigwEqualsThirtyFullPasses) {
  std::mt19937 g(3);
  std::uniform_real_distribution<float> weight(0.01f, 5.0f);
  for (int trial = 0; trial < 3000; ++trial) {
    const int n = trial % 41;
    const std::vector<float> x = sample(g, n);
    std::vector<float> w;
    for (int i = 0; i < n; ++i) w.push_back(trial % 5 == 0 ? 1.0f : weight(g));
    for (float k : {1.0f, 2.5f, 3.0f, 99.9f}) {
      const RobustMean a = barsigw(x.data(), w.data(), n, k);
      const RobustMean b = barsigw_all_passes(x, w, k);
      ASSERT_EQ(a.mean, b.mean) << trial << ' ' << k;
      ASSERT_EQ(a.scatter, b.scatter) << trial << ' ' << k;
      ASSERT_EQ(a.used, b.used) << trial << ' ' << k;
    }
  }
}

TEST(RobustPasses, BarsigEqualsThirtyFullPasses) {
  std::mt19937 g(4);
  for (int trial = 0; trial < 3000; ++trial) {
    const std::vector<float> x = sample(g, trial % 41);
    float mean = 0.0f, sigma = 0.0f;
    int used = 0;
    barsig(x, static_cast<int>(x.size()), mean, sigma, used);
    const RobustMean b = barsig_all_passes(x);
    ASSERT_EQ(mean, b.mean) << trial;
    ASSERT_EQ(sigma, b.scatter) << trial;
    ASSERT_EQ(used, b.used) << trial;
  }
}

}  // namespace
}  // namespace zeb
