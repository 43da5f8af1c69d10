#pragma once
// Channel remapping of interleaved PCM, and the carry of an incomplete sample that every
// per-sample node keeps between deliveries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

// The incomplete tail of one delivery, completed with the start of the next. A unit is one
// sample or one sample frame, as the node works. Typical use per block:
//   const uint8_t* first = carry.Complete(data, size);  // a carried unit made whole, or null
//   size_t whole = carry.WholeBytes(size);              // whole units at data
//   ... work on first (one unit), then on data[0, whole) ...
//   carry.Keep(data + whole, size - whole);
class TSampleCarry {
 public:
  // Sets the unit's size in bytes and empties the carry (may throw std::bad_alloc).
  void Reset(size_t unit) {
    unit_ = unit;
    used_ = 0;
    bytes_.assign(unit, 0);
  }
  size_t Unit() const { return unit_; }
  size_t Size() const { return used_; }

  // With bytes carried, moves bytes from the front of the block into the carry (advancing
  // data and size). Returns the completed unit (valid until the next Keep or Reset), or null
  // when nothing was carried or the whole block still does not complete the unit.
  const uint8_t* Complete(const uint8_t*& data, size_t& size) {
    if (used_ == 0 || unit_ == 0) return nullptr;
    const size_t take = std::min(unit_ - used_, size);
    std::memcpy(bytes_.data() + used_, data, take);
    used_ += take;
    data += take;
    size -= take;
    if (used_ < unit_) return nullptr;
    used_ = 0;
    return bytes_.data();
  }
  // The bytes of whole units among the first `size` bytes.
  size_t WholeBytes(size_t size) const { return unit_ == 0 ? 0 : size - size % unit_; }
  // Keeps the tail of a block (fewer bytes than a unit) after what is already carried.
  void Keep(const uint8_t* data, size_t size) {
    size = std::min(size, unit_ - used_);
    if (size > 0) std::memcpy(bytes_.data() + used_, data, size);
    used_ += size;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t unit_ = 0;
  size_t used_ = 0;
};

// Role interface of the channel modder (no operations of its own).
class IChannelModder {
 public:
  virtual ~IChannelModder() = default;
};

// Reorders, duplicates or picks channels: output channel j takes input channel map[j].
// "pcm" 8/16/24/32 or "float" 32/64; the byte order is passed through unchanged.
//  - map form: one input index per output channel, and the output's channel mask (0 = the
//    input's when the channel count stays, else the default mask of the new count);
//  - remap string: single digits separated by commas ("0,2,1,4,5,3"), or "bluray"; the
//    channel count and mask stay;
//  - automatic: a stream with both back channels and no side channel is relabelled as side
//    channels (0x30 -> 0x600) and, where back centre or the centre pair sit between them
//    in mask order, reordered to stay in mask order.
// A map that keeps every channel in place hands blocks on without copying.
UpStreamPtr CreateChannelModder(const std::vector<uint32_t>& map, uint32_t outputMask);
UpStreamPtr CreateChannelModder(const std::string& remap);
UpStreamPtr CreateChannelModder();

}  // namespace kavrix
