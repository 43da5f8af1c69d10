#include "pcm/voxRaw_gain.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <random>

#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

// ---- sample widths ----

enum class TKind { kNone, kInt8, kInt16, kInt24, kInt32, kFloat32, kFloat64 };

TKind KindOf(const std::string& formatId, uint32_t bits, bool bigEndian) {
  if (bigEndian) return TKind::kNone;
  if (formatId == format_id::kPcm) {
    switch (bits) {
      case 8:
        return TKind::kInt8;
      case 16:
        return TKind::kInt16;
      case 24:
        return TKind::kInt24;
      case 32:
        return TKind::kInt32;
      default:
        return TKind::kNone;
    }
  }
  if (formatId == format_id::kFloat) {
    if (bits == 32) return TKind::kFloat32;
    if (bits == 64) return TKind::kFloat64;
  }
  return TKind::kNone;
}

size_t BytesOf(TKind k) {
  switch (k) {
    case TKind::kInt8:
      return 1;
    case TKind::kInt16:
      return 2;
    case TKind::kInt24:
      return 3;
    case TKind::kInt32:
    case TKind::kFloat32:
      return 4;
    case TKind::kFloat64:
      return 8;
    default:
      return 0;
  }
}

// The value that maps to full scale 1.0.
double FullScale(TKind k) {
  switch (k) {
    case TKind::kInt8:
      return 128.0;
    case TKind::kInt16:
      return 32768.0;
    case TKind::kInt24:
      return 8388608.0;
    case TKind::kInt32:
      return 2147483648.0;
    default:
      return 1.0;
  }
}

// Readers and writers of one sample, by width: integers as signed values, floats as is.
template <TKind K>
struct TSample;
template <>
struct TSample<TKind::kInt8> {
  static constexpr size_t kBytes = 1;
  static int32_t Load(const uint8_t* p) { return int8_t(p[0]); }
  static void Store(uint8_t* p, int64_t v) { p[0] = uint8_t(v); }
};
template <>
struct TSample<TKind::kInt16> {
  static constexpr size_t kBytes = 2;
  static int32_t Load(const uint8_t* p) { return int16_t(uint16_t(p[0] | p[1] << 8)); }
  static void Store(uint8_t* p, int64_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
  }
};
template <>
struct TSample<TKind::kInt24> {
  static constexpr size_t kBytes = 3;
  static int32_t Load(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
  }
  static void Store(uint8_t* p, int64_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
  }
};
template <>
struct TSample<TKind::kInt32> {
  static constexpr size_t kBytes = 4;
  static int32_t Load(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  static void Store(uint8_t* p, int64_t v) {
    const int32_t w = int32_t(v);
    std::memcpy(p, &w, 4);
  }
};
template <>
struct TSample<TKind::kFloat32> {
  static constexpr size_t kBytes = 4;
  static float Load(const uint8_t* p) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
  }
};
template <>
struct TSample<TKind::kFloat64> {
  static constexpr size_t kBytes = 8;
  static double Load(const uint8_t* p) {
    double v;
    std::memcpy(&v, p, 8);
    return v;
  }
  static void Store(uint8_t* p, double v) { std::memcpy(p, &v, 8); }
};

// Converts n samples to floats of type Out, each times `mul` (1 / full scale, times a gain).
template <TKind K, class Out>
void ConvertSamples(const uint8_t* in, size_t n, double mul, uint8_t* out) {
  using S = TSample<K>;
  for (size_t i = 0; i < n; ++i) {
    const Out v = Out(double(S::Load(in + i * S::kBytes)) * mul);
    std::memcpy(out + i * sizeof(Out), &v, sizeof(Out));
  }
}

using TConvert = void (*)(const uint8_t*, size_t, double, uint8_t*);

