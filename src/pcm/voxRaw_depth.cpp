#include "pcm/voxRaw_depth.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "core/voxUpStream_console.h"
#include "pcm/voxNoise.h"

namespace kavrix {

static_assert(std::endian::native == std::endian::little, "samples are handled as little-endian");

namespace {

// ---- sample access ----

inline int32_t Load16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline int32_t Load24(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}
inline int32_t Load32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A "float" 64 sample as a 32-bit integer at full scale 2^31, rounded to nearest (ties to
// even). Values beyond full scale saturate; NaN reads as 0.
inline int32_t LoadFloat64(const uint8_t* p) {
  double x;
  std::memcpy(&x, p, 8);
  double y = x * 2147483648.0;
  y = y > 2147483647.0 ? 2147483647.0 : y;
  y = y < -2147483648.0 ? -2147483648.0 : y;
  y = y == y ? y : 0.0;
  return int32_t(std::lrint(y));
}

template <int Width>
inline void Store(uint8_t* p, int32_t v) {
  if constexpr (Width == 1) {
    p[0] = uint8_t(v);
  } else if constexpr (Width == 2) {
    const int16_t s = int16_t(v);
    std::memcpy(p, &s, 2);
  } else if constexpr (Width == 3) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
  } else {
    std::memcpy(p, &v, 4);
  }
}

// Input kinds: bytes per sample 2, 3, 4 ("pcm") and 8 ("float" 64, read as 32-bit integers).
template <int InBytes>
inline int32_t Load(const uint8_t* p) {
  if constexpr (InBytes == 2) return Load16(p);
  if constexpr (InBytes == 3) return Load24(p);
  if constexpr (InBytes == 4) return Load32(p);
  return LoadFloat64(p);
}

// The parameters of one reduction: L bits dropped, half = 2^(L-1) for rounding half up, the
// shift that puts the result into the output sample's most significant bits.
struct TReduction {
  int drop;        // L, 1..24
  int32_t half;    // 2^(L-1)
  int noiseShift;  // 30 - L: 30-bit differences scaled to one step of the target
  int outShift;    // output width × 8 - target
};

// One slice: n samples from src to dst; noise holds n + 1 30-bit values when Dither is set.
template <int InBytes, int OutBytes, bool Dither>
void ReduceSlice(const uint8_t* src, uint8_t* dst, size_t n, const uint32_t* noise,
                 const TReduction& r) {
  const int drop = r.drop, noiseShift = r.noiseShift, outShift = r.outShift;
  const int32_t half = r.half;
  for (size_t i = 0; i < n; ++i, src += InBytes, dst += OutBytes) {
    const int32_t s = Load<InBytes>(src);
    int32_t d = 0;
    // Two neighbouring uniform values give triangular noise of ±1 step; neighbours share a
    // value, which makes the noise high-pass.
    if constexpr (Dither) d = int32_t(noise[i + 1] - noise[i]) >> noiseShift;
    int32_t v;
    if constexpr (InBytes == 2 || InBytes == 3) {
      constexpr int32_t lo = InBytes == 2 ? -32768 : -8388608;
      constexpr int32_t hi = InBytes == 2 ? 32767 : 8388607;
      v = std::clamp(s + d + half, lo, hi);
    } else {
      // Full 32-bit range: noise that would overflow is left out; when rounding would
      // overflow too the sample is already at the top of the target's range.
      int32_t t;
      if (__builtin_add_overflow(s, d, &t)) t = s;
      if (__builtin_add_overflow(t, half, &v)) v = s;
    }
    Store<OutBytes>(dst, (v >> drop) * (int32_t(1) << outShift));
  }
}

using TSliceFunc = void (*)(const uint8_t*, uint8_t*, size_t, const uint32_t*, const TReduction&);

template <int InBytes, bool Dither>
TSliceFunc PickOut(int outBytes) {
  switch (outBytes) {
    case 1:
      return &ReduceSlice<InBytes, 1, Dither>;
    case 2:
      return &ReduceSlice<InBytes, 2, Dither>;
    case 3:
      if constexpr (InBytes >= 3) return &ReduceSlice<InBytes, 3, Dither>;
      return nullptr;
    case 4:
      if constexpr (InBytes >= 4) return &ReduceSlice<InBytes, 4, Dither>;
      return nullptr;
  }
  return nullptr;
}

template <bool Dither>
TSliceFunc PickSlice(int inBytes, int outBytes) {
  switch (inBytes) {
    case 2:
      return PickOut<2, Dither>(outBytes);
    case 3:
      return PickOut<3, Dither>(outBytes);
    case 4:
      return PickOut<4, Dither>(outBytes);
    case 8:
      return PickOut<8, Dither>(outBytes);
  }
  return nullptr;
}

// Float to 32 bits drops nothing: the saturated, rounded integers as they are.
void ConvertFloatSlice(const uint8_t* src, uint8_t* dst, size_t n, const uint32_t*,
                       const TReduction&) {
  for (size_t i = 0; i < n; ++i, src += 8, dst += 4) Store<4>(dst, LoadFloat64(src));
}

inline uint32_t BytesOf(uint32_t bits) {
  return (bits + 7) / 8;
}

// ---- the bitdepth reducer ----

class TBitdepthReducer final : public TUpStream, public IBitdepthReducer {
 public:
  static constexpr size_t kSlice = 65536;  // samples per pass over the noise array

