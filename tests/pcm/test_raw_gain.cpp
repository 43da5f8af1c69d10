// The level nodes: the channel amplifier (exact factors on every width, the dB notice and its
// rounding), the float enforcer (every width into 32 and 64 bits, untouched pass-through), the
// peak sample finder, the spike remover around a splice, the raw equalizer with and without
// dither, the refusals and the partial samples of streams cut anywhere.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>

#include "core/voxUpStream_console.h"
#include "pcm/voxRaw.h"
#include "test_support.h"

namespace kavrix {
namespace {

using test::Bytes;

// Records the announcement, the bytes and where each delivered block lives.
class TSink : public TUpStream {
 public:
  TSink() : TUpStream("sink") {}
  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t, uint32_t bits, uint32_t,
                 bool, uint64_t) override {
    this->formatId = formatId;
    this->channels = channels;
    this->bits = bits;
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    bytes.insert(bytes.end(), data, data + size);
    pointers.push_back(data);
    return true;
  }
  bool Finish(TKey) override {
    ++finishes;
    return true;
  }
  std::string formatId;
  uint32_t channels = 0, bits = 0;
  int finishes = 0;
  Bytes bytes;
  std::vector<const uint8_t*> pointers;
};

struct TRig {
  UpStreamPtr node;
  std::shared_ptr<TSink> sink = std::make_shared<TSink>();
  explicit TRig(UpStreamPtr n) : node(std::move(n)) { node->SetUpstream(sink); }
  bool Open(const std::string& format, uint32_t bits, uint32_t channels = 2,
            uint32_t rate = 48000) {
    return node->OpenAudio(format, channels, channels == 2 ? 3 : 0, bits, rate, false, 0);
  }
  // Delivers the bytes cut into pieces of the given sizes, used in turn.
  bool Feed(const Bytes& data, std::vector<size_t> cuts = {1 << 20}) {
    size_t at = 0;
    for (size_t k = 0; at < data.size(); ++k) {
      const size_t n = std::min(cuts[k % cuts.size()], data.size() - at);
      if (!node->ProcessData(0, false, data.data() + at, n, kNoTimeStamp, false)) return false;
      at += n;
    }
    return true;
  }
};

// Awkward cuts: pieces that end inside samples and frames.
const std::vector<size_t> kOddCuts = {1, 2, 3, 5, 7, 11, 13, 4096, 9};

Bytes Ints(uint32_t bits, const std::vector<int64_t>& values) {
  Bytes b;
  for (int64_t v : values)
    for (uint32_t i = 0; i < bits / 8; ++i) b.push_back(uint8_t(uint64_t(v) >> (8 * i)));
  return b;
}
int64_t IntAt(const Bytes& b, uint32_t bits, size_t index) {
  const size_t n = bits / 8;
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t(b[index * n + i]) << (8 * i);
  const int shift = int(64 - 8 * n);
  return int64_t(v << shift) >> shift;
}
template <class F>
Bytes Floats(const std::vector<double>& values) {
  Bytes b(values.size() * sizeof(F));
  for (size_t i = 0; i < values.size(); ++i) {
    const F v = F(values[i]);
    std::memcpy(b.data() + i * sizeof(F), &v, sizeof(F));
  }
  return b;
}
template <class F>
std::vector<double> FloatsOf(const Bytes& b) {
  std::vector<double> out(b.size() / sizeof(F));
  for (size_t i = 0; i < out.size(); ++i) {
    F v;
    std::memcpy(&v, b.data() + i * sizeof(F), sizeof(F));
    out[i] = double(v);
  }
  return out;
}

// One input width: its announcement, some samples (raw values) and the encoded bytes.
struct TWidth {
  const char* format;
  uint32_t bits;
  double scale;
  std::vector<double> raw;
  Bytes Encode() const {
    if (std::string(format) == "float")
      return bits == 32 ? Floats<float>(raw) : Floats<double>(raw);
    std::vector<int64_t> v(raw.begin(), raw.end());
    return Ints(bits, v);
  }
};

const std::vector<TWidth>& Widths() {
  static const std::vector<TWidth> widths = {
      {"pcm", 8, 128.0, {-128, -1, 0, 1, 77, 127}},
      {"pcm", 16, 32768.0, {-32768, -1234, 0, 1, 32767, 555}},
      {"pcm", 24, 8388608.0, {-8388608, -5, 0, 8388607, 4000001, 3}},
      {"pcm", 32, 2147483648.0, {-2147483648.0, -7, 0, 2147483647, 1e9, 12345}},
      {"float", 32, 1.0, {-1.0, 0.25, 0, 1.5, -0.125, 0.75}},
      {"float", 64, 1.0, {-1.0, 0.3, 0, 2.5, -1e-9, 0.1}},
  };
  return widths;
}

TEST(ChannelAmplifier, MultipliesEveryWidthByTheExactFactor) {
  for (const double dB : {3.0, -6.0}) {
    const double factor = std::pow(10.0, dB / 20.0);
    for (const TWidth& w : Widths()) {
      if (std::string(w.format) == "float" && w.bits == 32) continue;  // refused, see below
      SCOPED_TRACE(std::string(w.format) + std::to_string(w.bits) + " " + std::to_string(dB));
      test::TConsoleCapture capture;
      TRig rig(CreateChannelAmplifier(dB, factor));
      ASSERT_TRUE(rig.Open(w.format, w.bits));
      EXPECT_EQ(rig.sink->formatId, "float");
      EXPECT_EQ(rig.sink->bits, 64u);
      Bytes in;
      for (int k = 0; k < 50; ++k) {  // enough samples for every cut to fall somewhere
        const Bytes one = w.Encode();
        in.insert(in.end(), one.begin(), one.end());
      }
      ASSERT_TRUE(rig.Feed(in, kOddCuts));
      ASSERT_TRUE(rig.node->Finish(0));
      const std::vector<double> out = FloatsOf<double>(rig.sink->bytes);
      ASSERT_EQ(out.size(), w.raw.size() * 50);
      double inPower = 0, outPower = 0;
      for (size_t i = 0; i < out.size(); ++i) {
        const double x = w.raw[i % w.raw.size()] / w.scale;
        ASSERT_EQ(out[i], x * factor) << i;
        inPower += x * x;
        outPower += out[i] * out[i];
      }
      EXPECT_NEAR(10 * std::log10(outPower / inPower), dB, 1e-9);
      EXPECT_EQ(rig.sink->finishes, 1);
    }
  }
}

TEST(ChannelAmplifier, FullScaleEdgesAreExact) {
  TRig rig(CreateChannelAmplifier(0, 1.0));
  ASSERT_TRUE(rig.Open("pcm", 16));
  ASSERT_TRUE(rig.Feed(Ints(16, {-32768, 32767})));
  EXPECT_EQ(FloatsOf<double>(rig.sink->bytes), (std::vector<double>{-1.0, 32767.0 / 32768.0}));
  // 8-bit samples are signed in the chain: 0x80 is negative full scale.
  TRig eight(CreateChannelAmplifier(0, 1.0));
  ASSERT_TRUE(eight.Open("pcm", 8));
  ASSERT_TRUE(eight.Feed({0x80, 0x7F, 0x00, 0xFF}));
  EXPECT_EQ(FloatsOf<double>(eight.sink->bytes),
            (std::vector<double>{-1.0, 127.0 / 128.0, 0.0, -1.0 / 128.0}));
}

TEST(ChannelAmplifier, ShowsTheRoundedGainOnce) {
  struct TCase {
    double dB;
    const char* text;  // nullptr: no notice
  };
  const TCase cases[] = {
      {-3.0, "-3"},   {3.0, "3"},     {0.004, "0.001"},      {-0.004, "-0.001"}, {3.14159, "3.1"},
      {12.345, "12"}, {0.05, "0.05"}, {-1.6749108, "-1.67"}, {-6.0206, "-6.02"}, {0.0, nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.dB);
    test::TConsoleCapture capture;
    TRig rig(CreateChannelAmplifier(c.dB, 1.0));
    ASSERT_TRUE(rig.Open("pcm", 16));
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(rig.Feed(Ints(16, {1, 2, 3})));
    const std::string& text = capture.Text();
    if (!c.text) {
      EXPECT_EQ(text.find("Applying"), std::string::npos) << text;
      continue;
    }
    const std::string notice = std::string("Applying ") + c.text + "dB gain...";
    const size_t at = text.find(notice);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find("Applying", at + 1), std::string::npos) << text;
  }
  EXPECT_DOUBLE_EQ(RoundGainDb(1.005001), 1.01);
  EXPECT_EQ(GainText(123.0), "1.2E2");
}

