#pragma once
// Helpers of the PCM filter tests: a sink that records every block with its attributes and the
// valid-bitdepth notice, and feeding a node in blocks of given sizes.
#include <algorithm>
#include <string>
#include <vector>

#include "core/voxUpStream.h"
#include "test_support.h"

namespace kavrix::test {

class TBlockRecorder : public TUpStream {
 public:
  struct TBlock {
    const uint8_t* pointer;
    size_t size;
    int64_t timeStamp;
    bool boundary;
  };

  TBlockRecorder() : TUpStream("block recorder") {}
  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bits, uint32_t, bool bigEndian, uint64_t) override {
    this->formatId = formatId;
    this->channels = channels;
    this->channelMask = channelMask;
    this->bits = bits;
    this->bigEndian = bigEndian;
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    bytes.insert(bytes.end(), data, data + size);
    blocks.push_back({data, size, timeStamp, boundary});
    return true;
  }
  bool Finish(TKey) override {
    ++finishes;
    return true;
  }
  void SetValidBits(uint32_t bits, bool forced) override {
    ++notices;
    noticeBits = bits;
    noticeForced = forced;
  }

  std::string formatId;
  uint32_t channels = 0, channelMask = 0, bits = 0;
  bool bigEndian = false;
  Bytes bytes;
  std::vector<TBlock> blocks;
  int finishes = 0;
  int notices = 0;
  uint32_t noticeBits = 0;
  bool noticeForced = false;
};

// Feeds the bytes in blocks whose sizes cycle through `sizes`; false when a call failed.
inline bool FeedInBlocks(IUpStream& node, const Bytes& data, const std::vector<size_t>& sizes) {
  size_t at = 0;
  for (size_t i = 0; at < data.size(); ++i) {
    const size_t n = std::min(sizes[i % sizes.size()], data.size() - at);
    if (!node.ProcessData(0, false, data.data() + at, n, int64_t(at), false)) return false;
    at += n;
  }
  return true;
}

inline void PutLeBytes(Bytes& b, uint64_t v, size_t width) {
  for (size_t i = 0; i < width; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace kavrix::test
