// The libav decoder node.
#include "codecs/voxLibav.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

#include "core/voxUpStream_console.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

namespace kavrix {

namespace {

constexpr size_t kInitialOutput = 192000;

// The sample kind delivered.
enum class TOutputKind { kPcm16, kPcm24, kPcm32, kFloat32 };

// ---- conversion of one decoded frame into interleaved output ----
//
// Every combination of decoded and delivered kind has its own loop; the loops run channel by
// channel over the samples with the source and destination strides fixed.

inline void Put(uint8_t* p, int16_t v) {
  std::memcpy(p, &v, 2);
}
inline void Put24(uint8_t* p, int32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
}
inline void Put(uint8_t* p, int32_t v) {
  std::memcpy(p, &v, 4);
}
inline void Put(uint8_t* p, float v) {
  std::memcpy(p, &v, 4);
}

// Float full scale to an integer of `bits` bits: rounded to nearest, clipped, NaN as 0.
template <int bits>
inline int32_t FloatToInt(float v) {
  constexpr double scale = double(int64_t(1) << (bits - 1));
  constexpr double top = scale - 1.0;
  const double x = double(v) * scale;
  if (!(x > -scale)) return x != x ? 0 : int32_t(-scale);
  if (x >= top) return int32_t(top);
  return int32_t(std::nearbyint(x));
}

// Source samples of one channel: `count` values `stride` elements apart.
template <class S, class Convert, size_t outBytes>
void InterleaveChannel(const S* src, size_t stride, size_t count, uint8_t* out, size_t outStride,
                       Convert convert) {
  for (size_t i = 0; i < count; ++i, src += stride, out += outStride) {
    if constexpr (outBytes == 3) {
      Put24(out, convert(*src));
    } else {
      Put(out, convert(*src));
    }
  }
}

template <class S, size_t outBytes, class Convert>
void InterleaveFrame(const AVFrame& f, bool planar, size_t channels, uint8_t* out,
                     Convert convert) {
  const size_t count = size_t(f.nb_samples);
  const size_t outStride = channels * outBytes;
  for (size_t c = 0; c < channels; ++c) {
    const S* src = planar ? reinterpret_cast<const S*>(f.extended_data[c])
                          : reinterpret_cast<const S*>(f.extended_data[0]) + c;
    InterleaveChannel<S, Convert, outBytes>(src, planar ? 1 : channels, count, out + c * outBytes,
                                            outStride, convert);
  }
}

template <class S, class ToPcm16, class ToPcm24, class ToPcm32, class ToFloat>
void ConvertFrame(const AVFrame& f, bool planar, size_t channels, TOutputKind kind, uint8_t* out,
                  ToPcm16 to16, ToPcm24 to24, ToPcm32 to32, ToFloat toFloat) {
  switch (kind) {
    case TOutputKind::kPcm16:
      InterleaveFrame<S, 2>(f, planar, channels, out, to16);
      break;
    case TOutputKind::kPcm24:
      InterleaveFrame<S, 3>(f, planar, channels, out, to24);
      break;
    case TOutputKind::kPcm32:
      InterleaveFrame<S, 4>(f, planar, channels, out, to32);
      break;
    case TOutputKind::kFloat32:
      InterleaveFrame<S, 4>(f, planar, channels, out, toFloat);
      break;
  }
}

// Converts one frame; false for a sample format that is not handled.
bool ConvertFrame(const AVFrame& f, size_t channels, TOutputKind kind, uint8_t* out) {
  const auto format = AVSampleFormat(f.format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_S16:
      ConvertFrame<int16_t>(
          f, planar, channels, kind, out, [](int16_t v) { return v; },
          [](int16_t v) { return int32_t(v) * 256; }, [](int16_t v) { return int32_t(v) * 65536; },
          [](int16_t v) { return float(v) * (1.0f / 32768.0f); });
      return true;
    case AV_SAMPLE_FMT_S32:
      ConvertFrame<int32_t>(
          f, planar, channels, kind, out, [](int32_t v) { return int16_t(v >> 16); },
          [](int32_t v) { return v >> 8; }, [](int32_t v) { return v; },
          [](int32_t v) { return float(double(v) * (1.0 / 2147483648.0)); });
      return true;
    case AV_SAMPLE_FMT_FLT:
      ConvertFrame<float>(
          f, planar, channels, kind, out, [](float v) { return int16_t(FloatToInt<16>(v)); },
          [](float v) { return FloatToInt<24>(v); }, [](float v) { return FloatToInt<32>(v); },
          [](float v) { return v; });
      return true;
    default:
      return false;
  }
}

size_t OutputBytes(TOutputKind kind) {
  switch (kind) {
    case TOutputKind::kPcm16:
      return 2;
    case TOutputKind::kPcm24:
      return 3;
    default:
      return 4;
  }
}

bool IsTrueHdMajorSync(const uint8_t* data, size_t size) {
  return size > 7 && data[4] == 0xF8 && data[5] == 0x72 && data[6] == 0x6F && data[7] == 0xBA;
}

bool IsSupportedInput(const std::string& id) {
  using namespace format_id;
  return id == kThd || id == kMlp || id == kAc3 || id == kEac3 || id == kDts || id == kDtsMa ||
         id == kDtsHr || id == kDtsNc || id == kDtsLbr || id == kMp1 || id == kMp2 || id == kMp3 ||
         id == kAac;
}

// ---- the node ----

class TLibavDecoder final : public TUpStream, public ILibavDecoder, public ILibavLogSink {
 public:
  TLibavDecoder(const std::string& decoderName, bool continueAfterError, bool floatOutput,
                bool bits32, bool bits24, const std::string& extradata)
      : TUpStream("libav decoder"),
        continue_(continueAfterError),
        kind_(bits24        ? TOutputKind::kPcm24
              : bits32      ? TOutputKind::kPcm32
              : floatOutput ? TOutputKind::kFloat32
                            : TOutputKind::kPcm16) {
    TLibavOpenResult result = TLibavOpenResult::kNoMemory;
    try {
      TLibavLogScope scope(this);
      result = codec_.Open(decoderName, extradata);
    } catch (const std::exception&) {
    }
    switch (result) {
      case TLibavOpenResult::kOk:
        break;
      case TLibavOpenResult::kNotFound:
        Fail("The requested libav decoder was not found.");
        break;
      case TLibavOpenResult::kNoMemory:
        FailNoMemory();
        break;
      case TLibavOpenResult::kInitFailed:
        Fail("The libav decoder reported an error during initialization.");
        break;
    }
  }

