// The DTS readers: core-based streams (with .dtshd unwrapping and padding removal) and
// streams of DTS-HD extension substreams without a core.
#include "audio/voxDts.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "audio/voxAudioReader.h"
#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

bool IsCoreSync(const uint8_t* p) {
  return p[0] == 0x7F && p[1] == 0xFE && p[2] == 0x80 && p[3] == 0x01;
}
bool IsHdSync(const uint8_t* p) {
  return p[0] == 0x64 && p[1] == 0x58 && p[2] == 0x20 && p[3] == 0x25;
}

uint32_t Clamp32(uint64_t v) {
  return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
}

// (stream bytes ÷ frame bytes) frames × samples ÷ rate, in ms; 0 when anything is unknown.
uint32_t DurationMs(uint64_t streamBytes, uint64_t frameBytes, uint64_t samples, uint64_t rate) {
  if (frameBytes == 0 || rate == 0) return 0;
  return Clamp32((streamBytes / frameBytes) * 1000 * samples / rate);
}

// Core length plus the substreams right behind it, as far as the headers tell (0 when the
// core header is not buffered yet).
size_t DeclaredCoreFrame(const uint8_t* p, size_t n) {
  if (n < 8 || !IsCoreSync(p)) return 0;
  size_t off = size_t(uint32_t(p[5] & 3) << 12 | uint32_t(p[6]) << 4 | p[7] >> 4) + 1;
  size_t size = 0;
  while (off + 4 <= n && IsHdSync(p + off) &&
         PeekDtsHdSubstreamSize(p + off, n - off, &size) == kDtsHdOk)
    off += size;
  return off;
}

size_t DeclaredSubstream(const uint8_t* p, size_t n) {
  size_t size = 0;
  return PeekDtsHdSubstreamSize(p, n, &size) == kDtsHdOk ? size : 0;
}

TAudioReaderTexts DtsTexts() {
  TAudioReaderTexts t;
  t.notValid = "This doesn't seem to be a valid DTS stream.";
  t.incompleteLast = "The last DTS frame is incomplete and thus gets skipped.";
  t.noUnits = "The stream doesn't seem to contain any valid DTS frames.";
  t.seamless = "Skipping identical DTS frames (seamless branching)...";
  return t;
}

constexpr int kDtsChanged = 3;  // a later frame differs in kind from the first one

// What both DTS readers share: zero bytes at the end of a block are held back until more
// data follows, so that the padding after the last frame of a stream is never taken for an
// incomplete frame; the padding in front of a frame is skipped and dropped with it.
class TDtsReaderCommon : public TAudioReaderBase {
 public:
  TDtsReaderCommon(std::string* gapList, bool headerListing, bool strictStart)
      : TAudioReaderBase("DTS reader", DtsTexts(), gapList, strictStart),
        headerListing_(headerListing),
        strictStart_(strictStart) {
    searchLimit_ = 409600;
    maxUnitGrowth_ = 1 << 18;
  }

  bool Finish(TKey key) override {
    if (!GetOk()) return false;
    atEnd_ = true;
    try {
      ReleaseNeededZeros();
    } catch (const std::exception&) {
      return FailMemory();
    }
    return TAudioReaderBase::Finish(key);
  }

 protected:
  // The length the buffered frame at p declares (0 when unknown).
  virtual size_t DeclaredLength(const uint8_t* p, size_t n) const = 0;

  // Hands a block to the reader base, holding back its trailing zeros.
  bool Forward(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
               bool boundary) {
    if (size == 0) return TAudioReaderBase::ProcessData(key, header, data, 0, timeStamp, boundary);
    size_t used = size;
    while (used > 0 && data[used - 1] == 0) --used;
    if (used == 0) {
      heldZeros_ += size;
      return GetOk();
    }
    if (!ReleaseZeros(key, heldZeros_)) return false;
    heldZeros_ = size - used;
    return TAudioReaderBase::ProcessData(key, header, data, used, timeStamp, boundary);
  }

  // Zero bytes in front of a later frame: the previous frame's padding.
  size_t LeadingZeros(const uint8_t* data, size_t size, size_t expected) {
    if (expected == 0) return 0;
    size_t z = 0;
    while (z < size && data[z] == 0) ++z;
    return z;
  }
  void PaddingDropped() {
    if (paddingShown_) return;
    paddingShown_ = true;
    ShowMessage(kMsgNormal, "Removing DTS zero padding...");
  }
  void ShowListing(const std::vector<std::string>& lines) {
    for (const auto& l : lines) ShowMessage(kMsgNormal, l, true);
  }

