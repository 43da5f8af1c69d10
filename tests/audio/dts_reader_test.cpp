// The DTS readers: framing and details of real and hand-built streams, padding removal,
// .dtshd unwrapping, DTS-HD with and without core, damaged input, the header listing, the
// format detector and the program's listing.
#include <gtest/gtest.h>

#include <random>

#include "containers/voxFormatDetector.h"
#include "dts_test_util.h"
#include "io/voxFileStream.h"

namespace kavrix::test {
namespace {

UpStreamPtr Reader(bool listing = false, bool strict = false, bool coreOnly = false) {
  return CreateDtsReader(nullptr, coreOnly, listing, strict);
}

TEST(DtsReader, FfmpegStreamsInAnyBlockSize) {
  const struct {
    const char* file;
    const char* description;
    uint32_t channels, mask;
  } cases[] = {
      {"dts_51.dts", "DTS, 5.1 channels, 0:00:01, 1509kbps, 48kHz, dialnorm: -0dB", 6, 0x60F},
      {"dts_stereo.dts", "DTS, 2.0 channels, 0:00:01, 768kbps, 48kHz, dialnorm: -0dB", 2, 0x3},
  };
  for (const auto& c : cases) {
    const Bytes data = Fixture(c.file);
    TDtsFrameInfo info;
    ASSERT_EQ(ParseDtsCoreFrame(data.data(), data.size(), info), kDtsOk);
    for (size_t block : {size_t(1), size_t(777), size_t(4096), size_t(200000)}) {
      TMessages messages;
      const TDtsRun run = RunDts(Reader(), data, block);
      ASSERT_TRUE(run.ok) << c.file << " " << block << messages.Text();
      EXPECT_EQ(run.sink->Joined(), data) << c.file << " " << block;
      EXPECT_EQ(run.sink->units_.size(), data.size() / info.coreLength) << c.file << " " << block;
      EXPECT_EQ(run.sink->formatId_, "dts");
      EXPECT_EQ(run.sink->channels_, c.channels);
      EXPECT_EQ(run.sink->mask_, c.mask);
      EXPECT_EQ(run.sink->bits_, 16u);
      EXPECT_EQ(run.sink->rate_, 48000u);
      EXPECT_EQ(run.Details().GetDescription(), c.description);
      EXPECT_EQ(run.Details().GetDuration(), (data.size() / info.coreLength) * 512 * 1000 / 48000);
      EXPECT_EQ(messages.Text(), "") << c.file;
    }
  }
}

TEST(DtsReader, PaddingIsRemovedAndShortFramesAreRead) {
  const Bytes frame = MakeDtsCore(TCoreSpec{});
  const Bytes plain = Repeat(frame, 20);
  // Padded after every frame, the last one included.
  for (size_t block : {size_t(1), size_t(1000), size_t(65536)}) {
    TMessages messages;
    const TDtsRun run = RunDts(Reader(), Repeat(frame, 20, 36), block);
    ASSERT_TRUE(run.ok) << messages.Text();
    EXPECT_EQ(run.sink->Joined(), plain) << block;
    EXPECT_EQ(run.sink->units_.size(), 20u);
    EXPECT_EQ(messages.Count("Removing DTS zero padding..."), 1u);
    EXPECT_FALSE(messages.Has("incomplete")) << messages.Text();
    EXPECT_EQ(run.Details().GetDisplayName(), "DTS (zero padded)");
    EXPECT_EQ(run.Details().GetDuration(), 20u * 512 * 1000 / 48000);
  }
  // A frame that ends in zero bytes keeps them at the end of the stream.
  TCoreSpec zeroEnd;
  Bytes last = MakeDtsCore(zeroEnd);
  std::fill(last.end() - 5, last.end(), 0);
  const Bytes withZeroEnd = Concat({Repeat(frame, 3), last});
  TDtsRun run = RunDts(Reader(), withZeroEnd, 500);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.sink->Joined(), withZeroEnd);

