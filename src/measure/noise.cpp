#include "measure/noise.h"

#include <cmath>
#include <numbers>
#include <sstream>

#include "core/stop.h"

namespace zeb {

std::string RandomSequence::state() const {
  std::ostringstream out;
  out << engine_;
  return out.str();
}

void RandomSequence::set_state(const std::string& text) {
  std::istringstream in(text);
  std::mt19937 e;
  in >> e;
  if (in.fail()) run_error("the random sequence's saved state cannot be read");
  engine_ = e;
}

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
