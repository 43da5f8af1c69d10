// The libav decoder node and the library-log capture: real streams made with ffmpeg, decoded
// one frame per block and compared with ffmpeg's own decode of the same file; sample-format
// conversions; channel order; the mask guard; errors and damaged input; the log filtering.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "audio/voxAc3.h"
#include "audio/voxDts.h"
#include "codecs/voxLibav.h"
#include "core/voxUpStream.h"
#include "test_support.h"

extern "C" {
#include <libavutil/log.h>
}

namespace kavrix::test {
namespace {

// ---- fixtures ----

bool RunQuiet(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool HaveFfmpeg() {
  static const bool have = RunQuiet("ffmpeg -version");
  return have;
}

// The streams, made once per test program: a 5.1 source with a different tone on every
// channel, and its encodings.
class TStreams {
 public:
  static TStreams& Get() {
    static TStreams streams;
    return streams;
  }

  bool ok() const { return ok_; }
  std::string Path(const std::string& name) const { return scratch_.Path(name); }
  const Bytes& File(const std::string& name) {
    auto it = files_.find(name);
    if (it == files_.end()) it = files_.emplace(name, ReadBytes(Path(name))).first;
    return it->second;
  }

  // ffmpeg's own decode of a file with the named decoder, as raw samples of rawFormat
  // ("f32le", "s32le", "s16le").
  const Bytes& Reference(const std::string& name, const std::string& decoder,
                         const std::string& rawFormat) {
    const std::string key = name + "." + decoder + "." + rawFormat;
    auto it = files_.find(key);
    if (it != files_.end()) return it->second;
    const std::string out = Path(key);
    const bool made = RunQuiet("ffmpeg -v error -y -c:a " + decoder + " -i " + Path(name) + " -f " +
                               rawFormat + " " + out);
    return files_.emplace(key, made ? ReadBytes(out) : Bytes()).first->second;
  }

 private:
  TStreams() {
    if (!HaveFfmpeg()) return;
    const std::string ff = "ffmpeg -v error -y ";
    const std::string src = Path("tones51.wav");
    ok_ = RunQuiet(ff +
                   "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*200*t)|0.5*sin(2*PI*300*t)|"
                   "0.5*sin(2*PI*400*t)|0.5*sin(2*PI*50*t)|0.5*sin(2*PI*600*t)|"
                   "0.5*sin(2*PI*700*t):s=48000:d=1:c=5.1(side)\" -c:a pcm_s24le " +
                   src);
    const std::string in = ff + "-i " + src + " ";
    ok_ = ok_ && RunQuiet(in + "-c:a ac3 -b:a 448k " + Path("t.ac3")) &&
          RunQuiet(in + "-ac 2 -c:a ac3 -b:a 192k " + Path("st.ac3")) &&
          RunQuiet(in + "-c:a eac3 -b:a 640k -f eac3 " + Path("t.eac3")) &&
          RunQuiet(in + "-strict -2 -c:a dca -b:a 1509750 " + Path("t.dts")) &&
          RunQuiet(in + "-strict -2 -c:a truehd " + Path("t.thd")) &&
          RunQuiet(in + "-ac 2 -strict -2 -c:a mlp -sample_fmt s16 " + Path("st16.mlp")) &&
          RunQuiet(in + "-ac 2 -c:a mp2 -b:a 192k " + Path("x.mp2")) &&
          RunQuiet(in + "-ac 2 -c:a aac -b:a 128k -f adts " + Path("x.aac"));
  }

  TScratch scratch_;
  bool ok_ = false;
  std::map<std::string, Bytes> files_;
};

#define REQUIRE_STREAMS()                                                     \
  do {                                                                        \
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";             \
    ASSERT_TRUE(TStreams::Get().ok()) << "ffmpeg could not make the streams"; \
  } while (0)

// ---- splitting streams into frames ----

using TSplit = std::function<size_t(const uint8_t*, size_t)>;  // frame length, 0 = stop

std::vector<Bytes> SplitFrames(const Bytes& data, const TSplit& length) {
  std::vector<Bytes> frames;
  size_t pos = 0;
  while (pos < data.size()) {
    const size_t n = length(data.data() + pos, data.size() - pos);
    if (n == 0 || n > data.size() - pos) break;
    frames.emplace_back(data.begin() + long(pos), data.begin() + long(pos + n));
    pos += n;
  }
  return frames;
}

// MPEG-1 layer II/III frames: 144 × bit rate / sample rate bytes, plus the padding byte.
size_t MpegFrameLength(const uint8_t* p, size_t n) {
  static const int kLayer2Rates[] = {0,   32,  48,  56,  64,  80,  96, 112,
                                     128, 160, 192, 224, 256, 320, 384};
  static const int kLayer3Rates[] = {0,   32,  40,  48,  56,  64,  80, 96,
                                     112, 128, 160, 192, 224, 256, 320};
  static const int kRates[] = {44100, 48000, 32000};
  if (n < 4 || p[0] != 0xFF || (p[1] & 0xF8) != 0xF8) return 0;  // MPEG-1 only
  const int layer = 4 - ((p[1] >> 1) & 3);
  const int rateIndex = p[2] >> 4;
  const int freqIndex = (p[2] >> 2) & 3;
  if ((layer != 2 && layer != 3) || rateIndex == 0 || rateIndex == 15 || freqIndex == 3) return 0;
  const int kbps = layer == 2 ? kLayer2Rates[rateIndex] : kLayer3Rates[rateIndex];
  return size_t(144 * kbps * 1000 / kRates[freqIndex] + ((p[2] >> 1) & 1));
}

size_t AdtsFrameLength(const uint8_t* p, size_t n) {
  if (n < 7 || p[0] != 0xFF || (p[1] & 0xF0) != 0xF0) return 0;
  return size_t((p[3] & 3) << 11 | p[4] << 3 | p[5] >> 5);
}

// TrueHD and MLP access units: 12 bits of length in 16-bit words.
size_t MlpUnitLength(const uint8_t* p, size_t n) {
  if (n < 4) return 0;
  return size_t(((p[0] & 0x0F) << 8 | p[1]) * 2);
}

// AC3 frames by the lengths in their headers.
std::vector<Bytes> Ac3Frames(const Bytes& stream) {
  return SplitFrames(stream, [](const uint8_t* p, size_t n) {
    TAc3FrameInfo f;
    return ParseAc3Frame(p, n, &f) == kAc3Ok ? size_t(f.length) : size_t(0);
  });
}

// ---- running the decoder ----

class TRecorder : public TUpStream {
 public:
  TRecorder() : TUpStream("recorder") {}
  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bits, uint32_t sampleRate, bool, uint64_t) override {
    ++opens;
    this->formatId = formatId;
    this->channels = channels;
    this->channelMask = channelMask;
    this->bits = bits;
    this->sampleRate = sampleRate;
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    bytes.insert(bytes.end(), data, data + size);
    ++blocks;
    return true;
  }
  bool Finish(TKey) override {
    ++finishes;
    return true;
  }
  int opens = 0, blocks = 0, finishes = 0;
  std::string formatId;
  uint32_t channels = 0, channelMask = 0, bits = 0, sampleRate = 0;
  Bytes bytes;
};

enum class TChoice { k16, k24, k32, kFloat };

UpStreamPtr Decoder(const std::string& name, TChoice choice, bool continueAfterError = false,
                    const std::string& extradata = {}) {
  return CreateLibavDecoder(name, continueAfterError, choice == TChoice::kFloat,
                            choice == TChoice::k32, choice == TChoice::k24, extradata);
}

struct TRun {
  UpStreamPtr decoder;
  std::shared_ptr<TRecorder> sink = std::make_shared<TRecorder>();
  bool ok = false;
};

// How the frames reach the decoder: through the project's reader or split here.
enum class TFeed { kAc3Reader, kDtsReader, kMpeg, kAdts, kMlp };

TRun Decode(const Bytes& data, TFeed feed, const std::string& formatId, const UpStreamPtr& decoder,
            uint32_t mask = 0) {
  TRun run;
  run.decoder = decoder;
  decoder->SetUpstream(run.sink);
  UpStreamPtr head = decoder;
  if (feed == TFeed::kAc3Reader || feed == TFeed::kDtsReader) {
    head = feed == TFeed::kAc3Reader ? CreateAc3Reader(nullptr, false, false)
                                     : CreateDtsReader(nullptr, false, false, false);
    head->SetUpstream(decoder);
    if (!head->OpenAudio("?", 1, 1, 8, 48000, false, data.size())) return run;
    for (size_t pos = 0; pos < data.size(); pos += 65536)
      if (!head->ProcessData(0, false, data.data() + pos,
                             std::min<size_t>(65536, data.size() - pos), kNoTimeStamp, false))
        return run;
    run.ok = head->Finish(0);
    return run;
  }
  const TSplit split = feed == TFeed::kMpeg   ? TSplit(MpegFrameLength)
                       : feed == TFeed::kAdts ? TSplit(AdtsFrameLength)
                                              : TSplit(MlpUnitLength);
  const auto frames = SplitFrames(data, split);
  if (frames.empty()) return run;
  if (!decoder->OpenAudio(formatId, 2, mask, 16, 48000, false, 0)) return run;
  for (const Bytes& f : frames)
    if (!decoder->ProcessData(0, false, f.data(), f.size(), kNoTimeStamp, false)) return run;
  run.ok = decoder->Finish(0);
  return run;
}

TFeed FeedOf(const std::string& file) {
  const std::string ext = file.substr(file.rfind('.') + 1);
  if (ext == "ac3" || ext == "eac3") return TFeed::kAc3Reader;
  if (ext == "dts") return TFeed::kDtsReader;
  if (ext == "mp2") return TFeed::kMpeg;
  if (ext == "aac") return TFeed::kAdts;
  return TFeed::kMlp;
}

std::string FormatOf(const std::string& file) {
  const std::string ext = file.substr(file.rfind('.') + 1);
  return ext == "eac3" ? "eac3" : ext;
}

// Keeps the upper three bytes of every 32-bit sample.
Bytes Upper24(const Bytes& s32) {
  Bytes out;
  out.reserve(s32.size() / 4 * 3);
  for (size_t i = 0; i + 4 <= s32.size(); i += 4) out.insert(out.end(), &s32[i + 1], &s32[i + 4]);
  return out;
}

// Full-scale floats to 24-bit integers, rounded to nearest and clipped.
Bytes FloatTo24(const Bytes& f32) {
  Bytes out;
  for (size_t i = 0; i + 4 <= f32.size(); i += 4) {
    float v;
    std::memcpy(&v, &f32[i], 4);
    const double x = std::clamp(std::nearbyint(double(v) * 8388608.0), -8388608.0, 8388607.0);
    const auto s = int32_t(x);
    out.insert(out.end(), {uint8_t(s), uint8_t(s >> 8), uint8_t(s >> 16)});
  }
  return out;
}

// ---- decoding real streams ----

// Every stream, every conversion the decoders call for: the node's output is bit-identical
// to ffmpeg's decode of the same file in the same sample format.
TEST(LibavDecoder, MatchesFfmpegDecodeInEveryOutputFormat) {
  REQUIRE_STREAMS();
  struct Case {
    const char* file;
    const char* decoder;
    TChoice choice;
    const char* reference;  // raw format of ffmpeg's decode; "s32le>24" and "f32le>24" derived
    uint32_t channels, mask;
  };
  const Case cases[] = {
      // Float decoders.
      {"t.ac3", "ac3", TChoice::kFloat, "f32le", 6, 0x60F},
      {"t.ac3", "ac3", TChoice::k32, "s32le", 6, 0x60F},
      {"t.ac3", "ac3", TChoice::k16, "s16le", 6, 0x60F},
      {"t.ac3", "ac3", TChoice::k24, "f32le>24", 6, 0x60F},
      {"t.eac3", "ac3", TChoice::kFloat, "f32le", 6, 0x60F},
      {"t.dts", "dca", TChoice::kFloat, "f32le", 6, 0x60F},
      {"x.mp2", "mp3float", TChoice::kFloat, "f32le", 2, 0x3},
      {"x.mp2", "mp2float", TChoice::kFloat, "f32le", 2, 0x3},
      {"x.aac", "aac", TChoice::kFloat, "f32le", 2, 0x3},
      // TrueHD decodes to 32-bit integers.
      {"t.thd", "truehd", TChoice::k24, "s32le>24", 6, 0x60F},
      {"t.thd", "truehd", TChoice::k32, "s32le", 6, 0x60F},
      {"t.thd", "truehd", TChoice::k16, "s16le", 6, 0x60F},
      {"t.thd", "truehd", TChoice::kFloat, "f32le", 6, 0x60F},
      // A 16-bit MLP stream decodes to 16-bit integers, whatever depth is asked for.
      {"st16.mlp", "mlp", TChoice::k24, "s32le>24", 2, 0x3},
      {"st16.mlp", "mlp", TChoice::k16, "s16le", 2, 0x3},
      {"st16.mlp", "mlp", TChoice::k32, "s32le", 2, 0x3},
      {"st16.mlp", "mlp", TChoice::kFloat, "f32le", 2, 0x3},
  };
  TStreams& streams = TStreams::Get();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.decoder + " " + c.reference);
    TConsoleCapture console;
    const TRun run = Decode(streams.File(c.file), FeedOf(c.file), FormatOf(c.file),
                            Decoder(c.decoder, c.choice), DefaultChannelMask(c.channels));
    ASSERT_TRUE(run.ok) << console.Text();
    EXPECT_EQ(run.sink->opens, 1);
    EXPECT_EQ(run.sink->finishes, 1);
    EXPECT_EQ(run.sink->formatId, c.choice == TChoice::kFloat ? "float" : "pcm");
    const uint32_t bits = c.choice == TChoice::k16 ? 16 : c.choice == TChoice::k24 ? 24 : 32;
    EXPECT_EQ(run.sink->bits, bits);
    EXPECT_EQ(run.sink->channels, c.channels);
    EXPECT_EQ(run.sink->channelMask, c.mask);
    EXPECT_EQ(run.sink->sampleRate, 48000u);
    EXPECT_NE(console.Text().find("Decoding with libav/ffmpeg..."), std::string::npos);

    const std::string ref = c.reference;
    const std::string raw = ref.substr(0, 5);
    Bytes expected = streams.Reference(c.file, c.decoder, raw);
    ASSERT_FALSE(expected.empty());
    if (ref == "s32le>24") expected = Upper24(expected);
    if (ref == "f32le>24") expected = FloatTo24(expected);
    ASSERT_EQ(run.sink->bytes.size(), expected.size());
    EXPECT_TRUE(run.sink->bytes == expected);
  }
}

// The TrueHD decode is lossless: the 24-bit output is the source WAV's data, channel for
// channel.
TEST(LibavDecoder, TrueHdGivesTheSourceSamplesBack) {
  REQUIRE_STREAMS();
  TStreams& streams = TStreams::Get();
  const Bytes& wav = streams.File("tones51.wav");
  const TRun run =
      Decode(streams.File("t.thd"), TFeed::kMlp, "thd", Decoder("truehd", TChoice::k24));
  ASSERT_TRUE(run.ok);
  const std::string tag = "data";
  const auto at = std::search(wav.begin(), wav.end(), tag.begin(), tag.end());
  ASSERT_NE(at, wav.end());
  const Bytes source(at + 8, wav.end());
  ASSERT_EQ(run.sink->bytes.size(), source.size());
  EXPECT_TRUE(run.sink->bytes == source);
}

// Power of one tone in a channel of interleaved floats (Goertzel).
double TonePower(const std::vector<float>& samples, size_t channels, size_t channel,
                 double frequency) {
  const double w = 2 * M_PI * frequency / 48000;
  const double k = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = channel; i < samples.size(); i += channels) {
    const double s = samples[i] + k * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return s1 * s1 + s2 * s2 - k * s1 * s2;
}

// Every channel of the lossy 5.1 decodes carries its own tone, in mask order.
TEST(LibavDecoder, KeepsTheChannelOrderOfA51Source) {
  REQUIRE_STREAMS();
  const double tones[] = {200, 300, 400, 50, 600, 700};
  for (const auto& [file, decoder] :
       {std::pair{"t.ac3", "ac3"}, std::pair{"t.eac3", "ac3"}, std::pair{"t.dts", "dca"}}) {
    SCOPED_TRACE(file);
    const TRun run = Decode(TStreams::Get().File(file), FeedOf(file), FormatOf(file),
                            Decoder(decoder, TChoice::kFloat));
    ASSERT_TRUE(run.ok);
    ASSERT_EQ(run.sink->channels, 6u);
    std::vector<float> samples(run.sink->bytes.size() / 4);
    std::memcpy(samples.data(), run.sink->bytes.data(), samples.size() * 4);
    for (size_t ch = 0; ch < 6; ++ch) {
      size_t loudest = 0;
      for (size_t t = 1; t < 6; ++t)
        if (TonePower(samples, 6, ch, tones[t]) > TonePower(samples, 6, ch, tones[loudest]))
          loudest = t;
      EXPECT_EQ(loudest, ch) << "channel " << ch;
    }
  }
}

// Raw AAC frames with the codec configuration as extradata decode like the ADTS stream.
TEST(LibavDecoder, RawAacWithCodecConfiguration) {
  REQUIRE_STREAMS();
  TStreams& streams = TStreams::Get();
  const Bytes& adts = streams.File("x.aac");
  const auto frames = SplitFrames(adts, AdtsFrameLength);
  ASSERT_FALSE(frames.empty());
  const uint8_t* h = frames[0].data();
  ASSERT_TRUE(h[1] & 1) << "the test expects ADTS headers without CRC";
  const int objectType = (h[2] >> 6) + 1;
  const int freqIndex = (h[2] >> 2) & 15;
  const int channelConfig = (h[2] & 1) << 2 | h[3] >> 6;
  const std::string config = {char(objectType << 3 | freqIndex >> 1),
                              char((freqIndex & 1) << 7 | channelConfig << 3)};
  TRun run;
  run.decoder = Decoder("aac", TChoice::kFloat, false, config);
  run.decoder->SetUpstream(run.sink);
  ASSERT_TRUE(run.decoder->OpenAudio("aac", 2, 3, 16, 48000, false, 0));
  for (const Bytes& f : frames)
    ASSERT_TRUE(run.decoder->ProcessData(0, false, f.data() + 7, f.size() - 7, 0, false));
  ASSERT_TRUE(run.decoder->Finish(0));
  EXPECT_TRUE(run.sink->bytes == streams.Reference("x.aac", "aac", "f32le"));
}

// The announced mask is the reader's unless its channel count disagrees with the decoder's;
// AC3 loses the back bits 0x130 beyond five channels.
TEST(LibavDecoder, ChannelMaskGuard) {
  REQUIRE_STREAMS();
  const Bytes& thd = TStreams::Get().File("t.thd");
  const struct {
    std::string format;
    uint32_t mask, announced;
  } cases[] = {
      {"thd", 0x137, 0x137},  // six channels: the reader's layout stands
      {"thd", 0x3, 0x60F},    // two bits for six channels: the decoder's layout
      {"thd", 0, 0x60F},      // none given
      {"thd", 0x63F, 0x60F},  // eight bits
  };
  for (const auto& c : cases) {
    const TRun run = Decode(thd, TFeed::kMlp, c.format, Decoder("truehd", TChoice::k24), c.mask);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.sink->channelMask, c.announced) << std::hex << c.mask;
  }
  // An AC3 announcement of 7.1 with back pair and back centre keeps only the side layout.
  TRun run;
  run.decoder = Decoder("ac3", TChoice::kFloat);
  run.decoder->SetUpstream(run.sink);
  const auto frames = Ac3Frames(TStreams::Get().File("t.ac3"));
  ASSERT_TRUE(run.decoder->OpenAudio("ac3", 8, 0x73F, 24, 48000, false, 77));
  ASSERT_TRUE(run.decoder->ProcessData(0, false, frames[0].data(), frames[0].size(), 0, false));
  EXPECT_EQ(run.sink->channelMask, 0x60Fu);  // 0x73F without 0x130 has two bits too many
}