TEST(FloatEnforcer, ConvertsEveryWidthTo32And64Bits) {
  for (const uint32_t outBits : {32u, 64u}) {
    for (const TWidth& w : Widths()) {
      SCOPED_TRACE(std::string(w.format) + std::to_string(w.bits) + " to " +
                   std::to_string(outBits));
      TRig rig(CreateFloatEnforcer(outBits));
      ASSERT_TRUE(rig.Open(w.format, w.bits));
      EXPECT_EQ(rig.sink->formatId, "float");
      EXPECT_EQ(rig.sink->bits, outBits);
      Bytes in;
      for (int k = 0; k < 40; ++k) {
        const Bytes one = w.Encode();
        in.insert(in.end(), one.begin(), one.end());
      }
      ASSERT_TRUE(rig.Feed(in, kOddCuts));
      const std::vector<double> out =
          outBits == 32 ? FloatsOf<float>(rig.sink->bytes) : FloatsOf<double>(rig.sink->bytes);
      ASSERT_EQ(out.size(), w.raw.size() * 40);
      for (size_t i = 0; i < out.size(); ++i) {
        double x = w.raw[i % w.raw.size()];
        if (w.bits == 32 && std::string(w.format) == "float") x = double(float(x));
        x /= w.scale;
        ASSERT_EQ(out[i], outBits == 32 ? double(float(x)) : x) << i;
      }
    }
  }
}