  const bool headerListing_;
  const bool strictStart_;
  bool atEnd_ = false;
  bool started_ = false;

 private:
  bool ReleaseZeros(TKey key, uint64_t count) {
    static const uint8_t kZeros[4096] = {};
    while (count > 0 && GetOk()) {
      const size_t n = size_t(std::min<uint64_t>(count, sizeof kZeros));
      if (!TAudioReaderBase::ProcessData(key, false, kZeros, n, kNoTimeStamp, false)) return false;
      count -= n;
    }
    return GetOk();
  }
  // At the end: the held zeros that the buffered frame still needs belong to it.
  void ReleaseNeededZeros() {
    const uint8_t* b = GetOutputBuffer(0);
    const size_t n = GetOutputSize(0);
    size_t z = 0;
    while (z < n && b[z] == 0) ++z;
    if (z < n) {
      const size_t need = DeclaredLength(b + z, n - z);
      if (need > n - z) ReleaseZeros(0, std::min<uint64_t>(heldZeros_, need - (n - z)));
    }
    heldZeros_ = 0;
  }

  uint64_t heldZeros_ = 0;
  bool paddingShown_ = false;
};

// ---- core-based streams ----

class TDtsReader final : public TDtsReaderCommon, public IDtsReader {
 public:
  TDtsReader(std::string* gapList, bool coreOnly, bool headerListing, bool strictStart)
      : TDtsReaderCommon(gapList, headerListing, strictStart), coreOnly_(coreOnly) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t, uint32_t bitsPerSample,
                 uint32_t, bool, uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kUnknown || formatId == format_id::kDts ||
                           formatId == format_id::kDtsMa || formatId == format_id::kDtsHr))
      return false;
    const unsigned __int128 bytes = (unsigned __int128)frameCount * channels * bitsPerSample / 8;
    StartReading(bytes > UINT64_MAX ? UINT64_MAX : uint64_t(bytes));
    searchLimit_ = 409600;
    return GetOk();
  }

  bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(Announced())) return false;
    try {
      switch (stage_) {
        case kPlain:
          return Forward(key, header, data, size, timeStamp, boundary);
        case kChunk: {
          const size_t n = size_t(std::min<uint64_t>(size, chunkLeft_));
          chunkLeft_ -= n;
          if (n == 0 && size != 0) return GetOk();  // beyond the stream data chunk
          return Forward(key, header, data, n, timeStamp, boundary);
        }
        default:
          prefix_.insert(prefix_.end(), data, data + size);
          return Decide(key, timeStamp);
      }
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

  bool Finish(TKey key) override {
    if (!GetOk()) return false;
    atEnd_ = true;
    if (stage_ == kUndecided || stage_ == kHeader) {
      if (!Decide(key, kNoTimeStamp)) return false;
    }
    return TDtsReaderCommon::Finish(key);
  }

 protected:
  int ParseUnit(const uint8_t* data, size_t size, size_t expected, TAudioUnit& unit) override {
    const size_t z = LeadingZeros(data, size, expected);
    const uint8_t* p = data + z;
    const size_t n = size - z;
    if (n < 12) return -1;
    if (!IsCoreSync(p)) return kDtsInvalid;
    const size_t core = size_t(uint32_t(p[5] & 3) << 12 | uint32_t(p[6]) << 4 | p[7] >> 4) + 1;
    if (core < kDtsMinCoreLength || core > kDtsMaxCoreLength) return kDtsInvalid;
    // The frame's extent: core, the substreams behind it, its padding and what follows.
    size_t off = core;
    if (off + 4 > n) {
      if (atEnd_ && off <= n) return Parse(p, n, z, unit);
      if (atEnd_ && off == n + 1 && shortened_) return ParseLastShort(p, n, z, unit);
      return -1;
    }
    while (off + 4 <= n && IsHdSync(p + off)) {
      size_t s = 0;
      const int r = PeekDtsHdSubstreamSize(p + off, n - off, &s);
      if (r == kDtsHdNeedMore) return -1;
      if (r != kDtsHdOk) break;
      off += s;
      if (off > n) return -1;
    }
    size_t pad = 0;
    while (off + pad < n && p[off + pad] == 0) ++pad;
    if (!atEnd_ && off + pad + 4 > n) return -1;
    return Parse(p, n, z, unit);
  }

  bool MayStartUnit(const uint8_t* data, size_t size) override {
    return size >= 4 && IsCoreSync(data);
  }

  void FailFirstUnit(int code) override {
    if (code == kDtsInvalid) {
      Fail("This doesn't seem to be a valid DTS file.");
    } else if (code == kDtsBadExtension) {
      Fail("Invalid DTS-HD stream.");
    } else {
      Fail("The DTS reader raised an unexpected error.");
    }
  }

  bool StartStream(const uint8_t* data, size_t size, const TAudioUnit&) override {
    TDtsFrameInfo info;
    std::vector<std::string> lines;
    if (ParseDtsCoreFrame(data, size, info, headerListing_ ? &lines : nullptr, true) != kDtsOk) {
      Fail("The DTS reader raised an unexpected error.");
      return false;
    }
    ShowListing(lines);
    started_ = true;
    extension_ = info.extension;
    if (info.outdatedEs)
      ShowMessage(kMsgWarning, "The DTS-ES information is stored in an outdated format.");
    const char* word = info.xll         ? format_id::kDtsMa.data()
                       : info.extension ? format_id::kDtsHr.data()
                                        : format_id::kDts.data();
    Report(info, word);
    const TDtsValues& v = coreOnly_ ? info.core : info.frame;
    return OpenAudioUpstreams(word, v.channels, v.channelMask, v.bits, v.sampleRate, false, 0);
  }

  size_t DeclaredLength(const uint8_t* p, size_t n) const override {
    return DeclaredCoreFrame(p, n);
  }

 private:
  enum TStage { kUndecided, kHeader, kChunk, kPlain };

  int Parse(const uint8_t* p, size_t n, size_t z, TAudioUnit& unit) {
    TDtsFrameInfo info;
    const int r = ParseDtsCoreFrame(p, n, info);
    if (r != kDtsOk) return r;
    if (started_ && info.extension != extension_) return kDtsChanged;
    const size_t length = info.coreLength + info.extensionBytes;
    if (!info.extension && info.coreLength + 1 == DeclaredCoreFrame(p, n)) shortened_ = true;
    if (!started_) {
      // The first frame must be followed by the next one (or the end of the data).
      const size_t next = length + info.zeroPadding;
      const bool followed = next + 4 <= n ? IsCoreSync(p + next) : atEnd_ && next == n;
      if (!followed) return kDtsInvalid;
    }
    if (z > 0) PaddingDropped();
    unit.skipped = z;
    unit.length = length;
    unit.samples = info.samplesPerFrame;
    unit.sampleRate = info.frame.sampleRate;
    minimumFill_ = length + info.zeroPadding + 8;
    return 0;
  }

  // The last frame of a stream whose frames all declare one byte more than they have: nothing
  // follows to show it, but it is as long as the others.
  int ParseLastShort(const uint8_t* p, size_t n, size_t z, TAudioUnit& unit) {
    std::vector<uint8_t> frame(p, p + n);
    frame.push_back(0);
    TDtsFrameInfo info;
    if (ParseDtsCoreFrame(frame.data(), frame.size(), info) != kDtsOk || info.extension) return -1;
    if (z > 0) PaddingDropped();
    unit.skipped = z;
    unit.length = n;
    unit.samples = info.samplesPerFrame;
    unit.sampleRate = info.frame.sampleRate;
    return 0;
  }

  void Report(const TDtsFrameInfo& info, const std::string& word) {
    const TDtsValues& f = info.frame;
    const TDtsValues& c = info.core;
    TAudioFormatParams p;
    p.verified = true;
    p.formatId = word;
    p.displayName = f.description + (info.zeroPadding ? " (zero padded)" : "");
    p.channelText = f.channelText;
    p.channels = f.channels;
    p.channelMask = f.channelMask;
    p.bits = f.bits;
    p.sampleRate = f.sampleRate;
    p.bitrate = f.bitrate;
    p.dialnorm = f.dialnorm;
    if (info.xxch) p.auxText3 = "XXCh";
    if (!info.xll && f.bitrate != 0) {
      p.duration =
          DurationMs(StreamBytes(), info.coreLength + info.extensionBytes + info.zeroPadding,
                     info.samplesPerFrame, f.sampleRate);
    }
    if (info.extension) {
      p.coreDisplayName = "core: " + c.description;
      p.coreChannelText = c.channelText;
      p.coreChannels = c.channels;
      p.coreChannelMask = c.channelMask;
      p.coreBits = c.bits;
      p.coreSampleRate = c.sampleRate;
      p.coreBitrate = c.bitrate;
      p.coreDialnorm = c.dialnorm;
    }
    TUpStream::SetAudioFormat(p);
  }

  // The data before the stream: decides between a plain stream and a .dtshd file, and in a
  // .dtshd file walks the chunks up to the stream data.
  bool Decide(TKey key, int64_t timeStamp) {
    static const char kHeaderId[] = "DTSHDHDR";
    static const char kDataId[] = "STRMDATA";
    if (stage_ == kUndecided) {
      if (prefix_.size() < 8 && !atEnd_) return GetOk();
      if (prefix_.size() >= 8 && std::memcmp(prefix_.data(), kHeaderId, 8) == 0) {
        stage_ = kHeader;
      } else {
        if (strictStart_ && !(prefix_.size() >= 4 && IsCoreSync(prefix_.data())))
          return Fail("This doesn't seem to be a valid DTS file.");
        stage_ = kPlain;
        return ForwardPrefix(key, 0, prefix_.size(), timeStamp);
      }
    }
    // Chunks: 8-byte id, 64-bit big-endian size, payload.
    uint64_t pos = 0;
    bool walked = true;
    while (pos + 16 <= prefix_.size()) {
      const uint8_t* c = prefix_.data() + pos;
      uint64_t size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | c[i];
      if (std::memcmp(c, kDataId, 8) == 0) return StartChunk(key, pos + 16, size, timeStamp);
      bool printable = true;
      for (int i = 0; i < 8; ++i) printable = printable && c[i] >= 0x20 && c[i] < 0x7F;
      if (!printable || size > kMaxHeaderBytes) {
        walked = false;
        break;
      }
      pos += 16 + size;
    }
    if (!walked) {
      // Not a chunk sequence after all: look for the text itself.
      auto it = std::search(prefix_.begin(), prefix_.end(), kDataId, kDataId + 8);
      if (it != prefix_.end() && size_t(prefix_.end() - it) >= 16) {
        const uint64_t at = uint64_t(it - prefix_.begin());
        uint64_t size = 0;
        for (int i = 8; i < 16; ++i) size = size << 8 | prefix_[at + i];
        return StartChunk(key, at + 16, size, timeStamp);
      }
    }
    if (prefix_.size() > kMaxHeaderBytes || atEnd_ || (!walked && prefix_.size() > 1024))
      return Fail("This doesn't seem to be a valid DTS stream.");
    return GetOk();
  }

  bool StartChunk(TKey key, uint64_t start, uint64_t size, int64_t timeStamp) {
    stage_ = kChunk;
    chunkLeft_ = size;
    const uint64_t n = std::min<uint64_t>(prefix_.size() - start, chunkLeft_);
    chunkLeft_ -= n;
    return ForwardPrefix(key, size_t(start), size_t(n), timeStamp);
  }

  bool ForwardPrefix(TKey key, size_t start, size_t n, int64_t timeStamp) {
    std::vector<uint8_t> data;
    data.swap(prefix_);
    if (n == 0) return GetOk();
    return Forward(key, false, data.data() + start, n, timeStamp, false);
  }

  static constexpr uint64_t kMaxHeaderBytes = 1 << 20;

  const bool coreOnly_;
  bool extension_ = false;
  bool shortened_ = false;  // frames declare one byte more than they have
  TStage stage_ = kUndecided;
  std::vector<uint8_t> prefix_;
  uint64_t chunkLeft_ = 0;
};

