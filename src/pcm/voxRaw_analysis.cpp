#include "pcm/voxRaw_analysis.h"

#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <vector>

#include "core/voxUpStream_console.h"
#include "pcm/voxRaw_channels.h"

namespace kavrix {

namespace {

constexpr size_t kBins = 33;  // bit counts 0 to 32

// "pcm" 8/16/24/32 or "float" 32/64 in little-endian order, at least one channel.
bool IsAnalyzable(const std::string& formatId, uint32_t channels, uint32_t bits, bool bigEndian) {
  if (bigEndian || channels == 0) return false;
  if (formatId == format_id::kPcm) return bits == 8 || bits == 16 || bits == 24 || bits == 32;
  if (formatId == format_id::kFloat) return bits == 32 || bits == 64;
  return false;
}

// The low 32 bits of round(x * 2^31) (ties to even); 0 when their sign differs from the
// input's, and for NaN and infinities.
inline uint32_t FloatBits(double x) {
  double r = std::nearbyint(x * 2147483648.0);
  if (!(std::fabs(r) < 9.0e18)) {
    if (!std::isfinite(r)) return 0;
    r = std::fmod(r, 4294967296.0);  // exact; keeps the low 32 bits of the integer
  }
  const auto v = uint32_t(uint64_t(int64_t(r)));
  return (x < 0) != (int32_t(v) < 0) ? 0 : v;
}

enum class TSampleKind { kPcm8, kPcm16, kPcm24, kPcm32, kFloat32, kFloat64 };

// The part of a sample whose lowest set bit is looked for, and the counter of bit 0.
template <TSampleKind K>
struct TSampleTraits;
template <>
struct TSampleTraits<TSampleKind::kPcm8> {
  static constexpr size_t kWidth = 1;
  static constexpr uint32_t kTop = 8;
  static uint32_t Low(const uint8_t* p) { return p[0] & 0xFu; }
};
template <>
struct TSampleTraits<TSampleKind::kPcm16> {
  static constexpr size_t kWidth = 2;
  static constexpr uint32_t kTop = 16;
  static uint32_t Low(const uint8_t* p) { return p[0]; }
};
template <>
struct TSampleTraits<TSampleKind::kPcm24> {
  static constexpr size_t kWidth = 3;
  static constexpr uint32_t kTop = 24;
  static uint32_t Low(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
};
template <>
struct TSampleTraits<TSampleKind::kPcm32> {
  static constexpr size_t kWidth = 4;
  static constexpr uint32_t kTop = 32;
  static uint32_t Low(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
  }
};
template <>
struct TSampleTraits<TSampleKind::kFloat32> {
  static constexpr size_t kWidth = 4;
  static constexpr uint32_t kTop = 32;
  static uint32_t Low(const uint8_t* p) {
    float f;
    std::memcpy(&f, p, 4);
    return FloatBits(f) & 0xFFFFFFu;
  }
};
template <>
struct TSampleTraits<TSampleKind::kFloat64> {
  static constexpr size_t kWidth = 8;
  static constexpr uint32_t kTop = 32;
  static uint32_t Low(const uint8_t* p) {
    double d;
    std::memcpy(&d, p, 8);
    return FloatBits(d) & 0xFFFFFFu;
  }
};

// Counts `count` samples starting with channel `channel`; returns the next sample's channel.
template <TSampleKind K>
uint32_t CountSamples(const uint8_t* p, size_t count, uint64_t* histograms, uint32_t channels,
                      uint32_t channel) {
  using T = TSampleTraits<K>;
  for (size_t i = 0; i < count; ++i, p += T::kWidth) {
    const uint32_t low = T::Low(p);
    if (low != 0) ++histograms[size_t(channel) * kBins + T::kTop - uint32_t(__builtin_ctz(low))];
    if (++channel == channels) channel = 0;
  }
  return channel;
}

using TCountFn = uint32_t (*)(const uint8_t*, size_t, uint64_t*, uint32_t, uint32_t);

// ---- the bit-depth analyzer ----

class TBitdepthAnalyzer final : public TUpStream, public IBitdepthAnalyzer {
 public:
  explicit TBitdepthAnalyzer(bool sourceSide)
      : TUpStream("bitdepth analyzer"), sourceSide_(sourceSide) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!CheckAnnouncement(IsAnalyzable(formatId, channels, bitsPerSample, bigEndian)))
      return false;
    try {
      const bool pcm = formatId == format_id::kPcm;
      width_ = (bitsPerSample + 7) / 8;
      channels_ = channels;
      channelMask_ = channelMask;
      channel_ = 0;
      histograms_.assign(size_t(channels) * kBins, 0);
      carry_.Reset(width_);
      switch (bitsPerSample) {
        case 8:
          count_ = CountSamples<TSampleKind::kPcm8>;
          break;
        case 16:
          count_ = CountSamples<TSampleKind::kPcm16>;
          break;
        case 24:
          count_ = CountSamples<TSampleKind::kPcm24>;
          break;
        case 32:
          count_ = pcm ? CountSamples<TSampleKind::kPcm32> : CountSamples<TSampleKind::kFloat32>;
          break;
        default:
          count_ = CountSamples<TSampleKind::kFloat64>;
          break;
      }
    } catch (const std::exception&) {
      width_ = 0;
      return FailMemory();
    }
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(width_ != 0)) return false;
    if (size == 0) return true;
    const uint8_t* rest = data;
    size_t restSize = size;
    if (const uint8_t* first = carry_.Complete(rest, restSize))
      channel_ = count_(first, 1, histograms_.data(), channels_, channel_);
    const size_t whole = carry_.WholeBytes(restSize);
    channel_ = count_(rest, whole / width_, histograms_.data(), channels_, channel_);
    carry_.Keep(rest + whole, restSize - whole);
    if (!DeliverData(header, data, size, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  bool Finish(TKey) override {
    if (!GetOk()) return false;
    try {
      const uint32_t bits = Report();
      TUpStream::SetValidBits(bits, !sourceSide_);
    } catch (const std::exception&) {
      return FailMemory();
    }
    return FinishUpstreams();
  }

  uint32_t GetMaxBits() override {
    uint32_t most = 0;
    for (size_t c = 0; c < channels_; ++c)
      for (uint32_t i = kBins; i-- > most;)
        if (histograms_[c * kBins + i] != 0) {
          most = i;
          break;
        }
    return most;
  }

 private:
  struct TGroup {
    uint32_t maximum = 0;
    std::string names;
    std::array<uint64_t, kBins> counts{};
  };

  // Shows the findings; returns the bit count of the valid-bitdepth notice.
  uint32_t Report() {
    if (width_ == 0) return 0;
    const uint32_t mask = channelMask_ != 0 ? channelMask_ : DefaultChannelMask(channels_);
    std::vector<TGroup> groups;
    for (uint32_t c = 0; c < channels_; ++c) {
      const uint64_t* counts = histograms_.data() + size_t(c) * kBins;
      uint32_t maximum = 32;
      for (uint32_t i = kBins; i-- > 0;)
        if (counts[i] != 0) {
          maximum = i;
          break;
        }
      TGroup* group = nullptr;
      for (auto& g : groups)
        if (g.maximum == maximum) group = &g;
      if (!group) {
        group = &groups.emplace_back();
        group->maximum = maximum;
      } else {
        group->names += "+";
      }
      group->names += MonoChannelName(mask, c);
      for (size_t i = 0; i < kBins; ++i) group->counts[i] += counts[i];
    }
    const bool single = groups.size() == 1;
    const std::string side = sourceSide_ ? "Original" : "Processed";
    uint32_t overall = 0;
    for (const TGroup& g : groups) {
      uint64_t total = 0;
      unsigned __int128 sum = 0;
      uint32_t mostCommon = g.maximum;
      for (uint32_t i = kBins; i-- > 0;) {
        total += g.counts[i];
        sum += (unsigned __int128)g.counts[i] * i;
        if (g.counts[i] > g.counts[mostCommon]) mostCommon = i;
      }
      const uint64_t average = total == 0 ? 0 : uint64_t((sum + total / 2) / total) + 1;
      const std::string prefix =
          single ? side + " audio track: " : side + " audio track, " + g.names + ": ";
      std::string text;
      if (total == 0) {
        text = prefix + "no audio data.";
      } else if (total <= 1000) {
        text = prefix + "bitdepth analyzation failed.";
      } else if (average + 1 >= g.maximum) {
        const uint32_t maximum = g.maximum == 32 && width_ == 8 ? 64 : g.maximum;
        overall = std::max(overall, maximum);
        text = single ? std::string(sourceSide_ ? "The original" : "The processed") +
                            " audio track has a constant bit depth of " + std::to_string(maximum) +
                            " bits."
                      : prefix + "constant bit depth of " + std::to_string(maximum) + " bits.";
      } else {
        overall = std::max(overall, g.maximum);
        text = prefix + "max " + std::to_string(g.maximum) + " bits, average " +
               std::to_string(average) + " bits";
        text += single ? ", most common " + std::to_string(mostCommon) + " bits." : ".";
      }
      ShowMessage(kMsgNormal, text);
    }
    return overall;
  }

  const bool sourceSide_;
  size_t width_ = 0;
  uint32_t channels_ = 0;
  uint32_t channelMask_ = 0;
  uint32_t channel_ = 0;  // the channel of the next sample
  std::vector<uint64_t> histograms_;
  TCountFn count_ = nullptr;
  TSampleCarry carry_;
};

// ---- the sample sorter ----

class TSampleSorter final : public TUpStream {
 public:
  TSampleSorter() : TUpStream("sample sorter") {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!CheckAnnouncement(IsAnalyzable(formatId, channels, bitsPerSample, bigEndian)))
      return false;
    try {
      width_ = (bitsPerSample + 7) / 8;
      carry_.Reset(width_);
    } catch (const std::exception&) {
      width_ = 0;
      return FailMemory();
    }
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }

  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(width_ != 0)) return false;
    if (size == 0) return true;
    if (carry_.Size() + size < width_) {  // still no whole sample
      carry_.Keep(data, size);
      return true;
    }
    const uint8_t* first = carry_.Complete(data, size);
    if (first && !Deliver(first, width_, kNoTimeStamp, false)) return false;
    const size_t whole = carry_.WholeBytes(size);
    if (!Deliver(data, whole, timeStamp, boundary)) return false;
    carry_.Keep(data + whole, size - whole);
    return true;
  }