TEST(FloatEnforcer, PassesItsOwnWidthOnWithoutCopying) {
  for (const uint32_t bits : {32u, 64u}) {
    TRig rig(CreateFloatEnforcer(bits));
    ASSERT_TRUE(rig.Open("float", bits));
    const Bytes in = Floats<double>({0.5, -0.25, 3.0});  // 24 bytes, cut mid-sample below
    ASSERT_TRUE(rig.node->ProcessData(0, false, in.data(), 5, kNoTimeStamp, false));
    ASSERT_TRUE(rig.node->ProcessData(0, false, in.data() + 5, 19, kNoTimeStamp, false));
    EXPECT_EQ(rig.sink->bytes, in);
    ASSERT_EQ(rig.sink->pointers.size(), 2u);
    EXPECT_EQ(rig.sink->pointers[0], in.data());
    EXPECT_EQ(rig.sink->pointers[1], in.data() + 5);
  }
}

TEST(PeakSampleFinder, MeasuresWholeSamplesOfBlocksCutAnywhere) {
  struct TCase {
    TWidth width;
    double peak;
  };
  const TCase cases[] = {
      {{"pcm", 16, 1, {100, -32768, 5}}, 1.0},  // negative full scale is exactly 1.0
      {{"pcm", 24, 1, {-3, 8388607, 0}}, 8388607.0 / 8388608.0},
      {{"pcm", 8, 1, {-64, 12}}, 0.5},
      {{"pcm", 32, 1, {-1073741824, 7}}, 0.5},
      {{"float", 64, 1, {0.2, -0.7, 0.1}}, 0.7},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.width.bits);
    test::TConsoleCapture capture;
    double peak = 0;
    TRig rig(CreatePeakSampleFinder(&peak));
    ASSERT_TRUE(rig.Open(c.width.format, c.width.bits));
    EXPECT_EQ(rig.sink->formatId, c.width.format);
    EXPECT_EQ(rig.sink->bits, c.width.bits);
    // The loud sample once, in the middle, among many quiet ones, every piece cut oddly.
    Bytes in;
    const Bytes loud = c.width.Encode();
    TWidth quiet = c.width;
    for (double& v : quiet.raw) v = std::string(c.width.format) == "float" ? 0.01 : 1;
    for (int k = 0; k < 30; ++k) {
      const Bytes piece = k == 17 ? loud : quiet.Encode();
      in.insert(in.end(), piece.begin(), piece.end());
    }
    ASSERT_TRUE(rig.Feed(in, kOddCuts));
    EXPECT_EQ(rig.sink->bytes, in);  // unchanged, nothing lost at the cuts
    EXPECT_EQ(peak, 0.0);            // stored at the end only
    ASSERT_TRUE(rig.node->Finish(0));
    EXPECT_DOUBLE_EQ(peak, c.peak);
    EXPECT_EQ(capture.Text().find("Clipping"), std::string::npos);
  }
}