  // Every frame declares one byte more than it has: the next frame's sync word shows it, and
  // the last frame is as long as the others.
  TCoreSpec longer;
  longer.fsize = 2012;
  Bytes shortFrame = MakeDtsCore(longer);
  shortFrame.pop_back();
  const Bytes shortStream = Repeat(shortFrame, 10);
  TMessages messages;
  run = RunDts(Reader(), shortStream, 3000);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.sink->Joined(), shortStream);
  EXPECT_EQ(run.sink->units_.size(), 10u);
  EXPECT_EQ(messages.Text(), "");
  // Cut shorter than that, the last frame is incomplete.
  run = RunDts(Reader(), Bytes(shortStream.begin(), shortStream.end() - 1), 3000);
  EXPECT_EQ(run.sink->units_.size(), 9u);
  EXPECT_TRUE(messages.Has("The last DTS frame is incomplete and thus gets skipped."));
  EXPECT_EQ(run.Details().GetBitrate(), 1509000u);
}

TEST(DtsReader, DtsHdFileIsUnwrapped) {
  const Bytes stream = Fixture("dts_51.dts");
  const Bytes file = WrapDtsHd(stream);
  for (size_t block : {size_t(5), size_t(64), size_t(65536)}) {
    for (bool strict : {false, true}) {
      TMessages messages;
      const TDtsRun run = RunDts(Reader(false, strict), file, block);
      ASSERT_TRUE(run.ok) << messages.Text();
      EXPECT_EQ(run.sink->Joined(), stream) << block;
    }
  }
  // Not a .dtshd file and not a frame at the start.
  TMessages messages;
  Bytes junk = Concat({Bytes(10, 0x33), stream});
  EXPECT_FALSE(RunDts(Reader(false, true), junk).ok);
  EXPECT_TRUE(messages.Has("This doesn't seem to be a valid DTS file."));
  // Without the strict start the frames are searched for.
  EXPECT_TRUE(RunDts(Reader(), junk).ok);
}

TEST(DtsReader, DtsHdWithCoreReportsBothLines) {
  TAssetSpec ma;
  ma.channels = 8;
  ma.speakerMask = 0x84B;
  ma.rateIndex = 13;
  TSubstreamSpec hd;
  hd.assets = {ma};
  const Bytes core = MakeDtsCore(TCoreSpec{});
  const Bytes frame = Concat({core, MakeDtsHdSubstream(hd)});
  TMessages messages;
  TDtsRun run = RunDts(CreateDtsReader(nullptr, false, true, true), Repeat(frame, 8, 12), 1000);
  ASSERT_TRUE(run.ok) << messages.Text();
  EXPECT_EQ(run.sink->Joined(), Repeat(frame, 8));
  EXPECT_EQ(run.sink->formatId_, "dtsma");
  EXPECT_EQ(run.sink->channels_, 8u);
  EXPECT_EQ(run.sink->mask_, 0x63Fu);
  EXPECT_EQ(run.sink->rate_, 96000u);
  EXPECT_EQ(run.Details().GetDescription(),
            "DTS Master Audio (zero padded), 7.1 channels, 24 bits, 96kHz, dialnorm: -0dB\r\n"
            "(core: DTS, 5.1 channels, 1509kbps, 48kHz, dialnorm: -0dB)");
  EXPECT_TRUE(messages.Has("+ DTS-Core"));
  EXPECT_TRUE(messages.Has("+ DTS-HD"));
  EXPECT_EQ(messages.Count("+ DTS-Core"), 1u);

  // The core's layout when asked for; High Resolution keeps a bit rate and a duration.
  ma.payloadSync = 0x655E315E;
  ma.components = 0x020;
  ma.rateIndex = 12;
  hd.assets = {ma};
  const Bytes hr = Concat({core, MakeDtsHdSubstream(hd)});
  run = RunDts(Reader(false, false, true), Repeat(hr, 8), 1000);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.sink->formatId_, "dtshr");
  EXPECT_EQ(run.sink->channels_, 6u);
  EXPECT_EQ(run.Details().GetDisplayName(), "DTS Hi-Res");
  EXPECT_EQ(run.Details().GetDuration(), 8u * 512 * 1000 / 48000);
  EXPECT_EQ(run.Details().GetCoreDisplayName(), "core: DTS");
}

