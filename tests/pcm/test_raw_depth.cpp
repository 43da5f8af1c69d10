// Bit-depth reduction: exact requantisation without dither for every input width and target
// (against a 64-bit reference and a table of edge values), the TPDF dither's statistics,
// deliveries cut inside samples, the 16-bit stripper in both modes, refused parameters and
// formats, and the Mersenne Twister against its published reference output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/voxUpStream_console.h"
#include "pcm/voxNoise.h"
#include "pcm/voxRaw.h"
#include "wav_test_support.h"

namespace kavrix {
namespace {

using test::Bytes;
using test::TRecorder;

// ---- helpers ----

// Input of a test: integer samples of a width, or "float" 64 samples.
struct TInput {
  std::string format;  // "pcm" or "float"
  uint32_t bits;
  Bytes bytes;
};

TInput Pcm(uint32_t bits, const std::vector<int64_t>& samples) {
  TInput in{"pcm", bits, {}};
  for (int64_t s : samples) test::PutLe(in.bytes, uint64_t(s), int(bits / 8));
  return in;
}

TInput Float(const std::vector<double>& samples) {
  TInput in{"float", 64, Bytes(samples.size() * 8)};
  std::memcpy(in.bytes.data(), samples.data(), in.bytes.size());
  return in;
}

std::vector<int64_t> Samples(const Bytes& bytes, uint32_t width) {
  std::vector<int64_t> out;
  for (size_t at = 0; at + width <= bytes.size(); at += width) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < width; ++i) v |= uint64_t(bytes[at + i]) << (8 * i);
    const int shift = 64 - 8 * int(width);
    out.push_back(int64_t(v << shift) >> shift);
  }
  return out;
}

struct TResult {
  bool ok = false;
  std::shared_ptr<TRecorder> sink;
  std::string console;
};

// Runs the input through the node in blocks of the given sizes (cycled; empty = whole).
TResult RunNode(const UpStreamPtr& node, const TInput& in, std::vector<size_t> blocks = {},
                uint32_t channels = 1) {
  test::TConsoleCapture capture;
  TResult r;
  r.sink = std::make_shared<TRecorder>();
  node->SetUpstream(r.sink);
  r.ok = node->OpenAudio(in.format, channels, 0, in.bits, 48000, false,
                         in.bytes.size() / (in.bits / 8) / channels);
  if (blocks.empty()) blocks.push_back(in.bytes.size());
  for (size_t at = 0, b = 0; r.ok && at < in.bytes.size(); ++b) {
    const size_t n = std::min(blocks[b % blocks.size()], in.bytes.size() - at);
    r.ok = node->ProcessData(0, false, in.bytes.data() + at, n, kNoTimeStamp, false);
    at += n;
  }
  r.ok = r.ok && node->Finish(0);
  r.console = capture.Text();
  return r;
}

// The requantisation without dither, computed independently: the input as a 32-bit integer
// at full scale 2^31 (float rounded to nearest, ties to even, saturated, NaN 0), rounded half
// up to the target and clamped, then placed in the top bits of the output sample.
int64_t Reference(const TInput& in, size_t index, uint32_t target) {
  int64_t s;
  if (in.format == "float") {
    double x;
    std::memcpy(&x, in.bytes.data() + 8 * index, 8);
    const double y = std::isnan(x) ? 0.0 : std::nearbyint(x * 2147483648.0);
    s = int64_t(std::clamp(y, -2147483648.0, 2147483647.0));
  } else {
    const uint32_t w = in.bits / 8;
    s = Samples(Bytes(in.bytes.begin() + w * index, in.bytes.begin() + w * (index + 1)), w)[0];
    s *= int64_t(1) << (32 - in.bits);
  }
  const int drop = 32 - int(target);
  const int64_t half = drop > 0 ? int64_t(1) << (drop - 1) : 0;
  const int64_t hi = (int64_t(1) << (target - 1)) - 1;
  const int64_t v = std::clamp((s + half) >> drop, -hi - 1, hi);
  const uint32_t outBits = (target + 7) / 8 * 8;
  return v * (int64_t(1) << (outBits - target));
}

