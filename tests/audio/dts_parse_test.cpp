// DTS header parsing: core frames made by ffmpeg and by hand (ES, 96/24, CRC), DTS-HD
// substreams with asset descriptors, the speaker mask, zero padding, the header listing,
// and damaged or cut-off headers (which must never be read beyond their end).
#include <gtest/gtest.h>

#include <random>

#include "dts_test_util.h"

namespace kavrix::test {
namespace {

TDtsFrameInfo ParseCore(const Bytes& data, int expected = kDtsOk, bool xchCheck = false) {
  TDtsFrameInfo info;
  // An exact-size heap copy, so that a read past the end is caught by the address checker.
  const Bytes copy(data);
  EXPECT_EQ(ParseDtsCoreFrame(copy.data(), copy.size(), info, nullptr, xchCheck), expected);
  return info;
}

TEST(DtsCore, FfmpegStreamsMatchTheReferenceTools) {
  const struct {
    const char* file;
    uint32_t channels, mask, bitrate;
    const char* text;
  } cases[] = {{"dts_51.dts", 6, 0x60F, 1509000, "5.1"}, {"dts_stereo.dts", 2, 0x3, 768000, "2.0"}};
  TScratch scratch;
  for (const auto& c : cases) {
    const Bytes data = Fixture(c.file);
    ASSERT_GT(data.size(), 4096u) << c.file;
    const TDtsFrameInfo info = ParseCore(data);
    EXPECT_EQ(info.frame.channels, c.channels) << c.file;
    EXPECT_EQ(info.frame.channelMask, c.mask) << c.file;
    EXPECT_EQ(info.frame.channelText, c.text) << c.file;
    EXPECT_EQ(info.frame.bitrate, c.bitrate) << c.file;
    EXPECT_EQ(info.frame.sampleRate, 48000u) << c.file;
    EXPECT_EQ(info.frame.bits, 16u) << c.file;
    EXPECT_EQ(info.frame.description, "DTS") << c.file;
    EXPECT_EQ(info.samplesPerFrame, 512u) << c.file;
    EXPECT_FALSE(info.extension) << c.file;
    if (HaveTool("mediainfo")) {
      const std::string out =
          Capture(scratch, "mediainfo --Output='Audio;%Channel(s)% %BitRate% %BitDepth%' '" +
                               AudioFixture(c.file) + "'");
      EXPECT_EQ(out, std::to_string(c.channels) + " " + std::to_string(c.bitrate) + " 16\n")
          << c.file;
    }
    if (HaveTool("ffprobe")) {
      const std::string out = Capture(
          scratch, "ffprobe -v error -show_entries stream=channels,sample_rate -of csv=p=0 '" +
                       AudioFixture(c.file) + "'");
      EXPECT_EQ(out, "48000," + std::to_string(c.channels) + "\n") << c.file;
    }
  }
  if (!HaveTool("mediainfo") || !HaveTool("ffprobe")) GTEST_SKIP() << "reference tools missing";
}

TEST(DtsCore, LayoutsExtensionsAndRates) {
  struct TCase {
    const char* what;
    TCoreSpec spec;
    const char* text;
    uint32_t channels, mask, rate, samples, bitrate, bits, dialnorm;
    const char* description;
  };
  auto spec = [](auto change) {
    TCoreSpec s;
    change(s);
    return s;
  };
  const TCase cases[] = {
      {"plain 5.1 (no ES flag)", TCoreSpec{}, "5.1", 6, 0x60F, 48000, 512, 1509000, 16, 0, "DTS"},
      {"FSIZE 2012", spec([](TCoreSpec& s) { s.fsize = 2012; }), "5.1", 6, 0x60F, 48000, 512,
       1509750, 16, 0, "DTS"},
      {"ES discrete 6.1", spec([](TCoreSpec& s) { s.pcmr = 1, s.extAudio = true; }), "6.1", 7,
       0x70F, 48000, 512, 1509000, 16, 0, "DTS-ES"},
      {"ES discrete 6.0", spec([](TCoreSpec& s) { s.pcmr = 1, s.extAudio = true, s.lff = 0; }),
       "6.0", 6, 0x707, 48000, 512, 1509000, 16, 0, "DTS-ES"},
      {"ES matrix", spec([](TCoreSpec& s) { s.pcmr = 1; }), "6.1", 7, 0x70F, 48000, 512, 1509000,
       16, 0, "DTS-ES"},
      {"96/24", spec([](TCoreSpec& s) { s.extAudio = true, s.extId = 2, s.pcmr = 6; }), "5.1", 6,
       0x60F, 96000, 1024, 1509000, 24, 0, "DTS-96/24"},
      {"ES 96/24", spec([](TCoreSpec& s) { s.extAudio = true, s.extId = 3, s.pcmr = 5; }), "6.1", 7,
       0x70F, 96000, 1024, 1509000, 24, 0, "DTS-ES-96/24"},
      {"XXCh", spec([](TCoreSpec& s) { s.extAudio = true, s.extId = 6; }), "6.1", 7, 0x70F, 48000,
       512, 1509000, 16, 0, "DTS"},
      {"unknown extension", spec([](TCoreSpec& s) { s.extAudio = true, s.extId = 5; }), "5.1", 6,
       0x60F, 48000, 512, 1509000, 16, 0, "DTS with unknown extension (5)"},
      {"rate index 30", spec([](TCoreSpec& s) { s.rate = 30; }), "5.1", 6, 0x60F, 48000, 512, 0, 16,
       0, "DTS"},
      {"3/1 with LFE, 20 bits", spec([](TCoreSpec& s) { s.amode = 7, s.lff = 1, s.pcmr = 2; }),
       "3/1.1", 5, 0x10F, 48000, 512, 1509000, 20, 0, "DTS"},
      {"mono 44.1 kHz", spec([](TCoreSpec& s) { s.amode = 0, s.lff = 0, s.sfreq = 8; }), "1.0", 1,
       0x4, 44100, 512, 1386393, 16, 0, "DTS"},
      {"version 6 dialnorm", spec([](TCoreSpec& s) { s.vernum = 6, s.dialnorm = 4; }), "5.1", 6,
       0x60F, 48000, 512, 1509000, 16, 20, "DTS"},
      {"header CRC", spec([](TCoreSpec& s) { s.cpf = true, s.pcmr = 1, s.dialnorm = 9; }), "6.1", 7,
       0x70F, 48000, 512, 1509000, 16, 9, "DTS-ES"},
  };
  for (const auto& c : cases) {
    const TDtsFrameInfo info = ParseCore(MakeDtsCore(c.spec));
    EXPECT_EQ(info.frame.channelText, c.text) << c.what;
    EXPECT_EQ(info.frame.channels, c.channels) << c.what;
    EXPECT_EQ(info.frame.channelMask, c.mask) << c.what;
    EXPECT_EQ(info.frame.sampleRate, c.rate) << c.what;
    EXPECT_EQ(info.samplesPerFrame, c.samples) << c.what;
    EXPECT_EQ(info.frame.bitrate, c.bitrate) << c.what;
    EXPECT_EQ(info.frame.bits, c.bits) << c.what;
    EXPECT_EQ(info.frame.dialnorm, c.dialnorm) << c.what;
    EXPECT_EQ(info.frame.description, c.description) << c.what;
    EXPECT_EQ(info.core.description, c.description) << c.what;
  }
}

TEST(DtsCore, InvalidHeadersAreRefused) {
  auto spec = [](auto change) {
    TCoreSpec s;
    change(s);
    return s;
  };
  const std::pair<const char*, TCoreSpec> cases[] = {
      {"sample rate index 4", spec([](TCoreSpec& s) { s.sfreq = 4; })},
      {"FSIZE 94", spec([](TCoreSpec& s) { s.fsize = 94; })},
      {"AMODE 16", spec([](TCoreSpec& s) { s.amode = 16; })},
      {"LFF 3", spec([](TCoreSpec& s) { s.lff = 3; })},
      {"PCMR 4", spec([](TCoreSpec& s) { s.pcmr = 4; })},
      {"PCMR 7", spec([](TCoreSpec& s) { s.pcmr = 7; })},
  };
  for (const auto& [what, s] : cases) {
    SCOPED_TRACE(what);
    ParseCore(MakeDtsCore(s), kDtsInvalid);
  }
  Bytes frame = MakeDtsCore(TCoreSpec{});
  frame.pop_back();  // the frame is not complete
  ParseCore(frame, kDtsInvalid);
  frame[0] = 0x7E;
  ParseCore(frame, kDtsInvalid);
}

TEST(DtsCore, OutdatedEsInformationIsFound) {
  TCoreSpec s;
  s.pcmr = 1;
  s.extAudio = true;
  for (bool outdated : {false, true}) {
    Bytes frame = MakeDtsCore(s);
    PutXch(frame, 400, outdated);
    EXPECT_EQ(ParseCore(frame, kDtsOk, true).outdatedEs, outdated);
    EXPECT_FALSE(ParseCore(frame, kDtsOk, false).outdatedEs);
  }
}

TEST(DtsCore, CoreOneByteShorterThanDeclared) {
  TCoreSpec s;
  s.fsize = 2012;  // declares 2013 bytes, has 2012
  Bytes frame = MakeDtsCore(s);
  frame.pop_back();
  const Bytes two = Concat({frame, frame});
  const TDtsFrameInfo info = ParseCore(two);
  EXPECT_EQ(info.coreLength, 2012u);
  EXPECT_EQ(info.frame.bitrate, 1509000u);
}

TEST(DtsHd, SubstreamsAfterACore) {
  TAssetSpec ma;  // 7.1 lossless at 96 kHz
  ma.channels = 8;
  ma.speakerMask = 0x84B;
  ma.rateIndex = 13;
  ma.hasDialnorm = true;
  ma.dialnorm = 4;
  TSubstreamSpec hd;
  hd.assets = {ma};
  const Bytes core = MakeDtsCore(TCoreSpec{});
  const Bytes sub = MakeDtsHdSubstream(hd);
  TDtsFrameInfo info = ParseCore(Concat({core, sub, core}));
  EXPECT_TRUE(info.extension);
  EXPECT_TRUE(info.xll);
  EXPECT_EQ(info.extensionBytes, sub.size());
  EXPECT_EQ(info.frame.description, "DTS Master Audio");
  EXPECT_EQ(info.frame.bitrate, 0u);
  EXPECT_EQ(info.frame.channels, 8u);
  EXPECT_EQ(info.frame.channelText, "7.1");
  EXPECT_EQ(info.frame.channelMask, 0x63Fu);
  EXPECT_EQ(info.frame.sampleRate, 96000u);
  EXPECT_EQ(info.samplesPerFrame, 1024u);
  EXPECT_EQ(info.frame.bits, 24u);
  EXPECT_EQ(info.frame.dialnorm, 4u);
  EXPECT_EQ(info.core.description, "DTS");
  EXPECT_EQ(info.core.channels, 6u);

  // An unusual 7.1 layout; High Resolution (no lossless part) keeps a bit rate.
  ma.speakerMask = 0x80F;
  ma.payloadSync = 0x655E315E;
  ma.components = 0x020;
  ma.rateIndex = 12;
  hd.assets = {ma};
  const Bytes hr = MakeDtsHdSubstream(hd);
  info = ParseCore(Concat({core, hr}));
  EXPECT_EQ(info.frame.channelText, "7.1 (strange setup)");
  EXPECT_FALSE(info.xll);
  EXPECT_EQ(info.frame.description, "DTS Hi-Res");
  EXPECT_EQ(info.frame.bitrate, uint32_t(uint64_t(48000) * (core.size() + hr.size()) * 8 / 512));

  // Without static fields there is no sample rate: the core's timing stays.
  TSubstreamSpec bare;
  bare.staticFields = false;
  info = ParseCore(Concat({core, MakeDtsHdSubstream(bare)}));
  EXPECT_TRUE(info.xll);
  EXPECT_EQ(info.samplesPerFrame, 512u);
  EXPECT_EQ(info.frame.sampleRate, 48000u);

  // Zero padding after the substreams, then the next core or the end: valid. Anything else
  // after them is not.
  ParseCore(Concat({core, sub, Bytes(100, 0), core}));
  EXPECT_EQ(ParseCore(Concat({core, sub, Bytes(37, 0)})).zeroPadding, 37u);
  ParseCore(Concat({core, sub, Bytes(5, 0), Bytes{1, 2, 3, 4}}), kDtsBadExtension);
  // A substream cut off.
  const Bytes cut = Concat({core, sub});
  ParseCore(Bytes(cut.begin(), cut.end() - 1), kDtsBadExtension);
}

TEST(DtsHd, SubstreamHeaderForms) {
  TAssetSpec big;
  big.payloadSize = 40000;  // more than 16 bits of size: needs the long header form
  TSubstreamSpec s;
  s.blownUp = true;
  s.index = 2;
  s.assets = {big};
  const Bytes sub = MakeDtsHdSubstream(s);
  size_t size = 0;
  EXPECT_EQ(PeekDtsHdSubstreamSize(sub.data(), sub.size(), &size), kDtsHdOk);
  EXPECT_EQ(size, sub.size());
  TDtsHdInfo info;
  EXPECT_EQ(ParseDtsHdSubstream(sub.data(), sub.size(), info), kDtsHdOk);
  EXPECT_EQ(info.index, 2u);
  EXPECT_EQ(info.size, sub.size());
  EXPECT_TRUE(info.xll);

  // A short substream of the plain form with two assets, one of them LBR.
  TAssetSpec lbr;
  lbr.payloadSync = 0x0A801921;
  lbr.codingMode = 2;
  lbr.channels = 2;
  lbr.speakerMask = 0x2;
  TSubstreamSpec two;
  two.assets = {lbr, TAssetSpec{}};
  const Bytes sub2 = MakeDtsHdSubstream(two);
  EXPECT_EQ(ParseDtsHdSubstream(sub2.data(), sub2.size(), info), kDtsHdOk);
  EXPECT_TRUE(info.lbr);
  EXPECT_TRUE(info.xll);
  EXPECT_EQ(info.channels, 6u);
  EXPECT_EQ(info.speakerMask, 0x2u);

  EXPECT_EQ(ParseDtsHdSubstream(sub2.data(), sub2.size() - 1, info), kDtsHdNeedMore);
  EXPECT_EQ(PeekDtsHdSubstreamSize(sub2.data(), 9, &size), kDtsHdNeedMore);
  // Header and substream size fields of 0: a "substream" of one byte is no substream.
  const Bytes tiny = {0x64, 0x58, 0x20, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(PeekDtsHdSubstreamSize(tiny.data(), tiny.size(), &size), kDtsHdInconsistent);
  Bytes bad = sub2;
  bad[0] = 0x65;
  EXPECT_EQ(ParseDtsHdSubstream(bad.data(), bad.size(), info), kDtsHdNoSync);
  // Asset sizes that do not add up to the substream size.
  bad = sub2;
  bad.push_back(0);
  for (int i = 0; i < 16; ++i) {  // the substream size field (bits 51-66 in the short form)
    const size_t bit = 51 + size_t(i);
    const uint8_t m = uint8_t(0x80 >> (bit % 8));
    if ((sub2.size() >> (15 - i)) & 1)
      bad[bit / 8] |= m;
    else
      bad[bit / 8] &= uint8_t(~m);
  }
  EXPECT_EQ(ParseDtsHdSubstream(bad.data(), bad.size(), info), kDtsHdInconsistent);
}

TEST(DtsHd, SpeakerMaskToChannelMask) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0x000F, 0x60F},  {0x084B, 0x63F},  {0x0001, 0x4},     {0x0002, 0x3},
      {0x0006, 0x603},  {0x0013, 0x107},  {0x1000, 0x8},     {0x0080, 0x800},
      {0x0100, 0x2000}, {0x0200, 0xC0},   {0x4000, 0x10000}, {0xAC66, 0x2D6F3},
      {0x0026, 0x633},  {0x0066, 0x5633}, {0x0466, 0x2D633}, {0x2466, 0x2D6F3},
  };
  for (const auto& [speakers, mask] : cases)
    EXPECT_EQ(DtsSpeakerMaskToChannelMask(speakers), mask) << std::hex << speakers;
}

