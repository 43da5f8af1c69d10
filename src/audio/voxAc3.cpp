// The (E-)AC3 nodes: reader, dialnorm remover and E-AC3 core extractor.
#include "audio/voxAc3.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "audio/voxAudioReader.h"
#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

bool IsTrueHdSync(const uint8_t* p) {
  return p[0] == 0xF8 && p[1] == 0x72 && p[2] == 0x6F && p[3] == 0xBA;
}

uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
  if (c == 0) return 0;
  const unsigned __int128 r = (unsigned __int128)a * b / c;
  return r > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max()
                                                  : uint64_t(r);
}

uint32_t Clamp32(uint64_t v) {
  return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
}

TAudioReaderTexts Ac3Texts() {
  TAudioReaderTexts t;
  t.notValid = "This doesn't seem to be a valid (E-)AC3 stream.";
  t.incompleteLast = "The last (E-)AC3 frame is incomplete and thus gets skipped.";
  t.noUnits = "The stream doesn't seem to contain any valid (E-)AC3 frames.";
  t.seamless = "Skipping identical AC3 frames (seamless branching)...";
  return t;
}

// ---- reader ----

class TAc3Reader final : public TAudioReaderBase, public IAc3Reader {
 public:
  TAc3Reader(std::string* gapList, bool coreOnly, bool noSearch)
      : TAudioReaderBase("(E-)AC3 reader", Ac3Texts(), gapList, noSearch), coreOnly_(coreOnly) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t, uint32_t bitsPerSample,
                 uint32_t, bool, uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kUnknown || formatId == format_id::kAc3 ||
                           formatId == format_id::kEac3))
      return false;
    StartReading(MulDiv(frameCount, uint64_t(channels) * bitsPerSample, 8));
    return GetOk();
  }

 protected:
  int ParseUnit(const uint8_t* data, size_t size, size_t expected, TAudioUnit& unit) override {
    TAc3UnitInfo info;
    int r = ParseAc3AccessUnit(data, size, expected, info);
    // An AC3 frame says its own length: one that ends exactly at the end of the data is
    // complete even when it differs from the previous one (44.1 kHz frames alternate).
    if (r == kAc3UnitIncomplete && expected != 0) {
      TAc3FrameInfo f;
      if (ParseAc3Frame(data, size, &f) == kAc3Ok && !f.eac3 && f.length == size) {
        r = ParseAc3AccessUnit(data, size, f.length, info);
      }
    }
    if (r != kAc3Ok) return r;
    unit.skipped = info.skipped;
    unit.length = info.length;
    unit.samples = info.core.samples;
    unit.sampleRate = info.core.sampleRate;
    return 0;
  }

  bool MayStartUnit(const uint8_t* data, size_t size) override {
    return size >= 2 && data[0] == 0x0B && data[1] == 0x77;
  }

  // An AC3 frame followed by a TrueHD major sync: the stream is TrueHD/AC3.
  bool CheckCandidate(const uint8_t* data, size_t size) override {
    TAc3FrameInfo f;
    if (ParseAc3Frame(data, size, &f) != kAc3Ok || f.eac3) return true;
    if (size < size_t(f.length) + 8 || !IsTrueHdSync(data + f.length + 4)) return true;
    Fail("This is a TrueHD/AC3 stream and not an AC3 stream.");
    return false;
  }

  void FailFirstUnit(int code) override {
    if (code == kAc3Invalid) {
      Fail("This doesn't seem to be a valid (E-)AC3 stream.");
    } else if (code == kAc3BadRate) {
      Fail("Parsing of (E-)AC3 headers failed.");
    } else {
      Fail("The (E-)AC3 reader raised an unexpected error.");
    }
  }

  bool StartStream(const uint8_t* data, size_t size, const TAudioUnit& unit) override {
    TAc3UnitInfo info;
    if (ParseAc3AccessUnit(data, size, unit.length, info, true) != kAc3Ok) {
      // Parsed before without flags; a second parse cannot fail.
      Fail("The (E-)AC3 reader raised an unexpected error.");
      return false;
    }
    if (!info.anyEac3) minimumFill_ = 3840;
    if (size >= info.length + 8 && IsTrueHdSync(data + info.length + 4)) {
      Fail("This is a TrueHD/AC3 stream and not an AC3 stream.");
      return false;
    }
    Report(info);
    const bool core = coreOnly_ && info.anyEac3;
    return OpenAudioUpstreams(std::string(info.anyEac3 ? format_id::kEac3 : format_id::kAc3),
                              core ? info.core.channels : info.channels,
                              core ? info.core.channelMask : info.channelMask, 24,
                              core ? info.core.sampleRate : info.sampleRate, false, 0);
  }

 private:
  void Report(const TAc3UnitInfo& info) {
    const TAc3FrameInfo& c = info.core;
    TAudioFormatParams p;
    p.verified = true;
    p.formatId = std::string(info.anyEac3 ? format_id::kEac3 : format_id::kAc3);
    p.displayName = std::string(info.anyEac3 ? "E-AC3" : "AC3") +
                    Ac3FormatSuffix(c.ex, c.headphone, c.surround);
    p.channelText = info.ChannelText();
    p.channels = info.channels;
    p.channelMask = info.channelMask;
    p.bitrate = info.bitrate;
    p.sampleRate = info.sampleRate;
    p.dialnorm = info.dialnorm;
    // AC3 bit rates are exact (44.1 kHz frames alternate in length around the nominal rate);
    // E-AC3 durations come from the samples per unit.
    if (info.anyEac3) {
      p.duration = Clamp32(
          MulDiv(StreamBytes(), uint64_t(c.samples) * 1000, uint64_t(info.length) * c.sampleRate));
    } else {
      p.duration = Clamp32(MulDiv(StreamBytes(), 8000, info.bitrate));
    }
    const std::string coreText = info.CoreChannelText();
    const bool coreDiffers =
        info.anyEac3 &&
        (coreText != p.channelText || c.channels != info.channels ||
         c.channelMask != info.channelMask || c.bitrate != info.bitrate ||
         c.sampleRate != info.sampleRate || c.dialnorm != info.dialnorm || c.length != info.length);
    if (coreDiffers) {
      p.coreDisplayName = std::string("core: ") + (info.firstIsEac3 ? "E-AC3" : "AC3") +
                          Ac3FormatSuffix(c.ex, c.headphone, c.surround);
      p.coreChannelText = coreText;
      p.coreChannels = c.channels;
      p.coreChannelMask = c.channelMask;
      p.coreBitrate = c.bitrate;
      p.coreSampleRate = c.sampleRate;
      p.coreDialnorm = c.dialnorm;
    }
    TUpStream::SetAudioFormat(p);
  }

  const bool coreOnly_;
};