// ---- errors ----

TEST(LibavDecoder, CreationAndAnnouncementErrors) {
  {
    TConsoleCapture console;
    const UpStreamPtr d = Decoder("no-such-decoder", TChoice::k24);
    EXPECT_FALSE(d->GetOk());
    EXPECT_NE(console.Text().find("The requested libav decoder was not found."), std::string::npos);
  }
  {
    // An encoder's name is no decoder.
    TConsoleCapture console;
    EXPECT_FALSE(Decoder("libmp3lame", TChoice::k24)->GetOk());
    EXPECT_NE(console.Text().find("The requested libav decoder was not found."), std::string::npos);
  }
  for (const char* name :
       {"truehd", "mlp", "dca", "ac3", "mp1float", "mp2float", "mp3float", "aac"}) {
    TConsoleCapture console;
    EXPECT_TRUE(Decoder(name, TChoice::k16)->GetOk()) << name << console.Text();
  }
  {
    TConsoleCapture console;
    const UpStreamPtr d = Decoder("ac3", TChoice::kFloat);
    d->SetUpstream(std::make_shared<TRecorder>());
    EXPECT_FALSE(d->OpenAudio("flac", 2, 3, 16, 48000, false, 0));
    EXPECT_NE(console.Text().find("The libav decoder received a non-supported data format."),
              std::string::npos);
  }
  {
    TConsoleCapture console;
    EXPECT_FALSE(Decoder("ac3", TChoice::kFloat)->OpenAudio("ac3", 2, 3, 16, 48000, false, 0));
    EXPECT_NE(console.Text().find("The libav decoder upstream property is not set."),
              std::string::npos);
  }
}