  TBitdepthReducer(uint32_t bits, bool dither, bool silent)
      : TUpStream("bitdepth reducer"), target_(bits), dither_(dither), silent_(silent) {
    if (bits < 8 || bits > 32) {
      Fail("The bitdepth reducer was called with incorrect parameters.");
      return;
    }
    if (!dither_) return;
    try {
      random_ = CreateFastRandom(0);
      noise_ = std::make_unique<uint32_t[]>(kSlice + 1);
      noise_[0] = random_->Next() >> 2;
    } catch (const std::exception&) {
      FailMemory();
    }
  }

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    const bool pcm = formatId == format_id::kPcm && (bitsPerSample == 8 || bitsPerSample == 16 ||
                                                     bitsPerSample == 24 || bitsPerSample == 32);
    const bool float64 = formatId == format_id::kFloat && bitsPerSample == 64;
    if (!CheckAnnouncement((pcm || float64) && channels > 0 && !bigEndian)) return false;
    inBytes_ = bitsPerSample / 8;
    carried_ = 0;
    bits_ = std::min(target_, bitsPerSample);
    passThrough_ = bits_ >= bitsPerSample;
    slice_ = nullptr;
    useNoise_ = false;
    if (!passThrough_) {
      const uint32_t width = float64 ? 32 : bitsPerSample;
      outBytes_ = bits_ <= 8 ? 1 : BytesOf(bits_);
      if (width == bits_) {
        slice_ = &ConvertFloatSlice;  // float to 32 bits
      } else {
        reduction_.drop = int(width - bits_);
        reduction_.half = int32_t(1) << (reduction_.drop - 1);
        reduction_.noiseShift = 30 - reduction_.drop;
        reduction_.outShift = int(outBytes_ * 8 - bits_);
        useNoise_ = dither_;
        slice_ = dither_ ? PickSlice<true>(int(inBytes_), int(outBytes_))
                         : PickSlice<false>(int(inBytes_), int(outBytes_));
      }
      if (!slice_) return FailFormat();
      if (!silent_)
        ShowMessage(kMsgNormal, "Reducing depth from " + std::to_string(bitsPerSample) + " to " +
                                    std::to_string(bits_) + " bits...");
    } else {
      outBytes_ = inBytes_;
    }
    announced_ = true;
    return OpenAudioUpstreams(std::string(format_id::kPcm), channels, channelMask,
                              passThrough_ ? bitsPerSample : outBytes_ * 8, sampleRate, false,
                              frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(announced_)) return false;
    if (passThrough_) {
      if (!DeliverData(header, data, size, timeStamp, boundary)) SetOk(false);
      return GetOk();
    }
    try {
      return Reduce(header, data, size, timeStamp, boundary);
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

  // Valid bits beyond the target no longer exist behind the reducer.
  using TUpStream::SetValidBits;
  void SetValidBits(uint32_t bits, bool forced) override {
    if (announced_ && !passThrough_ && bits > bits_) bits = bits_;
    TUpStream::SetValidBits(bits, forced);
  }

 private:
  void RunSlice(const uint8_t* src, uint8_t* dst, size_t n) {
    if (useNoise_) {
      for (size_t i = 1; i <= n; ++i) noise_[i] = random_->Next() >> 2;
    }
    slice_(src, dst, n, noise_.get(), reduction_);
    // The last value starts the next slice, so the noise stays one continuous sequence.
    if (useNoise_) noise_[0] = noise_[n];
  }

  bool Reduce(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (size == 0) return true;
    const size_t total = (carried_ + size) / inBytes_;
    if (total == 0) {
      std::memcpy(carry_ + carried_, data, size);
      carried_ += size;
      return true;
    }
    if (!ReserveOutput(0, total * outBytes_)) return FailMemory();
    uint8_t* out = GetOutputBuffer(0);
    // A sample begun in the previous block.
    if (carried_ > 0) {
      const size_t missing = inBytes_ - carried_;
      std::memcpy(carry_ + carried_, data, missing);
      data += missing;
      size -= missing;
      carried_ = 0;
      RunSlice(carry_, out, 1);
      out += outBytes_;
    }
    size_t whole = size / inBytes_;
    while (whole > 0) {
      const size_t n = std::min(whole, kSlice);
      RunSlice(data, out, n);
      data += n * inBytes_;
      out += n * outBytes_;
      whole -= n;
    }
    carried_ = size % inBytes_;
    std::memcpy(carry_, data, carried_);
    if (!DeliverData(header, GetOutputBuffer(0), total * outBytes_, timeStamp, boundary))
      SetOk(false);
    return GetOk();
  }

  const uint32_t target_;
  const bool dither_;
  const bool silent_;
  std::unique_ptr<TFastRandom> random_;
  std::unique_ptr<uint32_t[]> noise_;  // 30-bit values; [0] continues the previous slice
  bool announced_ = false;
  bool passThrough_ = false;
  uint32_t bits_ = 0;  // the target, at most the input bits
  uint32_t inBytes_ = 0;
  uint32_t outBytes_ = 0;
  TReduction reduction_{};
  TSliceFunc slice_ = nullptr;
  bool useNoise_ = false;  // dither with bits to drop (float to 32 bits drops none)
  uint8_t carry_[8] = {};
  size_t carried_ = 0;
};

// ---- the 16-bit stripper ----

class TStripTo16bit final : public TUpStream, public IStripTo16bit {
 public:
  explicit TStripTo16bit(bool checkMode) : TUpStream("16bit stripper"), checkMode_(checkMode) {}