// ---- streams without a core ----

class TDtsNoCoreReader final : public TDtsReaderCommon {
 public:
  TDtsNoCoreReader(std::string* gapList, bool headerListing, bool strictStart)
      : TDtsReaderCommon(gapList, headerListing, strictStart) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t, uint32_t bitsPerSample,
                 uint32_t, bool, uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kUnknown || formatId == format_id::kDtsLbr ||
                           formatId == format_id::kDtsNc))
      return false;
    const unsigned __int128 bytes = (unsigned __int128)frameCount * channels * bitsPerSample / 8;
    StartReading(bytes > UINT64_MAX ? UINT64_MAX : uint64_t(bytes));
    return GetOk();
  }

  bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(Announced())) return false;
    try {
      return Forward(key, header, data, size, timeStamp, boundary);
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

 protected:
  int ParseUnit(const uint8_t* data, size_t size, size_t expected, TAudioUnit& unit) override {
    const size_t z = LeadingZeros(data, size, expected);
    const uint8_t* p = data + z;
    const size_t n = size - z;
    size_t length = 0;
    const int r = PeekDtsHdSubstreamSize(p, n, &length);
    if (r == kDtsHdNeedMore) return -1;
    if (r != kDtsHdOk) return kDtsInvalid;
    if (length > n) return -1;
    size_t pad = 0;
    while (length + pad < n && p[length + pad] == 0) ++pad;
    if (!atEnd_ && length + pad + 4 > n) return -1;
    if (!started_) {
      TDtsHdInfo hd;
      const int h = ParseDtsHdSubstream(p, n, hd);
      if (h == kDtsHdNeedMore) return -1;
      if (h != kDtsHdOk) return kDtsInvalid;
      const size_t next = length + pad;
      const bool followed = next + 4 <= n ? IsHdSync(p + next) : atEnd_ && next == n;
      if (!followed) return kDtsInvalid;
      unit.samples = hd.samplesPerFrame;
      unit.sampleRate = hd.samplesPerFrame ? hd.sampleRate : 0;
    } else {
      unit.samples = samples_;
      unit.sampleRate = rate_;
    }
    if (z > 0) PaddingDropped();
    unit.skipped = z;
    unit.length = length;
    minimumFill_ = length + pad + 8;
    return 0;
  }

  bool MayStartUnit(const uint8_t* data, size_t size) override {
    return size >= 4 && IsHdSync(data);
  }

  void FailFirstUnit(int) override { Fail("This doesn't seem to be a valid DTS file."); }

  bool StartStream(const uint8_t* data, size_t size, const TAudioUnit& unit) override {
    TDtsHdInfo hd;
    std::vector<std::string> lines;
    if (ParseDtsHdSubstream(data, size, hd, headerListing_ ? &lines : nullptr) != kDtsHdOk) {
      Fail("The DTS reader raised an unexpected error.");
      return false;
    }
    ShowListing(lines);
    started_ = true;
    samples_ = unit.samples;
    rate_ = unit.sampleRate;
    const char* word = hd.xll || !hd.lbr ? format_id::kDtsNc.data() : format_id::kDtsLbr.data();
    TAudioFormatParams p;
    p.verified = true;
    p.formatId = word;
    p.displayName = hd.xll   ? "DTS Master Audio (no core)"
                    : hd.lbr ? "DTS Express"
                             : "DTS High-Res (no core)";
    p.channels = hd.channels;
    p.channelMask = hd.speakerMask ? DtsSpeakerMaskToChannelMask(hd.speakerMask) : 0;
    p.bits = hd.bits;
    p.sampleRate = rate_;
    p.dialnorm = hd.dialnorm;
    // Without a sample rate in the first frame there is neither a bit rate nor a duration.
    if (!hd.xll && samples_ != 0 && rate_ != 0) {
      p.bitrate = Clamp32(uint64_t(rate_) * hd.size * 8 / samples_);
      p.duration = DurationMs(StreamBytes(), hd.size, samples_, rate_);
    }
    TUpStream::SetAudioFormat(p);
    return OpenAudioUpstreams(word, ChannelsOrOne(hd.channels), GetChannelMask(), hd.bits, rate_,
                              false, 0);
  }

  size_t DeclaredLength(const uint8_t* p, size_t n) const override {
    return DeclaredSubstream(p, n);
  }

 private:
  static uint32_t ChannelsOrOne(uint32_t channels) { return channels ? channels : 1; }

  uint32_t samples_ = 0;
  uint32_t rate_ = 0;
};

}  // namespace

UpStreamPtr CreateDtsReader(std::string* gapList, bool coreOnly, bool headerListing,
                            bool strictStart) {
  return std::make_shared<TDtsReader>(gapList, coreOnly, headerListing, strictStart);
}

UpStreamPtr CreateDtsNoCoreReader(std::string* gapList, bool headerListing, bool strictStart) {
  return std::make_shared<TDtsNoCoreReader>(gapList, headerListing, strictStart);
}

}  // namespace kavrix