  bool OpenAudio(const std::string& formatId, uint32_t, uint32_t channelMask, uint32_t, uint32_t,
                 bool, uint64_t frameCount) override {
    if (!CheckAnnouncement(IsSupportedInput(formatId))) return false;
    format_ = formatId;
    mask_ = channelMask;
    if ((formatId == format_id::kAc3 || formatId == format_id::kEac3) &&
        std::popcount(channelMask) > 5)
      mask_ &= ~0x130u;
    frameCount_ = frameCount;
    // The output is announced with the first decoded samples.
    return true;
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!CheckData(!format_.empty())) return false;
    if (stopped_ || size == 0) return GetOk();
    try {
      return Decode(header, data, size, timeStamp, boundary, false);
    } catch (const std::exception&) {
      return Crashed();
    }
  }

  bool Finish(TKey) override {
    if (!GetOk()) return false;
    if (!stopped_ && !format_.empty()) {
      try {
        Decode(false, nullptr, 0, kNoTimeStamp, false, true);
      } catch (const std::exception&) {
        Crashed();
      }
      if (!GetOk()) return false;
    }
    return FinishUpstreams();
  }

  void NotifyJoin(uint8_t kind, int64_t gap) override {
    if (kind == 0 && format_ == format_id::kThd) suppressLosslessCheck_ = true;
    TUpStream::NotifyJoin(kind, gap);
  }

  void LibavLogLine(const std::string& line) override {
    if (line == "End of stream indicated.") return;
    if (suppressLosslessCheck_ && line.find("Lossless check failed") != std::string::npos) return;
    ShowMessage(kMsgWarning, "[libav] " + line);
  }

 private:
  bool FailNoMemory() { return Fail("The libav decoder was not able to allocate enough memory."); }

  bool Crashed() {
    stopped_ = true;
    SetOk(continue_);
    ShowMessage(continue_ ? kMsgWarning : kMsgError, "The libav decoder crashed.");
    return GetOk();
  }