// Damaged input gives the decoding error. Without continue-after-error the node fails; with it the
// chain goes on but this decoder passes no more audio.
TEST(LibavDecoder, DecodingErrorStopsTheDecoder) {
  REQUIRE_STREAMS();
  const auto frames = Ac3Frames(TStreams::Get().File("t.ac3"));
  ASSERT_GE(frames.size(), 4u);
  Bytes garbage = frames[1];
  garbage[0] = 0x12;  // no sync word
  for (const bool continueAfterError : {false, true}) {
    SCOPED_TRACE(continueAfterError);
    TConsoleCapture console;
    TRun run;
    run.decoder = Decoder("ac3", TChoice::kFloat, continueAfterError);
    run.decoder->SetUpstream(run.sink);
    ASSERT_TRUE(run.decoder->OpenAudio("ac3", 6, 0x60F, 24, 48000, false, 0));
    ASSERT_TRUE(run.decoder->ProcessData(0, false, frames[0].data(), frames[0].size(), 0, false));
    const size_t before = run.sink->bytes.size();
    EXPECT_EQ(before, 1536u * 6 * 4);
    EXPECT_EQ(run.decoder->ProcessData(0, false, garbage.data(), garbage.size(), 0, false),
              continueAfterError);
    const std::string text = console.Text();
    EXPECT_NE(text.find("The libav decoder reported error -1094995529 while decoding."),
              std::string::npos)
        << text;  // AVERROR_INVALIDDATA
    EXPECT_EQ(run.decoder->GetOk(), continueAfterError);
    EXPECT_EQ(run.decoder->ProcessData(0, false, frames[2].data(), frames[2].size(), 0, false),
              continueAfterError);
    EXPECT_EQ(run.decoder->Finish(0), continueAfterError);
    EXPECT_EQ(run.sink->bytes.size(), before);
    EXPECT_EQ(run.sink->finishes, continueAfterError ? 1 : 0);
  }
}