TEST(PeakSampleFinder, WarnsOnceAboutClippingAndOnlyRaisesTheCallersPeak) {
  test::TConsoleCapture capture;
  double peak = 0.5;
  TRig rig(CreatePeakSampleFinder(&peak));
  ASSERT_TRUE(rig.Open("float", 32));
  const Bytes quiet = Floats<float>({0.5, -0.9});
  const Bytes loud = Floats<float>({0.5, -1.25});
  const Bytes louder = Floats<float>({1.5, 0});
  for (const Bytes* b : {&quiet, &loud, &quiet, &loud, &louder})
    ASSERT_TRUE(rig.node->ProcessData(0, false, b->data(), b->size(), kNoTimeStamp, false));
  // Handed on without a copy.
  EXPECT_EQ(rig.sink->pointers.back(), louder.data());
  ASSERT_TRUE(rig.node->Finish(0));
  EXPECT_EQ(peak, 1.5);
  const std::string warning = "Clipping detected, a 2nd pass will be necessary.";
  const size_t at = capture.Text().find(warning);
  ASSERT_NE(at, std::string::npos) << capture.Text();
  EXPECT_EQ(capture.Text().find(warning, at + 1), std::string::npos);

  double higher = 2.0;
  TRig second(CreatePeakSampleFinder(&higher));
  ASSERT_TRUE(second.Open("float", 32));
  ASSERT_TRUE(second.Feed(loud));
  ASSERT_TRUE(second.node->Finish(0));
  EXPECT_EQ(higher, 2.0);
}

// A 48 kHz stream of `frames` constant frames per side of a splice, fed in the given pieces;
// MarkSplice right before the second part.
struct TSplice {
  uint32_t bits;
  std::vector<double> before, after;  // one value per channel
  size_t framesBefore = 600, framesAfter = 600;
  std::vector<size_t> cuts = {7, 1, 300, 13, 4096};

  Bytes Side(const std::vector<double>& values, size_t frames) const {
    Bytes b;
    for (size_t f = 0; f < frames; ++f) {
      const Bytes one = bits == 64 ? Floats<double>(values)
                                   : Ints(bits, std::vector<int64_t>(values.begin(), values.end()));
      b.insert(b.end(), one.begin(), one.end());
    }
    return b;
  }
  // Returns the stream that arrives at the sink and the one that went in.
  std::pair<Bytes, Bytes> Run() const {
    TRig rig(CreateSpikeRemover());
    EXPECT_TRUE(rig.Open(bits == 64 ? "float" : "pcm", bits, uint32_t(before.size())));
    const Bytes a = Side(before, framesBefore), b = Side(after, framesAfter);
    EXPECT_TRUE(rig.Feed(a, cuts));
    Query<ISpikeRemover>(rig.node)->MarkSplice();
    EXPECT_TRUE(rig.Feed(b, cuts));
    EXPECT_TRUE(rig.node->Finish(0));
    EXPECT_EQ(rig.sink->finishes, 1);
    Bytes in = a;
    in.insert(in.end(), b.begin(), b.end());
    return {rig.sink->bytes, in};
  }
};

TEST(SpikeRemover, CrossFadesHalfAMillisecondOnEachSideOfTheSplice) {
  const TSplice s{16, {1000, -3000}, {-1000, 5001}};
  const auto [out, in] = s.Run();
  ASSERT_EQ(out.size(), in.size());
  const size_t joint = s.framesBefore, w = 24;
  for (size_t f = 0; f < s.framesBefore + s.framesAfter; ++f) {
    for (size_t c = 0; c < 2; ++c) {
      const int64_t got = IntAt(out, 16, f * 2 + c);
      if (f + w < joint || f >= joint + w) {
        ASSERT_EQ(got, IntAt(in, 16, f * 2 + c)) << f;
        continue;
      }
      // Weight i / W on the frame's own value, the rest on the middle of the joint, rounded
      // half up (the same on both sides of zero).
      const double b = s.before[c], a = s.after[c];
      const double mid = std::floor((b + a + 1) / 2);
      const double i = f < joint ? double(joint - f) : double(f - joint + 1);
      const double own = f < joint ? b : a;
      const double want = std::floor((mid * (48 - 2 * i) + 2 * i * own + 24) / 48);
      ASSERT_EQ(got, int64_t(want)) << f << " " << c;
    }
  }
  // The two frames at the joint meet symmetrically around the middle.
  EXPECT_EQ(IntAt(out, 16, (joint - 1) * 2), 42);
  EXPECT_EQ(IntAt(out, 16, joint * 2), -42);
}