TEST(DtsListing, CoreAndSubstreamLines) {
  TCoreSpec cs;
  cs.pcmr = 1;
  cs.extAudio = true;
  cs.cpf = true;
  cs.dialnorm = 3;
  TAssetSpec a;
  a.infoText = std::string("Main\x01\x1b[31m", 10);
  a.hasDialnorm = true;
  a.dialnorm = 2;
  TSubstreamSpec hd;
  hd.assets = {a};
  const Bytes data = Concat({MakeDtsCore(cs), MakeDtsHdSubstream(hd)});
  TDtsFrameInfo info;
  std::vector<std::string> lines;
  ASSERT_EQ(ParseDtsCoreFrame(data.data(), data.size(), info, &lines), kDtsOk);
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  for (const char* expected : {"+ DTS-Core\n",
                               "  - frameSize            2012\n",
                               "  - DTS-ES               +\n",
                               "  - channelNo            6\n",
                               "  - lfe                  1\n",
                               "  - channelDescr         6.1\n",
                               "  - samplingRate         48000\n",
                               "  - bitDepth             16\n",
                               "  - dialNorm             3\n",
                               "  - extAudio             XCh\n",
                               "  - samplesPerFrame      512\n",
                               "  - hasCrc               +\n",
                               "+ DTS-HD\n",
                               "  - refClockCode         1/48000\n",
                               "  + Asset [0]\n",
                               "    - extSubStrPackets     XLL\n",
                               "    - corePackets          -\n",
                               "    - infoText             \"Main??[31m\"\n",
                               "    - maxSampleRate        48000\n",
                               "    - dialNorm             -2dB\n",
                               "    - activeSpeakers       C L R Ls Rs LFE ($000F)\n"})
    EXPECT_NE(all.find(expected), std::string::npos) << expected << "\nin\n" << all;
  for (unsigned char c : all) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);
}

