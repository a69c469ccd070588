// The run's single pseudo-random sequence and the normal deviates drawn from it
// for artificial stars. The sequence starts from a fixed state and is never
// reseeded during a run, so a run repeats exactly.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace zeb {

// Uniform numbers from a 32-bit Mersenne Twister (std::mt19937, whose output
// sequence the C++ standard fixes) started with its default seed 5489. Each
// number is (k + 0.5) / 2^32 for the next 32-bit output k: uniform over [0, 1),
// and never exactly 0, so the logarithm of the normal deviate stays finite.
class RandomSequence {
 public:
  RandomSequence() = default;
  double uniform() { return (static_cast<double>(engine_()) + 0.5) * 0x1p-32; }
  void reset() { engine_.seed(std::mt19937::default_seed); }
  // The generator's whole state as text, and setting it back from such text
  // (a checkpoint continues the sequence exactly where a run left it).
  std::string state() const;
  void set_state(const std::string& text);

 private:
  std::mt19937 engine_{std::mt19937::default_seed};
};

// The run's sequence (process-wide).
RandomSequence& run_random();
// Puts the run's sequence back to its starting state (for tests).
void reset_run_random();

// A standard normal deviate: r1, r2 the next two uniform numbers,
// sqrt(-2 ln r2) cos(2 pi r1) (Box-Muller), computed in double.
float noise_sig();

}  // namespace zeb