  // Decodes one packet (or, flushing, the rest the decoder holds) and delivers the samples.
  bool Decode(bool header, const uint8_t* data, size_t size, int64_t timeStamp, bool boundary,
              bool flushing) {
    if (!ReserveOutput(0, kInitialOutput)) return FailNoMemory();
    SetOutputSize(0, 0);
    if (!flushing && !noticeShown_) {
      noticeShown_ = true;
      ShowMessage(kMsgNormal, "Decoding with libav/ffmpeg...");
    }
    int error = 0;
    {
      TLibavLogScope scope(this);
      error = flushing ? codec_.SendEnd() : codec_.Send(data, size);
      while (error >= 0) {
        const int received = codec_.Receive();
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) break;
        if (received < 0) {
          error = received;
          break;
        }
        if (!AppendFrame(*codec_.Frame())) return false;
      }
    }
    if (suppressLosslessCheck_ && !flushing && IsTrueHdMajorSync(data, size))
      suppressLosslessCheck_ = false;
    // What came out before an error is still delivered.
    if (GetOutputSize(0) > 0) {
      const bool delivered =
          DeliverData(header, GetOutputBuffer(0), GetOutputSize(0), timeStamp, boundary);
      SetOutputSize(0, 0);
      if (!delivered) {
        SetOk(false);
        return false;
      }
    }
    if (error < 0 && !flushing) {
      stopped_ = true;
      SetOk(continue_);
      ShowMessage(kMsgError,
                  "The libav decoder reported error " + std::to_string(error) + " while decoding.");
    }
    return GetOk();
  }

  // Announces the output with the first frame: the channel count and rate the decoder
  // reports; the announced input's mask unless its channel count disagrees with the decoder's.
  bool Announce(const AVFrame& f, uint32_t channels) {
    uint32_t mask = mask_;
    if (uint32_t(std::popcount(mask)) != channels) {
      const AVChannelLayout& layout = f.ch_layout;
      if (layout.order == AV_CHANNEL_ORDER_NATIVE && layout.u.mask <= 0xFFFFFFFFu &&
          uint32_t(std::popcount(layout.u.mask)) == channels)
        mask = uint32_t(layout.u.mask);
      else
        mask = DefaultChannelMask(channels);
    }
    const bool isFloat = kind_ == TOutputKind::kFloat32;
    const uint32_t bits = uint32_t(OutputBytes(kind_)) * 8;
    channels_ = channels;
    announced_ = true;
    if (!OpenAudioUpstreams(std::string(isFloat ? format_id::kFloat : format_id::kPcm), channels,
                            mask, bits, uint32_t(std::max(f.sample_rate, 0)), false, frameCount_)) {
      SetOk(false);
      return false;
    }
    return true;
  }

  bool AppendFrame(const AVFrame& f) {
    const int channelCount = f.ch_layout.nb_channels;
    if (f.nb_samples <= 0 || channelCount <= 0) return true;
    const auto channels = uint32_t(channelCount);
    const auto format = AVSampleFormat(f.format);
    const AVSampleFormat packed = av_get_packed_sample_fmt(format);
    if (packed != AV_SAMPLE_FMT_S16 && packed != AV_SAMPLE_FMT_S32 && packed != AV_SAMPLE_FMT_FLT)
      return Fail("The libav decoder output an unexpected bitdepth (" + std::to_string(f.format) +
                  ").");
    if (!announced_) {
      if (!Announce(f, channels)) return false;
    } else if (channels != channels_) {
      return Fail("The libav decoder output changed its channel count.");
    }
    const size_t bytes = size_t(f.nb_samples) * channels * OutputBytes(kind_);
    const size_t used = GetOutputSize(0);
    if (!ReserveOutput(0, used + bytes)) return FailNoMemory();
    ConvertFrame(f, channels, kind_, GetOutputBuffer(0) + used);
    SetOutputSize(0, used + bytes);
    return true;
  }

  TLibavCodec codec_;
  const bool continue_;
  const TOutputKind kind_;
  std::string format_;
  uint32_t mask_ = 0;
  uint64_t frameCount_ = 0;
  uint32_t channels_ = 0;
  bool stopped_ = false;
  bool noticeShown_ = false;
  bool announced_ = false;
  bool suppressLosslessCheck_ = false;
};

}  // namespace

UpStreamPtr CreateLibavDecoder(const std::string& decoderName, bool continueAfterError,
                               bool floatOutput, bool bits32, bool bits24,
                               const std::string& extradata) {
  return std::make_shared<TLibavDecoder>(decoderName, continueAfterError, floatOutput, bits32,
                                         bits24, extradata);
}

}  // namespace kavrix