// A stream that changes its channel count cannot go on under the first announcement: the
// decoder fails instead of passing differently interleaved samples.
TEST(LibavDecoder, ChannelCountChangeFails) {
  REQUIRE_STREAMS();
  const auto six = Ac3Frames(TStreams::Get().File("t.ac3"));
  const auto two = Ac3Frames(TStreams::Get().File("st.ac3"));
  ASSERT_FALSE(six.empty());
  ASSERT_FALSE(two.empty());
  TConsoleCapture console;
  TRun run;
  run.decoder = Decoder("ac3", TChoice::kFloat, true);
  run.decoder->SetUpstream(run.sink);
  ASSERT_TRUE(run.decoder->OpenAudio("ac3", 6, 0x60F, 24, 48000, false, 0));
  ASSERT_TRUE(run.decoder->ProcessData(0, false, six[0].data(), six[0].size(), 0, false));
  EXPECT_FALSE(run.decoder->ProcessData(0, false, two[0].data(), two[0].size(), 0, false));
  EXPECT_NE(console.Text().find("The libav decoder output changed its channel count."),
            std::string::npos);
  EXPECT_EQ(run.sink->bytes.size(), 1536u * 6 * 4);
}

// Random bytes and cut frames for every decoder: errors at most, never a crash or a read
// beyond the block (the sanitizer build checks the latter).
TEST(LibavDecoder, GarbageInputDoesNoHarm) {
  REQUIRE_STREAMS();
  std::mt19937 random(11);
  const struct {
    const char* decoder;
    const char* format;
    const char* file;
  } cases[] = {{"truehd", "thd", "t.thd"}, {"mlp", "mlp", "st16.mlp"},   {"dca", "dts", "t.dts"},
               {"ac3", "eac3", "t.eac3"},  {"mp3float", "mp2", "x.mp2"}, {"aac", "aac", "x.aac"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.decoder);
    TConsoleCapture console;
    const Bytes& stream = TStreams::Get().File(c.file);
    for (int i = 0; i < 30; ++i) {
      // A piece of the real stream with some bytes flipped, or plain noise, after one good
      // frame (so that the decoder has its parameters) or alone.
      const size_t size = 1 + random() % 3000;
      Bytes block(size);
      if (i % 2 == 0 && stream.size() > size) {
        const size_t at = random() % (stream.size() - size);
        std::copy(stream.begin() + long(at), stream.begin() + long(at + size), block.begin());
        for (int k = 0; k < 8; ++k) block[random() % size] ^= uint8_t(1 + random() % 255);
      } else {
        for (auto& b : block) b = uint8_t(random());
      }
      TRun run;
      run.decoder = Decoder(c.decoder, TChoice::k24, true);
      run.decoder->SetUpstream(run.sink);
      ASSERT_TRUE(run.decoder->OpenAudio(c.format, 2, 3, 16, 48000, false, 0));
      if (i % 4 < 2) {
        const size_t first =
            std::string(c.format) == "thd" || std::string(c.format) == "mlp"
                ? MlpUnitLength(stream.data(), stream.size())
            : std::string(c.format) == "aac" ? AdtsFrameLength(stream.data(), stream.size())
            : std::string(c.format) == "mp2" ? MpegFrameLength(stream.data(), stream.size())
                                             : size_t(0);
        if (first) run.decoder->ProcessData(0, false, stream.data(), first, 0, false);
      }
      run.decoder->ProcessData(0, false, block.data(), block.size(), 0, false);
      EXPECT_TRUE(run.decoder->GetOk());
      EXPECT_TRUE(run.decoder->Finish(0));
      // Whatever came out is whole samples.
      if (run.sink->opens) {
        EXPECT_EQ(run.sink->bytes.size() % (3 * run.sink->channels), 0u);
      }
    }
  }
}