TEST(SpikeRemover, SmoothsNothingWithoutHalfAMillisecondOfHistory) {
  TSplice s{16, {1000, -3000}, {-1000, 5001}};
  s.framesBefore = 10;
  const auto [out, in] = s.Run();
  EXPECT_EQ(out, in);
}

TEST(SpikeRemover, FloatsFadeWithoutRounding) {
  const TSplice s{64, {0.5}, {-0.25}};
  const auto [out, in] = s.Run();
  const std::vector<double> got = FloatsOf<double>(out);
  ASSERT_EQ(got.size(), 1200u);
  const double mid = 0.125;
  EXPECT_DOUBLE_EQ(got[599], (mid * 46 + 2 * 0.5) / 48);
  EXPECT_DOUBLE_EQ(got[600], (mid * 46 + 2 * -0.25) / 48);
  EXPECT_EQ(got[575], 0.5);
  EXPECT_EQ(got[624], -0.25);
}

TEST(SpikeRemover, RequantisedFullScaleSamplesDoNotWrap) {
  for (const uint32_t bits : {24u, 32u}) {
    SCOPED_TRACE(bits);
    const int64_t top = (int64_t(1) << (bits - 1)) - 1, bottom = -(int64_t(1) << (bits - 1));
    const int64_t grid = bits == 24 ? 256 : 65536;
    const TSplice s{bits, {double(top), double(bottom)}, {double(top - 5), double(bottom + 3)}};
    for (int run = 0; run < 20; ++run) {  // the requantisation is random
      const auto [out, in] = s.Run();
      ASSERT_EQ(out.size(), in.size());
      for (size_t f = 600 - 24; f < 600 + 24; ++f) {
        const int64_t hi = IntAt(out, bits, f * 2), lo = IntAt(out, bits, f * 2 + 1);
        ASSERT_GE(hi, top - 2 * grid) << f;
        ASSERT_EQ(hi % grid, 0) << f;
        ASSERT_LE(lo, bottom + 2 * grid) << f;
        ASSERT_EQ(lo % grid, 0) << f;
      }
    }
  }
}

TEST(RawEqualizer, WithoutDitherWritesTheExactProducts8BitsWider) {
  struct TCase {
    uint32_t bits;
    std::vector<int64_t> samples;  // three channels per frame
  };
  const TCase cases[] = {
      {8, {-128, 127, -128, 100, -1, 5}},
      {16, {-32768, 32767, 1234, 3, -3, -32768}},
      {24, {-8388608, 8388607, 77, 8388607, -8388608, 0}},
  };
  const std::vector<uint32_t> gains = {512, 200};  // the third channel keeps 256
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.bits);
    TRig rig(CreateRawEqualizer(gains, false));
    ASSERT_TRUE(rig.Open("pcm", c.bits, 3));
    EXPECT_EQ(rig.sink->formatId, "pcm");
    EXPECT_EQ(rig.sink->bits, c.bits + 8);
    Bytes in;
    for (int k = 0; k < 20; ++k) {
      const Bytes one = Ints(c.bits, c.samples);
      in.insert(in.end(), one.begin(), one.end());
    }
    ASSERT_TRUE(rig.Feed(in, kOddCuts));
    const uint32_t wide = c.bits + 8;
    ASSERT_EQ(rig.sink->bytes.size(), in.size() / (c.bits / 8) * (wide / 8));
    const int64_t max = (int64_t(1) << (wide - 1)) - 1;
    for (size_t i = 0; i < 20 * c.samples.size(); ++i) {
      const int64_t g = i % 3 < gains.size() ? gains[i % 3] : 256;
      const int64_t want = std::clamp(c.samples[i % c.samples.size()] * g, -max - 1, max);
      ASSERT_EQ(IntAt(rig.sink->bytes, wide, i), want) << i;
    }
  }
}