std::mt19937_64& Random() {
  static std::mt19937_64 random(20261211);
  return random;
}

TInput RandomInput(const std::string& format, uint32_t bits, size_t count) {
  std::uniform_real_distribution<double> level(-1.05, 1.05);
  if (format == "float") {
    std::vector<double> v(count);
    for (auto& x : v) x = level(Random());
    v[0] = 1.0;
    v[1] = -1.0;
    v[2] = std::numeric_limits<double>::quiet_NaN();
    return Float(v);
  }
  TInput in{format, bits, Bytes(count * (bits / 8))};
  for (auto& b : in.bytes) b = uint8_t(Random()());
  return in;
}

// ---- the generator ----

TEST(FastRandom, MatchesTheReferenceOutputOfKeyArraySeeding) {
  const uint32_t key[4] = {0x123, 0x234, 0x345, 0x456};
  TFastRandom random(key, 4);
  const uint32_t expected[5] = {1067595299u, 955945823u, 477289528u, 4107218783u, 4228976476u};
  for (uint32_t e : expected) EXPECT_EQ(random.Next(), e);
  // Past the first regeneration of the table: output 1000 of the reference list.
  for (int i = 5; i < 999; ++i) random.Next();
  EXPECT_EQ(random.Next(), 3460025646u);
}

TEST(FastRandom, GeneratorsMadeAtTheSameMomentDiffer) {
  auto a = CreateFastRandom(0);
  auto b = CreateFastRandom(0);
  int same = 0;
  for (int i = 0; i < 100; ++i) same += a->Next() == b->Next();
  EXPECT_LT(same, 3);
}

// ---- reduction without dither ----

struct TExactCase {
  const char* name;
  TInput input;
  uint32_t target;
  uint32_t announcedBits;
  std::vector<int64_t> expected;  // output samples as signed values of the output width
};