// Finish drains the decoder and finishes the chain once, also when no data came.
TEST(LibavDecoder, FinishWithoutData) {
  TRun run;
  run.decoder = Decoder("truehd", TChoice::k24);
  run.decoder->SetUpstream(run.sink);
  ASSERT_TRUE(run.decoder->OpenAudio("thd", 6, 0x60F, 24, 48000, false, 0));
  ASSERT_TRUE(run.decoder->Finish(0));
  EXPECT_EQ(run.sink->finishes, 1);
  EXPECT_EQ(run.sink->opens, 0);
  EXPECT_TRUE(run.sink->bytes.empty());
}

// ---- the library's log ----

TEST(LibavLog, LineCleaning) {
  const std::pair<const char*, const char*> cases[] = {
      {"  [ac3 @ 0x55d0]  frame sync error  ", "frame sync error"},
      {"[truehd @ 0x1] [truehd @ 0x1] x", "[truehd @ 0x1] x"},
      {"truehd @ 0x5581", ""},
      {"[tag] truehd @ 0x5581 something", ""},
      {"truehd@ x", "truehd@ x"},
      {"[unclosed tag", "[unclosed tag"},
      {"   ", ""},
      {"[only tag]", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(CleanLibavLogLine(in), out) << in;
}

class TLineSink : public ILibavLogSink {
 public:
  void LibavLogLine(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

// Pieces are joined into lines, lines below the library's level are dropped, and every
// thread's lines reach the sink active on that thread only.
TEST(LibavLog, RoutesWholeLinesToTheThreadsSink) {
  InstallLibavLogCapture();
  TLineSink main, other;
  {
    TLibavLogScope scope(&main);
    av_log(nullptr, AV_LOG_WARNING, "Feature -%d", 22);
    av_log(nullptr, AV_LOG_WARNING, " is not implemented.\nsecond ");
    av_log(nullptr, AV_LOG_DEBUG, "debug line\n");
    std::thread([&] {
      TLibavLogScope inner(&other);
      av_log(nullptr, AV_LOG_ERROR, "from the other thread\n");
    }).join();
    av_log(nullptr, AV_LOG_ERROR, "line\n");
    {
      TLibavLogScope none(nullptr);
      av_log(nullptr, AV_LOG_ERROR, "dropped\n");
    }
  }
  av_log(nullptr, AV_LOG_ERROR, "nobody listens\n");
  EXPECT_EQ(main.lines,
            (std::vector<std::string>{"Feature -22 is not implemented.", "second line"}));
  EXPECT_EQ(other.lines, std::vector<std::string>{"from the other thread"});
}

// The decoder shows library lines as "[libav]" warnings, never "End of stream indicated.",
// and after a join in TrueHD no lossless-check complaints until the next major sync.
TEST(LibavLog, DecoderFiltersItsLines) {
  REQUIRE_STREAMS();
  const auto units = SplitFrames(TStreams::Get().File("t.thd"), MlpUnitLength);
  ASSERT_GE(units.size(), 2u);
  ASSERT_EQ(units[0][4], 0xF8);  // the first unit has a major sync, the second none
  ASSERT_NE(units[1][4], 0xF8);
  TConsoleCapture console;
  TRun run;
  run.decoder = Decoder("truehd", TChoice::k24);
  run.decoder->SetUpstream(run.sink);
  ASSERT_TRUE(run.decoder->OpenAudio("thd", 6, 0x60F, 24, 48000, false, 0));
  auto* sink = Query<ILibavLogSink>(run.decoder);
  ASSERT_NE(sink, nullptr);
  const std::string lossless = "Lossless check failed - expected 12, calculated 34.";
  auto shown = [&](const std::string& line) {
    console.Clear();
    sink->LibavLogLine(line);
    return console.Text().find("[libav] " + line) != std::string::npos;
  };
  EXPECT_TRUE(shown("something odd"));
  EXPECT_FALSE(shown("End of stream indicated."));
  EXPECT_TRUE(shown(lossless));
  run.decoder->NotifyJoin(0, 0);
  EXPECT_FALSE(shown(lossless));
  ASSERT_TRUE(run.decoder->ProcessData(0, false, units[1].data(), units[1].size(), 0, false));
  EXPECT_FALSE(shown(lossless));
  ASSERT_TRUE(run.decoder->ProcessData(0, false, units[0].data(), units[0].size(), 0, false));
  EXPECT_TRUE(shown(lossless));
}

}  // namespace
}  // namespace kavrix::test
