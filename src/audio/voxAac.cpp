// ADTS AAC: header parsing, the reader and the header stripper; and the tag skipping and
// first-frame check that the MPEG audio reader shares with the AAC reader.
#include "audio/voxAac.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "audio/voxAac_framing.h"
#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

// Tags and zero runs before the first frame are kept for the report up to this size; a
// stream that starts later than this is not taken for one of ours.
constexpr uint64_t kMaxSkipped = uint64_t(64) << 20;

uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
  if (c == 0) return 0;
  const unsigned __int128 v = (unsigned __int128)a * b / c;
  return v > UINT64_MAX ? UINT64_MAX : uint64_t(v);
}
uint32_t Clamp32(uint64_t v) {
  return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
}

// An ID3v2 header ("ID3") or footer ("3DI") with a valid size: the whole tag's length.
uint64_t Id3v2Length(const uint8_t* p) {
  const bool head = p[0] == 'I' && p[1] == 'D' && p[2] == '3';
  const bool foot = p[0] == '3' && p[1] == 'D' && p[2] == 'I';
  if (!head && !foot) return 0;
  if (p[3] == 0xFF || p[4] == 0xFF) return 0;
  if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
  uint64_t length = (uint64_t(p[6]) << 21 | uint64_t(p[7]) << 14 | uint64_t(p[8]) << 7 | p[9]) + 10;
  if (p[3] >= 4 && (p[5] & 0x10)) length += 10;  // a footer follows the tag
  return length;
}

constexpr uint32_t kAdtsRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};

}  // namespace

// ---- ADTS header ----

int ParseAdtsHeader(const uint8_t* p, size_t available, TAdtsHeader* header) {
  if (available < 7 || p[0] != 0xFF || (p[1] & 0xF0) != 0xF0) return kAdtsInvalid;
  if ((p[1] & 0x06) != 0) return kAdtsInvalid;  // layer
  const uint32_t index = (p[2] >> 2) & 0x0F;
  const uint32_t config = uint32_t(p[2] & 1) << 2 | p[3] >> 6;
  if (index > 12 || config == 0) return kAdtsInvalid;
  const size_t headerLength = (p[1] & 1) ? 7 : 9;
  const size_t length = size_t(p[3] & 3) << 11 | size_t(p[4]) << 3 | p[5] >> 5;
  // A frame holds its header and something more (a shorter one would never advance).
  if (length <= headerLength) return kAdtsInvalid;
  if (!header) return kAdtsOk;
  TAdtsHeader& h = *header;
  h.profile = p[2] >> 6;
  h.rateIndex = index;
  h.channelConfig = config;
  h.sampleRate = kAdtsRates[index];
  h.channels = config == 7 ? 8 : config;
  h.length = length;
  h.headerLength = headerLength;
  h.samplesPerFrame = ((p[6] & 3) + 1) * 1024;
  h.noFixedRate = ((uint32_t(p[5] & 0x1F) << 6) | p[6] >> 2) == 0x7FF;
  h.bitrate = Clamp32(uint64_t(h.sampleRate) * length * 8 / h.samplesPerFrame);
  h.config[0] = uint8_t((h.profile + 1) * 8 + index / 2);
  h.config[1] = uint8_t((index & 1) * 128 + config * 8);
  return kAdtsOk;
}

// ---- shared framing ----

TTaggedFrameReader::TTaggedFrameReader(std::string role, TAudioReaderTexts texts,
                                       std::string* gapList, bool strict)
    : TAudioReaderBase(std::move(role), texts, gapList, strict),
      strict_(strict),
      notValid_(texts.notValid) {
  seamlessCheck_ = false;
  minSignificantDrift_ = 70000;  // 7 ms
}

bool TTaggedFrameReader::ProcessData(TKey key, bool header, const uint8_t* data, size_t size,
                                     int64_t timeStamp, bool boundary) {
  if (tagsDone_) return TAudioReaderBase::ProcessData(key, header, data, size, timeStamp, boundary);
  if (!CheckData(Announced())) return false;
  try {
    size_t pos = 0;
    if (skipLeft_ > 0) {
      // The rest of a tag that began in an earlier block.
      pos = size_t(std::min<uint64_t>(skipLeft_, size));
      skipLeft_ -= pos;
      skipped_.append(reinterpret_cast<const char*>(data), pos);
    }
    if (pos < size) {
      if (prefix_.empty()) {
        // The block's time stamp holds for the prefix while nothing is cut from its front.
        prefixStamp_ = pos == 0 ? timeStamp : kNoTimeStamp;
        prefixStamped_ = pos == 0;
      }
      prefix_.insert(prefix_.end(), data + pos, data + size);
    }
    return ScanTags(key);
  } catch (const std::exception&) {
    return FailMemory();
  }
}