  bool GaveUp() const override { return gaveUp_; }

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!CheckAnnouncement(formatId == format_id::kPcm && channels > 0 && bitsPerSample == 24 &&
                           !bigEndian))
      return false;
    announced_ = true;
    carried_ = 0;
    return OpenAudioUpstreams(std::string(format_id::kPcm), channels, channelMask, 16, sampleRate,
                              false, frameCount);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(announced_)) return false;
    if (gaveUp_) return true;
    try {
      return Strip(header, data, size, timeStamp, boundary);
    } catch (const std::exception&) {
      return FailMemory();
    }
  }

  bool Finish(TKey) override {
    if (!GetOk()) return false;
    const bool finished = FinishUpstreams();
    if (gaveUp_) return true;
    if (finished && checkMode_)
      ShowMessage(kMsgNormal, "The zero bytes were successfully removed.");
    return finished;
  }

 private:
  bool Strip(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary) {
    if (size == 0) return true;
    if (!checkMode_ && !noticeShown_) {
      noticeShown_ = true;
      ShowMessage(kMsgNormal, "Stripping zero bytes...");
    }
    const size_t total = (carried_ + size) / 3;
    if (total == 0) {
      std::memcpy(carry_ + carried_, data, size);
      carried_ += size;
      return true;
    }
    if (!ReserveOutput(0, total * 2)) return FailMemory();
    uint8_t* const start = GetOutputBuffer(0);
    uint8_t* out = start;
    bool clean = true;
    if (carried_ > 0) {
      const size_t missing = 3 - carried_;
      std::memcpy(carry_ + carried_, data, missing);
      data += missing;
      size -= missing;
      carried_ = 0;
      clean = carry_[0] == 0;
      out[0] = carry_[1];
      out[1] = carry_[2];
      out += clean ? 2 : 0;
    }
    const size_t whole = size / 3;
    size_t i = 0;
    if (clean) {
      for (; i < whole && data[3 * i] == 0; ++i, out += 2) {
        out[0] = data[3 * i + 1];
        out[1] = data[3 * i + 2];
      }
      clean = i == whole;
    }
    if (!clean) return GiveUp(header, start, size_t(out - start), timeStamp, boundary);
    carried_ = size % 3;
    std::memcpy(carry_, data + 3 * whole, carried_);
    if (!DeliverData(header, start, total * 2, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  // A sample uses more than 16 bits. The rest of the chain is silenced; in check mode the clean
  // samples before it still go out and the rest is dropped, in an output chain the node fails
  // (dropping the rest would leave a truncated destination behind a successful run).
  bool GiveUp(bool header, const uint8_t* clean, size_t cleanSize, int64_t timeStamp,
              bool boundary) {
    gaveUp_ = true;
    for (auto& up : Upstreams()) up->Silence(true);
    if (!checkMode_) return Fail("This audio track contains more than 16 bits of information.");
    ShowMessage(kMsgNormal, "This audio track contains more than 16 bits of information.");
    if (cleanSize > 0 && !DeliverData(header, clean, cleanSize, timeStamp, boundary)) SetOk(false);
    return GetOk();
  }

  const bool checkMode_;
  bool announced_ = false;
  bool gaveUp_ = false;
  bool noticeShown_ = false;
  uint8_t carry_[3] = {};
  size_t carried_ = 0;
};

}  // namespace

UpStreamPtr CreateBitdepthReducer(uint32_t bits, bool dither) {
  return std::make_shared<TBitdepthReducer>(bits, dither, false);
}

UpStreamPtr CreateBitdepthReducer(uint32_t bits, bool dither, bool silent) {
  return std::make_shared<TBitdepthReducer>(bits == 0 ? 24 : bits, dither, silent);
}

UpStreamPtr CreateStripTo16bit(bool checkMode) {
  return std::make_shared<TStripTo16bit>(checkMode);
}

}  // namespace kavrix