TEST(DtsReader, EsStreamsReportTheirExtension) {
  TCoreSpec xxch;
  xxch.pcmr = 1;
  xxch.extAudio = true;
  xxch.extId = 6;
  TDtsRun run = RunDts(Reader(), Repeat(MakeDtsCore(xxch), 5), 777);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.Details().GetAuxText3(), "XXCh");
  EXPECT_EQ(run.Details().GetDescription(),
            "DTS-ES, 6.1 channels, 0:00:00, 1509kbps, 48kHz, dialnorm: -0dB");
  EXPECT_EQ(run.sink->mask_, 0x70Fu);

  TCoreSpec es;
  es.pcmr = 1;
  es.extAudio = true;
  Bytes outdated = MakeDtsCore(es);
  PutXch(outdated, 300, true);
  TMessages messages;
  run = RunDts(Reader(), Repeat(outdated, 5), 777);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.Details().GetAuxText3(), "");
  EXPECT_EQ(messages.Count("The DTS-ES information is stored in an outdated format."), 1u);
}

TEST(DtsNoCoreReader, MasterAudioExpressAndNoRate) {
  TAssetSpec ma;
  ma.channels = 8;
  ma.speakerMask = 0x84B;
  TSubstreamSpec hd;
  hd.assets = {ma};
  const Bytes xll = MakeDtsHdSubstream(hd);
  TAssetSpec lbr;
  lbr.payloadSync = 0x0A801921;
  lbr.codingMode = 2;
  lbr.channels = 2;
  lbr.speakerMask = 0x2;
  lbr.bits = 16;
  lbr.payloadSize = 300;
  hd.assets = {lbr};
  hd.durationCode = 3;  // 4 × 512 samples
  const Bytes express = MakeDtsHdSubstream(hd);
  TSubstreamSpec bare;
  bare.staticFields = false;
  const Bytes noRate = MakeDtsHdSubstream(bare);

  struct {
    const char* what;
    Bytes frame;
    const char* formatId;
    const char* description;
    uint32_t mask, rate;
  } cases[] = {
      {"MA", xll, "dtsnc",
       "DTS Master Audio (no core), 7.1 channels, 24 bits, 48kHz, dialnorm: -0dB", 0x63F, 48000},
      {"Express", express, "dtslbr",
       "DTS Express, 2.0 channels, 0:00:01, 61kbps, 48kHz, dialnorm: -0dB", 0x3, 48000},
      {"no rate", noRate, "dtsnc", "DTS Master Audio (no core), dialnorm: -0dB", 0, 0},
  };
  for (auto& c : cases) {
    TMessages messages;
    const TDtsRun run = RunDts(CreateDtsNoCoreReader(nullptr, false, true),
                               Repeat(c.frame, 12, c.rate ? 3 : 0), 700);
    ASSERT_TRUE(run.ok) << c.what << messages.Text();
    EXPECT_EQ(run.sink->Joined(), Repeat(c.frame, 12)) << c.what;
    EXPECT_EQ(run.sink->formatId_, c.formatId) << c.what;
    EXPECT_EQ(run.sink->rate_, c.rate) << c.what;
    if (c.mask) {
      EXPECT_EQ(run.sink->mask_, c.mask) << c.what;
    }
    EXPECT_EQ(run.Details().GetDescription(), c.description) << c.what;
  }
  // A core stream is not for this reader, and a stream without substreams not for the other.
  TMessages messages;
  EXPECT_FALSE(RunDts(CreateDtsNoCoreReader(nullptr, false, true), Fixture("dts_51.dts")).ok);
  EXPECT_TRUE(messages.Has("This doesn't seem to be a valid DTS file."));
  EXPECT_FALSE(RunDts(Reader(false, true), Repeat(xll, 4)).ok);
}

TEST(DtsReader, GarbageIsRefusedAndDamageIsSkipped) {
  {
    TMessages messages;
    EXPECT_FALSE(RunDts(Reader(), Bytes(500000, 0x55)).ok);
    EXPECT_TRUE(messages.Has("This doesn't seem to be a valid DTS stream."));
  }
  {
    TMessages messages;
    EXPECT_FALSE(RunDts(Reader(), Bytes(1000, 0x55)).ok);
    EXPECT_TRUE(messages.Has("The stream doesn't seem to contain any valid DTS frames."));
  }
  // A damaged frame in the middle is skipped; the last one is cut off.
  Bytes data = Fixture("dts_51.dts");
  data[2012 * 10 + 3] = 0;
  data.resize(data.size() - 100);
  TMessages messages;
  const TDtsRun run = RunDts(Reader(), data, 3000);
  ASSERT_TRUE(run.ok) << messages.Text();
  EXPECT_EQ(run.sink->units_.size(), data.size() / 2012 - 1);
  EXPECT_TRUE(messages.Has("The last DTS frame is incomplete and thus gets skipped."));
}