// ---- dialnorm remover ----

class TAc3DialnormRemover final : public TUpStream {
 public:
  TAc3DialnormRemover() : TUpStream("(E-)AC3 dialnorm remover") {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kAc3 || formatId == format_id::kEac3 ||
                           formatId == format_id::kThdAc3))
      return false;
    format_ = formatId;
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(!format_.empty())) return false;
    try {
      return Process(header, data, size, timeStamp, boundary);
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

 private:
  bool Pass(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (!DeliverData(header, data, size, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  // Copies the block, patches the copy and passes it on.
  template <class Patch>
  bool PatchAndPass(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary,
                    Patch patch) {
    SetOutputSize(0, 0);
    if (!AppendOutput(0, data, size)) return FailMemory();
    uint8_t* copy = GetOutputBuffer(0);
    patch(copy);
    const bool ok = Pass(header, copy, size, timeStamp, boundary);
    SetOutputSize(0, 0);
    return ok;
  }

  void Notice(const std::string& text) {
    if (noticeShown_) return;
    noticeShown_ = true;
    ShowMessage(kMsgNormal, text);
  }

  bool Process(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    TAc3FrameInfo f;
    const bool thd = format_ == format_id::kThdAc3;
    // TrueHD access units of a TrueHD/AC3 stream, and anything that is no frame, pass as is.
    if (size < 8 || data[0] != 0x0B || data[1] != 0x77)
      return Pass(header, data, size, timeStamp, boundary);
    if (thd && ParseAc3Bsi(data, size, &f) != kAc3Ok)
      return Pass(header, data, size, timeStamp, boundary);
    const uint8_t bsid = data[5] >> 3;
    if (bsid < 11) {
      if (format_ == format_id::kEac3) {
        Notice("Removing E-AC3 & Core dialog normalization...");
        return PatchAndPass(header, data, size, timeStamp, boundary,
                            [size](uint8_t* p) { PatchAc3UnitDialnorm(p, size); });
      }
      if (ParseAc3Frame(data, size, &f) != kAc3Ok)
        return Pass(header, data, size, timeStamp, boundary);
      if (f.dialnorm == 0) {
        Notice("Patching AC3 dialog normalization from -0db to -31db...");
      } else if (f.dialnorm == 31) {
        Notice("Skipping AC3 dialog normalization (already at -31 dB)...");
      } else {
        Notice("Removing AC3 dialog normalization...");
      }
      // One frame per block; a block that is not exactly one frame is left alone.
      if ((f.dialnorm == 31 && f.acmod != 0) || (!thd && f.length != size))
        return Pass(header, data, size, timeStamp, boundary);
      const size_t length = f.length;
      return PatchAndPass(header, data, size, timeStamp, boundary,
                          [length](uint8_t* p) { PatchAc3Dialnorm(p, length); });
    }
    if (ParseAc3Frame(data, size, &f) != kAc3Ok)
      return Pass(header, data, size, timeStamp, boundary);
    if (!eac3Picked_) {
      eac3Picked_ = true;
      if (f.dialnorm == 0) {
        Notice("Patching E-AC3 dialog normalization from -0db to -31db...");
      } else if (f.dialnorm == 31) {
        Notice("Skipping E-AC3 dialog normalization (already at -31 dB)...");
      } else {
        Notice("Removing E-AC3 dialog normalization...");
      }
    }
    if (f.dialnorm == 31 && f.acmod != 0) return Pass(header, data, size, timeStamp, boundary);
    return PatchAndPass(header, data, size, timeStamp, boundary,
                        [size](uint8_t* p) { PatchAc3UnitDialnorm(p, size); });
  }

  std::string format_;
  bool noticeShown_ = false;
  bool eac3Picked_ = false;
};

// ---- E-AC3 core extractor ----

class TEac3CoreExtractor final : public TUpStream {
 public:
  TEac3CoreExtractor() : TUpStream("E-AC3 core extractor") {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kEac3)) return false;
    announced_ = true;
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(announced_)) return false;
    if (size <= 5) return true;
    TAc3FrameInfo f;
    const int r = ParseAc3Frame(data, size, &f);
    size_t length = size;  // a block whose first frame does not parse passes whole
    if (r == kAc3Ok || (r == kAc3NeedMore && f.length > 0))
      length = std::min<size_t>(f.length, size);
    if (length < size && !noticeShown_) {
      noticeShown_ = true;
      ShowMessage(kMsgNormal, "Extracting E-AC3 core...");
    }
    if (!DeliverData(header, data, length, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

 private:
  bool announced_ = false;
  bool noticeShown_ = false;
};

}  // namespace

UpStreamPtr CreateAc3Reader(std::string* gapList, bool coreOnly, bool noSearch) {
  return std::make_shared<TAc3Reader>(gapList, coreOnly, noSearch);
}
UpStreamPtr CreateAc3DialnormRemover() {
  return std::make_shared<TAc3DialnormRemover>();
}
UpStreamPtr CreateEac3CoreExtractor() {
  return std::make_shared<TEac3CoreExtractor>();
}

}  // namespace kavrix
