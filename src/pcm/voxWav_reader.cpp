// The WAV reader: RIFF chunk walk, format check, and the pass-through of the audio bytes.
#include <algorithm>
#include <cstring>
#include <limits>

#include "core/voxUpStream_console.h"
#include "pcm/voxWav.h"

namespace kavrix {

namespace {

using riff::Le16;
using riff::Le32;

constexpr uint64_t k2GiB = uint64_t(1) << 31;
constexpr uint64_t k4GiB = uint64_t(1) << 32;
// A "fmt " chunk is the only chunk held in memory; nothing valid comes near this size.
constexpr uint32_t kMaxFmtChunk = 65536;
// Audio shorter than this gets its details at once; longer audio waits for the HDCD verdict.
constexpr uint64_t kShortAudioMs = 15000;

bool Is(const uint8_t* p, const char* id) {
  return std::memcmp(p, id, 4) == 0;
}

class TWavReader : public TUpStream, public IWavReader {
 public:
  TWavReader() : TUpStream("WAV reader") {}

  uint64_t GetBufferLimit() override {
    if (!detailsFinal_ && rate_ != 0) {
      // 16 seconds of audio plus 1 MiB, in 64 bits and clamped (hostile format values).
      const uint64_t limit = uint64_t(channels_) * bits_ * rate_ * 2 + 1048576;
      return std::min<uint64_t>(limit, uint64_t(1) << 40);
    }
    return TUpStream::GetBufferLimit();
  }

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t, uint32_t bitsPerSample,
                 uint32_t, bool, uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kUnknown || formatId == format_id::kWav))
      return false;
    announced_ = true;
    // Saturating: a hostile announcement cannot wrap the byte count.
    const uint64_t perFrame = uint64_t(channels) * (bitsPerSample / 8);
    expected_ = perFrame != 0 && frameCount > std::numeric_limits<uint64_t>::max() / perFrame
                    ? std::numeric_limits<uint64_t>::max()
                    : frameCount * perFrame;
    // A source node announces its size in bytes: chunk sizes are checked against it.
    sourceBytes_ = formatId == format_id::kUnknown ? expected_ : 0;
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
    try {
      finishing_ = true;
      if (!Process(nullptr, 0)) return false;
      if (!dataFound_) {
        // The file ended before its audio: nothing was announced downstream.
        return riffSeen_ ? Fail("The WAV file header seems to be incomplete.")
                         : Fail("This doesn't seem to be a valid WAV file.");
      }
      SetDetailsFinal();
    } catch (...) {
      ReportException();
      return false;
    }
    return FinishUpstreams();
  }

 private:
  bool Process(const uint8_t* data, size_t size) {
    if (!CheckData(announced_)) return false;
    if (streaming_) return DeliverAudio(data, size);
    if (!dataFound_ && !ParseHeader(data, size)) return false;
    if (!dataFound_) return true;
    // The data chunk was found in this call or earlier: the rest of the block joins the buffer
    // (whatever ParseHeader did not take).
    if (size != 0 && !AppendOutput(0, data, size)) return FailReaderMemory();
    return FirstAudio();
  }

  bool FailReaderMemory() { return Fail("The WAV reader was not able to allocate enough memory."); }

  // Takes bytes of the block into the input buffer until it holds `need` bytes.
  bool TopUp(size_t need, const uint8_t*& data, size_t& size) {
    const size_t held = GetOutputSize(0);
    if (held >= need) return true;
    const size_t take = std::min(need - held, size);
    if (take != 0 && !AppendOutput(0, data, take)) return FailReaderMemory();
    data += take;
    size -= take;
    return true;
  }

  // Walks the chunks up to "data". Consumed bytes leave `data`/`size`; bytes of a chunk header
  // or of the fmt chunk that are not complete yet wait in the input buffer.
  bool ParseHeader(const uint8_t*& data, size_t& size) {
    for (;;) {
      if (skip_ != 0) {
        // An ignored chunk is dropped as it passes, never held.
        const size_t fromBuffer = size_t(std::min<uint64_t>(skip_, GetOutputSize(0)));
        ConsumeOutput(0, fromBuffer);
        skip_ -= fromBuffer;
        const size_t fromBlock = size_t(std::min<uint64_t>(skip_, size));
        data += fromBlock;
        size -= fromBlock;
        skip_ -= fromBlock;
        position_ += fromBuffer + fromBlock;
        if (skip_ != 0) return true;
      }
      if (!riffSeen_) {
        if (!TopUp(12, data, size)) return false;
        if (GetOutputSize(0) < 12) return true;
        const uint8_t* p = GetOutputBuffer(0);
        if (Is(p, "RIFX") && Is(p + 8, "WAVE")) {
          Fail("This is a big endian WAV file, which is currently not supported.");
          ShowMessage(kMsgNormal, "Please send a sample file to the kavrix developers.", false);
          return false;
        }
        if (!Is(p, "RIFF") || !Is(p + 8, "WAVE"))
          return Fail("This doesn't seem to be a valid WAV file.");
        riffSeen_ = true;
        riffSize_ = Le32(p + 4);
        position_ = 12;
        ConsumeOutput(0, 12);
        continue;
      }
      if (!TopUp(8, data, size)) return false;
      if (GetOutputSize(0) < 8) return true;
      const uint8_t* p = GetOutputBuffer(0);
      const uint32_t chunkSize = Le32(p + 4);
      if (Is(p, "data")) {
        if (!fmtSeen_) return Fail("The WAV file header seems to be incomplete.");
        dataFound_ = true;
        dataSize_ = chunkSize;
        position_ += 8;
        ConsumeOutput(0, 8);
        SetAudioBytes();
        return true;
      }
      // Every other chunk: its pad byte after an odd size is part of it.
      const uint64_t total = 8 + uint64_t(chunkSize) + (chunkSize & 1);
      if (sourceBytes_ != 0 && position_ + total > sourceBytes_ + (chunkSize & 1))
        return Fail("The WAV file header seems to be incomplete.");
      if (Is(p, "fmt ")) {
        if (chunkSize > kMaxFmtChunk) return FailFormatNotSupported();
        if (!TopUp(size_t(8 + chunkSize), data, size)) return false;
        if (GetOutputSize(0) < 8 + chunkSize) return true;
        if (!TakeFormat(GetOutputBuffer(0), chunkSize)) return false;
        ConsumeOutput(0, 8 + chunkSize);
        position_ += 8 + chunkSize;
        skip_ = chunkSize & 1;
        continue;
      }
      ConsumeOutput(0, 8);
      position_ += 8;
      skip_ = total - 8;
    }
  }

  bool FailFormatNotSupported() {
    SetOk(false);
    ShowMessage(kMsgError, "This WAV file format is currently not supported.", true);
    return false;
  }

  // c points at the chunk id; size is the chunk's stored size (the bytes behind its header).
  bool TakeFormat(const uint8_t* c, uint32_t size) {
    if (size < 16) return FailFormatNotSupported();
    const uint16_t tag = Le16(c + 8);
    const uint16_t channels = Le16(c + 10);
    const uint32_t rate = Le32(c + 12);
    const uint16_t bits = Le16(c + 22);
    const bool intBits = bits == 8 || bits == 16 || bits == 24 || bits == 32;
    const bool floatBits = bits == 32 || bits == 64;
    bool accepted = false;
    bool isFloat = false;
    uint32_t validBits = bits;
    uint32_t mask = 0;
    if (tag == 1) {
      accepted = intBits;
    } else if (tag == 3) {
      accepted = floatBits;
      isFloat = true;
    } else if (tag == 0xFFFE) {
      if (size < 40) return FailFormatNotSupported();
      validBits = Le16(c + 26);
      mask = Le32(c + 28);
      const uint8_t* guid = c + 32;
      if (std::memcmp(guid, riff::kPcmGuid, 16) == 0) {
        accepted = intBits && bits >= validBits;
      } else if (std::memcmp(guid, riff::kFloatGuid, 16) == 0) {
        accepted = floatBits && bits == validBits;
        isFloat = true;
      } else {
        return Fail("The WAV format " + riff::GuidText(guid) + " is not supported yet.");
      }
    }
    // Without channels or rate nothing can be counted or timed.
    if (!accepted || channels == 0 || rate == 0) return FailFormatNotSupported();
    fmtSeen_ = true;
    channels_ = channels;
    bits_ = bits;
    rate_ = rate;
    validBits_ = validBits;
    mask_ = mask;
    isFloat_ = isFloat;
    return true;
  }

  // How many audio bytes the data chunk holds.
  void SetAudioBytes() {
    const uint64_t frameBytes = uint64_t(channels_) * (bits_ / 8);
    uint64_t bytes = dataSize_;
    if (expected_ >= k2GiB && expected_ <= uint64_t(std::numeric_limits<int64_t>::max())) {
      // A source of 2 GiB or more: its 32-bit size field may have wrapped, saturated or been
      // left 0 by a writer that could not go back. Take the stored size plus the whole 4 GiB
      // steps that still fit into the source; a value that cannot be the real size plays to
      // the end. Chunks behind a plausible size are never audio.
      const uint64_t left = expected_ > position_ ? expected_ - position_ : 0;
      if (dataSize_ == 0 || dataSize_ == 0xFFFFFFFFu || dataSize_ > left) {
        bytes = left;
      } else {
        bytes = dataSize_ + (left - dataSize_) / k4GiB * k4GiB;
        if (bytes < k2GiB) bytes = left;
      }
    } else if (sourceBytes_ != 0) {
      // A smaller source: the size field never claims more than the file holds.
      const uint64_t left = sourceBytes_ > position_ ? sourceBytes_ - position_ : 0;
      bytes = std::min(bytes, left);
    }
    frames_ = bytes / frameBytes;
    remaining_ = frames_ * frameBytes;
  }

  uint32_t DurationMs() const {
    return uint32_t(std::min<uint64_t>(frames_ * 1000 / rate_, 0xFFFFFFFFu));
  }

  void SetDetails() {
    TAudioFormatParams p;
    p.verified = true;
    p.formatId = std::string(format_id::kWav);
    p.displayName = "WAV";
    p.channels = channels_;
    p.sampleRate = rate_;
    p.bits = bits_;
    p.validBits = validBits_;
    p.channelMask = mask_;
    p.isFloat = isFloat_;
    p.duration = DurationMs();
    p.bitrate = uint32_t(std::min<uint64_t>(uint64_t(channels_) * bits_ * rate_, 0xFFFFFFFFu));
    p.hdcd = false;  // the HDCD verdict joins here once the HDCD decoder exists
    SetAudioFormat(p);
  }

  // The details count as final once the HDCD verdict is known. Until an HDCD decoder exists
  // there is no verdict to wait for.
  void SetDetailsFinal() {
    if (detailsFinal_) return;
    SetDetails();
    detailsFinal_ = true;
  }

  bool FirstAudio() {
    const size_t held = GetOutputSize(0);
    if (!finishing_ && remaining_ > held && held < 4) return true;
    if (DurationMs() < kShortAudioMs) SetDetails();
    const uint8_t* p = GetOutputBuffer(0);
    std::string formatId = std::string(isFloat_ ? format_id::kFloat : format_id::kPcm);
    uint64_t count = frames_;
    // Bitstreams travel in 16-bit integer samples only.
    if (held >= 4 && !isFloat_ && bits_ == 16) {
      const bool dts = (p[0] == 0xFF && p[1] == 0x1F && p[2] == 0x00 && p[3] == 0xE8) ||
                       (p[0] == 0xFE && p[1] == 0x7F && p[2] == 0x01 && p[3] == 0x80);
      const bool ac3 = p[0] == 0x72 && p[1] == 0xF8 && p[2] == 0x1F && p[3] == 0x4E;
      if (dts || ac3) {
        formatId = std::string(dts ? format_id::kDtsWav : format_id::kAc3Wav);
        count = remaining_;
      }
    }
    if (formatId == format_id::kDtsWav) {
      ShowMessage(kMsgNormal, "Reading DTSWAV...");
    } else if (formatId == format_id::kAc3Wav) {
      ShowMessage(kMsgNormal, "Reading AC3WAV...");
    } else {
      ShowMessage(kMsgNormal, "Reading WAV...");
    }
    if (!OpenAudioUpstreams(formatId, channels_, mask_ != 0 ? mask_ : DefaultChannelMask(channels_),
                            bits_, rate_, false, count))
      return false;
    convert8_ = formatId == format_id::kPcm && bits_ == 8;
    streaming_ = true;
    SetDetailsFinal();
    const bool ok = DeliverAudio(GetOutputBuffer(0), held);
    FreeOutput(0);
    return ok;
  }

  // Passes audio bytes on, never beyond the end of the audio.
  bool DeliverAudio(const uint8_t* data, size_t size) {
    const size_t take = size_t(std::min<uint64_t>(size, remaining_));
    if (take == 0) return true;
    remaining_ -= take;
    if (!convert8_) return DeliverData(false, data, take, kNoTimeStamp, false);
    // 8-bit WAV samples are unsigned; the chain's are signed.
    if (!ReserveOutput(1, take)) return FailReaderMemory();
    uint8_t* out = GetOutputBuffer(1);
    for (size_t i = 0; i < take; ++i) out[i] = data[i] ^ 0x80;
    return DeliverData(false, out, take, kNoTimeStamp, false);
  }

  bool announced_ = false;
  bool finishing_ = false;
  uint64_t expected_ = 0;     // bytes the announcement promised
  uint64_t sourceBytes_ = 0;  // size of the source file, 0 when not known
  bool riffSeen_ = false;
  uint32_t riffSize_ = 0;  // kept, not used
  bool fmtSeen_ = false;
  bool dataFound_ = false;
  uint64_t position_ = 0;  // offset of the next unparsed byte in the source
  uint64_t skip_ = 0;      // bytes of an ignored chunk still to drop
  uint32_t dataSize_ = 0;
  uint32_t channels_ = 0;
  uint32_t bits_ = 0;
  uint32_t validBits_ = 0;
  uint32_t rate_ = 0;
  uint32_t mask_ = 0;
  bool isFloat_ = false;
  uint64_t frames_ = 0;
  uint64_t remaining_ = 0;  // audio bytes still to pass
  bool streaming_ = false;
  bool convert8_ = false;
  bool detailsFinal_ = false;
};

}  // namespace

UpStreamPtr CreateWavReader() {
  return std::make_shared<TWavReader>();
}

}  // namespace kavrix