// Skips tags and zero runs at the front of the prefix while more than 9 bytes remain.
bool TTaggedFrameReader::ScanTags(TKey key) {
  size_t pos = 0;
  bool more = false;  // waiting for more data
  while (skipLeft_ == 0) {
    const size_t left = prefix_.size() - pos;
    if (left <= 9) {
      more = !atEnd_;
      break;
    }
    const uint8_t* p = prefix_.data() + pos;
    size_t skip = 0;
    if (p[0] == 0) {
      while (skip < left && p[skip] == 0) ++skip;
    } else if (p[0] == 'T' && p[1] == 'A' && p[2] == 'G') {
      if (left < 135) {
        more = !atEnd_;
        break;
      }
      skip = 128;
    } else if (const uint64_t length = Id3v2Length(p); length > 0) {
      skip = size_t(std::min<uint64_t>(length, left));
      skipLeft_ = length - skip;
    } else {
      break;
    }
    skipped_.append(reinterpret_cast<const char*>(p), skip);
    pos += skip;
    prefixStamped_ = false;
    if (skipped_.size() + skipLeft_ > kMaxSkipped) {
      return Fail(notValid_);
    }
  }
  if (skipLeft_ > 0) more = !atEnd_;
  prefix_.erase(prefix_.begin(), prefix_.begin() + long(pos));
  if (more) return GetOk();
  return EndTags(key);
}

bool TTaggedFrameReader::EndTags(TKey key) {
  tagsDone_ = true;
  skipLeft_ = 0;
  std::vector<uint8_t> rest;
  rest.swap(prefix_);
  if (!CheckStart(rest.data(), rest.size())) {
    SetOk(false);
    return false;
  }
  if (rest.empty()) return GetOk();
  return TAudioReaderBase::ProcessData(key, false, rest.data(), rest.size(),
                                       prefixStamped_ ? prefixStamp_ : kNoTimeStamp, false);
}

bool TTaggedFrameReader::Finish(TKey key) {
  if (!GetOk()) return false;
  atEnd_ = true;
  if (!tagsDone_) {
    try {
      if (!ScanTags(key)) return false;
    } catch (const std::exception&) {
      return FailMemory();
    }
  }
  return TAudioReaderBase::Finish(key);
}

int TTaggedFrameReader::ParseUnit(const uint8_t* data, size_t size, size_t expected,
                                  TAudioUnit& unit) {
  TTaggedFrame frame;
  const int r = ParseFrame(data, size, frame);
  if (r != 0) return r;
  if (frame.length > size) return -1;
  if (expected == 0) {
    // The first frame is believed when the six frames after it parse as frames of the same
    // stream and a sync word follows them (at the end of the data: as far as they go).
    size_t off = frame.length;
    for (int i = 1; i <= 7; ++i) {
      if (size - off < 4) {
        if (!atEnd_) return -1;
        break;
      }
      if (!IsSync(data + off, size - off)) return 1;
      if (i == 7) break;
      TTaggedFrame next;
      const int rn = ParseFrame(data + off, size - off, next);
      if (rn > 0 || (rn == 0 && next.kind != frame.kind)) return 1;
      if (rn < 0 || next.length > size - off) {
        if (!atEnd_) return -1;
        break;
      }
      off += next.length;
    }
    kind_ = frame.kind;
  } else {
    // A later frame: one of the same stream, followed by a sync word or the end of the data.
    if (frame.kind != kind_) return 1;
    if (size - frame.length >= 2) {
      if (!IsSync(data + frame.length, size - frame.length)) return 1;
    } else if (!atEnd_ || size != frame.length) {
      return -1;
    }
  }
  unit.skipped = 0;
  unit.length = frame.length;
  unit.samples = frame.samples;
  unit.sampleRate = frame.sampleRate;
  return 0;
}

