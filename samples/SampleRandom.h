#pragma once

// The generator's random numbers: SplitMix64, fixed by its seed on every
// platform (the standard library's distributions are not), so a sample
// document is the same bytes wherever it is made.

#include <cstdint>
#include <string>

namespace quillery {

class SampleRandom {
 public:
  explicit SampleRandom(uint64_t seed) : m_state(seed) {}

  uint64_t Next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); 0 for n <= 0.
  int Below(int n) { return n <= 0 ? 0 : static_cast<int>(Next() % static_cast<uint64_t>(n)); }
  // Uniform in [lo, hi].
  int Range(int lo, int hi) { return lo + Below(hi - lo + 1); }
  // True with probability percent / 100.
  bool Percent(int percent) { return Below(100) < percent; }

  // Mixes two numbers into one seed (for per-note generators).
  static uint64_t Mix(uint64_t a, uint64_t b) {
    SampleRandom r(a * 0x2545F4914F6CDD1Dull ^ b);
    return r.Next();
  }

 private:
  uint64_t m_state;
};

// A 22-character identifier from [A-Za-z0-9] (the shape of the engine's note
// IDs). The first four characters encode `serial` in base 62, so distinct
// serials below 62^4 give distinct IDs; the rest come from the random source.
inline std::string SampleID(uint64_t serial, SampleRandom& rnd) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string id(22, 'A');
  uint64_t s = serial;
  for (int i = 3; i >= 0; --i) {
    id[static_cast<size_t>(i)] = kDigits[s % 62];
    s /= 62;
  }
  for (size_t i = 4; i < id.size(); ++i) id[i] = kDigits[rnd.Below(62)];
  return id;
}

}  // namespace quillery
