// Robust statistics of the whole program: an iteratively clipped weighted mean
// and a rule-based estimator for small samples (the stacks, artificial stars),
// the clipped plain mean (local sky, the set-up's zero points), the clipped
// weighted mean of the measurement methods' sky, and the leave-one-out
// moments and low-weight trimming of the rejections that combine one star's
// measurements.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

namespace zeb {

struct RobustMean {
  float mean = 0.0f;
  float scatter = 0.0f;
  int used = 0;
};

// Clipped weighted mean of x(0..n-1) with weights w: starting from centre 0
// and scatter 9e9, each pass takes the values within k scatters of the centre
// and sets centre = sum w x / sum w and scatter = sum w |x - previous centre| /
// sum w (sums in double); 30 passes, a single one when k > 90 (no clipping).
// used = values taken by the last pass; fewer than 2 give scatter 0.999.
RobustMean barsigw(const float* x, const float* w, int n, float k);

// Clipped mean of values(0..n-1) (n held to the span's size): 30 passes of a
// 3-sigma clip about the previous mean, sigma the mean absolute deviation about
// it (used - 1 in the denominator); single-precision values, double-precision
// sums. With no values the mean stays 0; fewer than 2 used give sigma 0.999.
void barsig(std::span<const float> values, int n, float& mean, float& sigma, int& nused);

// Small-sample estimator for at most 10 values (a sorted copy is used; the
// input is left as it is). More than 10 values stop the run.
RobustMean barsig_sns(const float* x, int n);

// Weighted mean and scatter of x(0..n-1) with weights w, clipped until
// stable: every value starts in; each pass takes the weighted mean m and the
// scatter s = sum w |x - m| / sum w of the values in (sums in double) and
// drops every value farther than 3 s from m, until a pass drops none. used =
// values left in. At most CLIPPED_MEAN_MAX values are read.
inline constexpr int CLIPPED_MEAN_MAX = 1000;
struct ClippedMean {
  double mean = 0.0, scatter = 0.0;
  int used = 0;
};
ClippedMean clipped_weighted_mean(const float* x, const float* w, int n);

// Weighted mean of x over the measurements k for which in(k) holds, except
// `skip` (-1: none), with its absolute deviation sum w |x - mean|, the weight
// sum, the largest weight and the count: the leave-one-out statistics of the
// rejections that combine one star's measurements (sums in double; with no
// measurement the mean is 0 / 0).
struct WeightedMoments {
  double mean = 0.0, dev = 0.0, wsum = 0.0, wmax = 0.0;
  int count = 0;
};
template <typename In>
WeightedMoments weighted_moments_if(const float* x, const double* w, int n, int skip, In in) {
  WeightedMoments m;
  double swx = 0.0;
  for (int k = 0; k < n; ++k) {
    if (k == skip || !in(k)) continue;
    m.wsum += w[k];
    swx += w[k] * x[k];
    m.wmax = std::max(m.wmax, w[k]);
    ++m.count;
  }
  m.mean = swx / m.wsum;
  for (int k = 0; k < n; ++k)
    if (k != skip && in(k)) m.dev += w[k] * std::fabs(x[k] - m.mean);
  return m;
}
// The same over the measurements whose flag in[k] is set.
inline WeightedMoments weighted_moments(const float* x, const double* w, const std::uint8_t* in, int n, int skip) {
  return weighted_moments_if(x, w, n, skip, [in](int k) { return in[k] != 0; });
}

// Low-weight trimming of the measurements in: while the lightest one in (the
// first on ties) weighs less than `fraction` of their mean weight, it goes out
// of `in` (and of `also_out` when given). A single measurement is never
// lighter than its own mean, so at least one stays in.
void trim_low_weights(const double* w, int n, double fraction, std::uint8_t* in, std::uint8_t* also_out = nullptr);

}  // namespace zeb
