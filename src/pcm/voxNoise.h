#pragma once
// Random numbers for dither: the MT19937 Mersenne Twister (32-bit words, seeding by key
// array). A plain object, not a node; one generator per user, never shared between threads.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kavrix {

class TFastRandom {
 public:
  // Seeds the generator with a key of 32-bit words (an empty key counts as one zero word).
  TFastRandom(const uint32_t* key, size_t length);

  // The next 32-bit number.
  uint32_t Next() {
    if (index_ >= kStateSize) Regenerate();
    uint32_t y = state_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
  }

  static constexpr size_t kStateSize = 624;

 private:
  void Regenerate();

  uint32_t state_[kStateSize];
  size_t index_ = kStateSize;
};

// A generator seeded from the clocks (monotonic milliseconds, the wall clock in 100 ns units
// since 1601 as two words) and value × 4369 plus a process-wide count, so that generators
// made at the same moment still differ.
std::unique_ptr<TFastRandom> CreateFastRandom(uint32_t value);

}  // namespace kavrix