template <class Out>
TConvert ConverterFor(TKind k) {
  switch (k) {
    case TKind::kInt8:
      return ConvertSamples<TKind::kInt8, Out>;
    case TKind::kInt16:
      return ConvertSamples<TKind::kInt16, Out>;
    case TKind::kInt24:
      return ConvertSamples<TKind::kInt24, Out>;
    case TKind::kInt32:
      return ConvertSamples<TKind::kInt32, Out>;
    case TKind::kFloat32:
      return ConvertSamples<TKind::kFloat32, Out>;
    case TKind::kFloat64:
      return ConvertSamples<TKind::kFloat64, Out>;
    default:
      return nullptr;
  }
}

// The largest absolute value of n samples on the full scale 1.0. NaN is no level and is
// skipped.
template <TKind K>
double PeakOf(const uint8_t* in, size_t n) {
  using S = TSample<K>;
  if constexpr (K == TKind::kFloat32 || K == TKind::kFloat64) {
    double peak = 0;
    for (size_t i = 0; i < n; ++i) {
      const double a = std::fabs(double(S::Load(in + i * S::kBytes)));
      if (a > peak) peak = a;
    }
    return peak;
  } else {
    int64_t peak = 0;
    for (size_t i = 0; i < n; ++i) {
      const int64_t v = S::Load(in + i * S::kBytes);
      peak = std::max(peak, v < 0 ? -v : v);
    }
    return double(peak) / FullScale(K);
  }
}

using TPeakOf = double (*)(const uint8_t*, size_t);

TPeakOf PeakFinderFor(TKind k) {
  switch (k) {
    case TKind::kInt8:
      return PeakOf<TKind::kInt8>;
    case TKind::kInt16:
      return PeakOf<TKind::kInt16>;
    case TKind::kInt24:
      return PeakOf<TKind::kInt24>;
    case TKind::kInt32:
      return PeakOf<TKind::kInt32>;
    case TKind::kFloat32:
      return PeakOf<TKind::kFloat32>;
    case TKind::kFloat64:
      return PeakOf<TKind::kFloat64>;
    default:
      return nullptr;
  }
}

// A stream may be cut anywhere: this keeps the incomplete unit (sample or frame) at the end of
// one block and completes it from the start of the next. Take() splits a block into the
// completed carried unit (Head, at most one), the whole units that follow (Body) and a tail,
// which Keep() stores once head and body have been processed.
class TCarry {
 public:
  void Reset(size_t unit) {
    unit_ = unit;
    buffer_.assign(unit, 0);
    have_ = 0;
  }
  void Take(const uint8_t* data, size_t size) {
    head_ = false;
    body_ = data;
    bodyUnits_ = 0;
    tailSize_ = 0;
    size_t used = 0;
    if (have_ > 0) {
      used = std::min(unit_ - have_, size);
      std::memcpy(buffer_.data() + have_, data, used);
      have_ += used;
      if (have_ < unit_) return;
      head_ = true;
      have_ = 0;
    }
    body_ = data + used;
    bodyUnits_ = (size - used) / unit_;
    tailSize_ = size - used - bodyUnits_ * unit_;
  }
  void Keep() {
    if (tailSize_ == 0) return;
    std::memcpy(buffer_.data(), body_ + bodyUnits_ * unit_, tailSize_);
    have_ = tailSize_;
    tailSize_ = 0;
  }
  bool HasHead() const { return head_; }
  const uint8_t* Head() const { return buffer_.data(); }
  const uint8_t* Body() const { return body_; }
  size_t BodyUnits() const { return bodyUnits_; }
  size_t Units() const { return bodyUnits_ + (head_ ? 1 : 0); }

 private:
  size_t unit_ = 1;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(1);
  size_t have_ = 0;
  bool head_ = false;
  const uint8_t* body_ = nullptr;
  size_t bodyUnits_ = 0;
  size_t tailSize_ = 0;
};

// Random numbers of a node of its own (nodes run on several threads), seeded from the clock
// and a process-wide counter so that nodes created at the same moment differ.
std::mt19937 SeededGenerator() {
  static std::atomic<uint32_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
  std::seed_seq seed{uint32_t(now), uint32_t(uint64_t(now) >> 32), uint32_t(wall),
                     uint32_t(uint64_t(wall) >> 32), counter.fetch_add(1)};
  return std::mt19937(seed);
}

