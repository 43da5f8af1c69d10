// MPEG audio: frame headers and the reader.
#include "audio/voxMPx.h"

#include <cstring>

#include "audio/voxAac_framing.h"

namespace kavrix {

namespace {

uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
  if (c == 0) return 0;
  const unsigned __int128 v = (unsigned __int128)a * b / c;
  return v > UINT64_MAX ? UINT64_MAX : uint64_t(v);
}
uint32_t Clamp32(uint64_t v) {
  return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
}
uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// kbit/s by bit-rate index 1..14.
constexpr uint16_t kRates[5][14] = {
    {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
    {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
    {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
    {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 layer I
    {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 II, III
};
constexpr uint32_t kSampleRates[3][3] = {
    {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

bool IsMpegSync(const uint8_t* p, size_t size) {
  return size >= 2 && p[0] == 0xFF && (p[1] & 0xE0) == 0xE0;
}

}  // namespace

int ParseMpegAudioHeader(const uint8_t* p, size_t available, TMpegAudioHeader* header) {
  // The channel mode lies in the fourth byte.
  if (available < 4 || !IsMpegSync(p, available)) return kMpegAudioInvalid;
  const uint32_t versionBits = (p[1] >> 3) & 3;
  const uint32_t layerBits = (p[1] >> 1) & 3;
  const uint32_t rateIndex = p[2] >> 4;
  const uint32_t sampleIndex = (p[2] >> 2) & 3;
  if (versionBits == 1 || layerBits == 0 || rateIndex == 15 || sampleIndex == 3)
    return kMpegAudioInvalid;
  TMpegAudioHeader h;
  h.version = versionBits == 3 ? kMpeg1 : versionBits == 2 ? kMpeg2 : kMpeg25;
  h.layer = 4 - layerBits;
  h.sampleRate = kSampleRates[h.version - 1][sampleIndex];
  h.channelMode = p[3] >> 6;
  h.channels = h.channelMode == 3 ? 1 : 2;
  h.channelText = h.channelMode == 3 ? "1.0" : h.channelMode == 2 ? "1+1" : "2.0";
  const uint32_t padding = (p[2] >> 1) & 1;
  if (h.layer == 1) {
    h.samplesPerFrame = 384;
  } else if (h.layer == 2 || h.version == kMpeg1) {
    h.samplesPerFrame = 1152;
  } else {
    h.samplesPerFrame = 576;
  }
  if (rateIndex == 0) {
    if (header) *header = std::move(h);
    return kMpegAudioFree;
  }
  const size_t table = h.version == kMpeg1 ? h.layer - 1 : h.layer == 1 ? 3 : 4;
  h.bitrate = uint32_t(kRates[table][rateIndex - 1]) * 1000;
  if (h.layer == 1) {
    h.length = (h.bitrate * 12 / h.sampleRate + padding) * 4;
  } else if (h.samplesPerFrame == 1152) {
    h.length = h.bitrate * 144 / h.sampleRate + padding;
  } else {
    h.length = h.bitrate * 72 / h.sampleRate + padding;
  }
  if (header) *header = std::move(h);
  return kMpegAudioOk;
}

namespace {

TAudioReaderTexts MPxTexts() {
  TAudioReaderTexts t;
  t.notValid = "This doesn't seem to be a valid MPx stream.";
  t.incompleteLast = "The last MPx frame is incomplete and thus gets skipped.";
  t.noUnits = "The stream doesn't seem to contain any valid MPx frames.";
  return t;
}

const char kFreeText[] = "MPx streams with \"free\" bitrate are not supported.";

class TMPxReader final : public TTaggedFrameReader, public IMPxReader {
 public:
  TMPxReader(std::string* gapList, bool strict)
      : TTaggedFrameReader("MPx reader", MPxTexts(), gapList, strict) {
    searchLimit_ = 12288;
  }

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t, uint32_t bitsPerSample,
                 uint32_t, bool, uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kUnknown || formatId == format_id::kMp1 ||
                           formatId == format_id::kMp2 || formatId == format_id::kMp3))
      return false;
    StartReading(MulDiv(frameCount, uint64_t(channels) * bitsPerSample, 8));
    return GetOk();
  }

 protected:
  int ParseFrame(const uint8_t* data, size_t size, TTaggedFrame& frame) override {
    if (size < 4) return -1;
    TMpegAudioHeader h;
    const int r = ParseMpegAudioHeader(data, size, &h);
    if (r != kMpegAudioOk) return r;
    frame.length = h.length;
    frame.samples = h.samplesPerFrame;
    frame.sampleRate = h.sampleRate;
    frame.kind = uint32_t(data[1] & 0x1E) << 8 | ((data[2] >> 2) & 3);  // version, layer, rate
    return 0;
  }

  bool IsSync(const uint8_t* data, size_t size) const override { return IsMpegSync(data, size); }

  bool CheckStart(const uint8_t* data, size_t size) override {
    if (Strict() && size >= 2 && !IsMpegSync(data, size))
      return Fail("This doesn't seem to be a valid MPx file.");
    if (ParseMpegAudioHeader(data, size, nullptr) == kMpegAudioFree) return Fail(kFreeText);
    return true;
  }

  void FailFirstUnit(int code) override {
    Fail(code == kMpegAudioFree ? kFreeText : "This doesn't seem to be a valid MPx stream.");
  }

  bool StartStream(const uint8_t* data, size_t size, const TAudioUnit& unit) override {
    TMpegAudioHeader h;
    if (ParseMpegAudioHeader(data, size, &h) != kMpegAudioOk) {
      Fail("This doesn't seem to be a valid MPx stream.");
      return false;
    }
    Report(h, data, std::min(size, unit.length));
    const std::string id = "mp" + std::to_string(h.layer);
    const uint32_t mask = DefaultChannelMask(h.channels);
    return OpenAudioUpstreams(id, h.channels, mask, 24, h.sampleRate, false, 0);
  }

 private:
  enum TVbr { kNone, kXing, kInfo, kVbri };

  // A VBR header in the first frame (frame: its bytes) and its frame count.
  static TVbr FindVbrHeader(const TMpegAudioHeader& h, const uint8_t* frame, size_t length,
                            uint64_t& frames) {
    size_t at = 21;
    if (h.version == kMpeg1 && h.channels == 2) {
      at = 36;
    } else if (h.version != kMpeg1 && h.channels == 1) {
      at = 13;
    }
    if (at + 12 <= length) {
      const bool xing = std::memcmp(frame + at, "Xing", 4) == 0;
      const bool info = std::memcmp(frame + at, "Info", 4) == 0;
      if ((xing || info) && (frame[at + 7] & 1)) {
        frames = BigEndian32(frame + at + 8);
        return xing ? kXing : kInfo;
      }
    }
    if (36 + 18 <= length && std::memcmp(frame + 36, "VBRI", 4) == 0) {
      frames = BigEndian32(frame + 36 + 14);
      return kVbri;
    }
    return kNone;
  }

  void Report(const TMpegAudioHeader& h, const uint8_t* frame, size_t length) {
    TAudioFormatParams p;
    p.verified = true;
    p.formatId = "mp" + std::to_string(h.layer);
    p.displayName = "MP" + std::to_string(h.layer);
    p.channelText = h.channelText;
    p.channels = h.channels;
    p.channelMask = DefaultChannelMask(h.channels);
    p.sampleRate = h.sampleRate;
    p.auxText2 = SkippedBytes();
    const uint64_t skipped = SkippedBytes().size();
    const uint64_t audio = StreamBytes() > skipped ? StreamBytes() - skipped : 0;
    uint64_t frames = 0;
    TVbr vbr = FindVbrHeader(h, frame, length, frames);
    // The playing frames are one fewer than the header counts; a count that leaves none is
    // ignored.
    if (vbr != kNone && frames < 2) vbr = kNone;
    if (vbr == kNone) {
      p.bitrate = h.bitrate;
      p.duration = Clamp32(MulDiv(audio, 8000, h.bitrate));
    } else {
      const uint64_t ms = MulDiv((frames - 1) * h.samplesPerFrame, 1000, h.sampleRate);
      p.duration = Clamp32(ms);
      p.bitrate = vbr == kInfo || ms == 0 ? h.bitrate : Clamp32(MulDiv(audio, 8000, ms));
    }
    TUpStream::SetAudioFormat(p);
  }
};

}  // namespace

UpStreamPtr CreateMPxReader(std::string* gapList, bool strict) {
  return std::make_shared<TMPxReader>(gapList, strict);
}

}  // namespace kavrix
