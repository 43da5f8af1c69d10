// The WAV writer: header first, samples unchanged (8-bit ones made unsigned), and at the end
// the header again with the real sizes, written at the start of each destination.
#include <algorithm>
#include <cstring>

#include "core/voxUpStream_console.h"
#include "io/voxFileStream_dest.h"
#include "pcm/voxWav.h"

namespace kavrix {

namespace {

using riff::PutLe16;
using riff::PutLe32;

constexpr uint64_t k4GiB = uint64_t(1) << 32;

uint32_t Saturate32(uint64_t v) {
  return uint32_t(std::min<uint64_t>(v, 0xFFFFFFFFu));
}

class TWavWriter : public TUpStream, public IWavWriter {
 public:
  TWavWriter(bool extensible, bool multiMonoMember, bool noHeaderRewrite)
      : TUpStream("WAV writer"),
        extensible_(extensible),
        member_(multiMonoMember),
        noRewrite_(noHeaderRewrite) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bits, uint32_t sampleRate, bool bigEndian, uint64_t frameCount) override {
    if (!GetOk()) return false;
    if (GetUpstreamCount() == 0) return FailNoUpstream();
    const bool pcm = formatId == format_id::kPcm && channels > 0 && channels <= 0xFFFF &&
                     (bits == 8 || bits == 16 || bits == 24 || bits == 32) && !bigEndian;
    const bool flt = formatId == format_id::kFloat && channels > 0 && channels <= 0xFFFF &&
                     (bits == 32 || bits == 64) && !bigEndian;
    if (!pcm && !flt) return FailFormat();
    ShowMessage(kMsgNormal, member_ ? "Writing WAVs..." : "Writing WAV...");
    isPcm_ = pcm;
    if (channelMask == 0) channelMask = DefaultChannelMask(channels);
    frameCount_ = frameCount;
    blockAlign_ = channels * (bits / 8);
    if (!OpenAudioUpstreams(std::string(format_id::kWav), channels, channelMask, bits, sampleRate,
                            false, frameCount))
      return false;
    formatReceived_ = true;
    const uint32_t roundedBits = bits / 8 * 8;
    validBits_ = roundedBits;
    headerSize_ = extensible_ ? 68 : 44;
    uint8_t* h = header_;
    std::memset(h, 0, sizeof header_);
    std::memcpy(h, "RIFF", 4);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    PutLe32(h + 16, extensible_ ? 40 : 16);
    PutLe16(h + 20, extensible_ ? 0xFFFE : (pcm ? 1 : 3));
    PutLe16(h + 22, uint16_t(channels));
    PutLe32(h + 24, sampleRate);
    PutLe32(h + 28, Saturate32(uint64_t(blockAlign_) * sampleRate));
    PutLe16(h + 32, uint16_t(std::min<uint32_t>(blockAlign_, 0xFFFF)));
    PutLe16(h + 34, uint16_t(roundedBits));
    if (extensible_) {
      PutLe16(h + 36, 22);
      PutLe16(h + 38, uint16_t(roundedBits));
      PutLe32(h + 40, channelMask);
      std::memcpy(h + 44, pcm ? riff::kPcmGuid : riff::kFloatGuid, 16);
    }
    std::memcpy(h + headerSize_ - 8, "data", 4);
    if (frameCount == 0) {
      // Length not known: both sizes 256 below the full 32-bit range, so a reader that trusts
      // the header sees an almost endless file.
      SetSizes(0xFFFFFF00u);
    } else {
      SetSizes(uint64_t(blockAlign_) * frameCount);
    }
    return DeliverData(true, header_, headerSize_, kNoTimeStamp, false);
  }

  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(formatReceived_)) return false;
    try {
      return Pass(data, size, timeStamp, boundary);
    } catch (...) {
      ReportException();
      return false;
    }
  }

  void SetValidBits(uint32_t bits, bool forced) override {
    if (!(ValidBitsForced() && !forced)) notifiedValidBits_ = bits;
    TUpStream::SetValidBits(bits, forced);
  }

  bool Finish(TKey) override {
    if (!GetOk()) return false;
    if (GetUpstreamCount() == 0) return FailNoUpstream();
    if (!formatReceived_) return FailNoFormat();
    if (audioBytes_ == 0) return Fail("The WAV writer didn't receive any audio data.");
    try {
      if (!Complete()) return false;
    } catch (...) {
      ReportException();
      return false;
    }
    if (!FinishUpstreams()) return false;
    if (!noRewrite_ && audioBytes_ >= 0x7FFFFFFF) {
      ShowMessage(kMsgWarning, audioBytes_ < 0xFFFFFFFFu
                                   ? "Caution: The WAV file is bigger than 2GB."
                                   : "Caution: The WAV file is bigger than 4GB.");
      ShowMessage(kMsgWarning, "Some WAV readers might not be able to handle this file correctly.");
    }
    return true;
  }

 private:
  // Sizes above 4 GiB saturate instead of wrapping: a reader then knows the field is useless.
  void SetSizes(uint64_t dataBytes) {
    const uint64_t pad = dataBytes & 1;
    if (dataBytes == 0xFFFFFF00u) {
      PutLe32(header_ + 4, uint32_t(headerSize_ - 8 - 256));
    } else {
      PutLe32(header_ + 4, Saturate32(dataBytes + pad + headerSize_ - 8));
    }
    PutLe32(header_ + headerSize_ - 4, Saturate32(dataBytes));
  }

  bool Pass(const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    audioBytes_ += size;
    if (!(isPcm_ && blockAlign_ != 0 && header_[34] == 8)) {
      return DeliverData(false, data, size, timeStamp, boundary);
    }
    // 8-bit samples: signed in the chain, unsigned in the file.
    if (size != 0 && !ReserveOutput(0, size)) return FailMemory();
    uint8_t* out = GetOutputBuffer(0);
    for (size_t i = 0; i < size; ++i) out[i] = data[i] ^ 0x80;
    return DeliverData(false, out, size, timeStamp, boundary);
  }

  bool Complete() {
    uint64_t frames = audioBytes_ / blockAlign_;
    const uint64_t partial = audioBytes_ % blockAlign_;
    if (partial != 0) {
      // Complete the last sample frame with silence.
      const std::vector<uint8_t> zeros(blockAlign_ - partial, 0);
      if (!Pass(zeros.data(), zeros.size(), kNoTimeStamp, false)) return false;
      ++frames;
    }
    const uint64_t dataBytes = frames * blockAlign_;
    if (dataBytes & 1) {
      // RIFF chunks are padded to even sizes; the pad byte is not part of the data.
      const uint8_t zero = 0;
      if (!DeliverData(false, &zero, 1, kNoTimeStamp, false)) return false;
    }
    uint32_t valid = validBits_;
    if (notifiedValidBits_ != 0) valid = notifiedValidBits_;
    const uint32_t headerBits = header_[34] | (header_[35] << 8);
    if (!isPcm_ || valid > headerBits) valid = headerBits;
    const bool validDiffers =
        extensible_ && valid != 0 && valid != uint32_t(header_[38] | (header_[39] << 8));
    if (noRewrite_ || !(frameCount_ >= k4GiB || frameCount_ != frames || validDiffers)) return true;
    for (size_t i = 0; i < GetUpstreamCount(); ++i) {
      const UpStreamPtr up = GetUpstream(i);
      auto* seekable = Query<ISeekableUpStream>(up);
      if (!seekable) return Fail("The WAV writer couldn't update the header.");
      seekable->SetPosition(0);
      if (seekable->GetPosition() == 0) {
        SetSizes(dataBytes);
        if (extensible_ && valid != 0) PutLe16(header_ + 38, uint16_t(valid));
        if (seekable->GetPosition() == 0 &&
            !up->ProcessData(KeyOf(i), false, header_, headerSize_, kNoTimeStamp, false)) {
          SetOk(false);
          return false;
        }
      } else if (!(frameCount_ < k4GiB && frameCount_ != 0 && frameCount_ == frames)) {
        return Fail("The WAV writer couldn't seek to the header.");
      }
    }
    return true;
  }

  const bool extensible_;
  const bool member_;
  const bool noRewrite_;
  bool formatReceived_ = false;
  bool isPcm_ = false;
  uint64_t frameCount_ = 0;
  uint64_t audioBytes_ = 0;
  uint32_t blockAlign_ = 0;
  uint32_t validBits_ = 0;
  uint32_t notifiedValidBits_ = 0;
  uint8_t header_[68] = {};
  uint32_t headerSize_ = 44;
};

