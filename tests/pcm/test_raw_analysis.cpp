// The sample sorter (re-blocking to whole samples), the memory storage, and the bit-depth
// analyzer: its report texts for one and several channel groups, its counting limits, float
// input with its guards, the carry across blocks cut inside samples, and the notice it sends.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "pcm/voxRaw_analysis.h"
#include "pcm/voxWav.h"
#include "platform/voxPlatform_process.h"
#include "raw_test_support.h"

namespace kavrix {
namespace {

using test::Bytes;
using test::TBlockRecorder;

// ---- sample sorter ----

TEST(SampleSorter, ReblocksThousandAndOneByteBlocksOf24BitAudio) {
  auto sink = std::make_shared<TBlockRecorder>();
  UpStreamPtr sorter = CreateSampleSorter();
  sorter->SetUpstream(sink);
  ASSERT_TRUE(sorter->OpenAudio("pcm", 2, 3, 24, 48000, false, 0));
  Bytes in(1001 * 6);
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 7);
  ASSERT_TRUE(test::FeedInBlocks(*sorter, in, {1001}));
  const size_t expected[] = {999, 3, 999, 3, 999, 999, 3, 999, 3, 999};
  ASSERT_EQ(sink->blocks.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(sink->blocks[i].size, expected[i]);
  // A completed carry travels alone without a time stamp; the rest keeps the block's.
  EXPECT_EQ(sink->blocks[0].timeStamp, 0);
  EXPECT_EQ(sink->blocks[1].timeStamp, kNoTimeStamp);
  EXPECT_EQ(sink->blocks[2].timeStamp, 1001);
  EXPECT_EQ(sink->bytes, in);  // 6006 bytes: nothing left over
  ASSERT_TRUE(sorter->Finish(0));
  EXPECT_EQ(sink->finishes, 1);
}

TEST(SampleSorter, KeepsTinyBlocksUntilASampleIsWholeAndRefusesBigEndian) {
  auto sink = std::make_shared<TBlockRecorder>();
  UpStreamPtr sorter = CreateSampleSorter();
  sorter->SetUpstream(sink);
  ASSERT_TRUE(sorter->OpenAudio("float", 1, 4, 64, 48000, false, 0));
  const Bytes in = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_TRUE(test::FeedInBlocks(*sorter, in, {3}));
  // 3 + 3 bytes wait; the third block completes a sample (delivered alone) and leaves no
  // whole sample, so an empty block carries its time stamp on.
  ASSERT_EQ(sink->blocks.size(), 2u);
  EXPECT_EQ(sink->blocks[0].size, 8u);
  EXPECT_EQ(sink->blocks[1].size, 0u);
  EXPECT_EQ(sink->blocks[1].timeStamp, 6);
  EXPECT_EQ(sink->bytes, Bytes(in.begin(), in.begin() + 8));

  test::TConsoleCapture console;
  UpStreamPtr other = CreateSampleSorter();
  other->SetUpstream(std::make_shared<TBlockRecorder>());
  EXPECT_FALSE(other->OpenAudio("pcm", 2, 3, 16, 48000, true, 0));
  EXPECT_NE(console.Text().find("The sample sorter received a non-supported data format."),
            std::string::npos);
}

// ---- memory storage ----

TEST(MemStorage, KeepsEveryByteOnceAFormatWasAnnounced) {
  auto storage = CreateMemStorage();
  auto* stored = Query<IMemStorage>(storage);
  ASSERT_NE(stored, nullptr);
  const uint8_t data[] = {'a', 'b', 'c'};
  EXPECT_TRUE(storage->ProcessData(0, false, data, 3, kNoTimeStamp, false));
  EXPECT_EQ(stored->GetStoredData(), "");  // no format yet
  EXPECT_TRUE(storage->OpenAudio("pcm", 1, 4, 8, 8000, false, 0));
  EXPECT_TRUE(storage->ProcessData(0, false, data, 2, kNoTimeStamp, false));
  EXPECT_TRUE(storage->Finish(0));
  EXPECT_EQ(stored->GetStoredData(), "abcab");
}

// ---- bit-depth analyzer ----

struct TAnalysis {
  std::shared_ptr<TBlockRecorder> sink = std::make_shared<TBlockRecorder>();
  UpStreamPtr node;
  test::TConsoleCapture console;
  uint32_t maxBits = 0;

