#pragma once
// Level nodes of uncompressed audio: the channel amplifier (any PCM times a factor, out as
// "float" 64), the float enforcer (any PCM to "float" 64 or 32), the peak sample finder (the
// largest absolute sample of a stream, for the gain of a second pass), the spike remover
// (smooths the joint where inserted audio meets the stream) and the raw equalizer (a fixed
// integer gain per channel).
#include <cstdint>
#include <string>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

// Role interfaces, recognised with Query<>.
class IChannelAmplifier {
 public:
  virtual ~IChannelAmplifier() = default;
};
class IFloatEnforcer {
 public:
  virtual ~IFloatEnforcer() = default;
};

// The spike remover's extra operation. A node that inserts audio into a stream calls
// MarkSplice right before it delivers the inserted audio.
class ISpikeRemover {
 public:
  virtual ~ISpikeRemover() = default;
  virtual void MarkSplice() = 0;
};

// Multiplies every sample by `factor` and outputs "float" 64. A non-zero `dB` is rounded to two
// decimals (a value that rounds to 0 becomes +-0.001) and shown once as "Applying <dB>dB
// gain..."; 0 shows nothing.
UpStreamPtr CreateChannelAmplifier(double dB, double factor);
// Converts "pcm" 8..32 and "float" 32/64 to "float" with `bits` 32 or 64 (anything but 32
// means 64). A stream already in the asked float width passes through untouched.
UpStreamPtr CreateFloatEnforcer(uint32_t bits);
// Passes the stream on unchanged and, at the end, raises *peak to the largest absolute sample
// seen (full scale 1.0) if that is larger. Warns once when the stream clips.
UpStreamPtr CreatePeakSampleFinder(double* peak);
// Holds back 0.5 ms of audio so that the frames around a marked splice can be cross-faded.
UpStreamPtr CreateSpikeRemover();
// Applies per-channel gains in units of 1/256 (256 = unchanged; channels beyond the list get
// 256) to "pcm" 8/16/24. With `dither` the output keeps its width (TPDF-dithered rounding);
// without, the exact products come out 8 bits wider.
UpStreamPtr CreateRawEqualizer(const std::vector<uint32_t>& gains256, bool dither);

// The text of a gain in dB as the amplifier shows it ("-3", "0.001", "12").
std::string GainText(double dB);
// The factory's rounding of a gain in dB to two decimals (non-zero stays non-zero).
double RoundGainDb(double dB);

}  // namespace kavrix