// ---- the AAC reader ----

namespace {

TAudioReaderTexts AacTexts() {
  TAudioReaderTexts t;
  t.notValid = "This doesn't seem to be a valid AAC stream.";
  t.incompleteLast = "The last AAC frame is incomplete and thus gets skipped.";
  t.noUnits = "The stream doesn't seem to contain any valid AAC frames.";
  return t;
}

class TAacReader final : public TTaggedFrameReader {
 public:
  TAacReader(std::string* gapList, bool strict)
      : TTaggedFrameReader("AAC reader", AacTexts(), gapList, strict) {
    searchLimit_ = 24576;
    maxUnitGrowth_ = 8192 + 8;  // frames are up to 8191 bytes long
  }

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t, uint32_t bitsPerSample,
                 uint32_t, bool, uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kUnknown || formatId == format_id::kAac))
      return false;
    StartReading(MulDiv(frameCount, uint64_t(channels) * bitsPerSample, 8));
    return GetOk();
  }

 protected:
  int ParseFrame(const uint8_t* data, size_t size, TTaggedFrame& frame) override {
    if (size < 7) return -1;
    TAdtsHeader h;
    if (ParseAdtsHeader(data, size, &h) != kAdtsOk) return 1;
    frame.length = h.length;
    frame.samples = h.samplesPerFrame;
    frame.sampleRate = h.sampleRate;
    frame.kind = h.profile << 8 | h.rateIndex << 4 | h.channelConfig;
    return 0;
  }

  bool IsSync(const uint8_t* data, size_t size) const override {
    return size >= 2 && data[0] == 0xFF && (data[1] & 0xF6) == 0xF0;
  }

  bool CheckStart(const uint8_t* data, size_t size) override {
    if (Strict() && size >= 2 && !(data[0] == 0xFF && (data[1] & 0xF0) == 0xF0))
      return Fail("This doesn't seem to be a valid AAC file.");
    return true;
  }

  void FailFirstUnit(int) override { Fail("This doesn't seem to be a valid AAC stream."); }

  bool StartStream(const uint8_t* data, size_t size, const TAudioUnit&) override {
    TAdtsHeader h;
    if (ParseAdtsHeader(data, size, &h) != kAdtsOk) {
      Fail("This doesn't seem to be a valid AAC stream.");
      return false;
    }
    const uint32_t mask = DefaultChannelMask(h.channels);
    TAudioFormatParams p;
    p.verified = true;
    p.formatId = std::string(format_id::kAac);
    p.displayName = "AAC";
    p.channels = h.channels;
    p.channelMask = mask;
    p.sampleRate = h.sampleRate;
    p.codecPrivate.assign(reinterpret_cast<const char*>(h.config), 2);
    p.auxText2 = SkippedBytes();
    if (!h.noFixedRate && h.bitrate != 0) {
      // The leading tags are no audio.
      const uint64_t skipped = SkippedBytes().size();
      const uint64_t audio = StreamBytes() > skipped ? StreamBytes() - skipped : 0;
      p.bitrate = h.bitrate;
      p.duration = Clamp32(MulDiv(audio, 8000, h.bitrate));
    }
    TUpStream::SetAudioFormat(p);
    return OpenAudioUpstreams(std::string(format_id::kAac), h.channels, mask, 24, h.sampleRate,
                              false, 0);
  }
};

// ---- the header stripper ----

class TAacHeaderStripper final : public TUpStream {
 public:
  TAacHeaderStripper() : TUpStream("AAC header stripper") {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kAac)) return false;
    announced_ = true;
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }

  // One frame per block: the payload goes on without the 7-byte header (9 with a CRC).
  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(announced_)) return false;
    if (size <= 9) return true;
    const size_t skip = (data[1] & 1) ? 7 : 9;
    if (!DeliverData(header, data + skip, size - skip, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

 private:
  bool announced_ = false;
};

}  // namespace

UpStreamPtr CreateAacReader(std::string* gapList, bool strict) {
  return std::make_shared<TAacReader>(gapList, strict);
}

UpStreamPtr CreateAacHeaderStripper() {
  return std::make_shared<TAacHeaderStripper>();
}

}  // namespace kavrix