  // Runs the analyzer over the data in blocks of `block` bytes.
  TAnalysis(bool sourceSide, const char* format, uint32_t channels, uint32_t mask, uint32_t bits,
            const Bytes& data, size_t block = 1000)
      : node(CreateBitdepthAnalyzer(sourceSide)) {
    node->SetUpstream(sink);
    EXPECT_TRUE(node->OpenAudio(format, channels, mask, bits, 48000, false, 0));
    EXPECT_TRUE(test::FeedInBlocks(*node, data, {block}));
    maxBits = Query<IBitdepthAnalyzer>(node)->GetMaxBits();
    EXPECT_TRUE(node->Finish(0));
  }
  std::string Text() const { return console.Text(); }
};

// A sample of `bits` significant bits in a container of `width` bytes: an odd value shifted so
// that its lowest set bit is bit (width * 8 - bits).
uint64_t Sample(uint32_t n, uint32_t bits, size_t width) {
  const uint64_t odd = (uint64_t(n) * 2654435761u) | 1;
  const uint32_t shift = uint32_t(width * 8) - bits;
  return (odd << shift) & ((uint64_t(1) << (width * 8)) - 1);
}

// Interleaved frames; channel c of every frame gets bitsPerChannel[c] significant bits.
Bytes Pcm(size_t frames, const std::vector<uint32_t>& bitsPerChannel, size_t width) {
  Bytes b;
  for (size_t f = 0; f < frames; ++f)
    for (uint32_t bits : bitsPerChannel)
      test::PutLeBytes(b, Sample(uint32_t(f), bits, width), width);
  return b;
}

TEST(BitdepthAnalyzer, Finds16BitsIn24WithBlocksCutInsideSamples) {
  const Bytes data = Pcm(5000, {16, 16}, 3);
  TAnalysis source(true, "pcm", 2, 3, 24, data, 1000);  // 1000 is no multiple of 3
  EXPECT_NE(source.Text().find("The original audio track has a constant bit depth of 16 bits."),
            std::string::npos)
      << source.Text();
  EXPECT_EQ(source.sink->bytes, data);  // passed on unchanged
  EXPECT_EQ(source.sink->notices, 1);
  EXPECT_EQ(source.sink->noticeBits, 16u);
  EXPECT_FALSE(source.sink->noticeForced);
  EXPECT_EQ(source.maxBits, 16u);
  EXPECT_EQ(source.sink->finishes, 1);

  TAnalysis output(false, "pcm", 2, 3, 24, data, 7);
  EXPECT_NE(output.Text().find("The processed audio track has a constant bit depth of 16 bits."),
            std::string::npos)
      << output.Text();
  EXPECT_EQ(output.sink->noticeBits, 16u);
  EXPECT_TRUE(output.sink->noticeForced);
}

TEST(BitdepthAnalyzer, ReportsChannelGroupsWithDifferentDepths) {
  // L and C 24 bits, R 16 bits: two groups in the order of their first channels.
  TAnalysis a(true, "pcm", 3, 0x7, 24, Pcm(3000, {24, 16, 24}, 3));
  EXPECT_NE(a.Text().find("Original audio track, L+C: constant bit depth of 24 bits.\n"
                          "Original audio track, R: constant bit depth of 16 bits."),
            std::string::npos)
      << a.Text();
  EXPECT_EQ(a.sink->noticeBits, 24u);

  // Several groups use the short "max" form, without the most common depth.
  Bytes data;
  for (size_t f = 0; f < 2000; ++f) {
    test::PutLeBytes(data, Sample(uint32_t(f), f % 20 == 0 ? 20 : 16, 3), 3);
    test::PutLeBytes(data, Sample(uint32_t(f), 24, 3), 3);
  }
  TAnalysis b(false, "pcm", 2, 0x600, 24, data);
  EXPECT_NE(b.Text().find("Processed audio track, SL: max 20 bits, average 17 bits.\n"
                          "Processed audio track, SR: constant bit depth of 24 bits."),
            std::string::npos)
      << b.Text();
}

TEST(BitdepthAnalyzer, SingleGroupTexts) {
  struct TCase {
    const char* name;
    Bytes data;
    std::string text;
    uint32_t notice;
  };
  Bytes mostly16;  // 1900 samples of 16 bits and 100 of 20: mean 16.2, reported 17
  for (uint32_t n = 0; n < 2000; ++n) test::PutLeBytes(mostly16, Sample(n, n % 20 ? 16 : 20, 3), 3);
  Bytes bit1Only;  // no sample has bit 0 set: 15 bits
  for (uint32_t n = 0; n < 2000; ++n) test::PutLeBytes(bit1Only, Sample(n, 15, 3), 3);
  Bytes eightIn24;  // the low 16 bits are always zero: nothing is counted
  for (uint32_t n = 0; n < 2000; ++n) test::PutLeBytes(eightIn24, Sample(n, 8, 3), 3);
  const TCase cases[] = {
      {"mixed", mostly16,
       "Original audio track: max 20 bits, average 17 bits, most common 16 bits.", 20},
      {"15 bits", bit1Only, "The original audio track has a constant bit depth of 15 bits.", 15},
      {"1000 samples", Pcm(1000, {24}, 3), "Original audio track: bitdepth analyzation failed.", 0},
      {"1001 samples", Pcm(1001, {24}, 3),
       "The original audio track has a constant bit depth of 24 bits.", 24},
      {"8 in 24", eightIn24, "Original audio track: no audio data.", 0},
      {"empty", Bytes(), "Original audio track: no audio data.", 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TAnalysis a(true, "pcm", 1, 0x4, 24, c.data);
    EXPECT_EQ(a.Text(), c.text + "\n");
    EXPECT_EQ(a.sink->noticeBits, c.notice);
  }
}

TEST(BitdepthAnalyzer, EveryIntegerWidth) {
  struct TCase {
    uint32_t bits;
    uint32_t depth;
  };
  // The lowest bits examined: 4 of 8, 8 of 16, 16 of 24, 24 of 32.
  const TCase cases[] = {{8, 7}, {16, 12}, {24, 9}, {32, 20}, {32, 32}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.bits);
    TAnalysis a(true, "pcm", 2, 3, c.bits, Pcm(2000, {c.depth, c.depth}, c.bits / 8), 333);
    EXPECT_EQ(a.Text(), "The original audio track has a constant bit depth of " +
                            std::to_string(c.depth) + " bits.\n");
    EXPECT_EQ(a.maxBits, c.depth);
  }
}

Bytes Doubles(const std::vector<double>& values) {
  Bytes b(values.size() * 8);
  std::memcpy(b.data(), values.data(), b.size());
  return b;
}

TEST(BitdepthAnalyzer, FloatInputIsScaledTo32BitsAndGuarded) {
  // Odd multiples of 2^-31 use all 32 bits: "float" 64 is then reported as 64 bits.
  std::vector<double> full;
  for (int n = 0; n < 2000; ++n) full.push_back(double(2 * n + 1 - 2000) / 2147483648.0);
  TAnalysis f64(true, "float", 1, 4, 64, Doubles(full), 999);
  EXPECT_EQ(f64.Text(), "The original audio track has a constant bit depth of 64 bits.\n");
  EXPECT_EQ(f64.sink->noticeBits, 64u);

  // "float" 32 is never raised: odd multiples of 2^-23 give 24 bits.
  Bytes f32data;
  for (int n = 0; n < 2000; ++n) {
    const float v = float(2 * n + 1) / 8388608.0f;
    test::PutLeBytes(f32data, std::bit_cast<uint32_t>(v), 4);
  }
  TAnalysis f32(true, "float", 1, 4, 32, f32data, 10);
  EXPECT_EQ(f32.Text(), "The original audio track has a constant bit depth of 24 bits.\n");

  // NaN, infinities, huge values and full scale (whose 32-bit value changes sign) are not
  // counted; nothing else is left, so there is no audio data.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> odd;
  for (int n = 0; n < 300; ++n) {
    odd.insert(odd.end(), {nan, inf, -inf, 1.0, 1e300, -1e30});
  }
  TAnalysis guarded(false, "float", 1, 4, 64, Doubles(odd));
  EXPECT_EQ(guarded.Text(), "Processed audio track: no audio data.\n");
  EXPECT_EQ(guarded.maxBits, 0u);
}

// A 16-bit signal written as a 24-bit WAV by an outside tool, read by the WAV reader.
TEST(BitdepthAnalyzer, Finds16BitsInAnFfmpegMade24BitWav) {
  if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  test::TScratch scratch;
  const std::string wav = scratch.Path("st16in24.wav");
  ASSERT_EQ(platform::RunProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                  "sine=frequency=440:duration=1:sample_rate=48000", "-ac", "2",
                                  "-c:a", "pcm_s16le", "-f", "s16le", scratch.Path("raw")}),
            0);
  ASSERT_EQ(platform::RunProgram({"ffmpeg", "-v", "error", "-f", "s16le", "-ar", "48000", "-ac",
                                  "2", "-i", scratch.Path("raw"), "-c:a", "pcm_s24le", wav}),
            0);
  const Bytes file = test::ReadBytes(wav);
  test::TConsoleCapture console;
  UpStreamPtr reader = CreateWavReader();
  UpStreamPtr analyzer = CreateBitdepthAnalyzer(true);
  auto sink = std::make_shared<TBlockRecorder>();
  reader->SetUpstream(analyzer);
  analyzer->SetUpstream(sink);
  ASSERT_TRUE(reader->OpenAudio("?", 1, 1, 8, 48000, false, file.size()));
  ASSERT_TRUE(test::FeedInBlocks(*reader, file, {4099}));
  ASSERT_TRUE(reader->Finish(0)) << console.Text();
  EXPECT_NE(console.Text().find("The original audio track has a constant bit depth of 16 bits."),
            std::string::npos)
      << console.Text();
  EXPECT_EQ(sink->noticeBits, 16u);
}

