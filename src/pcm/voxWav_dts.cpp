// DTS carried in a WAV file: the DTS bitstream stored as 16-bit little-endian samples, either
// as whole 16-bit words (byte-swapped big-endian words) or in 14-bit words (each sample
// carries 14 payload bits in its low bits, the form made for CD players).
#include <algorithm>

#include "core/voxUpStream_console.h"
#include "pcm/voxWav.h"

namespace kavrix {

namespace {

class TWavDtsReader : public TUpStream, public IWavDtsReader {
 public:
  TWavDtsReader() : TUpStream("WAVDTS reader") {}

  bool OpenAudio(const std::string& formatId, uint32_t, uint32_t, uint32_t, uint32_t, bool,
                 uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kDtsWav)) return false;
    announced_ = true;
    count_ = frameCount;
    return true;
  }

  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    if (!CheckData(announced_)) return false;
    try {
      return Process(data, size);
    } catch (...) {
      ReportException();
      return false;
    }
  }

  // A word or group cut off by the end of the file is dropped.
  bool Finish(TKey) override { return GetOk() && FinishUpstreams(); }

 private:
  bool FailDtsMemory() { return Fail("The WAVDTS reader was not able to allocate enough memory."); }

  bool Process(const uint8_t* data, size_t size) {
    if (size != 0 && !AppendOutput(0, data, size)) return FailDtsMemory();
    const size_t held = GetOutputSize(0);
    const uint8_t* in = GetOutputBuffer(0);
    if (!started_) {
      if (held < 4) return true;
      swap16_ = in[0] == 0xFE && in[1] == 0x7F && in[2] == 0x01 && in[3] == 0x80;
      started_ = true;
      const uint64_t length = swap16_ ? count_ : count_ / 16 * 14 + count_ % 16 * 14 / 16;
      if (!OpenAudioUpstreams(std::string(format_id::kDts), 1, 1, 8, 48000, false, length))
        return false;
    }
    size_t used = 0;
    size_t produced = 0;
    if (swap16_) {
      used = held & ~size_t(1);
      if (used == 0) return true;
      if (!ReserveOutput(1, used)) return FailDtsMemory();
      uint8_t* out = GetOutputBuffer(1);
      for (size_t i = 0; i < used; i += 2) {
        out[i] = in[i + 1];
        out[i + 1] = in[i];
      }
      produced = used;
    } else {
      // Eight 14-bit values (16 input bytes) become 112 bits, written as 14 bytes.
      const size_t groups = held / 16;
      if (groups == 0) return true;
      used = groups * 16;
      produced = groups * 14;
      if (!ReserveOutput(1, produced)) return FailDtsMemory();
      uint8_t* out = GetOutputBuffer(1);
      for (size_t g = 0; g < groups; ++g) {
        const uint8_t* w = in + g * 16;
        uint8_t* o = out + g * 14;
        uint64_t bits = 0;  // the first 56 bits, then the second 56
        for (int half = 0; half < 2; ++half) {
          bits = 0;
          for (int k = 0; k < 4; ++k) {
            const uint32_t v = (w[half * 8 + 2 * k] | (w[half * 8 + 2 * k + 1] << 8)) & 0x3FFF;
            bits = (bits << 14) | v;
          }
          for (int b = 0; b < 7; ++b) o[half * 7 + b] = uint8_t(bits >> (48 - 8 * b));
        }
      }
    }
    if (!DeliverData(false, GetOutputBuffer(1), produced, kNoTimeStamp, false)) return false;
    ConsumeOutput(0, used);
    return true;
  }

  bool announced_ = false;
  bool started_ = false;
  bool swap16_ = false;
  uint64_t count_ = 0;  // bytes of the data chunk
};

}  // namespace

UpStreamPtr CreateWavDtsReader() {
  return std::make_shared<TWavDtsReader>();
}

}  // namespace kavrix
