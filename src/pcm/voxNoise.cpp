#include "pcm/voxNoise.h"

#include <time.h>

#include <atomic>

namespace kavrix {

namespace {

constexpr size_t kShift = 397;
constexpr uint32_t kMatrix = 0x9908B0DFu;
constexpr uint32_t kUpper = 0x80000000u;
constexpr uint32_t kLower = 0x7FFFFFFFu;

inline uint32_t Twist(uint32_t a, uint32_t b) {
  const uint32_t y = (a & kUpper) | (b & kLower);
  return (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
}

std::atomic<uint32_t> generatorCount{0};

}  // namespace

TFastRandom::TFastRandom(const uint32_t* key, size_t length) {
  const uint32_t zero = 0;
  if (length == 0 || key == nullptr) {
    key = &zero;
    length = 1;
  }
  // Plain seeding with the fixed start value, then the key mixed in.
  state_[0] = 19650218u;
  for (size_t i = 1; i < kStateSize; ++i)
    state_[i] = 1812433253u * (state_[i - 1] ^ (state_[i - 1] >> 30)) + uint32_t(i);
  size_t i = 1, j = 0;
  for (size_t k = kStateSize > length ? kStateSize : length; k > 0; --k) {
    state_[i] =
        (state_[i] ^ ((state_[i - 1] ^ (state_[i - 1] >> 30)) * 1664525u)) + key[j] + uint32_t(j);
    ++i;
    ++j;
    if (i >= kStateSize) {
      state_[0] = state_[kStateSize - 1];
      i = 1;
    }
    if (j >= length) j = 0;
  }
  for (size_t k = kStateSize - 1; k > 0; --k) {
    state_[i] = (state_[i] ^ ((state_[i - 1] ^ (state_[i - 1] >> 30)) * 1566083941u)) - uint32_t(i);
    ++i;
    if (i >= kStateSize) {
      state_[0] = state_[kStateSize - 1];
      i = 1;
    }
  }
  state_[0] = 0x80000000u;  // the state can never be all zero
  index_ = kStateSize;
}

void TFastRandom::Regenerate() {
  size_t k = 0;
  for (; k < kStateSize - kShift; ++k)
    state_[k] = state_[k + kShift] ^ Twist(state_[k], state_[k + 1]);
  for (; k < kStateSize - 1; ++k)
    state_[k] = state_[k + kShift - kStateSize] ^ Twist(state_[k], state_[k + 1]);
  state_[kStateSize - 1] = state_[kShift - 1] ^ Twist(state_[kStateSize - 1], state_[0]);
  index_ = 0;
}

std::unique_ptr<TFastRandom> CreateFastRandom(uint32_t value) {
  timespec mono{}, wall{};
  clock_gettime(CLOCK_MONOTONIC, &mono);
  clock_gettime(CLOCK_REALTIME, &wall);
  const uint64_t ticks = uint64_t(mono.tv_sec) * 1000u + uint64_t(mono.tv_nsec) / 1000000u;
  // 100 ns units since 1 January 1601.
  const uint64_t fileTime =
      uint64_t(wall.tv_sec) * 10000000u + uint64_t(wall.tv_nsec) / 100u + 116444736000000000ull;
  const uint32_t key[4] = {uint32_t(ticks), uint32_t(fileTime), uint32_t(fileTime >> 32),
                           value * 4369u + generatorCount.fetch_add(1, std::memory_order_relaxed)};
  return std::make_unique<TFastRandom>(key, 4);
}

}  // namespace kavrix
