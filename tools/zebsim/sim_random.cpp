#include "sim_random.h"

#include <cmath>
#include <numbers>

namespace zebsim {

namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

SimRandom::SimRandom(std::uint64_t seed, std::uint64_t stream) {
  std::uint64_t x = seed ^ (stream * 0xd1342543de82ef95ULL + 0x2545f4914f6cdd1dULL);
  for (auto& s : s_) s = splitmix64(x);
}

// xoshiro256**
std::uint64_t SimRandom::next() {
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

double SimRandom::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double SimRandom::uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

double SimRandom::normal() {
  if (have_spare_) {
    have_spare_ = false;
    return spare_;
  }
  // Box-Muller; 1 - u keeps the logarithm finite.
  double r = std::sqrt(-2.0 * std::log(1.0 - uniform()));
  double phi = 2.0 * std::numbers::pi * uniform();
  spare_ = r * std::sin(phi);
  have_spare_ = true;
  return r * std::cos(phi);
}

double SimRandom::poisson(double mean) {
  if (!(mean > 0.0)) return 0.0;
  if (mean < 30.0) {
    const double limit = std::exp(-mean);
    double product = uniform();
    int k = 0;
    while (product > limit) {
      ++k;
      product *= uniform();
    }
    return k;
  }
  double k = std::floor(mean + std::sqrt(mean) * normal() + 0.5);
  return k < 0.0 ? 0.0 : k;
}

}  // namespace zebsim
