// The run's random sequence: fixed start, repeatable, standard normal deviates.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "measure/noise.h"

namespace zeb {
namespace {

TEST(NoiseSig, TheSequenceRepeatsFromItsStartingState) {
  reset_run_random();
  std::vector<float> first;
  for (int i = 0; i < 1000; ++i) first.push_back(noise_sig());
  reset_run_random();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(noise_sig(), first[static_cast<std::size_t>(i)]) << i;
}

TEST(NoiseSig, GeneratorIsTheStandardMersenneTwister) {
  // The C++ standard fixes the 10000th output of std::mt19937 with its default
  // seed: 4123659995. The uniform number is (k + 0.5) / 2^32.
  reset_run_random();
  double u = 0.0;
  for (int i = 0; i < 10000; ++i) u = run_random().uniform();
  EXPECT_EQ(u, (4123659995.0 + 0.5) / 4294967296.0);
}

TEST(NoiseSig, DeviatesAreStandardNormal) {
  // 400000 deviates: the sample mean has standard error 1/sqrt(n) = 0.00158,
  // the sample variance sqrt(2/n) = 0.00224, the fraction within one sigma
  // sqrt(0.683 * 0.317 / n) = 0.00074. Each is allowed five standard errors.
  reset_run_random();
  const int n = 400000;
  double sum = 0.0, sum2 = 0.0;
  int within = 0;
  for (int i = 0; i < n; ++i) {
    const double g = noise_sig();
    ASSERT_TRUE(std::isfinite(g));
    sum += g;
    sum2 += g * g;
    if (std::fabs(g) < 1.0) ++within;
  }
  const double mean = sum / n;
  const double var = sum2 / n - mean * mean;
  EXPECT_NEAR(mean, 0.0, 5 * 0.00158);
  EXPECT_NEAR(var, 1.0, 5 * 0.00224);
  EXPECT_NEAR(static_cast<double>(within) / n, 0.682689, 5 * 0.00074);
}

}  // namespace
}  // namespace zeb