TEST(BitdepthReducer, ExactOutputsWithoutDither) {
  const double lsb31 = 1.0 / 2147483648.0;
  const TExactCase cases[] = {
      // Rounding half up, clamping at full scale.
      {"24->16",
       Pcm(24, {0x80, 0x7F, -0x80, -0x81, 0x7FFF80, 0x7FFFFF, -0x800000}),
       16,
       16,
       {1, 0, 0, -1, 0x7FFF, 0x7FFF, -0x8000}},
      // 8-bit results are signed in the chain: silence is 0.
      {"16->8", Pcm(16, {0, 0x80, 0x7F, 0x7F80, -0x8000, -0x81}), 8, 8, {0, 1, 0, 0x7F, -0x80, -1}},
      {"24->8", Pcm(24, {0x8000, 0x7FFF, 0x7FFFFF, -0x800000}), 8, 8, {1, 0, 0x7F, -0x80}},
      // 20 bits in 3 bytes: the lowest 4 bits stay zero.
      {"24->20",
       Pcm(24, {8, 7, 0x7FFFF8, -0x800000, -9}),
       20,
       24,
       {0x10, 0, 0x7FFFF0, -0x800000, -0x10}},
      {"24->17", Pcm(24, {0x40, 0x3F, 0x7FFFFF}), 17, 24, {0x80, 0, 0x7FFF80}},
      {"16->9", Pcm(16, {0x40, 0x3F, 0x7FFF, -0x8000}), 9, 16, {0x80, 0, 0x7F80, -0x8000}},
      // 32-bit input: rounding that would overflow keeps the top value.
      {"32->16",
       Pcm(32, {0x8000, 0x7FFF, 0x7FFF8000, 0x7FFFFFFF, -0x80000000LL}),
       16,
       16,
       {1, 0, 0x7FFF, 0x7FFF, -0x8000}},
      {"32->24", Pcm(32, {0x80, 0x7FFFFF80, -0x80000000LL}), 24, 24, {1, 0x7FFFFF, -0x800000}},
      {"32->25", Pcm(32, {0x40, 0x3F, 0x7FFFFFFF}), 25, 32, {0x80, 0, 0x7FFFFF80}},
      {"32->8", Pcm(32, {0x800000, 0x7FFFFFFF, -0x80000000LL}), 8, 8, {1, 0x7F, -0x80}},
      // Float: 1.0 is the top value, not the bottom one; out of range saturates; NaN is 0.
      {"float->24",
       Float({1.0, -1.0, 0.5, 2.0, -HUGE_VAL, std::nan(""), 128 * lsb31, 127 * lsb31}),
       24,
       24,
       {0x7FFFFF, -0x800000, 0x400000, 0x7FFFFF, -0x800000, 0, 1, 0}},
      {"float->16",
       Float({1.0, -1.0, -32768 * lsb31, -32769 * lsb31}),
       16,
       16,
       {0x7FFF, -0x8000, 0, -1}},
      {"float->8", Float({1.0, -1.0, 0.0}), 8, 8, {0x7F, -0x80, 0}},
      // Float to 32 bits drops nothing: rounding to nearest with ties to even, saturation.
      {"float->32",
       Float({1.0, -1.0, 0.25, 1.5 * lsb31, 2.5 * lsb31, -0.5 * lsb31, HUGE_VAL, std::nan("")}),
       32,
       32,
       {0x7FFFFFFF, -0x80000000LL, 0x20000000, 2, 2, 0, 0x7FFFFFFF, 0}},
      {"float->31", Float({1.0, 1.0 * lsb31, -1.0}), 31, 32, {0x7FFFFFFE, 2, -0x80000000LL}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TResult r = RunNode(CreateBitdepthReducer(c.target, false), c.input);
    ASSERT_TRUE(r.ok) << r.console;
    EXPECT_EQ(r.sink->formatId, "pcm");
    EXPECT_EQ(r.sink->bits, c.announcedBits);
    EXPECT_EQ(Samples(r.sink->bytes, c.announcedBits / 8), c.expected);
    const std::string from = c.input.format == "float" ? "64" : std::to_string(c.input.bits);
    EXPECT_NE(r.console.find("Reducing depth from " + from + " to " + std::to_string(c.target) +
                             " bits..."),
              std::string::npos)
        << r.console;
    // Float to 32 bits drops no bits, so dither adds nothing.
    if (c.target == 32) {
      const TResult dithered = RunNode(CreateBitdepthReducer(32, true), c.input);
      EXPECT_EQ(dithered.sink->bytes, r.sink->bytes);
    }
  }
}

// Every pair of input width and target, over random samples that cross the slice size, whole
// and in deliveries cut inside samples.
TEST(BitdepthReducer, MatchesTheReferenceForEveryWidthPairWholeAndCut) {
  struct TPair {
    const char* format;
    uint32_t bits;
    std::vector<uint32_t> targets;
  };
  const TPair pairs[] = {{"pcm", 16, {8, 12, 15}},
                         {"pcm", 24, {8, 16, 13, 20, 23}},
                         {"pcm", 32, {8, 16, 11, 24, 18, 25, 31}},
                         {"float", 64, {8, 16, 24, 21, 28, 32}}};
  for (const auto& p : pairs) {
    const TInput in = RandomInput(p.format, p.bits, 70001);
    const size_t count = in.bytes.size() / (p.bits / 8);
    for (uint32_t target : p.targets) {
      SCOPED_TRACE(std::string(p.format) + std::to_string(p.bits) + "->" + std::to_string(target));
      const TResult whole = RunNode(CreateBitdepthReducer(target, false), in, {}, 1);
      ASSERT_TRUE(whole.ok) << whole.console;
      const uint32_t outBytes = (target + 7) / 8;
      const std::vector<int64_t> got = Samples(whole.sink->bytes, outBytes);
      ASSERT_EQ(got.size(), count);
      size_t wrong = 0;
      for (size_t i = 0; i < count; ++i) wrong += got[i] != Reference(in, i, target);
      EXPECT_EQ(wrong, 0u);
      // Odd block sizes, single bytes included.
      const TResult cut =
          RunNode(CreateBitdepthReducer(target, false), in, {1, 7, 1, 4099, 2, 65537});
      ASSERT_TRUE(cut.ok) << cut.console;
      EXPECT_EQ(cut.sink->bytes, whole.sink->bytes);
    }
  }
}

TEST(BitdepthReducer, NarrowEnoughInputPassesUnchanged) {
  struct TCase {
    TInput input;
    uint32_t target;
  };
  const TCase cases[] = {{Pcm(16, {1, -2, 0x7FFF}), 16},
                         {Pcm(16, {1, -2, 0x7FFF}), 24},
                         {Pcm(8, {1, -2, 0x7F}), 8},
                         {Pcm(24, {1, -2, 0x7FFFFF}), 32},
                         {Pcm(32, {1, -2, 0x7FFFFFFF}), 32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.input.bits) + "->" + std::to_string(c.target));
    const TResult r = RunNode(CreateBitdepthReducer(c.target, true), c.input, {5});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.sink->bits, c.input.bits);
    EXPECT_EQ(r.sink->bytes, c.input.bytes);
    EXPECT_EQ(r.console.find("Reducing depth"), std::string::npos) << r.console;
  }
}