TEST(RawEqualizer, DitheredGainsRoundWithoutBias) {
  TRig rig(CreateRawEqualizer({256, 384, 384}, true));
  ASSERT_TRUE(rig.Open("pcm", 16, 3));
  EXPECT_EQ(rig.sink->bits, 16u);
  const size_t frames = 60000;
  std::vector<int64_t> samples;
  for (size_t f = 0; f < frames; ++f) {
    samples.push_back(int64_t(f % 2000) - 1000);  // untouched channel
    samples.push_back(1001);                      // × 1.5 = 1501.5
    samples.push_back(-1001);                     // × 1.5 = -1501.5
  }
  const Bytes in = Ints(16, samples);
  ASSERT_TRUE(rig.Feed(in, kOddCuts));
  ASSERT_EQ(rig.sink->bytes.size(), in.size());
  double sumPos = 0, sumNeg = 0;
  for (size_t f = 0; f < frames; ++f) {
    ASSERT_EQ(IntAt(rig.sink->bytes, 16, f * 3), samples[f * 3]);
    const int64_t p = IntAt(rig.sink->bytes, 16, f * 3 + 1);
    const int64_t n = IntAt(rig.sink->bytes, 16, f * 3 + 2);
    ASSERT_TRUE(p == 1501 || p == 1502) << p;
    ASSERT_TRUE(n == -1501 || n == -1502) << n;
    sumPos += double(p);
    sumNeg += double(n);
  }
  // The dither is triangular over one output step; the mean is the exact product.
  EXPECT_NEAR(sumPos / frames, 1501.5, 0.02);
  EXPECT_NEAR(sumNeg / frames, -1501.5, 0.02);
}

TEST(RawEqualizer, DitheredOutputIsClampedToTheSampleRange) {
  TRig rig(CreateRawEqualizer({1024, 1024}, true));
  ASSERT_TRUE(rig.Open("pcm", 8));
  ASSERT_TRUE(rig.Feed(Ints(8, {127, -128, 100, -100})));
  EXPECT_EQ(rig.sink->bytes, Ints(8, {127, -128, 127, -128}));
}

TEST(LevelNodes, RefuseWhatTheyCannotHandle) {
  struct TCase {
    std::function<UpStreamPtr()> make;
    const char* role;
    const char* format;
    uint32_t bits;
    bool bigEndian;
    uint32_t channels;
  };
  double peak = 0;
  const auto amp = [] { return CreateChannelAmplifier(0, 1); };
  const auto enf = [] { return CreateFloatEnforcer(64); };
  const auto peaks = [&] { return CreatePeakSampleFinder(&peak); };
  const auto spikes = [] { return CreateSpikeRemover(); };
  const auto eq = [] { return CreateRawEqualizer({256}, true); };
  const TCase cases[] = {
      {amp, "channel amplifier", "float", 32, false, 2},
      {amp, "channel amplifier", "pcm", 20, false, 2},
      {amp, "channel amplifier", "pcm", 16, true, 2},
      {amp, "channel amplifier", "pcm", 16, false, 0},
      {amp, "channel amplifier", "ac3", 16, false, 2},
      {enf, "float enforcer", "pcm", 12, false, 2},
      {enf, "float enforcer", "float", 16, false, 2},
      {enf, "float enforcer", "float", 64, true, 2},
      {peaks, "peak sample finder", "dts", 24, false, 2},
      {peaks, "peak sample finder", "pcm", 24, true, 2},
      {spikes, "spike remover", "float", 32, false, 2},
      {spikes, "spike remover", "pcm", 16, true, 2},
      {eq, "raw equalizer", "pcm", 32, false, 2},
      {eq, "raw equalizer", "float", 64, false, 2},
      {eq, "raw equalizer", "pcm", 16, true, 2},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.role) + " " + c.format + std::to_string(c.bits));
    test::TConsoleCapture capture;
    TRig rig(c.make());
    EXPECT_FALSE(rig.node->OpenAudio(c.format, c.channels, 3, c.bits, 48000, c.bigEndian, 0));
    EXPECT_FALSE(rig.node->GetOk());
    EXPECT_NE(capture.Text().find(std::string("The ") + c.role +
                                  " received a non-supported data format."),
              std::string::npos)
        << capture.Text();
  }
  // No upstream, and data before the format.
  const std::vector<std::function<UpStreamPtr()>> makers = {amp, enf, peaks, spikes, eq};
  for (const auto& make : makers) {
    test::TConsoleCapture capture;
    UpStreamPtr alone = make();
    EXPECT_FALSE(alone->OpenAudio("pcm", 2, 3, 16, 48000, false, 0));
    EXPECT_NE(capture.Text().find("upstream property is not set."), std::string::npos);
    TRig early(make());
    const uint8_t b[4] = {};
    EXPECT_FALSE(early.node->ProcessData(0, false, b, 4, kNoTimeStamp, false));
    EXPECT_NE(capture.Text().find("didn't receive the format information."), std::string::npos)
        << capture.Text();
  }
}

}  // namespace
}  // namespace kavrix
