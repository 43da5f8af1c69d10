// Format details: description texts, channel words, track lists, clones, mono file names.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/voxUpStream.h"
#include "core/voxUpStream_details.h"

namespace kavrix {
namespace {

IAudioFormatDetails& Audio(const UpStreamPtr& node) {
  return *Query<IAudioFormatDetails>(node);
}
IVideoFormatDetails& Video(const UpStreamPtr& node) {
  return *Query<IVideoFormatDetails>(node);
}
ISubtitleFormatDetails& Subtitle(const UpStreamPtr& node) {
  return *Query<ISubtitleFormatDetails>(node);
}
IContainerInfo& Container(const UpStreamPtr& node) {
  return *Query<IContainerInfo>(node);
}
TContainerDetails& ContainerFill(const UpStreamPtr& node) {
  return *Query<TContainerDetails>(node);
}

TAudioFormatParams Ac3Params() {
  TAudioFormatParams p;
  p.verified = true;
  p.formatId = "ac3";
  p.displayName = "AC3";
  p.channels = 6;
  p.sampleRate = 48000;
  p.bitrate = 448000;
  p.dialnorm = 27;
  return p;
}

std::string AudioDescription(const TAudioFormatParams& p) {
  UpStreamPtr node = CreatePassThrough();
  node->SetAudioFormat(p);
  return Audio(node).GetDescription();
}

TEST(AudioDetails, FillComputesMaskChannelTextAndBits) {
  UpStreamPtr node = CreatePassThrough();
  EXPECT_FALSE(Audio(node).GetValid());
  TAudioFormatParams p = Ac3Params();
  p.bits = 20;
  node->SetAudioFormat(p);
  const IAudioFormatDetails& a = Audio(node);
  EXPECT_TRUE(a.GetValid());
  EXPECT_TRUE(a.GetVerified());
  EXPECT_EQ(a.GetChannelMask(), 0x60Fu);
  EXPECT_EQ(a.GetChannelText(), "5.1");
  EXPECT_EQ(a.GetContainerBits(), 24u);  // 20 bits are stored in three bytes
  EXPECT_EQ(a.GetValidBits(), 20u);
}

TEST(AudioDetails, DefaultMasksAndChannelTextOfTheFill) {
  struct Case {
    uint32_t channels, mask, wantMask;
    const char* wantText;
  };
  const Case cases[] = {
      {1, 0, 0x4, "1.0"},         {2, 0, 0x3, "2.0"},
      {3, 0, 0x7, "3.0"},         {4, 0, 0x603, "2/2"},
      {5, 0, 0x607, "5.0"},       {6, 0, 0x60F, "5.1"},
      {7, 0, 0x70F, "6.1"},       {8, 0, 0x63F, "7.1"},
      {9, 0, 0xFFFFFFFF, "9"},    {6, 0x3F, 0x3F, "5.1"},
      {4, 0x107, 0x107, "3/1"},   {4, 0x33, 0x33, "2/2"},
      {3, 0x103, 0x103, "2/1"},   {5, 0x40F, 0x40F, "3/1.1"},
      {3, 0x3F, 0x3F, "3"},        // the mask does not match the count: the count word
      {2, 0x1001, 0x1001, "2.0"},  // a top speaker has no layout word
  };
  for (const Case& c : cases) {
    UpStreamPtr node = CreatePassThrough();
    TAudioFormatParams p;
    p.formatId = "pcm";
    p.displayName = "RAW/PCM";
    p.channels = c.channels;
    p.channelMask = c.mask;
    node->SetAudioFormat(p);
    EXPECT_EQ(Audio(node).GetChannelMask(), c.wantMask) << c.channels << " / " << c.mask;
    EXPECT_EQ(Audio(node).GetChannelText(), c.wantText) << c.channels << " / " << c.mask;
  }
}

TEST(AudioDetails, LayoutWords) {
  struct Case {
    uint32_t mask;
    const char* word;
  };
  const Case cases[] = {{0x3F, "5.1"},    {0x107, "3/1"}, {0x33, "2/2"}, {0x103, "2/1"},
                        {0x40F, "3/1.1"}, {0x63F, "7.1"}, {0xB, "2.1"},  {0x60B, "2/2.1"},
                        {0x4, "1.0"},     {0x70F, "6.1"}, {0x80F, "5"}};  // 0x800: top centre
  for (const Case& c : cases) EXPECT_EQ(ChannelLayoutWord(c.mask), c.word) << std::hex << c.mask;
}

TEST(AudioDetails, KiloHertzWords) {
  struct Case {
    uint32_t rate;
    const char* word;
  };
  const Case cases[] = {{48000, "48kHz"},    {44100, "44.1kHz"},   {22050, "22kHz"},
                        {88200, "88.2kHz"},  {11025, "11kHz"},     {44101, "44.1kHz"},
                        {44110, "44.11kHz"}, {44111, "44.111kHz"}, {0, "0kHz"}};
  for (const Case& c : cases) EXPECT_EQ(KiloHertzWord(c.rate), c.word) << c.rate;
}

TEST(AudioDetails, Descriptions) {
  struct Case {
    const char* name;
    TAudioFormatParams params;
    const char* want;
  };
  std::vector<Case> cases;
  cases.push_back({"ac3", Ac3Params(), "AC3, 5.1 channels, 448kbps, 48kHz, dialnorm: -27dB"});
  {
    TAudioFormatParams p = Ac3Params();
    p.duration = 6752500;  // rounds up to 6753 s
    p.bitrate = 447500;    // rounds up to 448
    cases.push_back({"duration", p, "AC3, 5.1 channels, 1:52:33, 448kbps, 48kHz, dialnorm: -27dB"});
  }
  {
    TAudioFormatParams p = Ac3Params();
    p.dialnorm = 32;
    cases.push_back({"dialnorm 32", p, "AC3, 5.1 channels, 448kbps, 48kHz, dialnorm: invalid!"});
  }
  {
    TAudioFormatParams p;
    p.formatId = "thd";
    p.displayName = "?";
    p.channels = 6;
    p.sampleRate = 48000;
    cases.push_back({"undetermined thd", p, "TrueHD, unknown parameters"});
    p.formatId = "xyz";
    cases.push_back({"undetermined other", p, "Unknown audio track, unknown parameters"});
  }
  {
    TAudioFormatParams p;
    p.formatId = "wav";
    p.displayName = "WAV";
    p.channels = 2;
    p.bits = 24;
    p.validBits = 20;
    p.hdcd = true;
    p.isFloat = true;  // HDCD wins
    p.sampleRate = 44100;
    p.bitrate = 2116800;
    p.duration = 3723000;
    cases.push_back({"pcm", p,
                     "WAV, 2.0 channels, 1:02:03, 20/24 bits <HDCD>, 2117kbps, 44.1kHz, "
                     "dialnorm: -0dB"});
    p.hdcd = false;
    p.validBits = 24;
    cases.push_back({"float", p,
                     "WAV, 2.0 channels, 1:02:03, 24 bits <float>, 2117kbps, 44.1kHz, "
                     "dialnorm: -0dB"});
  }
  {
    TAudioFormatParams p;
    p.formatId = "dts";
    p.displayName = "DTS-ES";
    p.channels = 7;
    p.bits = 24;  // DTS shows no bit depth
    p.sampleRate = 48000;
    p.bitrate = 1509000;
    p.dialnorm = 31;
    cases.push_back({"dts", p, "DTS-ES, 6.1 channels, 1509kbps, 48kHz, dialnorm: -31dB"});
  }
  {
    // The core line: no rate for TrueHD/AC3 itself, a mask from the core's count.
    TAudioFormatParams p;
    p.formatId = "thd/ac3";
    p.displayName = "TrueHD/AC3";
    p.channels = 8;
    p.sampleRate = 48000;
    p.bitrate = 4000000;
    p.duration = 60000;
    p.dialnorm = 27;
    p.coreDisplayName = "embedded: AC3";
    p.coreChannels = 6;
    p.coreBits = 16;
    p.coreBitrate = 640000;
    p.coreSampleRate = 48000;
    p.coreDialnorm = 40;
    cases.push_back({"core", p,
                     "TrueHD/AC3, 7.1 channels, 0:01:00, 48kHz, dialnorm: -27dB\r\n"
                     "(embedded: AC3, 5.1 channels, 0:01:00, 16 bits, 640kbps, 48kHz, "
                     "dialnorm: invalid!)"});
    p.formatId = "dtsma";  // the DTS core's bits are not shown either
    p.displayName = "DTS Master Audio";
    p.coreDisplayName = "core: DTS";
    p.coreDialnorm = 0;
    cases.push_back({"dtsma core", p,
                     "DTS Master Audio, 7.1 channels, 0:01:00, 4000kbps, 48kHz, dialnorm: -27dB"
                     "\r\n(core: DTS, 5.1 channels, 0:01:00, 640kbps, 48kHz, dialnorm: -0dB)"});
  }
  for (const Case& c : cases) EXPECT_EQ(AudioDescription(c.params), c.want) << c.name;
}

TEST(AudioDetails, CoreGetsDefaultMaskAndText) {
  UpStreamPtr node = CreatePassThrough();
  TAudioFormatParams p = Ac3Params();
  p.coreChannels = 2;
  node->SetAudioFormat(p);
  EXPECT_EQ(Audio(node).GetCoreChannelMask(), 0x3u);
  EXPECT_EQ(Audio(node).GetCoreChannelText(), "2.0");
}

TEST(VideoDetails, Descriptions) {
  struct Case {
    const char* name;
    TVideoFormatParams params;
    const char* want;
  };
  std::vector<Case> cases;
  TVideoFormatParams base;
  base.formatId = "h264";
  base.displayName = "h264/AVC";
  base.width = 1920;
  base.height = 1080;
  base.aspectX = 16;
  base.aspectY = 9;
  base.frameRate = 24000;
  base.frameRateDivisor = 1001;
  cases.push_back({"1080p24", base, "h264/AVC, 1080p24 /1.001 (16:9)"});
  {
    TVideoFormatParams p = base;
    p.width = 1440;
    p.frameRate = 25000;
    p.frameRateDivisor = 1000;
    p.interlaced = true;
    p.aspectX = p.aspectY = 1;
    cases.push_back({"1440x1080", p, "h264/AVC, 1440x1080 25i"});
    p.frameRate = 0;
    cases.push_back({"no rate", p, "h264/AVC, 1440x1080i"});
  }
  {
    TVideoFormatParams p = base;
    p.formatId = "mpeg2";
    p.displayName = "MPEG2";
    p.width = 720;
    p.height = 480;
    p.frameRate = 29970;
    p.frameRateDivisor = 1000;
    p.aspectX = 4;
    p.aspectY = 3;
    p.pulldown = true;
    p.chromaFormat = 422;
    p.lumaBits = 8;
    p.chromaBits = 10;
    cases.push_back({"pulldown", p, "MPEG2, 480p29.970 (4:3) with pulldown flags, 4:2:2, 10 bits"});
  }
  {
    TVideoFormatParams p = base;
    p.displayName = "?";
    p.formatId = "vc1";
    cases.push_back({"undetermined", p, "VC-1, unknown parameters"});
    p.formatId = "dirac";
    cases.push_back({"undetermined other", p, "Unknown video track, unknown parameters"});
    p.displayName = "h264/AVC";
    p.width = 0;
    cases.push_back({"no size", p, "h264/AVC, unknown parameters"});
  }
  for (const Case& c : cases) {
    UpStreamPtr node = CreatePassThrough();
    node->SetVideoFormat(c.params);
    EXPECT_EQ(Video(node).GetDescription(), c.want) << c.name;
  }
}

TEST(SubtitleDetails, Descriptions) {
  UpStreamPtr node = CreatePassThrough();
  node->SetSubtitleFormat(TSubtitleFormatParams{true, "sup", "?", ""});
  EXPECT_EQ(Subtitle(node).GetDescription(), "Subtitle, unknown parameters");
  node->SetSubtitleFormat(TSubtitleFormatParams{true, "sup", "PGS", ""});
  EXPECT_EQ(Subtitle(node).GetDescription(), "PGS");
  EXPECT_TRUE(Subtitle(node).GetValid());
}

TEST(FormatDetails, UndeterminedLanguageKeepsThePreviousOne) {
  UpStreamPtr node = CreatePassThrough();
  auto check = [](auto& details, const char* kind) {
    details.SetLanguage("eng");
    for (const char* und : {"UND", "und", "Und"}) {
      details.SetLanguage(und);
      EXPECT_EQ(details.GetLanguage(), "eng") << kind << " " << und;
    }
    details.SetLanguage("undx");  // only the exact word is ignored
    EXPECT_EQ(details.GetLanguage(), "undx") << kind;
  };
  check(Audio(node), "audio");
  check(Video(node), "video");
  check(Subtitle(node), "subtitle");
}

TEST(FormatDetails, FillThroughTheNodeInterface) {
  UpStreamPtr node = CreatePassThrough();
  node->SetVideoCounts(1200, 2400);
  node->SetGapList(std::string(16, '\x01'));
  EXPECT_EQ(Video(node).GetVideoCount1(), 1200u);
  EXPECT_EQ(Video(node).GetVideoCount2(), 2400u);
  EXPECT_EQ(Video(node).GetGapList(), std::string(16, '\x01'));

  EXPECT_FALSE(node->HasContainerInfo());
  ContainerFill(node).SetContainerInfo("m2ts", "M2TS", 0, 0x100000002ull);
  EXPECT_TRUE(node->HasContainerInfo());
  EXPECT_TRUE(Container(node).HasContainerInfo());
  EXPECT_EQ(Container(node).GetContainerValue(), 2u);
  EXPECT_EQ(Container(node).GetContainerValue64(), 0x100000002ull);
  ContainerFill(node).SetDamagePosition(0x123456789ull);
  EXPECT_EQ(Container(node).GetDamagePosition(), 0x123456789ull);
}

TEST(FormatDetails, CloneIsAnIndependentPassThrough) {
  UpStreamPtr node = CreatePassThrough();
  node->SetAudioFormat(Ac3Params());
  Audio(node).SetLanguage("eng");
  TVideoFormatParams video;
  video.formatId = "h264";
  video.displayName = "h264/AVC";
  node->SetVideoFormat(video);

  std::shared_ptr<IAudioFormatDetails> clone = Audio(node).Clone();
  ASSERT_TRUE(clone);
  auto asNode = std::dynamic_pointer_cast<IUpStream>(clone);
  ASSERT_TRUE(asNode);
  EXPECT_NE(asNode, node);
  EXPECT_TRUE(Query<IPassThrough>(asNode));
  EXPECT_FALSE(Video(asNode).GetValid());  // only the record of that kind is copied

  TAudioFormatParams other = Ac3Params();
  other.dialnorm = 31;
  node->SetAudioFormat(other);
  Audio(node).SetLanguage("ger");
  EXPECT_EQ(clone->GetDescription(), "AC3, 5.1 channels, 448kbps, 48kHz, dialnorm: -27dB");
  EXPECT_EQ(clone->GetLanguage(), "eng");

  clone->SetTrackName("commentary");
  EXPECT_EQ(Audio(node).GetTrackName(), "");

  auto videoClone = Video(node).Clone();
  EXPECT_EQ(videoClone->GetDescription(), "h264/AVC, unknown parameters");
  auto subClone = Subtitle(node).Clone();
  EXPECT_FALSE(subClone->GetValid());
}

std::vector<uint32_t> AudioIds(const IContainerInfo& c, std::vector<std::string>* names) {
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < c.GetAudioTrackCount(); ++i) {
    TAudioTrackEntry e;
    EXPECT_TRUE(c.GetAudioTrack(i, e));
    ids.push_back(e.id);
    if (names) names->push_back(e.node->GetTrackName());
  }
  return ids;
}

TEST(ContainerInfo, TracksAreSortedByIdInOrderOfArrival) {
  UpStreamPtr parser = CreatePassThrough();
  UpStreamPtr reader = CreatePassThrough();
  auto add = [&](uint32_t id, const char* name) {
    reader->SetAudioFormat(Ac3Params());
    Audio(reader).SetTrackName(name);
    ContainerFill(parser).AddAudioTrack(id, Audio(reader), std::nullopt);
  };
  add(0x1101, "first");
  add(0x1100, "second");
  add(0x1100, "third");
  add(0x1000, "fourth");
  std::vector<std::string> names;
  EXPECT_EQ(AudioIds(Container(parser), &names),
            (std::vector<uint32_t>{0x1000, 0x1100, 0x1100, 0x1101}));
  EXPECT_EQ(names, (std::vector<std::string>{"fourth", "second", "third", "first"}));

  // Each entry keeps its own copy of the details.
  Audio(reader).SetTrackName("changed");
  names.clear();
  AudioIds(Container(parser), &names);
  EXPECT_EQ(names.back(), "first");

  TAudioTrackEntry e;
  EXPECT_FALSE(Container(parser).GetAudioTrack(4, e));
}

TEST(ContainerInfo, Description) {
  UpStreamPtr parser = CreatePassThrough();
  UpStreamPtr reader = CreatePassThrough();
  TContainerDetails& c = ContainerFill(parser);
  c.SetContainerInfo("m2ts", "M2TS", 6753000, 0);
  EXPECT_EQ(Container(parser).GetContainerDescription(), "M2TS, 1:52:33");
  c.AddVideoTrack(0x1011, Video(reader), 417083, 500);
  for (uint32_t id : {0x1100u, 0x1101u, 0x1102u}) c.AddAudioTrack(id, Audio(reader), 0);
  for (uint32_t id : {0x1200u, 0x1201u}) c.AddSubtitleTrack(id, Subtitle(reader), 0);
  EXPECT_EQ(Container(parser).GetContainerDescription(),
            "M2TS, 1 video track, 3 audio tracks, 2 subtitle tracks, 1:52:33");
  c.SetContainerInfo("mkv", "MKA", 0, 0);
  EXPECT_EQ(Container(parser).GetContainerDescription(),
            "MKA, 1 video track, 3 audio tracks, 2 subtitle tracks");
}

TEST(ContainerInfo, DelaysFollowTheTrackTimeOffset) {
  UpStreamPtr parser = CreatePassThrough();
  UpStreamPtr reader = CreatePassThrough();
  TContainerDetails& c = ContainerFill(parser);
  c.AddAudioTrack(1, Audio(reader), -1);  // a real delay of -1 ms
  c.AddAudioTrack(2, Audio(reader), std::nullopt);
  c.AddAudioTrack(3, Audio(reader), 99);
  c.SetTrackTimeOffset(100);
  c.AddAudioTrack(4, Audio(reader), 150);
  c.AddAudioTrack(5, Audio(reader), 99);  // becomes -1 and stays a delay

  struct Want {
    int32_t delay;
    bool has;
  };
  const Want want[] = {{-101, true}, {0, false}, {-1, true}, {50, true}, {-1, true}};
  for (size_t i = 0; i < 5; ++i) {
    TAudioTrackEntry e;
    ASSERT_TRUE(Container(parser).GetAudioTrack(i, e));
    EXPECT_EQ(e.delay, want[i].delay) << "track " << e.id;
    EXPECT_EQ(e.hasDelay, want[i].has) << "track " << e.id;
  }
  c.SetTrackTimeOffset(-1);
  TAudioTrackEntry e;
  Container(parser).GetAudioTrack(4, e);
  EXPECT_EQ(e.delay, 0);
  EXPECT_TRUE(e.hasDelay);
  EXPECT_EQ(Container(parser).GetTrackTimeOffset(), -1);
}

TEST(ContainerInfo, FrameRatesOfVideoTracks) {
  struct Case {
    int64_t duration;
    uint32_t rate;
  };
  const Case cases[] = {{417083, 23976},
                        {416000, 24038},  // too far from 24000: not snapped
                        {416667, 24000},
                        {400000, 25000},
                        {333667, 29970},
                        {166833, 59940},
                        {0, 0},
                        {-417083, 0},
                        {1, std::numeric_limits<uint32_t>::max()}};
  UpStreamPtr parser = CreatePassThrough();
  UpStreamPtr reader = CreatePassThrough();
  for (size_t i = 0; i < std::size(cases); ++i)
    ContainerFill(parser).AddVideoTrack(uint32_t(i), Video(reader), cases[i].duration,
                                        std::nullopt);
  for (size_t i = 0; i < std::size(cases); ++i) {
    TVideoTrackEntry e;
    ASSERT_TRUE(Container(parser).GetVideoTrack(i, e));
    EXPECT_EQ(e.frameRate, cases[i].rate) << cases[i].duration;
  }
}

TEST(MultiMono, FileNames) {
  struct Case {
    const char* destination;
    uint32_t mask, n;
    const char* want;
  };
  const Case cases[] = {
      {"movie.wav", 0x60F, 0, "movie.L.wav"},
      {"movie.wav", 0x60F, 3, "movie.LFE.wav"},
      {"movie.wav", 0x60F, 4, "movie.SL.wav"},
      {"movie.wav", 0x60F, 5, "movie.SR.wav"},
      {"movie.wav", 0x60F, 6, "movie.6.wav"},  // beyond the mask
      {"movie.wav", 0x3F, 4, "movie.BL.wav"},
      {"a/movie.x.wav", 0x20000, 0, "a/movie.x.TBR.wav"},
      {"movie.wav", 0x40004, 0, "movie.C.wav"},
      {"movie.wav", 0x40004, 1, "movie.1.wav"},  // bit 18 has no name
      {"movie.wav", 0x80000003, 2, "movie.2.wav"},
      {"out.v2/movie", 0x3, 1, "out.v2/movie.R.wav"},
      {"out.v2/movie.w64", 0x3, 0, "out.v2/movie.L.wav"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MultiMonoFileName(c.destination, c.mask, c.n), c.want)
        << c.destination << " " << std::hex << c.mask << " " << c.n;
}

TEST(AudioGaps, LittleEndianRecords) {
  const std::vector<TAudioGapRecord> records = {{0x0102030405060708, -2}, {300000000, 70000}};
  const std::string list = PackAudioGaps(records);
  ASSERT_EQ(list.size(), 32u);
  const std::string first("\x08\x07\x06\x05\x04\x03\x02\x01\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 16);
  EXPECT_EQ(list.substr(0, 16), first);
  EXPECT_EQ(UnpackAudioGaps(list), records);
  // A trailing partial record is not read.
  EXPECT_EQ(UnpackAudioGaps(list + "\x01\x02\x03"), records);
  EXPECT_EQ(AudioGapCount(list.substr(0, 15)), 0u);
}

}  // namespace
}  // namespace kavrix