TEST(BitdepthReducer, FactoryFormDefaultsTo24BitsAndCanBeQuiet) {
  const TInput in = Pcm(32, {0x100, 0x7FFFFFFF});
  const TResult loud = RunNode(CreateBitdepthReducer(0, false, false), in);
  ASSERT_TRUE(loud.ok);
  EXPECT_EQ(loud.sink->bits, 24u);
  EXPECT_EQ(Samples(loud.sink->bytes, 3), (std::vector<int64_t>{1, 0x7FFFFF}));
  EXPECT_NE(loud.console.find("Reducing depth from 32 to 24 bits..."), std::string::npos);
  const TResult quiet = RunNode(CreateBitdepthReducer(0, false, true), in);
  ASSERT_TRUE(quiet.ok);
  EXPECT_EQ(quiet.sink->bytes, loud.sink->bytes);
  EXPECT_EQ(quiet.console, "");
}

// ---- dither ----

// The difference between output and input in steps of the target: triangular noise of ±1 step
// plus the rounding, so its RMS is 0.5 step (1/6 + 1/12 = 1/4), it never reaches 1.5 steps,
// and neighbouring samples share one uniform value, which makes it high-pass: the mean of
// products of consecutive differences is about -1/12.
TEST(BitdepthReducer, DitherIsHighPassedTriangularNoiseOfOneStep) {
  struct TCase {
    const char* name;
    TInput input;
    uint32_t target;
  };
  const size_t count = 300000;
  const TCase cases[] = {{"24->16", RandomInput("pcm", 24, count), 16},
                         {"16->8", RandomInput("pcm", 16, count), 8},
                         {"32->20", RandomInput("pcm", 32, count), 20},
                         {"float->24", RandomInput("float", 64, count), 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TResult r = RunNode(CreateBitdepthReducer(c.target, true), c.input, {40000});
    ASSERT_TRUE(r.ok) << r.console;
    const uint32_t outBytes = (c.target + 7) / 8;
    const std::vector<int64_t> got = Samples(r.sink->bytes, outBytes);
    ASSERT_EQ(got.size(), count);
    const double step = std::ldexp(1.0, int(outBytes * 8 - c.target));
    const double inStep = std::ldexp(1.0, 32 - int(c.target));
    double sum = 0, squares = 0, lagged = 0, peak = 0, previous = 0;
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
      // The exact input in steps of the target (float through its rounded 32-bit value).
      double x;
      if (c.input.format == "float") {
        std::memcpy(&x, c.input.bytes.data() + 8 * i, 8);
        if (std::isnan(x) || std::abs(x) > 0.99) {
          previous = 0;
          continue;
        }
        x = std::nearbyint(x * 2147483648.0) / inStep;
      } else {
        const uint32_t w = c.input.bits / 8;
        x = double(Samples(
                Bytes(c.input.bytes.begin() + w * i, c.input.bytes.begin() + w * (i + 1)), w)[0]) /
            std::ldexp(1.0, int(c.input.bits) - int(c.target));
        // Samples within two steps of full scale are clamped; leave them out.
        if (std::abs(x) > std::ldexp(1.0, int(c.target) - 1) - 2) {
          previous = 0;
          continue;
        }
      }
      const double e = double(got[i]) / step - x;
      sum += e;
      squares += e * e;
      lagged += e * previous;
      peak = std::max(peak, std::abs(e));
      previous = e;
      ++used;
    }
    const double mean = sum / double(used);
    const double rms = std::sqrt(squares / double(used));
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(rms, 0.5, 0.01);
    EXPECT_LT(peak, 1.5);
    EXPECT_GT(peak, 1.3);
    EXPECT_NEAR(lagged / double(used), -1.0 / 12, 0.01);
  }
}

