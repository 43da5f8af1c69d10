#pragma once
// Nodes that examine or re-block PCM on its way through a chain: the bit-depth analyzer, the
// sample sorter, and the in-memory chain end.
//
// The HDCD decoder (detection and decoding of HDCD in 16-bit audio) belongs with these nodes
// but is not built yet: the planning places its detection-mode instance right behind the
// source-side bit-depth analyzer, and readers wait for its verdict. Neither the analyzer nor
// the sorter depends on it.
#include <cstdint>
#include <string>

#include "core/voxUpStream.h"

namespace kavrix {

// Counts per channel how many significant bits the samples really carry, reports the result
// at the end of the stream and passes a valid-bitdepth notice towards the destination. The
// audio passes unchanged.
class IBitdepthAnalyzer {
 public:
  virtual ~IBitdepthAnalyzer() = default;
  // The highest bit count seen in any channel, 0 when no sample was counted.
  virtual uint32_t GetMaxBits() = 0;
};

// A chain end that keeps every byte it receives.
class IMemStorage {
 public:
  virtual ~IMemStorage() = default;
  // All stored bytes, empty when no format was announced.
  virtual std::string GetStoredData() = 0;
};

// sourceSide: true for the instance on the source track ("Original audio track ..."), false
// for the one on the processed output ("Processed ..."; its notice is forced).
UpStreamPtr CreateBitdepthAnalyzer(bool sourceSide);
// Re-blocks "pcm" or "float" so that every delivered block holds whole samples.
UpStreamPtr CreateSampleSorter();
UpStreamPtr CreateMemStorage();

}  // namespace kavrix
