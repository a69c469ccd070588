// Deterministic random numbers for the simulator. Every independent part of a
// field (the star list, each exposure's noise, each MAT file) draws from its own
// stream, derived from the field's seed and a stream number, so that a field is
// reproduced exactly from its seed whatever order its files are written in.
#pragma once

#include <cstdint>

namespace zebsim {

// Stream numbers of the parts of a field; a per-exposure stream adds the image slot.
enum FieldStream : std::uint64_t {
  kStarStream = 1,
  kExposureStream = 2,
  kDetectorStream = 3,
  kStartListStream = 5,
  kNoiseStream = 1000,
  kCosmicStream = 2000,
  kMatStream = 4000,
};

class SimRandom {
 public:
  SimRandom(std::uint64_t seed, std::uint64_t stream);

  std::uint64_t next();
  double uniform();                      // [0, 1)
  double uniform(double lo, double hi);  // [lo, hi)
  double normal();                       // standard normal deviate
  // A Poisson deviate of the given mean (0 for a mean not above 0). Exact for
  // small means, the rounded normal approximation from 30 up.
  double poisson(double mean);

 private:
  std::uint64_t s_[4];
  bool have_spare_ = false;
  double spare_ = 0.0;
};

}  // namespace zebsim