TEST(BitdepthReducer, TwoReducersDitherDifferently) {
  const TInput in = RandomInput("pcm", 24, 10000);
  const TResult a = RunNode(CreateBitdepthReducer(16, true), in);
  const TResult b = RunNode(CreateBitdepthReducer(16, true), in);
  ASSERT_TRUE(a.ok && b.ok);
  ASSERT_EQ(a.sink->bytes.size(), b.sink->bytes.size());
  EXPECT_NE(a.sink->bytes, b.sink->bytes);
}

// ---- refused parameters and formats ----

TEST(BitdepthReducer, RefusesBadTargetsAndFormats) {
  for (uint32_t bits : {0u, 7u, 33u}) {
    test::TConsoleCapture capture;
    UpStreamPtr node = CreateBitdepthReducer(bits, true);
    EXPECT_FALSE(node->GetOk());
    EXPECT_NE(capture.Text().find("The bitdepth reducer was called with incorrect parameters."),
              std::string::npos)
        << bits;
  }
  struct TFormat {
    const char* format;
    uint32_t channels, bits;
    bool bigEndian;
  };
  const TFormat refused[] = {{"pcm", 2, 20, false},  {"pcm", 0, 24, false},
                             {"pcm", 2, 24, true},   {"float", 2, 32, false},
                             {"float", 2, 64, true}, {"ac3", 6, 16, false}};
  for (const auto& f : refused) {
    test::TConsoleCapture capture;
    UpStreamPtr node = CreateBitdepthReducer(16, true);
    node->SetUpstream(std::make_shared<TRecorder>());
    EXPECT_FALSE(node->OpenAudio(f.format, f.channels, 0, f.bits, 48000, f.bigEndian, 0));
    EXPECT_NE(capture.Text().find("The bitdepth reducer received a non-supported data format."),
              std::string::npos)
        << f.format << f.bits;
  }
  {
    test::TConsoleCapture capture;
    UpStreamPtr node = CreateBitdepthReducer(16, true);
    EXPECT_FALSE(node->OpenAudio("pcm", 2, 0, 24, 48000, false, 0));
    EXPECT_NE(capture.Text().find("The bitdepth reducer upstream property is not set."),
              std::string::npos);
    node = CreateBitdepthReducer(16, true);
    node->SetUpstream(std::make_shared<TRecorder>());
    const uint8_t data[6] = {};
    EXPECT_FALSE(node->ProcessData(0, false, data, 6, kNoTimeStamp, false));
    EXPECT_NE(capture.Text().find("The bitdepth reducer didn't receive the format information."),
              std::string::npos);
  }
}

// A valid-bits notice above the target is lowered to it.
TEST(BitdepthReducer, ValidBitsNoticeNeverExceedsTheTarget) {
  class TValidBitsSink : public TRecorder {
   public:
    using TRecorder::SetValidBits;
    void SetValidBits(uint32_t bits, bool) override { notices.push_back(bits); }
    std::vector<uint32_t> notices;
  };
  test::TConsoleCapture capture;
  auto sink = std::make_shared<TValidBitsSink>();
  UpStreamPtr node = CreateBitdepthReducer(16, true);
  node->SetUpstream(sink);
  ASSERT_TRUE(node->OpenAudio("pcm", 2, 3, 24, 48000, false, 0));
  node->SetValidBits(20, false);
  node->SetValidBits(12, false);
  EXPECT_EQ(sink->notices, (std::vector<uint32_t>{16, 12}));
}

