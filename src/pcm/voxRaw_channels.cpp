#include "pcm/voxRaw_channels.h"

#include <bit>
#include <cstring>
#include <exception>

#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

// Copies frame after frame: output sample j of a frame is input sample map[j].
template <size_t W>
void RemapFrames(const uint8_t* in, uint8_t* out, size_t frames, const uint32_t* map,
                 size_t outChannels, size_t inChannels) {
  const size_t inFrame = inChannels * W;
  for (size_t f = 0; f < frames; ++f, in += inFrame) {
    for (size_t j = 0; j < outChannels; ++j, out += W) std::memcpy(out, in + size_t(map[j]) * W, W);
  }
}

using TRemapFn = void (*)(const uint8_t*, uint8_t*, size_t, const uint32_t*, size_t, size_t);

TRemapFn RemapFor(size_t width) {
  switch (width) {
    case 1:
      return RemapFrames<1>;
    case 2:
      return RemapFrames<2>;
    case 3:
      return RemapFrames<3>;
    case 4:
      return RemapFrames<4>;
    case 8:
      return RemapFrames<8>;
    default:
      return nullptr;
  }
}

class TChannelModder final : public TUpStream, public IChannelModder {
 public:
  enum class TMode { kMap, kRemap, kAutomatic };

  TChannelModder(std::vector<uint32_t> map, uint32_t outputMask)
      : TUpStream("channel modder"),
        mode_(TMode::kMap),
        givenMap_(std::move(map)),
        givenMask_(outputMask) {}
  explicit TChannelModder(std::string remap)
      : TUpStream("channel modder"), mode_(TMode::kRemap), remap_(std::move(remap)) {}
  TChannelModder() : TUpStream("channel modder"), mode_(TMode::kAutomatic) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    const bool pcm = formatId == format_id::kPcm;
    const bool supported =
        channels > 0 &&
        ((pcm && (bitsPerSample == 8 || bitsPerSample == 16 || bitsPerSample == 24 ||
                  bitsPerSample == 32)) ||
         (formatId == format_id::kFloat && (bitsPerSample == 32 || bitsPerSample == 64)));
    if (!CheckAnnouncement(supported)) return false;
    uint32_t outputMask = 0;
    try {
      announced_ = false;
      inChannels_ = channels;
      width_ = bitsPerSample / 8;
      remapFn_ = RemapFor(width_);
      if (!BuildMap(channelMask, outputMask)) return false;
      passThrough_ = map_.size() == channels;
      for (size_t j = 0; passThrough_ && j < map_.size(); ++j) passThrough_ = map_[j] == j;
      if (!passThrough_) carry_.Reset(size_t(channels) * width_);
    } catch (const std::exception&) {
      return FailMemory();
    }
    announced_ = true;
    return OpenAudioUpstreams(formatId, uint32_t(map_.size()), outputMask, bitsPerSample,
                              sampleRate, bigEndian, frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(announced_)) return false;
    if (passThrough_) return Deliver(header, data, size, timeStamp, boundary);
    try {
      return Remap(header, data, size, timeStamp, boundary);
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

 private:
  bool Deliver(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (!DeliverData(header, data, size, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  bool FailParameters(const std::string& entry) {
    return Fail("The channel modder was started with incorrect parameters (" +
                std::to_string(inChannels_) + "/" + entry + ").");
  }

  // Fills map_ and the mask to announce; false after a failure.
  bool BuildMap(uint32_t inputMask, uint32_t& outputMask) {
    map_.resize(inChannels_);
    for (uint32_t j = 0; j < inChannels_; ++j) map_[j] = j;
    outputMask = inputMask;
    switch (mode_) {
      case TMode::kMap:
        if (givenMap_.empty()) return FailParameters("");
        for (uint32_t entry : givenMap_)
          if (entry >= inChannels_) return FailParameters(std::to_string(entry));
        map_ = givenMap_;
        if (givenMask_ != 0) {
          outputMask = givenMask_;
        } else if (map_.size() != inChannels_) {
          // The input's mask describes other channels than the ones picked.
          const uint32_t mask = DefaultChannelMask(uint32_t(map_.size()));
          outputMask = mask == 0xFFFFFFFF ? 0 : mask;
        }
        return true;
      case TMode::kRemap:
        return ParseRemap();
      case TMode::kAutomatic:
        Automatic(inputMask, outputMask);
        return true;
    }
    return true;
  }

  // Single digits at the even positions; the odd positions hold the separators.
  bool ParseRemap() {
    std::string text = remap_;
    if (text == "bluray") text = inChannels_ == 8 ? "0,1,2,7,4,5,3,6" : "0,1,2,5,3,4";
    const size_t longest = size_t(inChannels_) * 2 - 1;
    if (text.size() > longest) text.resize(longest);
    for (size_t i = 0; 2 * i < text.size(); ++i) {
      const int entry = int(static_cast<unsigned char>(text[2 * i])) - '0';
      if (entry < 0 || uint32_t(entry) >= inChannels_) return FailParameters(std::to_string(entry));
      map_[i] = uint32_t(entry);
    }
    ShowMessage(kMsgNormal, "Remapping channels...");
    return true;
  }

  // Back channels without side channels become side channels.
  void Automatic(uint32_t inputMask, uint32_t& outputMask) {
    if ((inputMask & 0x30) != 0x30 || (inputMask & 0x600) != 0) return;
    const uint32_t mask = inputMask + 0x5D0;
    if ((mask & 0x1C0) != 0) {
      // Back centre or the centre pair now lie before the sides in mask order. The channel
      // positions follow the mask only when it names every channel; otherwise nothing moves.
      if (uint32_t(std::popcount(inputMask)) != inChannels_) return;
      const uint32_t h = uint32_t(std::popcount(inputMask & 0xF));
      const uint32_t k = uint32_t(std::popcount(mask & 0x1C0));
      uint32_t j = 0;
      for (uint32_t i = 0; i < h; ++i) map_[j++] = i;
      for (uint32_t i = h + 2; i < h + k + 2; ++i) map_[j++] = i;
      map_[j++] = h;
      map_[j++] = h + 1;
      for (uint32_t i = h + k + 2; i < inChannels_; ++i) map_[j++] = i;
    }
    outputMask = mask;
  }

  bool Remap(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    const size_t inFrame = carry_.Unit();
    const size_t outFrame = map_.size() * width_;
    const uint8_t* first = carry_.Complete(data, size);
    const size_t whole = carry_.WholeBytes(size);
    const size_t frames = whole / inFrame + (first ? 1 : 0);
    if (frames > 0) {
      if (!ReserveOutput(0, frames * outFrame)) return FailMemory();
      uint8_t* out = GetOutputBuffer(0);
      if (first) {
        remapFn_(first, out, 1, map_.data(), map_.size(), inChannels_);
        out += outFrame;
      }
      remapFn_(data, out, whole / inFrame, map_.data(), map_.size(), inChannels_);
      if (!Deliver(header, GetOutputBuffer(0), frames * outFrame, timeStamp, boundary))
        return false;
    }
    carry_.Keep(data + whole, size - whole);
    return true;
  }

  const TMode mode_;
  const std::vector<uint32_t> givenMap_;
  const uint32_t givenMask_ = 0;
  const std::string remap_;

  bool announced_ = false;
  bool passThrough_ = false;
  uint32_t inChannels_ = 0;
  size_t width_ = 0;
  TRemapFn remapFn_ = nullptr;
  std::vector<uint32_t> map_;
  TSampleCarry carry_;
};

}  // namespace

UpStreamPtr CreateChannelModder(const std::vector<uint32_t>& map, uint32_t outputMask) {
  return std::make_shared<TChannelModder>(map, outputMask);
}

UpStreamPtr CreateChannelModder(const std::string& remap) {
  return std::make_shared<TChannelModder>(remap);
}

UpStreamPtr CreateChannelModder() {
  return std::make_shared<TChannelModder>();
}

}  // namespace kavrix