// Integer division rounding toward minus infinity (b > 0): the "+ half" rounding terms below
// then round half up for negative values as well as positive ones.
inline int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// Frame-based nodes refuse absurd channel counts: a frame must fit a small buffer.
constexpr uint32_t kMaxChannels = 1024;

// ---- the channel amplifier ----

class TChannelAmplifier final : public TUpStream, public IChannelAmplifier {
 public:
  TChannelAmplifier(double dB, double factor)
      : TUpStream("channel amplifier"), dB_(dB), factor_(factor) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    const TKind kind = KindOf(formatId, bitsPerSample, bigEndian);
    if (!CheckAnnouncement(channels > 0 && kind != TKind::kNone && kind != TKind::kFloat32))
      return false;
    kind_ = kind;
    bytes_ = BytesOf(kind);
    convert_ = ConverterFor<double>(kind);
    mul_ = factor_ / FullScale(kind);  // a power of two: exact
    passThrough_ = kind == TKind::kFloat64 && factor_ == 1.0;
    carry_.Reset(bytes_);
    return OpenAudioUpstreams(std::string(format_id::kFloat), channels, channelMask, 64, sampleRate,
                              false, frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(kind_ != TKind::kNone)) return false;
    try {
      return Process(header, data, size, timeStamp, boundary);
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

 private:
  bool Process(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    Notice();
    if (passThrough_) return Deliver(header, data, size, timeStamp, boundary);
    carry_.Take(data, size);
    const size_t n = carry_.Units();
    if (n == 0) {
      carry_.Keep();
      return true;
    }
    if (!ReserveOutput(1, n * 8)) return FailMemory();
    uint8_t* out = GetOutputBuffer(1);
    if (carry_.HasHead()) convert_(carry_.Head(), 1, mul_, out);
    convert_(carry_.Body(), carry_.BodyUnits(), mul_, out + (carry_.HasHead() ? 8 : 0));
    carry_.Keep();
    return Deliver(header, out, n * 8, timeStamp, boundary);
  }

  bool Deliver(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (!DeliverData(header, data, size, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  void Notice() {
    if (noticeShown_ || dB_ == 0) return;
    noticeShown_ = true;
    ShowMessage(kMsgNormal, "Applying " + GainText(dB_) + "dB gain...");
  }

  const double dB_;
  const double factor_;
  TKind kind_ = TKind::kNone;
  size_t bytes_ = 0;
  TConvert convert_ = nullptr;
  double mul_ = 1;
  bool passThrough_ = false;
  bool noticeShown_ = false;
  TCarry carry_;
};

// ---- the float enforcer ----

class TFloatEnforcer final : public TUpStream, public IFloatEnforcer {
 public:
  explicit TFloatEnforcer(bool out32) : TUpStream("float enforcer"), out32_(out32) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    const TKind kind = KindOf(formatId, bitsPerSample, bigEndian);
    if (!CheckAnnouncement(kind != TKind::kNone)) return false;
    kind_ = kind;
    outBytes_ = out32_ ? 4 : 8;
    passThrough_ = kind == (out32_ ? TKind::kFloat32 : TKind::kFloat64);
    convert_ = out32_ ? ConverterFor<float>(kind) : ConverterFor<double>(kind);
    mul_ = 1.0 / FullScale(kind);
    carry_.Reset(BytesOf(kind));
    return OpenAudioUpstreams(std::string(format_id::kFloat), channels, channelMask,
                              out32_ ? 32 : 64, sampleRate, false, frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(kind_ != TKind::kNone)) return false;
    try {
      return Process(header, data, size, timeStamp, boundary);
    } catch (const std::exception&) {
      return FailAlloc();
    }
  }

 private:
  bool FailAlloc() { return Fail("The float enforcer was not able to allocate enough memory."); }

  bool Process(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (passThrough_) return Deliver(header, data, size, timeStamp, boundary);
    carry_.Take(data, size);
    const size_t n = carry_.Units();
    if (n == 0) {
      carry_.Keep();
      return true;
    }
    if (!ReserveOutput(1, n * outBytes_)) return FailAlloc();
    uint8_t* out = GetOutputBuffer(1);
    if (carry_.HasHead()) convert_(carry_.Head(), 1, mul_, out);
    convert_(carry_.Body(), carry_.BodyUnits(), mul_, out + (carry_.HasHead() ? outBytes_ : 0));
    carry_.Keep();
    return Deliver(header, out, n * outBytes_, timeStamp, boundary);
  }

  bool Deliver(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (!DeliverData(header, data, size, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  const bool out32_;
  TKind kind_ = TKind::kNone;
  size_t outBytes_ = 8;
  bool passThrough_ = false;
  TConvert convert_ = nullptr;
  double mul_ = 1;
  TCarry carry_;
};

// ---- the peak sample finder ----

class TPeakSampleFinder final : public TUpStream {
 public:
  explicit TPeakSampleFinder(double* peak) : TUpStream("peak sample finder"), target_(peak) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    const TKind kind = KindOf(formatId, bitsPerSample, bigEndian);
    if (!CheckAnnouncement(kind != TKind::kNone)) return false;
    kind_ = kind;
    peakOf_ = PeakFinderFor(kind);
    carry_.Reset(BytesOf(kind));
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }

  // Measures the block and hands it on as it came, cut or not: the stream stays intact and
  // a sample split between two blocks is measured once it is complete.
  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(kind_ != TKind::kNone)) return false;
    carry_.Take(data, size);
    double peak = carry_.HasHead() ? peakOf_(carry_.Head(), 1) : 0.0;
    peak = std::max(peak, peakOf_(carry_.Body(), carry_.BodyUnits()));
    carry_.Keep();
    if (peak > peak_) {
      if (peak > 1.0 && peak_ <= 1.0)
        ShowMessage(kMsgWarning, "Clipping detected, a 2nd pass will be necessary.");
      peak_ = peak;
    }
    if (!DeliverData(header, data, size, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  bool Finish(TKey) override {
    if (!GetOk()) return false;
    if (target_ && peak_ > *target_) *target_ = peak_;
    return FinishUpstreams();
  }

 private:
  double* const target_;
  double peak_ = 0;
  TKind kind_ = TKind::kNone;
  TPeakOf peakOf_ = nullptr;
  TCarry carry_;
};

// ---- the spike remover ----

// Cross-fades W frames on each side of a splice towards the middle of the two samples at the
// joint: frame i away from the joint gets weight i / W on its own value. frames points at the
// W frames before the joint, followed by the W after it.
template <TKind K>
void SmoothSplice(uint8_t* frames, size_t w, size_t channels, std::mt19937& random) {
  using S = TSample<K>;
  const size_t frameBytes = channels * S::kBytes;
  uint8_t* const joint = frames + w * frameBytes;
  const int64_t w2 = int64_t(2 * w);
  for (size_t c = 0; c < channels; ++c) {
    // b(i): i-th frame before the joint; a(i): i-th after it (i = 1 nearest).
    auto before = [&](size_t i) { return joint - i * frameBytes + c * S::kBytes; };
    auto after = [&](size_t i) { return joint + (i - 1) * frameBytes + c * S::kBytes; };
    if constexpr (K == TKind::kFloat64) {
      const double mid = (S::Load(before(1)) + S::Load(after(1))) / 2;
      for (size_t i = 1; i <= w; ++i) {
        const double weight = double(2 * i), rest = double(w2) - weight;
        S::Store(before(i), (mid * rest + weight * S::Load(before(i))) / double(w2));
        S::Store(after(i), (mid * rest + weight * S::Load(after(i))) / double(w2));
      }
    } else {
      // 64-bit throughout: mid × (2W - 2i) overflows 32 bits for 32-bit samples.
      const int64_t mid = FloorDiv(int64_t(S::Load(before(1))) + S::Load(after(1)) + 1, 2);
      auto fade = [&](uint8_t* p, int64_t i) {
        int64_t v = FloorDiv(mid * (w2 - 2 * i) + 2 * i * S::Load(p) + int64_t(w), w2);
        // The faded 24- and 32-bit samples keep 16 significant bits, with a little dither;
        // the result stays inside the sample range (no wrap to the other full scale).
        if constexpr (K == TKind::kInt24) {
          v = (v + int64_t(random() & 0xFF) - int64_t(random() & 0xFF) + 128) & ~int64_t(0xFF);
          v = std::clamp<int64_t>(v, -0x800000, 0x7FFF00);
        } else if constexpr (K == TKind::kInt32) {
          v = (v + int64_t(random() & 0xFFFF) - int64_t(random() & 0xFFFF) + 0x8000) &
              ~int64_t(0xFFFF);
          v = std::clamp<int64_t>(v, -0x80000000LL, 0x7FFF0000LL);
        }
        S::Store(p, v);
      };
      for (size_t i = 1; i <= w; ++i) {
        fade(before(i), int64_t(i));
        fade(after(i), int64_t(i));
      }
    }
  }
}

using TSmooth = void (*)(uint8_t*, size_t, size_t, std::mt19937&);

class TSpikeRemover final : public TUpStream, public ISpikeRemover {
 public:
  TSpikeRemover() : TUpStream("spike remover"), random_(SeededGenerator()) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    const TKind kind = KindOf(formatId, bitsPerSample, bigEndian);
    if (!CheckAnnouncement(channels > 0 && channels <= kMaxChannels && kind != TKind::kNone &&
                           kind != TKind::kFloat32))
      return false;
    switch (kind) {
      case TKind::kInt8:
        smooth_ = SmoothSplice<TKind::kInt8>;
        break;
      case TKind::kInt16:
        smooth_ = SmoothSplice<TKind::kInt16>;
        break;
      case TKind::kInt24:
        smooth_ = SmoothSplice<TKind::kInt24>;
        break;
      case TKind::kInt32:
        smooth_ = SmoothSplice<TKind::kInt32>;
        break;
      default:
        smooth_ = SmoothSplice<TKind::kFloat64>;
        break;
    }
    channels_ = channels;
    frameBytes_ = size_t(channels) * BytesOf(kind);
    w_ = sampleRate / 2000;
    pending_ = false;
    SetOutputSize(0, 0);
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }

  void MarkSplice() override {
    if (GetOk() && smooth_ && w_ > 0 && GetOutputSize(0) == w_ * frameBytes_) pending_ = true;
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(smooth_ != nullptr)) return false;
    try {
      return Process(header, data, size, timeStamp, boundary);
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

  bool Finish(TKey) override {
    if (!GetOk()) return false;
    const size_t held = GetOutputSize(0);
    if (held > 0 && !Deliver(false, GetOutputBuffer(0), held, kNoTimeStamp, false)) return false;
    SetOutputSize(0, 0);
    pending_ = false;
    return FinishUpstreams();
  }

 private:
  bool Deliver(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (size == 0) return true;
    if (!DeliverData(header, data, size, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  // Bytes that may leave when `total` bytes are at hand: all whole frames but the last W.
  size_t Deliverable(size_t total) const {
    const size_t whole = total - total % frameBytes_;
    const size_t keep = w_ * frameBytes_;
    return whole > keep ? whole - keep : 0;
  }

  bool Process(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    const size_t held = GetOutputSize(0);
    if (pending_) {
      if (!AppendOutput(0, data, size)) return FailMemory();
      const size_t total = GetOutputSize(0);
      if (total < 2 * w_ * frameBytes_) return true;
      smooth_(GetOutputBuffer(0), w_, channels_, random_);
      pending_ = false;
      const size_t out = Deliverable(total);
      if (!Deliver(false, GetOutputBuffer(0), out, kNoTimeStamp, false)) return false;
      ConsumeOutput(0, out);
      return true;
    }
    const size_t out = Deliverable(held + size);
    if (out <= held) {
      if (!Deliver(false, GetOutputBuffer(0), out, kNoTimeStamp, false)) return false;
      ConsumeOutput(0, out);
      if (!AppendOutput(0, data, size)) return FailMemory();
      return true;
    }
    // A long block: the held frames first, then the block itself up to its last W frames,
    // straight from the sender's memory.
    if (!Deliver(false, GetOutputBuffer(0), held, kNoTimeStamp, false)) return false;
    const size_t direct = out - held;
    if (!Deliver(header, data, direct, held == 0 ? timeStamp : kNoTimeStamp, boundary))
      return false;
    SetOutputSize(0, 0);
    if (!AppendOutput(0, data + direct, size - direct)) return FailMemory();
    return true;
  }

  std::mt19937 random_;
  TSmooth smooth_ = nullptr;
  size_t channels_ = 0;
  size_t frameBytes_ = 0;
  size_t w_ = 0;
  bool pending_ = false;
};

// ---- the raw equalizer ----

// Triangular noise between -255 and 255 in units of 1/256 of an output step: the difference
// of two consecutive uniform 8-bit values, so its spectrum rises towards high frequencies.
class TTriangularNoise {
 public:
  TTriangularNoise() : random_(SeededGenerator()), previous_(Draw()) {}
  int32_t Next() {
    const int32_t next = Draw();
    const int32_t noise = next - previous_;
    previous_ = next;
    return noise;
  }

 private:
  int32_t Draw() { return int32_t((random_() >> 2) >> 22); }
  std::mt19937 random_;
  int32_t previous_;
};

struct TEqualizerState {
  const uint32_t* gains;
  size_t channels;
  TTriangularNoise* noise;
};

// With dither: each channel whose gain is not 256 gets sample × gain plus the noise, rounded
// to the sample's own width (half up) and clamped; the others are copied.
template <TKind K>
void EqualizeDithered(const uint8_t* in, size_t frames, uint8_t* out, const TEqualizerState& s) {
  using S = TSample<K>;
  constexpr int64_t kMax = (int64_t(1) << (8 * S::kBytes - 1)) - 1;
  for (size_t f = 0; f < frames; ++f) {
    for (size_t c = 0; c < s.channels; ++c) {
      const uint32_t g = s.gains[c];
      int64_t v = S::Load(in);
      if (g != 256) {
        v = (v * g + s.noise->Next() + 128) >> 8;
        v = std::clamp<int64_t>(v, -kMax - 1, kMax);
      }
      S::Store(out, v);
      in += S::kBytes;
      out += S::kBytes;
    }
  }
}

// Without dither: the exact products, 8 bits wider.
template <TKind K, TKind Wide>
void EqualizeWide(const uint8_t* in, size_t frames, uint8_t* out, const TEqualizerState& s) {
  using S = TSample<K>;
  using W = TSample<Wide>;
  constexpr int64_t kMax = (int64_t(1) << (8 * W::kBytes - 1)) - 1;
  for (size_t f = 0; f < frames; ++f) {
    for (size_t c = 0; c < s.channels; ++c) {
      const int64_t v = int64_t(S::Load(in)) * s.gains[c];
      W::Store(out, std::clamp<int64_t>(v, -kMax - 1, kMax));
      in += S::kBytes;
      out += W::kBytes;
    }
  }
}

using TEqualize = void (*)(const uint8_t*, size_t, uint8_t*, const TEqualizerState&);

class TRawEqualizer final : public TUpStream {
 public:
  TRawEqualizer(const std::vector<uint32_t>& gains, bool dither)
      : TUpStream("raw equalizer"), gains_(gains), dither_(dither) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    const TKind kind = KindOf(formatId, bitsPerSample, bigEndian);
    if (!CheckAnnouncement(
            channels > 0 && channels <= kMaxChannels &&
            (kind == TKind::kInt8 || kind == TKind::kInt16 || kind == TKind::kInt24)))
      return false;
    try {
      channelGains_ = gains_;
      channelGains_.resize(channels, 256);
      if (dither_ && !noise_) noise_ = std::make_unique<TTriangularNoise>();
      carry_.Reset(size_t(channels) * BytesOf(kind));
    } catch (const std::exception&) {
      return FailMemory();
    }
    switch (kind) {
      case TKind::kInt8:
        equalize_ =
            dither_ ? EqualizeDithered<TKind::kInt8> : EqualizeWide<TKind::kInt8, TKind::kInt16>;
        break;
      case TKind::kInt16:
        equalize_ =
            dither_ ? EqualizeDithered<TKind::kInt16> : EqualizeWide<TKind::kInt16, TKind::kInt24>;
        break;
      default:
        equalize_ =
            dither_ ? EqualizeDithered<TKind::kInt24> : EqualizeWide<TKind::kInt24, TKind::kInt32>;
        break;
    }
    const uint32_t outBits = dither_ ? bitsPerSample : bitsPerSample + 8;
    outFrameBytes_ = size_t(channels) * (outBits / 8);
    state_ = {channelGains_.data(), channels, noise_.get()};
    return OpenAudioUpstreams(formatId, channels, channelMask, outBits, sampleRate, bigEndian,
                              frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(equalize_ != nullptr)) return false;
    try {
      carry_.Take(data, size);
      const size_t frames = carry_.Units();
      if (frames == 0) {
        carry_.Keep();
        return true;
      }
      if (!ReserveOutput(1, frames * outFrameBytes_)) return FailMemory();
      uint8_t* out = GetOutputBuffer(1);
      if (carry_.HasHead()) equalize_(carry_.Head(), 1, out, state_);
      equalize_(carry_.Body(), carry_.BodyUnits(), out + (carry_.HasHead() ? outFrameBytes_ : 0),
                state_);
      carry_.Keep();
      if (!DeliverData(header, out, frames * outFrameBytes_, timeStamp, boundary)) SetOk(false);
      return GetOk();
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

 private:
  const std::vector<uint32_t> gains_;
  const bool dither_;
  std::vector<uint32_t> channelGains_;
  std::unique_ptr<TTriangularNoise> noise_;
  TEqualize equalize_ = nullptr;
  TEqualizerState state_{};
  size_t outFrameBytes_ = 0;
  TCarry carry_;
};

}  // namespace

double RoundGainDb(double dB) {
  const double rounded = std::nearbyint(dB * 100.0) / 100.0;
  if (rounded == 0 && dB != 0) return dB > 0 ? 0.001 : -0.001;
  return rounded;
}

std::string GainText(double dB) {
  // More digits for small values; every negative value gets 8.
  int digits = 2;
  for (double limit = 0.1; digits < 8 && dB < limit; limit /= 10) ++digits;
  char text[64];
  std::snprintf(text, sizeof text, "%.*G", digits, dB);
  // Scientific form as "1.2E2" / "1E-5": no plus sign, no leading zeros in the exponent.
  std::string s = text;
  const size_t e = s.find('E');
  if (e == std::string::npos) return s;
  std::string mantissa = s.substr(0, e + 1);
  std::string exponent = s.substr(e + 1);
  bool negative = false;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    negative = exponent[0] == '-';
    exponent.erase(0, 1);
  }
  exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
  return mantissa + (negative ? "-" : "") + exponent;
}

UpStreamPtr CreateChannelAmplifier(double dB, double factor) {
  return std::make_shared<TChannelAmplifier>(RoundGainDb(dB), factor);
}
UpStreamPtr CreateFloatEnforcer(uint32_t bits) {
  return std::make_shared<TFloatEnforcer>(bits == 32);
}
UpStreamPtr CreatePeakSampleFinder(double* peak) {
  return std::make_shared<TPeakSampleFinder>(peak);
}
UpStreamPtr CreateSpikeRemover() {
  return std::make_shared<TSpikeRemover>();
}
UpStreamPtr CreateRawEqualizer(const std::vector<uint32_t>& gains256, bool dither) {
  return std::make_shared<TRawEqualizer>(gains256, dither);
}

}  // namespace kavrix