// Damaged and cut streams of every kind through both readers in small blocks: whatever
// happens, nothing is read beyond the data (checked by the address sanitizer build).
TEST(DtsReader, DamagedStreamsStayInBounds) {
  TAssetSpec a;
  a.payloadSize = 120;
  TSubstreamSpec hd;
  hd.assets = {a};
  TCoreSpec cs;
  cs.fsize = 300;
  const Bytes sub = MakeDtsHdSubstream(hd);
  const Bytes frame = Concat({MakeDtsCore(cs), sub});
  const Bytes sources[] = {Repeat(frame, 6, 5), Repeat(sub, 6, 2), WrapDtsHd(Repeat(frame, 4))};
  std::mt19937 random(11);
  for (int round = 0; round < 400; ++round) {
    Bytes data = sources[round % 3];
    for (int i = 0; i < 3; ++i) data[random() % data.size()] = uint8_t(random());
    data.resize(random() % data.size() + 1);
    TMessages messages;
    const size_t block = 1 + random() % 300;
    RunDts(Reader(true, round % 2 == 0), data, block);
    RunDts(CreateDtsNoCoreReader(nullptr, true, round % 2 == 0), data, block);
  }
}

TEST(DtsReader, DetectorAndProgramListDtsSources) {
  TScratch scratch;
  const std::string path = AudioFixture("dts_51.dts");
  UpStreamPtr source = CreateSourceFiles({path}, 0, 0, 314572800, false, 24000, 1001);
  ASSERT_TRUE(source->GetOk());
  UpStreamPtr detector = CreateFormatDetector(false, false, false, true, false);
  source->SetUpstream(detector);
  {
    TMessages messages;
    source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false);
    EXPECT_EQ(messages.Text(), "");
  }
  const auto audio = Query<IFormatDetector>(detector)->GetAudioDetails();
  ASSERT_TRUE(audio->GetValid());
  EXPECT_EQ(audio->GetFormatId(), "dts");
  EXPECT_EQ(audio->GetDescription(), "DTS, 5.1 channels, 0:00:01, 1509kbps, 48kHz, dialnorm: -0dB");

  // Elementary mode (a transport-stream track): the first frame is searched for.
  Bytes track = Concat({Bytes(3000, 0x5A), ReadBytes(path)});
  UpStreamPtr elementary = CreateFormatDetector(false, false, false, false, true);
  ASSERT_TRUE(elementary->OpenAudio("?", 1, 1, 8, 48000, false, track.size()));
  ASSERT_TRUE(elementary->ProcessData(0, false, track.data(), track.size(), kNoTimeStamp, false));
  ASSERT_TRUE(elementary->Finish(0));
  EXPECT_EQ(Query<IFormatDetector>(elementary)->GetAudioDetails()->GetFormatId(), "dts");

  const std::string out = Capture(scratch, std::string(KAVRIX_BINARY) + " '" + path + "'");
  EXPECT_NE(out.find("DTS, 5.1 channels, 0:00:01, 1509kbps, 48kHz, dialnorm: -0dB"),
            std::string::npos)
      << out;
  const std::string hd = scratch.Write(
      "ma.dtshd",
      WrapDtsHd(
          Repeat(Concat({MakeDtsCore(TCoreSpec{}), MakeDtsHdSubstream(TSubstreamSpec{})}), 10)));
  const std::string listed = Capture(scratch, std::string(KAVRIX_BINARY) + " '" + hd + "' -logDts");
  EXPECT_NE(listed.find("DTS Master Audio"), std::string::npos) << listed;
  EXPECT_NE(listed.find("(core: DTS, 5.1 channels"), std::string::npos) << listed;
  EXPECT_NE(listed.find("+ DTS-Core"), std::string::npos) << listed;
}

}  // namespace
}  // namespace kavrix::test
