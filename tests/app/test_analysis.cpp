// The source analysis: trailing tags, the damaged start, the listing of a container, the
// added destinations and the assignment of tracks by extension. Containers are filled by hand
// (pass-through nodes carry the details), as a container reader would fill them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/kavrix_mod.h"
#include "app/kavrix_mod_analysis.h"
#include "core/voxUpStream.h"
#include "core/voxUpStream_console.h"
#include "io/voxFileStream.h"

namespace kavrix {
namespace {

namespace fs = std::filesystem;

// ---- trailing tags ----

// A source in memory whose reads stop at a "file join" every 700 bytes, as joined files do.
class TMemorySource : public ISourceFiles {
 public:
  explicit TMemorySource(std::string data) : data_(std::move(data)) {}
  uint64_t GetSize() override { return data_.size(); }
  uint64_t GetPosition() override { return position_; }
  bool Seek(uint64_t position) override {
    if (position > data_.size()) return false;
    position_ = position;
    return true;
  }
  bool ReadData(uint8_t* buffer, size_t& count) override {
    const uint64_t join = (position_ / 700 + 1) * 700;
    count = size_t(std::min<uint64_t>({count, data_.size() - position_, join - position_}));
    std::memcpy(buffer, data_.data() + position_, count);
    position_ += count;
    return true;
  }
  void SetStopFlags(std::vector<const std::atomic<bool>*>) override {}

