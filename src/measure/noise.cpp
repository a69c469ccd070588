#include "measure/noise.h"

#include <cmath>
#include <numbers>

namespace zeb {

RandomSequence& run_random() {
  static RandomSequence sequence;
  return sequence;
}

void reset_run_random() { run_random().reset(); }

float noise_sig() {
  RandomSequence& rs = run_random();
  const double r1 = rs.uniform();
  const double r2 = rs.uniform();
  return static_cast<float>(std::sqrt(-2.0 * std::log(r2)) * std::cos(2.0 * std::numbers::pi * r1));
}

}  // namespace zeb
