#pragma once
// Lowering the number of bits of PCM samples.
//
// The bitdepth reducer requantises "pcm" (16, 24, 32 bits; 8 bits pass) or "float" 64 input to
// 8..32 bits, rounding half up, with optional TPDF dither of one step of the target. The result
// sits in the most significant bits of a 1-, 2-, 3- or 4-byte sample (20 bits travel in 3 bytes
// with the lowest 4 bits zero). Input that is already narrow enough passes unchanged.
//
// The 16-bit stripper turns 24-bit PCM whose lowest byte is always zero into 16-bit PCM
// without arithmetic. It gives up at the first non-zero low byte: in check mode it reports
// that and quietly drops the rest (the caller asks GaveUp()); in an output chain the give-up
// is an error, since the rest of the audio would be lost.
#include <cstdint>

#include "core/voxUpStream.h"

namespace kavrix {

// Role interface of the bitdepth reducer.
class IBitdepthReducer {
 public:
  virtual ~IBitdepthReducer() = default;
};

// Role interface of the 16-bit stripper.
class IStripTo16bit {
 public:
  virtual ~IStripTo16bit() = default;
  // A sample with a non-zero low byte was found.
  virtual bool GaveUp() const = 0;
};

// bits: the target, 8..32 (anything else makes a failed node).
UpStreamPtr CreateBitdepthReducer(uint32_t bits, bool dither);
// Factory form: bits 0 = 24; silent: the "Reducing depth" notice is not shown (errors are).
UpStreamPtr CreateBitdepthReducer(uint32_t bits, bool dither, bool silent);

// checkMode: report success at the end instead of announcing the stripping; a give-up is then
// not an error.
UpStreamPtr CreateStripTo16bit(bool checkMode);

}  // namespace kavrix
