// Robust means: an iteratively clipped weighted mean and a rule-based
// estimator for small samples (the stacks, artificial stars), and the clipped
// plain mean (local sky, the set-up's zero points).
#pragma once

#include <span>

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

// Ascending bubble sort of a(0..n-1), passes repeated until one swaps nothing.
void dbubble(double* a, int n);

}  // namespace zeb
