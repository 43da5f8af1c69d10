// The shared libavcodec layer: one opened decoder, and the capture of the library's log.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "codecs/voxLibav.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace kavrix {

// ---- one decoder ----

TLibavOpenResult TLibavCodec::Open(const std::string& decoderName, const std::string& extradata) {
  Close();
  InstallLibavLogCapture();
  const AVCodec* codec = avcodec_find_decoder_by_name(decoderName.c_str());
  if (!codec || !av_codec_is_decoder(codec)) return TLibavOpenResult::kNotFound;
  context_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!context_ || !frame_ || !packet_) {
    Close();
    return TLibavOpenResult::kNoMemory;
  }
  if (!extradata.empty()) {
    if (extradata.size() > (1u << 28)) {
      Close();
      return TLibavOpenResult::kInitFailed;
    }
    context_->extradata =
        static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context_->extradata) {
      Close();
      return TLibavOpenResult::kNoMemory;
    }
    std::memcpy(context_->extradata, extradata.data(), extradata.size());
    context_->extradata_size = int(extradata.size());
  }
  // The TrueHD decoder takes the layout it is given as the choice of substreams to decode, and
  // without one it refuses the stream: ask for everything (it never delivers more than the
  // stream has).
  if (codec->id == AV_CODEC_ID_TRUEHD &&
      av_channel_layout_from_mask(&context_->ch_layout, AV_CH_LAYOUT_7POINT1) < 0) {
    Close();
    return TLibavOpenResult::kNoMemory;
  }
  if (avcodec_open2(context_, codec, nullptr) < 0) {
    Close();
    return TLibavOpenResult::kInitFailed;
  }
  return TLibavOpenResult::kOk;
}

int TLibavCodec::Send(const uint8_t* data, size_t size) {
  if (!context_) return AVERROR(EINVAL);
  if (size == 0) return 0;  // an empty packet would signal the end of the stream
  if (size > size_t(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) return AVERROR(EINVAL);
  av_packet_unref(packet_);
  // The packet's buffer has the padding the decoders read into, zeroed.
  if (av_new_packet(packet_, int(size)) < 0) return AVERROR(ENOMEM);
  std::memcpy(packet_->data, data, size);
  const int result = avcodec_send_packet(context_, packet_);
  av_packet_unref(packet_);
  return result;
}

int TLibavCodec::SendEnd() {
  if (!context_) return AVERROR(EINVAL);
  return avcodec_send_packet(context_, nullptr);
}

int TLibavCodec::Receive() {
  if (!context_) return AVERROR(EINVAL);
  return avcodec_receive_frame(context_, frame_);
}

void TLibavCodec::Close() {
  avcodec_free_context(&context_);  // also frees the extradata
  av_frame_free(&frame_);
  av_packet_free(&packet_);
}

// ---- the log ----

namespace {

thread_local ILibavLogSink* g_activeSink = nullptr;

// A line without an end that grows beyond this is passed on as it stands.
constexpr size_t kMaxPartialLine = 16384;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

void DispatchLine(const std::string& line) {
  ILibavLogSink* sink = g_activeSink;
  if (!sink) return;
  const std::string text = CleanLibavLogLine(line);
  if (!text.empty()) sink->LibavLogLine(text);
}

void LogCallback(void* avcl, int level, const char* fmt, va_list vl) {
  if (level > av_log_get_level()) return;
  // A message may arrive in several calls: the pieces are joined up to the line end, and
  // the context prefix is only formatted at the start of a line.
  thread_local int printPrefix = 1;
  thread_local std::string partial;
  try {
    char buffer[2048];
    va_list args;
    va_copy(args, vl);
    const int n =
        av_log_format_line2(avcl, level, fmt, args, buffer, int(sizeof buffer), &printPrefix);
    va_end(args);
    if (n < 0) return;
    partial.append(buffer, std::min(size_t(n), sizeof buffer - 1));
    size_t end;
    while ((end = partial.find('\n')) != std::string::npos) {
      const std::string line = partial.substr(0, end);
      partial.erase(0, end + 1);
      DispatchLine(line);
    }
    if (partial.size() > kMaxPartialLine) {
      const std::string line = std::move(partial);
      partial.clear();
      DispatchLine(line);
    }
  } catch (...) {
    partial.clear();  // nothing may escape into the library
  }
}

}  // namespace

void InstallLibavLogCapture() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(LogCallback); });
}

TLibavLogScope::TLibavLogScope(ILibavLogSink* sink) : previous_(g_activeSink) {
  g_activeSink = sink;
}

TLibavLogScope::~TLibavLogScope() {
  g_activeSink = previous_;
}

std::string CleanLibavLogLine(const std::string& line) {
  std::string text = Trim(line);
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close != std::string::npos) text = Trim(text.substr(close + 1));
  }
  if (text.rfind("truehd @ ", 0) == 0) return {};
  return text;
}

}  // namespace kavrix