// Every cut and many damaged versions of hand-built frames: the parsers return a result
// without reading past the end (checked by the address sanitizer build).
TEST(DtsParsers, DamagedAndCutHeadersStayInBounds) {
  TAssetSpec a;
  a.channels = 8;
  a.speakerMask = 0x84B;
  a.infoText = "x";
  TSubstreamSpec hd;
  hd.assets = {a, a};
  const Bytes sub = MakeDtsHdSubstream(hd);
  TCoreSpec cs;
  cs.fsize = 200;
  const Bytes stream = Concat({MakeDtsCore(cs), sub, Bytes(3, 0), MakeDtsCore(cs)});
  std::mt19937 random(7);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    const Bytes part(stream.begin(), stream.begin() + long(cut));
    TDtsFrameInfo info;
    TDtsHdInfo hdInfo;
    size_t size = 0;
    ParseDtsCoreFrame(part.data(), part.size(), info, nullptr, true);
    const Bytes subPart(sub.begin(), sub.begin() + long(std::min(cut, sub.size())));
    ParseDtsHdSubstream(subPart.data(), subPart.size(), hdInfo);
    PeekDtsHdSubstreamSize(subPart.data(), subPart.size(), &size);
  }
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = stream;
    for (int i = 0; i < 4; ++i) {
      const size_t at = random() % std::min<size_t>(damaged.size(), 400);
      damaged[at] = uint8_t(random());
    }
    damaged.resize(random() % damaged.size() + 1);
    TDtsFrameInfo info;
    std::vector<std::string> lines;
    ParseDtsCoreFrame(damaged.data(), damaged.size(), info, &lines, true);
    const size_t at = MakeDtsCore(cs).size();
    if (damaged.size() > at) {
      const Bytes s(damaged.begin() + long(at), damaged.end());
      TDtsHdInfo hdInfo;
      ParseDtsHdSubstream(s.data(), s.size(), hdInfo, &lines);
    }
  }
}

}  // namespace
}  // namespace kavrix::test
