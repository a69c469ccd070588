// Robust means of the stacks: an iteratively clipped weighted mean and a
// rule-based estimator for small samples.
#pragma once

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

// Small-sample estimator for at most 10 values (a sorted copy is used; the
// input is left as it is). More than 10 values stop the run.
RobustMean barsig_sns(const float* x, int n);

// Ascending bubble sort of a(0..n-1), passes repeated until one swaps nothing.
void dbubble(double* a, int n);

}  // namespace zeb