// ---- the 16-bit stripper ----

TEST(StripTo16bit, StripsZeroLowBytesAcrossCutDeliveries) {
  std::vector<int64_t> wide, narrow;
  for (int i = 0; i < 5000; ++i) {
    const int64_t v = int64_t(Random()() % 65536) - 32768;
    narrow.push_back(v);
    wide.push_back(v * 256);
  }
  const TInput in = Pcm(24, wide);
  for (bool check : {false, true}) {
    SCOPED_TRACE(check ? "check mode" : "output mode");
    UpStreamPtr node = CreateStripTo16bit(check);
    const TResult r = RunNode(node, in, {1, 2, 5, 1000, 4});
    ASSERT_TRUE(r.ok) << r.console;
    EXPECT_EQ(r.sink->bits, 16u);
    EXPECT_EQ(Samples(r.sink->bytes, 2), narrow);
    EXPECT_FALSE(Query<IStripTo16bit>(node)->GaveUp());
    if (check) {
      EXPECT_EQ(r.console, "The zero bytes were successfully removed.\n");
    } else {
      EXPECT_EQ(r.console, "Stripping zero bytes...\n");
    }
  }
}

TEST(StripTo16bit, GivesUpOnANonZeroLowByte) {
  std::vector<int64_t> wide(3000, 0x1200);
  wide[1500] = 0x1201;  // more than 16 bits from here on
  const TInput in = Pcm(24, wide);
  const std::string more = "This audio track contains more than 16 bits of information.";

  // Check mode: reported once, the clean samples before it delivered, the rest dropped, the
  // run goes on.
  {
    UpStreamPtr node = CreateStripTo16bit(true);
    const TResult r = RunNode(node, in, {1000});
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(Query<IStripTo16bit>(node)->GaveUp());
    EXPECT_EQ(r.console, more + "\n");
    EXPECT_EQ(Samples(r.sink->bytes, 2), std::vector<int64_t>(1500, 0x12));
  }
  // Output mode: the destination would be truncated, so the node fails with an error.
  {
    test::TConsoleCapture capture;
    UpStreamPtr node = CreateStripTo16bit(false);
    auto sink = std::make_shared<TRecorder>();
    node->SetUpstream(sink);
    ASSERT_TRUE(node->OpenAudio("pcm", 1, 0, 24, 48000, false, 3000));
    EXPECT_TRUE(node->ProcessData(0, false, in.bytes.data(), 3000, kNoTimeStamp, false));
    EXPECT_FALSE(node->ProcessData(0, false, in.bytes.data() + 3000, 6000, kNoTimeStamp, false));
    EXPECT_FALSE(node->GetOk());
    EXPECT_FALSE(node->Finish(0));
    EXPECT_NE(GetLogBuffer().find(more + "  <ERROR>"), std::string::npos) << GetLogBuffer();
  }
  // A non-zero low byte in a sample cut across deliveries is found too.
  {
    UpStreamPtr node = CreateStripTo16bit(true);
    const TResult r = RunNode(node, Pcm(24, {0x100, 0x101, 0x100}), {4, 1});
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(Query<IStripTo16bit>(node)->GaveUp());
    EXPECT_EQ(Samples(r.sink->bytes, 2), std::vector<int64_t>{1});
  }
}

TEST(StripTo16bit, AcceptsOnly24BitPcm) {
  const std::pair<const char*, uint32_t> refused[] = {{"pcm", 16}, {"pcm", 32}, {"float", 64}};
  for (const auto& [format, bits] : refused) {
    test::TConsoleCapture capture;
    UpStreamPtr node = CreateStripTo16bit(false);
    node->SetUpstream(std::make_shared<TRecorder>());
    EXPECT_FALSE(node->OpenAudio(format, 2, 0, bits, 48000, false, 0));
    EXPECT_NE(capture.Text().find("The 16bit stripper received a non-supported data format."),
              std::string::npos);
  }
}

}  // namespace
}  // namespace kavrix