TEST(BitdepthAnalyzer, RefusesWhatItCannotCountAndDataWithoutFormat) {
  struct TCase {
    const char* id;
    uint32_t bits;
    bool bigEndian;
  };
  const TCase cases[] = {
      {"pcm", 20, false}, {"pcm", 16, true}, {"float", 16, false}, {"dts", 16, false}};
  for (const TCase& c : cases) {
    test::TConsoleCapture console;
    UpStreamPtr a = CreateBitdepthAnalyzer(true);
    a->SetUpstream(std::make_shared<TBlockRecorder>());
    EXPECT_FALSE(a->OpenAudio(c.id, 2, 3, c.bits, 48000, c.bigEndian, 0));
    EXPECT_EQ(console.Text(), "The bitdepth analyzer received a non-supported data format.\n");
  }
  test::TConsoleCapture console;
  UpStreamPtr a = CreateBitdepthAnalyzer(true);
  a->SetUpstream(std::make_shared<TBlockRecorder>());
  const uint8_t byte = 0;
  EXPECT_FALSE(a->ProcessData(0, false, &byte, 1, kNoTimeStamp, false));
  EXPECT_EQ(console.Text(), "The bitdepth analyzer didn't receive the format information.\n");
}

}  // namespace
}  // namespace kavrix