 private:
  std::string data_;
  uint64_t position_ = 0;
};

std::string Le32(uint32_t v) {
  return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

std::string Id3v1() {
  return "TAG" + std::string(125, 'x');
}

// An APE tag with one item; version 2000 (with or without header) or 1000.
std::string Ape(uint32_t version, bool header, uint32_t claimedExtra = 0) {
  const std::string item = Le32(5) + Le32(0) + "Title" + std::string(1, '\0') + "Hello";
  const uint32_t size = uint32_t(item.size()) + 32 + claimedExtra;
  const uint32_t flags = header ? 0xA0000000u : 0;
  auto block = [&](bool isHeader) {
    return std::string("APETAGEX") + Le32(version) + Le32(size) + Le32(1) +
           Le32(flags | (isHeader ? 0x20000000u : 0)) + std::string(8, '\0');
  };
  return (header ? block(true) : "") + item + block(false);
}

std::string Lyrics3v2(const std::string& sizeField = "") {
  const std::string body = "LYRICSBEGININD00002" + std::string("10") + "LYR00005hello";
  const std::string size =
      sizeField.empty()
          ? std::string(6 - std::to_string(body.size()).size(), '0') + std::to_string(body.size())
          : sizeField;
  return body + size + "LYRICS200";
}

std::string Id3v2Footer(uint32_t size) {
  return std::string("3DI") + char(4) + char(0) + char(0x10) + char((size >> 21) & 0x7F) +
         char((size >> 14) & 0x7F) + char((size >> 7) & 0x7F) + char(size & 0x7F);
}

TEST(TrailingTags, SizesOfTheTagLayouts) {
  const std::string audio(3000, '\x55');
  const std::string apeHeader = Ape(2000, true), apeNoHeader = Ape(2000, false);
  const std::string apeV1 = Ape(1000, false), lyrics2 = Lyrics3v2();
  const std::string lyrics1 = "LYRICSBEGIN" + std::string(200, 'l') + "LYRICSEND";
  // An ID3v2 tag appended with header and footer: 10 + 40 + 10 bytes.
  const std::string id3v2 = "ID3" + std::string(7, '\0') + std::string(40, 't') + Id3v2Footer(40);
  struct TCase {
    const char* what;
    std::string tail;
    uint64_t tags;
  } cases[] = {
      {"none", "", 0},
      {"ID3v1", Id3v1(), 128},
      {"APEv2 with header + ID3v1", apeHeader + Id3v1(), apeHeader.size() + 128},
      {"APEv2 without header + ID3v1", apeNoHeader + Id3v1(), apeNoHeader.size() + 128},
      {"APEv1 alone", apeV1, apeV1.size()},
      {"ID3v2 footer", id3v2, id3v2.size()},
      {"Lyrics3 v2 + ID3v1", lyrics2 + Id3v1(), lyrics2.size() + 128},
      {"Lyrics3 v1 + ID3v1", lyrics1 + Id3v1(), lyrics1.size() + 128},
      {"APE + Lyrics3 v2 + ID3v1", apeHeader + lyrics2 + Id3v1(),
       apeHeader.size() + lyrics2.size() + 128},
      {"Lyrics3 v2 + APE", lyrics2 + apeNoHeader, lyrics2.size() + apeNoHeader.size()},
      // Claims beyond the file are ignored.
      {"APE claiming more than the file", Ape(2000, true, 1u << 30) + Id3v1(), 128},
      {"ID3v2 footer claiming more than the file", Id3v2Footer(1u << 27), 0},
      {"Lyrics3 v2 with a size that is no number", Lyrics3v2("12x456") + Id3v1(), 128},
      {"Lyrics3 v2 claiming more than the file", Lyrics3v2("999999") + Id3v1(), 128},
  };
  for (const TCase& c : cases) {
    TMemorySource source(audio + c.tail);
    EXPECT_EQ(MeasureTrailingTags(source), c.tags) << c.what;
  }
  // A file that is nothing but an ID3v1 tag, and one shorter than any tag.
  TMemorySource tagOnly(Id3v1());
  EXPECT_EQ(MeasureTrailingTags(tagOnly), 128u);
  TMemorySource tiny("TAG");
  EXPECT_EQ(MeasureTrailingTags(tiny), 0u);
}

// ffmpeg-made MP3 files with tags added by hand; a reference tool's count of tag bytes
// (leading ID3v2 + trailing tags) is stored beside each.
TEST(TrailingTags, AgreeWithTheReferenceOnMp3Files) {
  for (const char* name : {"tags_ape_id3v1", "tags_lyrics_ape_id3v1"}) {
    const std::string base = std::string(KAVRIX_FIXTURES) + "/audio/" + name;
    std::ifstream reference(base + ".streamsize");
    uint64_t streamSize = 0;
    ASSERT_TRUE(reference >> streamSize) << name;
    UpStreamPtr node = CreateSourceFiles({base + ".mp3"}, 0, 0, 1 << 20, false, 24000, 1001);
    ASSERT_TRUE(node && node->GetOk());
    auto* source = Query<ISourceFiles>(node);
    uint8_t head[10];
    ASSERT_TRUE(ReadSourceBytes(*source, 0, head, sizeof head));
    ASSERT_EQ(std::string(reinterpret_cast<char*>(head), 3), "ID3");
    const uint64_t leading =
        10 + (uint64_t(head[6]) << 21 | uint64_t(head[7]) << 14 | uint64_t(head[8]) << 7 | head[9]);
    EXPECT_EQ(leading + MeasureTrailingTags(*source), streamSize) << name;
  }
}

TEST(TrailingTags, ReadingLoopsOverFileJoins) {
  std::string data(2000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
  TMemorySource source(data);
  std::string out(1500, '\0');
  ASSERT_TRUE(ReadSourceBytes(source, 300, reinterpret_cast<uint8_t*>(out.data()), out.size()));
  EXPECT_EQ(out, data.substr(300, 1500));
  EXPECT_FALSE(ReadSourceBytes(source, 1000, reinterpret_cast<uint8_t*>(out.data()), 1001));
}

// ---- console capture and hand-filled details ----

class AnalysisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetConsoleForTests();
    SetConsoleSink(
        [this](int, std::string_view bytes) {
          std::lock_guard<std::mutex> guard(lock_);
          out_.append(bytes);
        },
        false, false);
  }
  void TearDown() override { ResetConsoleForTests(); }

  std::mutex lock_;
  std::string out_;
};

std::shared_ptr<IAudioFormatDetails> Audio(const std::string& id, const std::string& name,
                                           bool verified = true, const std::string& language = "",
                                           const std::string& trackName = "") {
  UpStreamPtr node = CreatePassThrough();
  TAudioFormatParams p;
  p.verified = verified;
  p.formatId = id;
  p.displayName = name;
  p.channels = 6;
  p.sampleRate = 48000;
  p.bitrate = 448000;
  p.dialnorm = 27;
  node->SetAudioFormat(p);
  auto details = QueryShared<IAudioFormatDetails>(node);
  details->SetLanguage(language);
  details->SetTrackName(trackName);
  return details;
}

std::shared_ptr<IVideoFormatDetails> Video(const std::string& id, const std::string& name,
                                           uint32_t rate, uint32_t divisor, bool verified = true,
                                           const std::string& flags = "") {
  UpStreamPtr node = CreatePassThrough();
  TVideoFormatParams p;
  p.verified = verified;
  p.formatId = id;
  p.displayName = name;
  p.width = 1920;
  p.height = 1080;
  p.aspectX = 16;
  p.aspectY = 9;
  p.frameRate = rate;
  p.frameRateDivisor = divisor;
  p.videoFlags = flags;
  node->SetVideoFormat(p);
  return QueryShared<IVideoFormatDetails>(node);
}

std::shared_ptr<ISubtitleFormatDetails> Subtitle(const std::string& id, const std::string& name,
                                                 const std::string& language = "") {
  UpStreamPtr node = CreatePassThrough();
  node->SetSubtitleFormat({true, id, name, ""});
  auto details = QueryShared<ISubtitleFormatDetails>(node);
  details->SetLanguage(language);
  return details;
}

struct TContainer {
  UpStreamPtr node = CreatePassThrough();
  TContainerDetails& c = *Query<TContainerDetails>(node);
  TSourceAnalysis Analysis() {
    TSourceAnalysis a;
    a.container = QueryShared<IContainerInfo>(node);
    return a;
  }
};

// An M2TS title: h264 video, three audio tracks (one failed), two subtitles.
TContainer Movie() {
  TContainer m;
  m.c.SetContainerInfo("m2ts", "M2TS", 5000, 0);
  m.c.AddVideoTrack(0x1011, *Video("h264", "h264/AVC", 24000, 1001), 417083, 0);
  m.c.AddAudioTrack(0x1100, *Audio("ac3", "AC3", true, "eng"), 0);
  m.c.AddAudioTrack(0x1101, *Audio("thd/ac3", "TrueHD/AC3", true, "ger", "Director w/ Crew"), 120);
  m.c.AddAudioTrack(0x1102, *Audio("ts/pcm", "?", false, "qqq"), std::nullopt);
  m.c.AddSubtitleTrack(0x1200, *Subtitle("sup", "PGS", "fre"), std::nullopt);
  m.c.AddSubtitleTrack(0x1201, *Subtitle("srt/utf8", "SRT \"UTF-8\""), std::nullopt);
  return m;
}

TEST(FailedTracks, RunsAndJoinWords) {
  struct TCase {
    std::vector<uint32_t> tracks;
    const char* text;
  } cases[] = {
      {{2, 3, 4, 6, 7}, "Bitstream parsing for tracks 2-4, 6 and 7 failed."},
      {{2, 3, 4, 6, 8}, "Bitstream parsing for tracks 2-4, 6 and 8 failed."},
      {{5}, "Bitstream parsing for track 5 failed."},
      {{3, 4}, "Bitstream parsing for tracks 3 and 4 failed."},
      {{1, 2, 3, 4, 5}, "Bitstream parsing for tracks 1-5 failed."},
      {{9, 1, 3}, "Bitstream parsing for tracks 1, 3 and 9 failed."},
  };
  for (const TCase& c : cases) EXPECT_EQ(FailedTracksText(c.tracks), c.text);
}

TEST(Listing, FrameRateTextsAndLanguageNames) {
  EXPECT_EQ(FrameRateText(23976, false, false, 1001), "23.976p");
  EXPECT_EQ(FrameRateText(25000, true, false, 1000), "50i");
  EXPECT_EQ(FrameRateText(29970, true, true, 1001), "29.970p");
  EXPECT_EQ(FrameRateText(24000, false, false, 1001), "24p /1.001");
  EXPECT_EQ(FrameRateText(24000, false, false, 1000), "24p");
  EXPECT_EQ(LanguageName("ger"), "German");
  EXPECT_EQ(LanguageName("DEU"), "German");
  EXPECT_EQ(LanguageName("zho"), "Chinese");
  EXPECT_EQ(LanguageName("QQQ"), "qqq");
  EXPECT_EQ(ChapterSummary("CHAPTER01=00:00:00.000\r\nCHAPTER01NAME=Intro\r\n"
                           "CHAPTER02=00:05:00.000\r\nCHAPTER02NAME=\r\n"),
            "Chapters, 2 chapters with names");
  EXPECT_EQ(ChapterSummary("CHAPTER01=00:00:00.000\r\nCHAPTER01NAME=\r\n"), "Chapters, 1 chapters");
  EXPECT_EQ(TrackLineText("AC3, 5.1 channels\r\n(AC3, 2.0 channels)", "eng", true, -40),
            "AC3, English, 5.1 channels, -40ms\r\n(AC3, 2.0 channels)");
  EXPECT_EQ(TrackLineText("PGS", "fre", true, 120), "PGS, French, 120ms");
}

TEST_F(AnalysisTest, ContainerListing) {
  TContainer m = Movie();
  m.c.SetContainerTexts("Movie", "Title 1", "00800.mpls");
  TSourceAnalysis a = m.Analysis();
  TOptions options;
  options.Sources = {"/data/00001.m2ts"};
  ListContainerSource(options, a);
  EXPECT_EQ(out_,
            "M2TS, 1 video track, 3 audio tracks, 2 subtitle tracks, 0:00:05, 23.976p\n"
            "\"Movie\", Title 1 (00800.mpls)\n"
            "1: h264/AVC, 1080p24 /1.001 (16:9)\n"
            "2: AC3, English, 5.1 channels, 448kbps, 48kHz, dialnorm: -27dB\n"
            "3: TrueHD/AC3, German, 5.1 channels, 48kHz, dialnorm: -27dB, 120ms\n"
            "   \"Director w/ Crew\"\n"
            "4: Unknown audio track, qqq, unknown parameters\n"
            "5: PGS, French\n"
            "6: SRT \"UTF-8\"\n"
            "Bitstream parsing for track 4 failed.\n"
            "Demuxing this track may still produce correct results - or not.\n");
  EXPECT_EQ(a.LeadingEntries, 0u);
  EXPECT_EQ(a.VideoRate, 23976u);
  EXPECT_EQ(a.FailedTracks, std::vector<uint32_t>{4});
}

TEST_F(AnalysisTest, JoinedVobWithoutVideoCountsDelaysFromTheEarliestAudio) {
  TContainer m;
  m.c.SetContainerInfo("evo", "VOB", 0, 0);
  m.c.AddAudioTrack(0x80, *Audio("ac3", "AC3"), 80);
  m.c.AddAudioTrack(0x81, *Audio("ac3", "AC3"), 200);
  TSourceAnalysis a = m.Analysis();
  a.ChapterText = "CHAPTER01=00:00:00.000\r\nCHAPTER01NAME=\r\n";
  TOptions options;
  options.Sources = {"a.vob", "b.vob"};
  ListContainerSource(options, a);
  EXPECT_EQ(out_,
            "VOB, 2 audio tracks\n"
            "1: Joined VOB file\n"
            "2: Chapters, 1 chapters\n"
            "3: AC3, 5.1 channels, 448kbps, 48kHz, dialnorm: -27dB\n"
            "4: AC3, 5.1 channels, 448kbps, 48kHz, dialnorm: -27dB, 120ms\n");
  EXPECT_EQ(a.LeadingEntries, 2u);
}

TEST_F(AnalysisTest, VideoWarnings) {
  TContainer m;
  m.c.SetContainerInfo("m2ts", "M2TS", 0, 0);
  // 24 fps without 1001 at 25 fps time stamps, full range.
  m.c.AddVideoTrack(0x1011, *Video("h264", "h264/AVC", 24000, 1000, true, "fullrange"), 400000,
                    std::nullopt);
  m.c.AddVideoTrack(0x1012, *Video("mpeg2", "MPEG2", 0, 0), 0, std::nullopt);
  TSourceAnalysis a = m.Analysis();
  ListContainerSource(TOptions{}, a);
  EXPECT_NE(out_.find("[v1] The video bitstream framerate field doesn't seem to match the "
                      "timestamps.\n[v1] The video framerate is correct, but rather unusual.\n"
                      "[v1] The video track contains the (probably incorrect) \"full range\" "
                      "flag.\n[v2] The video track doesn't contain framerate information.\n"),
            std::string::npos)
      << out_;
  EXPECT_EQ(a.VideoRate, 24000u);
}

TEST_F(AnalysisTest, ElementaryVideoRateWithoutDivisorIsZero) {
  TSourceAnalysis a;
  a.video = Video("h264", "h264/AVC", 0, 0);
  EXPECT_TRUE(DescribeElementarySource(TOptions{}, a));
  EXPECT_EQ(a.VideoRate, 0u);
  EXPECT_EQ(out_,
            "h264/AVC, 1080p (16:9)\nThe video track doesn't contain framerate information.\n");
}

TEST_F(AnalysisTest, UndetectedSourceIsAnErrorAndRawNamesTryTheFallback) {
  TSourceAnalysis a;
  TOptions options;
  options.Sources = {"/x/movie.bin"};
  EXPECT_FALSE(DescribeElementarySource(options, a));
  EXPECT_EQ(out_, "The format of the source file could not be detected.\n");
  out_.clear();
  options.Sources = {"/x/track_PCM.bin"};
  EXPECT_FALSE(DescribeElementarySource(options, a));
  EXPECT_EQ(out_,
            "This might be a RAW/PCM file. Trying to figure out the details.\n"
            "This will probably take a while. Please be patient...\n"
            "The format of the source file could not be detected.\n");
}

// ---- destinations ----

TEST(Demux, NamesAndExtensions) {
  TContainer m = Movie();
  TSourceAnalysis a = m.Analysis();
  a.VideoRate = 23976;
  TOptions options;
  options.Sources = {"/data/disc.one/00001.m2ts"};
  TAction first;
  first.FileName = std::string(kGlobalOptionsName);
  first.Delay = 100;
  options.Actions = {first};
  options.Demux = true;
  const TAction templateAction = options.Actions[0];
  AddCheckDestinations(options, a);
  AddDemuxDestinations(options, a, templateAction);
  std::vector<std::string> names;
  for (const TAction& d : options.Actions) names.push_back(d.FileName);
  const std::string base = "/data/disc.one/00001";
  EXPECT_EQ(names, (std::vector<std::string>{
                       base + " - 1 - h264, 1080p24.h264",
                       base + " - 2 - AC3, 5.1 channels, 448kbps, 48kHz, English.ac3",
                       base + " - 3 - TrueHD+AC3, 5.1 channels, 48kHz, German, 'Director w- "
                              "Crew'.thd+ac3",
                       base + " - 4 - Unknown audio track, unknown parameters, qqq.pcm",
                       base + " - 5 - PGS, French.sup",
                       base + " - 6 - SRT 'UTF-8'.srt",
                   }));
  for (size_t i = 0; i < options.Actions.size(); ++i) {
    EXPECT_EQ(options.Actions[i].TrackNumber, i + 1);
    EXPECT_EQ(options.Actions[i].Delay, 100);
  }
  EXPECT_EQ(options.Actions[1].SourceFps, 23976u);

  // A speed change turns lossless audio into FLAC and the rest into AC3.
  TListedTrack pcm{TTrackKind::kAudio, 4, 0, "ts/pcm", "?", "", "", false, nullptr};
  EXPECT_EQ(TrackExtension(pcm, true), ".flac");
  TListedTrack dts{TTrackKind::kAudio, 4, 0, "dts", "DTS", "", "", true, nullptr};
  EXPECT_EQ(TrackExtension(dts, true), ".ac3");
  TListedTrack video{TTrackKind::kVideo, 1, 0, "mpeg2", "MPEG2, 576i25", "", "", true, nullptr};
  EXPECT_EQ(TrackExtension(video, false), ".m2v");
  video.formatId = "?";
  EXPECT_EQ(TrackExtension(video, false), ".unknownVideo");
  video.description = "h264/MVC (right eye), 1080p24 /1.001 (16:9)";
  EXPECT_EQ(CleanedDescription(video), "h264 (right eye), 1080p24");
}

TEST(CheckDestinations, ContainerAndElementary) {
  TContainer m = Movie();
  TSourceAnalysis a = m.Analysis();
  TOptions options;
  options.Check = true;
  options.AnalyzeBitdepth = true;
  TAction first;
  first.FileName = std::string(kGlobalOptionsName);
  first.RemoveDialnorm = true;
  options.Actions = {first};
  AddCheckDestinations(options, a);
  std::vector<std::string> got;
  for (const TAction& d : options.Actions)
    got.push_back(std::to_string(d.TrackNumber) + " " + d.FileName);
  EXPECT_EQ(got, (std::vector<std::string>{"1 %check%.h264", "2 %check%.ac3", "3 %check%.thd+ac3",
                                           "5 %check%.sup", "6 %check%.srt", "3 %check%.raw"}));
  EXPECT_TRUE(options.Actions[0].KeepPulldown);
  EXPECT_TRUE(options.Actions[1].DontPatchDts);
  EXPECT_FALSE(options.Actions[1].RemoveDialnorm);
  EXPECT_TRUE(options.Actions[5].AnalyzeBitdepth);

  // Elementary: the check destination and every destination without a number get track 1.
  TSourceAnalysis e;
  e.audio = Audio("eac3", "E-AC3");
  TOptions single;
  single.Check = true;
  single.Actions.emplace_back().FileName = "out.wav";
  AddCheckDestinations(single, e);
  ASSERT_EQ(single.Actions.size(), 2u);
  EXPECT_EQ(single.Actions[0].TrackNumber, 1u);
  EXPECT_EQ(single.Actions[1].FileName, "%check%.eac3");
  EXPECT_EQ(single.Actions[1].TrackNumber, 1u);
}

TEST_F(AnalysisTest, AssignmentByExtension) {
  TContainer m = Movie();
  m.c.AddAudioTrack(0x1103, *Audio("eac3", "E-AC3"), std::nullopt);  // track 5
  TSourceAnalysis a = m.Analysis();
  struct TCase {
    const char* name;
    uint32_t track;  // 0: the error
    const char* message;
  } cases[] = {
      {"/out/a.ac3", 2, "Track 2 is used for destination file \"a.ac3\".\n"},
      {"/out/A.EAC3", 5, "Track 5 is used for destination file \"A.EAC3\".\n"},
      {"/out/a.thd", 3, "Track 3 is used for destination file \"a.thd\".\n"},
      {"a.flac", 2, "Track 2 is used for destination file \"a.flac\".\n"},  // no "thd"
      {"a.dts", 2, "Track 2 is used for destination file \"a.dts\".\n"},
      {"a.xyz", 2, "Track 2 is used for destination file \"a.xyz\".\n"},
      {"a.sup", 6, "Track 6 is used for destination file \"a.sup\".\n"},
      {"a.srt", 7, "Track 7 is used for destination file \"a.srt\".\n"},
      {"v.mkv", 1, ""},
      {"a.mp2", 0, "The source file doesn't contain any MP2 tracks.\n"},
      {"a.mlp", 0, "The source file doesn't contain any MLP tracks.\n"},
      {"a.dtsma", 0, "The source file doesn't contain any DTS Master Audio tracks.\n"},
      {"a.dtshr", 0, "The source file doesn't contain any DTS Hi-Res tracks.\n"},
      {"a.dtshd", 0, "The source file doesn't contain any DTS-HD tracks.\n"},
      {"a.ass", 0, "The source file doesn't contain any subtitle tracks in this format.\n"},
      {"a.txt", 0, "Didn't find chapter information for this source.\n"},
      {"a.evo", 0, "There's only one source file, so rebuilding doesn't make sense.\n"},
  };
  for (const TCase& c : cases) {
    out_.clear();
    TOptions options;
    options.Sources = {"in.m2ts"};
    options.Actions.emplace_back().FileName = c.name;
    EXPECT_EQ(AssignTracks(options, a), c.track != 0) << c.name;
    EXPECT_EQ(options.Actions[0].TrackNumber, c.track) << c.name;
    EXPECT_EQ(out_, c.message) << c.name;
  }
  TOptions joined;
  joined.Sources = {"a.m2ts", "b.m2ts"};
  joined.Actions.emplace_back().FileName = "x.vob";
  out_.clear();
  EXPECT_FALSE(AssignTracks(joined, a));
  EXPECT_EQ(out_, "This container conversion is not supported.\n");

  // Video names: "movie.*" is composed, other names get the track's extension.
  TOptions video;
  video.Actions.emplace_back().FileName = "/out/movie.*";
  video.Actions.emplace_back().FileName = "/out/movie.vc1";
  EXPECT_TRUE(AssignTracks(video, a));
  EXPECT_EQ(video.Actions[0].FileName, "/out/movie - 1 - h264, 1080p24.h264");
  EXPECT_EQ(video.Actions[1].FileName, "/out/movie.h264");

  // Without tracks of a kind.
  TContainer empty;
  empty.c.SetContainerInfo("mkv", "MKA", 0, 0);
  TSourceAnalysis none = empty.Analysis();
  for (auto [name, text] : {std::pair{"a.h264",
                                      "The source file doesn't contain any valid video "
                                      "tracks.\n"},
                            std::pair{"a.sup",
                                      "The source file doesn't contain any subtitle "
                                      "tracks.\n"},
                            std::pair{"a.ac3",
                                      "The source file doesn't contain any audio "
                                      "tracks.\n"}}) {
    out_.clear();
    TOptions options;
    options.Actions.emplace_back().FileName = name;
    EXPECT_FALSE(AssignTracks(options, none));
    EXPECT_EQ(out_, text);
  }
}

// ---- damaged start ----

TEST(DamagedStart, PatternAndStartCheck) {
  const std::string ts = DamagePattern(400, 188);
  EXPECT_EQ(ts[0], '\x47');
  EXPECT_EQ(ts[188], '\x47');
  EXPECT_EQ(std::count(ts.begin(), ts.end(), '\x47'), 3);
  const std::string m2ts = DamagePattern(400, 192);
  EXPECT_EQ(m2ts.substr(0, 5), std::string("\0\0\0\0\x47", 5));
  EXPECT_EQ(m2ts[196], '\x47');
  EXPECT_EQ(std::count(m2ts.begin(), m2ts.end(), '\x47'), 3);  // at 4, 196 and 388

  std::string garbage(3000, '\x11');
  EXPECT_TRUE(
      IsDamagedStart(reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size(), 188));
  const std::string good = DamagePattern(3000, 192);
  EXPECT_FALSE(IsDamagedStart(reinterpret_cast<const uint8_t*>(good.data()), good.size(), 192));
}

class DamageTest : public AnalysisTest {
 protected:
  void SetUp() override {
    AnalysisTest::SetUp();
    dir_ = fs::temp_directory_path() /
           ("kvdamage_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(file_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
    AnalysisTest::TearDown();
  }
  // A 100 kB file of garbage; the container says 3,000 damaged bytes after the skip.
  TSourceAnalysis Damaged(const std::string& id, uint64_t skip) {
    file_ = (dir_ / "in.m2ts").string();
    std::ofstream(file_, std::ios::binary) << std::string(100000, '\x11');
    container_.c.SetContainerInfo(id, "M2TS", 0, 0);
    container_.c.SetDamagePosition(3000);
    TSourceAnalysis a = container_.Analysis();
    a.totalSize = 100000 - skip;
    a.firstFileSize = 100000 - skip;
    return a;
  }
  std::string Contents() {
    std::ifstream in(file_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
  std::string file_;
  TContainer container_;
};

TEST_F(DamageTest, FixWritesTheM2tsPatternAfterTheSkip) {
  TSourceAnalysis a = Damaged("m2ts", 500);
  TOptions options;
  options.Sources = {file_};
  options.SkipBytes = 500;
  options.Fix = true;
  ASSERT_TRUE(HandleDamagedStart(options, a));
  EXPECT_EQ(out_, "Fixed first 3000 bytes of damaged source file...\n");
  const std::string bytes = Contents();
  ASSERT_EQ(bytes.size(), 100000u);
  EXPECT_EQ(bytes.substr(0, 500), std::string(500, '\x11'));
  EXPECT_EQ(bytes.substr(500, 3000), DamagePattern(3000, 192));
  EXPECT_EQ(bytes.substr(3500), std::string(96500, '\x11'));
  EXPECT_EQ(options.SkipBytes, 500u);
}

TEST_F(DamageTest, WithoutFixOrWritableFileTheStartIsSkipped) {
  const std::string skipText =
      "Skipping 3000 bytes to work around damaged source file...\n"
      "Hint: You can use the option \"-fix\" to clean up the damage.\n";
  TSourceAnalysis a = Damaged("ts", 0);
  TOptions options;
  options.Sources = {file_};
  ASSERT_TRUE(HandleDamagedStart(options, a));
  EXPECT_EQ(out_, skipText);
  EXPECT_EQ(options.SkipBytes, 3000u);
  EXPECT_EQ(Contents(), std::string(100000, '\x11'));

  // -fix on a file that cannot be written.
  out_.clear();
  TSourceAnalysis b = Damaged("ts", 0);
  fs::permissions(file_, fs::perms::owner_read);
  TOptions readOnly;
  readOnly.Sources = {file_};
  readOnly.Fix = true;
  ASSERT_TRUE(HandleDamagedStart(readOnly, b));
  if (Contents() == std::string(100000, '\x11')) {  // root may write anyway
    EXPECT_EQ(out_, skipText);
    EXPECT_EQ(readOnly.SkipBytes, 3000u);
  }

  // -fix where the damaged region holds intact packets: a break, not a damaged start.
  out_.clear();
  TSourceAnalysis c = Damaged("ts", 0);
  fs::permissions(file_, fs::perms::owner_all);
  std::ofstream(file_, std::ios::binary) << DamagePattern(3000, 188) << std::string(97000, '\x11');
  TOptions intact;
  intact.Sources = {file_};
  intact.Fix = true;
  ASSERT_TRUE(HandleDamagedStart(intact, c));
  EXPECT_EQ(out_, skipText);
}

TEST_F(DamageTest, SmallOrLateDamageIsLeftAlone) {
  TSourceAnalysis a = Damaged("ts", 0);
  a.totalSize = 59999;  // 20 × 3,000 is not below the size
  TOptions options;
  options.Sources = {file_};
  ASSERT_TRUE(HandleDamagedStart(options, a));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(options.SkipBytes, 0u);
}

// ---- the whole analysis step on real files ----

TEST_F(AnalysisTest, Ac3FileIsDescribedAndDestinationsGetTrack1) {
  TOptions options;
  options.Sources = {std::string(KAVRIX_FIXTURES) + "/audio/ac3_51_448.ac3"};
  options.Actions.emplace_back().FileName = "out.wav";
  const TAnalysisResult r = AnalyseAndList(options);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.foundSomething);
  ASSERT_TRUE(r.analysis && r.analysis->audio);
  EXPECT_EQ(r.analysis->totalSize, fs::file_size(options.Sources[0]));
  EXPECT_EQ(out_, "AC3, 5.1 channels, 0:00:02, 448kbps, 48kHz, dialnorm: -27dB\n");
  EXPECT_EQ(options.Actions[0].TrackNumber, 1u);
}

}  // namespace
}  // namespace kavrix
