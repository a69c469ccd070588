// The ascending order a bubble sort gives (adjacent values swapped while the
// left one is greater, passes repeated until one swaps nothing), reached the
// quick way when it can be.
#pragma once

#include <cmath>
#include <utility>

namespace zeb {

template <typename T>
void bubble_order(T* values, int n) {
  // Without values that are not numbers the comparison orders strictly and a
  // bubble sort is stable, so its result is the one stable ascending order
  // (equal values, such as -0 and +0, keep their places): an insertion sort
  // gives it in far fewer steps, and for a few values so does counting each
  // value's place. A value that is not a number compares false with
  // everything, and where it ends depends on the passes themselves.
  bool numbers = true;
  for (int k = 0; k < n; ++k) numbers = numbers && !std::isnan(values[k]);
  if (numbers && n <= 16) {
    // Few values: each one's place is the number of values that go before it
    // (smaller, or equal and earlier), counted pair by pair without branches;
    // far quicker than moving values one place at a time.
    T in[16];
    int place[16] = {};
    for (int k = 0; k < n; ++k) in[k] = values[k];
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) {
        const int after = in[i] > in[j];
        place[i] += after;
        place[j] += 1 - after;
      }
    for (int k = 0; k < n; ++k) values[place[k]] = in[k];
    return;
  }
  if (numbers) {
    for (int k = 1; k < n; ++k) {
      const T v = values[k];
      int j = k;
      for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
      values[j] = v;
    }
    return;
  }
  bool swapped = true;
  while (swapped) {
    swapped = false;
    for (int k = 0; k + 1 < n; ++k) {
      if (values[k] > values[k + 1]) {
        std::swap(values[k], values[k + 1]);
        swapped = true;
      }
    }
  }
}

}  // namespace zeb