 private:
  bool Deliver(const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (!DeliverData(false, data, size, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  size_t width_ = 0;
  TSampleCarry carry_;
};

// ---- the memory storage ----

class TMemStorage final : public TUpStream, public IMemStorage {
 public:
  TMemStorage() : TUpStream("memory storage") {}

  bool OpenAudio(const std::string&, uint32_t, uint32_t, uint32_t, uint32_t, bool,
                 uint64_t) override {
    formatReceived_ = true;
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    if (!GetOk()) return false;
    if (!AppendOutput(0, data, size)) return FailMemory();
    return true;
  }
  bool Finish(TKey) override { return true; }

  std::string GetStoredData() override {
    if (!formatReceived_) return {};
    const auto* bytes = reinterpret_cast<const char*>(GetOutputBuffer(0));
    return bytes ? std::string(bytes, GetOutputSize(0)) : std::string();
  }

 private:
  bool formatReceived_ = false;
};

}  // namespace

UpStreamPtr CreateBitdepthAnalyzer(bool sourceSide) {
  return std::make_shared<TBitdepthAnalyzer>(sourceSide);
}

UpStreamPtr CreateSampleSorter() {
  return std::make_shared<TSampleSorter>();
}

UpStreamPtr CreateMemStorage() {
  return std::make_shared<TMemStorage>();
}

}  // namespace kavrix
