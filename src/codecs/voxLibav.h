#pragma once
// Decoding compressed audio with libavcodec: TrueHD, MLP, AC3, E-AC3, the DTS family
// (DTS Express included), MPEG audio layers 1-3 and AAC.
//
// Three parts:
//   - TLibavCodec, one opened decoder with the packet in / frames out calls. Every packet
//     goes in as a zero-padded copy (the decoders read a little past the end of their input).
//     The decoder node and the TrueHD reader's seamless-branching check both use it.
//   - The process-wide capture of the library's log. One log callback is installed for the
//     whole process; it keeps one partial line per thread (a message may arrive in several
//     pieces), trims every line, removes a leading "[tag]" and drops lines that are only a
//     TrueHD context prefix. A complete line goes to the log sink active on the thread that
//     wrote it (TLibavLogScope); without one it is dropped.
//   - The decoder node. It takes one frame or access unit per block and delivers
//     interleaved samples in mask order: "pcm" 16, 24 or 32 bits, or "float" 32 bits, as
//     chosen at creation. Whatever the decoder produces is converted to that choice.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/voxUpStream.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace kavrix {

// ---- one libav decoder ----

enum class TLibavOpenResult {
  kOk,
  kNotFound,   // no decoder of that name
  kNoMemory,   // context, frame or packet allocation failed
  kInitFailed  // the decoder refused to open
};

class TLibavCodec {
 public:
  TLibavCodec() = default;
  ~TLibavCodec() { Close(); }
  TLibavCodec(const TLibavCodec&) = delete;
  TLibavCodec& operator=(const TLibavCodec&) = delete;

  // Opens the decoder of that name. extradata: the codec configuration bytes, or empty.
  TLibavOpenResult Open(const std::string& decoderName, const std::string& extradata = {});
  bool IsOpen() const { return context_ != nullptr; }
  // Sends one packet (copied and zero-padded). Returns 0 or a negative AVERROR value;
  // AVERROR(EAGAIN) means frames must be received first.
  int Send(const uint8_t* data, size_t size);
  // Signals the end of the stream; the remaining frames can then be received.
  int SendEnd();
  // The next decoded frame: 0 with Frame() filled, AVERROR(EAGAIN) when the decoder needs
  // the next packet, AVERROR_EOF after the end was signalled and every frame came out, or
  // another negative AVERROR value.
  int Receive();
  const AVFrame* Frame() const { return frame_; }
  const AVCodecContext* Context() const { return context_; }
  void Close();

 private:
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

// ---- the library's log ----

// Receives the complete, cleaned lines of the library's log written on its thread.
class ILibavLogSink {
 public:
  virtual ~ILibavLogSink() = default;
  virtual void LibavLogLine(const std::string& line) = 0;
};

// Installs the process-wide log callback (once; later calls do nothing).
void InstallLibavLogCapture();

// Makes a sink the active one of the current thread while the object lives (nesting restores
// the previous sink). Pass nullptr to drop the lines.
class TLibavLogScope {
 public:
  explicit TLibavLogScope(ILibavLogSink* sink);
  ~TLibavLogScope();
  TLibavLogScope(const TLibavLogScope&) = delete;
  TLibavLogScope& operator=(const TLibavLogScope&) = delete;

 private:
  ILibavLogSink* previous_;
};

// The cleaning of one log line: trimmed, a leading "[tag]" removed and trimmed again; empty
// when the line is to be dropped (nothing left, or a "truehd @ " context prefix).
std::string CleanLibavLogLine(const std::string& line);

// ---- the decoder node ----

// Role interface of the libav decoder.
class ILibavDecoder {
 public:
  virtual ~ILibavDecoder() = default;
};

// decoderName: the libav decoder ("truehd", "mlp", "dca", "ac3", "mp1float", "mp2float",
// "mp3float", "aac"). continueAfterError: a decoding error stops this decoder's output but
// keeps the chain running. The output choice: bits24, else bits32, else floatOutput, else
// 16 bits. extradata: the codec configuration bytes, when the details carry them.
// A decoder that cannot be opened shows the error and returns a node that is not Ok.
UpStreamPtr CreateLibavDecoder(const std::string& decoderName, bool continueAfterError,
                               bool floatOutput, bool bits32, bool bits24,
                               const std::string& extradata = {});

}  // namespace kavrix
