// AC3 carried in a WAV file: IEC 61937 bursts in 16-bit little-endian samples. Each burst
// starts with the preamble Pa = 0xF872, Pb = 0x4E1F, Pc, Pd and holds one AC3 frame as
// byte-swapped 16-bit words; a burst fills the time of one frame, 1536 stereo samples.
#include <algorithm>

#include "core/voxUpStream_console.h"
#include "pcm/voxWav.h"

namespace kavrix {

namespace {

constexpr size_t kPreamble = 8;
constexpr size_t kBurstBytes = 1536 * 4;

// The AC3 frame length in bytes of a frame-size code and rate code (0 when invalid). At
// 44.1 kHz frames alternate between two lengths: odd codes carry one more word.
size_t Ac3FrameBytes(uint8_t frmsizecod, uint8_t fscod) {
  static constexpr uint32_t kKbps[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                         192, 224, 256, 320, 384, 448, 512, 576, 640};
  if (frmsizecod >= 38 || fscod >= 3) return 0;
  const uint32_t kbps = kKbps[frmsizecod / 2];
  uint32_t words = 0;
  if (fscod == 0) {
    words = kbps * 2;  // 48 kHz
  } else if (fscod == 1) {
    words = kbps * 96000 / 44100 + (frmsizecod & 1);  // 44.1 kHz
  } else {
    words = kbps * 3;  // 32 kHz
  }
  return size_t(words) * 2;
}

class TWavAc3Reader : public TUpStream, public IWavAc3Reader {
 public:
  TWavAc3Reader() : TUpStream("WAVAC3 reader") {}

  bool OpenAudio(const std::string& formatId, uint32_t, uint32_t, uint32_t, uint32_t, bool,
                 uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kAc3Wav)) return false;
    announced_ = true;
    burstBytes_ = frameCount;
    return true;
  }

  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    try {
      return Process(data, size);
    } catch (...) {
      ReportException();
      return false;
    }
  }

  bool Finish(TKey) override {
    if (!GetOk()) return false;
    // A burst cut off by the end of the file is dropped, as a player would.
    return FinishUpstreams();
  }

 private:
  bool FailInvalid() { return Fail("This doesn't seem to be a valid WAVAC3 file."); }

  bool Process(const uint8_t* data, size_t size) {
    if (!CheckData(announced_)) return false;
    // The rest of the previous burst (its zero stuffing) passes without being held.
    const size_t skipped = size_t(std::min<uint64_t>(skip_, size));
    data += skipped;
    size -= skipped;
    skip_ -= skipped;
    if (size != 0 && !AppendOutput(0, data, size))
      return Fail("The WAVAC3 reader was not able to allocate enough memory.");
    for (;;) {
      const size_t held = GetOutputSize(0);
      if (held < 4) return true;
      const uint8_t* p = GetOutputBuffer(0);
      if (!(p[0] == 0x72 && p[1] == 0xF8 && p[2] == 0x1F && p[3] == 0x4E)) return FailInvalid();
      if (held < kPreamble + 6) return true;
      // The frame's sync word and its rate/size byte, in swapped words.
      if (p[8] != 0x77 || p[9] != 0x0B) return FailInvalid();
      const uint8_t code = p[kPreamble + 5];
      const size_t frameBytes = Ac3FrameBytes(code & 0x3F, code >> 6);
      if (frameBytes == 0) return FailInvalid();
      if (held < kPreamble + frameBytes) return true;
      if (!opened_ && !Open(code)) return false;
      if (!ReserveOutput(1, frameBytes)) {
        return Fail("The WAVAC3 reader was not able to allocate enough memory.");
      }
      uint8_t* out = GetOutputBuffer(1);
      const uint8_t* in = p + kPreamble;
      for (size_t i = 0; i + 1 < frameBytes; i += 2) {
        out[i] = in[i + 1];
        out[i + 1] = in[i];
      }
      if (!DeliverData(false, out, frameBytes, kNoTimeStamp, true)) return false;
      // Drop the whole burst, also the part that is still to come.
      const size_t drop = std::min(held, kBurstBytes);
      ConsumeOutput(0, drop);
      skip_ = kBurstBytes - drop;
      if (skip_ != 0) return true;
    }
  }

  // The stream is announced at its first frame, when the frame length is known: the byte
  // count of the AC3 stream is the number of bursts times the (average) frame length.
  bool Open(uint8_t code) {
    static constexpr uint32_t kRates[3] = {48000, 44100, 32000};
    static constexpr uint32_t kKbps[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                           192, 224, 256, 320, 384, 448, 512, 576, 640};
    const uint32_t rate = kRates[code >> 6];
    const uint64_t kbps = kKbps[(code & 0x3F) / 2];
    const uint64_t bursts = burstBytes_ / kBurstBytes;
    const uint64_t bytes = bursts * kbps * 192000 / rate;
    opened_ = true;
    return OpenAudioUpstreams(std::string(format_id::kAc3), 1, 1, 8, rate, false, bytes);
  }

  bool announced_ = false;
  bool opened_ = false;
  uint64_t burstBytes_ = 0;  // the data chunk's size
  uint64_t skip_ = 0;
};

}  // namespace

UpStreamPtr CreateWavAc3Reader() {
  return std::make_shared<TWavAc3Reader>();
}

}  // namespace kavrix
