#include "core/robust_stats.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>

#include "core/bubble_order.h"
#include "core/fortran_format.h"
#include "core/stop.h"

namespace zeb {

RobustMean barsigw(const float* x, const float* w, int n, float k) {
  // Centre and scatter are kept in double between passes, like the sums.
  double m = 0.0;
  double s = 9.0e9;
  int used = 0;
  const int passes = k > 90.0f ? 1 : 30;
  for (int pass = 1; pass <= passes; ++pass) {
    double swx = 0.0, swd = 0.0, sw = 0.0;
    used = 0;
    const double limit = static_cast<double>(k) * s;
    for (int i = 0; i < n; ++i) {
      const double d = std::fabs(static_cast<double>(x[i]) - m);
      if (!(d <= limit)) continue;  // also leaves out values that are not numbers
      swx += static_cast<double>(w[i]) * x[i];
      swd += static_cast<double>(w[i]) * d;
      sw += w[i];
      ++used;
    }
    if (sw > 0.0) {
      const double m_next = swx / sw;
      const double s_next = swd / sw;
      // A pass depends only on the centre and scatter it starts from: once a
      // pass leaves both exactly as they were, every later pass repeats it.
      if (m_next == m && s_next == s) break;
      m = m_next;
      s = s_next;
    } else {
      break;  // nothing taken: centre and scatter stay, and so would every later pass
    }
  }
  RobustMean r;
  r.mean = static_cast<float>(m);
  r.scatter = used < 2 ? 0.999f : static_cast<float>(s);
  r.used = used;
  return r;
}

ClippedMean clipped_weighted_mean(const float* x, const float* w, int n) {
  // Which values are still in, on the stack.
  std::array<std::uint8_t, CLIPPED_MEAN_MAX> in;
  const int m = std::clamp(n, 0, CLIPPED_MEAN_MAX);
  std::fill(in.begin(), in.begin() + m, std::uint8_t{1});
  ClippedMean r;
  r.used = m;
  for (;;) {
    double sw = 0.0, swx = 0.0;
    for (int k = 0; k < m; ++k)
      if (in[static_cast<std::size_t>(k)]) {
        sw += w[k];
        swx += static_cast<double>(w[k]) * x[k];
      }
    r.mean = swx / sw;
    double dev = 0.0;
    for (int k = 0; k < m; ++k)
      if (in[static_cast<std::size_t>(k)]) dev += w[k] * std::fabs(x[k] - r.mean);
    r.scatter = dev / sw;
    int dropped = 0;
    for (int k = 0; k < m; ++k)
      if (in[static_cast<std::size_t>(k)] && std::fabs(x[k] - r.mean) > 3.0 * r.scatter) {
        in[static_cast<std::size_t>(k)] = 0;
        ++dropped;
      }
    r.used -= dropped;
    if (dropped == 0) return r;
  }
}

void trim_low_weights(const double* w, int n, double fraction, std::uint8_t* in, std::uint8_t* also_out) {
  for (;;) {
    int c = 0, lightest = -1;
    double sw = 0.0;
    for (int k = 0; k < n; ++k) {
      if (!in[k]) continue;
      ++c;
      sw += w[k];
      if (lightest < 0 || w[k] < w[lightest]) lightest = k;
    }
    if (c < 2 || !(w[lightest] < fraction * (sw / c))) return;
    in[lightest] = 0;
    if (also_out != nullptr) also_out[lightest] = 0;
  }
}

void barsig(std::span<const float> values, int n, float& mean, float& sigma, int& nused) {
  n = static_cast<int>(std::min(static_cast<std::size_t>(n < 0 ? 0 : n), values.size()));
  mean = 0.0f;
  sigma = 9.0e9f;
  int used = 0;
  for (int pass = 1; pass <= 30; ++pass) {
    double sum = 0.0;
    double sumdev = 0.0;
    used = 0;
    for (int k = 0; k < n; ++k) {
      const float dev = std::fabs(values[k] - mean);
      if (dev <= 3.0f * sigma) {
        sum += values[k];
        sumdev += dev;
        ++used;
      }
    }
    const float mean_next = used > 0 ? static_cast<float>(sum / used) : mean;
    const float sigma_next = used > 1 ? static_cast<float>(sumdev / (used - 1)) : sigma;
    // Later passes would repeat this one exactly (they depend only on mean and sigma).
    const bool settled = mean_next == mean && sigma_next == sigma;
    mean = mean_next;
    sigma = sigma_next;
    if (settled) break;
  }
  nused = used;
  if (used < 2) sigma = 0.999f;
}

namespace {

// A candidate centre and spread from a subset of the sorted values.
struct Candidate {
  double m;
  double s;
};

// Mean of a(lo..hi), 1-based, summed then divided by the count.
double subset_mean(const double* a, int lo, int hi) {
  double sum = 0.0;
  for (int i = lo; i <= hi; ++i) sum += a[i - 1];
  return sum / (hi - lo + 1);
}

RobustMean two_values(const double* a) {
  const double m = a[0];
  const double s = std::max(4.0, 0.1 * std::fabs(m));
  if (a[1] > m + 5.0 * s) return {static_cast<float>(a[0]), 999.9f, 1};
  if (std::fabs(a[1]) < 20.0 && a[0] < -50.0) return {static_cast<float>(a[1]), 999.9f, 1};
  return {static_cast<float>((a[0] + a[1]) / 2.0), static_cast<float>((a[1] - a[0]) / 2.0), 2};
}

// The centre and spread that decide which values are kept (sorted a, 1-based
// in the comments as a1..aN).
Candidate choose_candidate(const double* a, int n) {
  auto A = [a](int i) { return a[i - 1]; };
  Candidate lo{}, up{};
  switch (n) {
    case 10:
      lo = {subset_mean(a, 1, 8), (A(7) - A(2)) / 2.5};
      up = {subset_mean(a, 2, 9), (A(8) - A(3)) / 2.5};
      break;
    case 9:
      lo = {subset_mean(a, 1, 7), (A(7) - A(2)) / 3.0};
      up = {subset_mean(a, 2, 8), (A(8) - A(3)) / 3.0};
      break;
    case 8:
      // Eight values: the subsets are a1..a5 and a2..a6 and each mean is their
      // sum divided by 5, their size, as in every other case.
      lo = {subset_mean(a, 1, 5), (A(6) - A(2)) / 3.0};
      up = {subset_mean(a, 2, 6), (A(7) - A(3)) / 3.0};
      break;
    case 7:
      lo = {subset_mean(a, 1, 4), (A(5) - A(1)) / 3.0};
      up = {subset_mean(a, 2, 5), (A(6) - A(2)) / 3.0};
      break;
    case 6:
      lo = {subset_mean(a, 1, 4), (A(4) - A(1)) / 2.5};
      up = {subset_mean(a, 2, 5), (A(5) - A(2)) / 2.5};
      break;
    case 5:
      lo = {subset_mean(a, 1, 4), (A(4) - A(1)) / 2.0};
      up = {subset_mean(a, 2, 5), (A(5) - A(2)) / 2.0};
      break;
    case 4:
      lo = {subset_mean(a, 1, 3), A(3) - A(1)};
      up = {subset_mean(a, 2, 4), A(4) - A(2)};
      break;
    default:  // 3
      lo = {subset_mean(a, 1, 2), A(2) - A(1)};
      up = {subset_mean(a, 2, 3), A(3) - A(2)};
      break;
  }
  Candidate pick = lo;
  if (lo.s > up.s) pick = up;
  if (n == 4 || n == 5) {
    const Candidate third = n == 5 ? Candidate{subset_mean(a, 1, 3), 1.5 * (A(3) - A(1))}
                                   : Candidate{subset_mean(a, 1, 2), 3.0 * (A(2) - A(1))};
    // Compared with the lower spread, whichever pair was taken above.
    if (lo.s > third.s) pick = third;
  }
  return pick;
}

}  // namespace

RobustMean barsig_sns(const float* x, int n) {
  if (n > 10) {
    write_list(std::cout, "barsig_sns called with NTOT>10: ", n);
    stop_run();
  }
  if (n < 0) {
    std::cout << '\n' << "---> STOP..." << '\n' << '\n' << "---> SHOULD NOT BE HERE." << '\n' << '\n';
    return {};
  }
  if (n == 0) return {};
  double a[10];
  for (int i = 0; i < n; ++i) a[i] = x[i];
  bubble_order(a, n);
  if (n == 1) return {static_cast<float>(a[0]), 999.9f, 1};
  // Every dropped value starts the rules again with one value fewer.
  while (n > 2) {
    // Four or five values of which the third is saturated while the two lowest
    // are faint: only the two lowest remain.
    if ((n == 4 || n == 5) && a[2] > 35000.0 && a[0] < 1000.0 && a[1] < 1000.0) {
      n = 2;
      break;
    }
    Candidate c = choose_candidate(a, n);
    const double s = std::max({c.s, 4.0, 0.1 * std::fabs(c.m)});
    const double top = a[n - 1];
    if (top <= c.m + 3.0 * s && a[0] >= c.m - 3.0 * s) {
      double sum = 0.0;
      for (int i = 0; i < n; ++i) sum += a[i];
      const double mean = sum / n;
      double dev = 0.0;
      for (int i = 0; i < n; ++i) dev += std::fabs(a[i] - mean);
      return {static_cast<float>(mean), static_cast<float>(dev / (n - 1)), n};
    }
    if (top > c.m + 3.0 * s) {
      --n;  // drop the highest
    } else {
      std::copy(a + 1, a + n, a);  // drop the lowest
      --n;
    }
  }
  return two_values(a);
}

}  // namespace zeb