// One channel out of an interleaved stream.
class TMonoChannelPicker : public TUpStream {
 public:
  explicit TMonoChannelPicker(uint32_t channel) : TUpStream("channel picker"), channel_(channel) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t, uint32_t bits,
                 uint32_t sampleRate, bool bigEndian, uint64_t frameCount) override {
    const bool ok = (formatId == format_id::kPcm || formatId == format_id::kFloat) && bits >= 8 &&
                    bits <= 64 && bits % 8 == 0 && channel_ < channels;
    if (!CheckAnnouncement(ok)) return false;
    sampleBytes_ = bits / 8;
    frameBytes_ = size_t(channels) * sampleBytes_;
    announced_ = true;
    return OpenAudioUpstreams(formatId, 1, 0x4, bits, sampleRate, bigEndian, frameCount);
  }

  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    if (!CheckData(announced_)) return false;
    try {
      // A frame cut by the block boundary waits in buffer 0.
      const size_t held = GetOutputSize(0);
      size_t used = 0;
      if (held != 0) {
        used = std::min(frameBytes_ - held, size);
        if (!AppendOutput(0, data, used)) return FailMemory();
        if (GetOutputSize(0) < frameBytes_) return true;
      }
      const size_t frames = (size - used) / frameBytes_ + (held != 0 ? 1 : 0);
      if (frames == 0) {
        return size == used || AppendOutput(0, data + used, size - used) || FailMemory();
      }
      if (!ReserveOutput(1, frames * sampleBytes_)) return FailMemory();
      uint8_t* out = GetOutputBuffer(1);
      const size_t offset = size_t(channel_) * sampleBytes_;
      size_t n = 0;
      if (held != 0) {
        std::memcpy(out, GetOutputBuffer(0) + offset, sampleBytes_);
        SetOutputSize(0, 0);
        ++n;
      }
      const uint8_t* p = data + used;
      for (; n < frames; ++n, p += frameBytes_) {
        std::memcpy(out + n * sampleBytes_, p + offset, sampleBytes_);
      }
      const size_t rest = size_t(data + size - p);
      if (rest != 0 && !AppendOutput(0, p, rest)) return FailMemory();
      return DeliverData(false, out, frames * sampleBytes_, kNoTimeStamp, false);
    } catch (...) {
      ReportException();
      return false;
    }
  }

 private:
  const uint32_t channel_;
  bool announced_ = false;
  size_t sampleBytes_ = 0;
  size_t frameBytes_ = 0;
};

}  // namespace

UpStreamPtr CreateWavWriter(bool extensible, bool multiMonoMember, bool noHeaderRewrite) {
  return std::make_shared<TWavWriter>(extensible, multiMonoMember, noHeaderRewrite);
}

UpStreamPtr CreateMonoChannelPicker(uint32_t channel) {
  return std::make_shared<TMonoChannelPicker>(channel);
}

UpStreamPtr CreateMultiMonoWavSet(const std::string& destination, uint32_t channels,
                                  uint32_t channelMask) {
  if (channelMask == 0) channelMask = DefaultChannelMask(channels);
  UpStreamList chains;
  for (uint32_t n = 0; n < channels; ++n) {
    UpStreamPtr picker = CreateMonoChannelPicker(n);
    UpStreamPtr writer = CreateWavWriter(false, true, false);
    writer->SetUpstream(CreateDestFile(MultiMonoFileName(destination, channelMask, n)));
    if (n > 0) writer->Silence(true);
    picker->SetUpstream(writer);
    chains.push_back(picker);
  }
  UpStreamPtr head = CreatePassThrough();
  head->SetUpstreams(chains);
  return head;
}

}  // namespace kavrix
