// One pass of a run: which chain each destination of a container gets (demultiplexers,
// labels, subtitle chains and refusals, the Matroska muxing form with its gap description
// file), the timing chains of the video tracks, the source's parameters, and the second pass
// over a first-pass file. Nodes come from a recording factory; containers are filled by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/kavrix_mod_analysis.h"
#include "app/kavrix_mod_run.h"
#include "core/voxUpStream.h"
#include "recording_factory.h"
#include "test_support.h"

namespace kavrix {
namespace {

using Records = std::vector<std::string>;

// A source that the pass calls once and that does nothing.
class TIdleSource final : public TPassThrough {
 public:
  bool ProcessData(TKey, bool, const uint8_t*, size_t, int64_t, bool) override { return true; }
};

// The end of a chain: takes everything (or fails on data when its name says so).
class TRecordedSink final : public TPassThrough {
 public:
  TRecordedSink(std::string record, bool failing) : record_(std::move(record)), failing_(failing) {}
  bool OpenAudio(const std::string&, uint32_t, uint32_t, uint32_t, uint32_t, bool,
                 uint64_t) override {
    return true;
  }
  bool OpenVideo(const TVideoAnnouncement&) override { return true; }
  bool OpenSubtitle(const std::string&) override { return true; }
  bool OpenContainer(const std::string&, const std::string&, uint64_t, uint64_t) override {
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t*, size_t size, int64_t, bool) override {
    if (failing_ && size > 0) return Fail("The test sink failed.");
    return true;
  }
  bool Finish(TKey) override { return GetOk(); }
  const std::string& Record() const { return record_; }

 private:
  std::string record_;
  bool failing_;
};

// Records every creation; sources are idle (or real ones, for the first-pass file), the
// format detector is real, and destination files and file simulators are sinks.
class TPassFactory final : public TNodeFactory {
 public:
  Records records;
  bool realSources = false;
  UpStreamPtr source;  // the last source created
  uint32_t frames = 0, fields = 0;

 protected:
  UpStreamPtr Make(const std::string& record, const std::function<UpStreamPtr()>& create) override {
    records.push_back(record);
    const auto starts = [&](const char* name) { return record.rfind(name, 0) == 0; };
    if (starts("TSourceFiles")) {
      source = realSources ? create() : std::make_shared<TIdleSource>();
      return source;
    }
    if (starts("TFormatDetector")) return create();
    if (starts("TDestFile") || starts("TFileSimulator"))
      return std::make_shared<TRecordedSink>(record, record.find("fail") != std::string::npos);
    auto node = std::make_shared<test::TRecordedNode>(record);
    if (starts("Th264Reader")) node->SetVideoCounts(frames, fields);
    return node;
  }
};

Records Chain(const UpStreamPtr& head) {
  Records out;
  for (UpStreamPtr node = head; node;
       node = node->GetUpstreamCount() ? node->GetUpstream(0) : nullptr) {
    if (auto* r = dynamic_cast<test::TRecordedNode*>(node.get())) out.push_back(r->Record());
    if (auto* s = dynamic_cast<TRecordedSink*>(node.get())) out.push_back(s->Record());
  }
  return out;
}

std::string Dest(const std::string& name) {
  return "TDestFile(name=\"" + name + "\", result=0, fixed=0, header=0, trailer=0)";
}

std::shared_ptr<IAudioFormatDetails> Audio(const std::string& id, bool verified = true) {
  UpStreamPtr node = CreatePassThrough();
  TAudioFormatParams p;
  p.verified = verified;
  p.formatId = id;
  p.displayName = id;
  p.channels = 2;
  p.bits = 16;
  p.sampleRate = 48000;
  node->SetAudioFormat(p);
  return QueryShared<IAudioFormatDetails>(node);
}

std::shared_ptr<IVideoFormatDetails> Video(const std::string& id, bool verified,
                                           uint32_t rate = 24000, uint32_t divisor = 1001,
                                           bool interlaced = false) {
  UpStreamPtr node = CreatePassThrough();
  TVideoFormatParams p;
  p.verified = verified;
  p.formatId = id;
  p.displayName = id;
  p.width = 1920;
  p.height = 1080;
  p.frameRate = rate;
  p.frameRateDivisor = divisor;
  p.interlaced = interlaced;
  node->SetVideoFormat(p);
  return QueryShared<IVideoFormatDetails>(node);
}

std::shared_ptr<ISubtitleFormatDetails> Subtitle(const std::string& id) {
  UpStreamPtr node = CreatePassThrough();
  node->SetSubtitleFormat({true, id, id, ""});
  return QueryShared<ISubtitleFormatDetails>(node);
}

constexpr int64_t kFrame23976 = 417084;  // 100 ns units

// A container whose tracks are, in listing order: 1 video, 2 audio, 3 subtitle (optional).
struct TContainer {
  UpStreamPtr node = CreatePassThrough();
  TContainerDetails& c = *Query<TContainerDetails>(node);
  TSourceAnalysis analysis;

  explicit TContainer(const std::string& id) {
    c.SetContainerInfo(id, id, 5000, 0);
    analysis.container = QueryShared<IContainerInfo>(node);
  }
};

class RunPassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state.factory = &factory;
    options.Sources = {"/nowhere/source"};
  }
  void AddAction(uint32_t track, const std::string& name) {
    TAction a;
    a.TrackNumber = track;
    a.FileName = name;
    options.Actions.push_back(a);
  }
  bool Run(TSourceAnalysis& analysis) { return RunPass(state, options, analysis, counts); }
  // The chain below the source at position i (destinations first, then timing chains).
  Records ChainAt(size_t i) {
    if (!factory.source || i >= factory.source->GetUpstreamCount()) return {};
    return Chain(factory.source->GetUpstream(i));
  }
  size_t Heads() { return factory.source ? factory.source->GetUpstreamCount() : 0; }

  test::TConsoleCapture console;
  TPassFactory factory;
  TRunState state;
  TOptions options;
  TPassCounts counts;
};

// ---- demultiplexers, labels and timing chains ----

TEST_F(RunPassTest, DemuxerPerContainerId) {
  struct TCase {
    std::string container;
    Records demuxer;  // for the video track (id 0xE0, track 1)
  };
  const std::vector<TCase> cases = {
      {"evo", {"TEvoDemuxer(id=224)"}},
      {"vob", {"TEvoDemuxer(id=224)"}},
      {"ts", {"TTsDemuxer(pid=224, track=1, trp=0)", "TPesParser(raw=0, zeroStart=1, subtitle=0)"}},
      {"trp",
       {"TTsDemuxer(pid=224, track=1, trp=1)", "TPesParser(raw=0, zeroStart=1, subtitle=0)"}},
      {"m2ts",
       {"TTsDemuxer(pid=224, track=1, trp=0)", "TPesParser(raw=0, zeroStart=1, subtitle=0)"}},
      {"mkv", {"TMkvDemuxer(track=224)", "TMkvRepairer"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.container);
    factory.records.clear();
    options.Actions.clear();
    TContainer m(c.container);
    // Not parsed: the track is copied unchanged, and its timing chain has no reader.
    m.c.AddVideoTrack(0xE0, *Video("mpeg2", false), kFrame23976, 0);
    AddAction(1, "video.m2v");
    ASSERT_TRUE(Run(m.analysis));
    ASSERT_EQ(Heads(), 2u);
    Records chain = {"TPassThrough"};
    chain.insert(chain.end(), c.demuxer.begin(), c.demuxer.end());
    chain.push_back(Dest("video.m2v"));
    EXPECT_EQ(ChainAt(0), chain);
    Records timing = c.demuxer;
    timing.push_back("TFileSimulator");
    EXPECT_EQ(ChainAt(1), timing);
    EXPECT_EQ(options.Actions[0].Label, "v01");
  }

  // Any other container cannot be demultiplexed.
  options.Actions.clear();
  TContainer other("avi");
  other.c.AddVideoTrack(0xE0, *Video("mpeg2", false), kFrame23976, 0);
  AddAction(1, "video.m2v");
  EXPECT_FALSE(Run(other.analysis));
  EXPECT_NE(console.Text().find("[v01] Unknown container."), std::string::npos) << console.Text();
}

TEST_F(RunPassTest, PcmTracksGetTheContainersPcmReaderAndTheGapsOnlyInTheFirstPass) {
  for (const std::string id : {"evo", "m2ts"}) {
    for (const bool firstPass : {true, false}) {
      SCOPED_TRACE(id + (firstPass ? " first" : " second"));
      factory.records.clear();
      options.Actions.clear();
      state.FirstPass = firstPass;
      TContainer m(id);
      m.c.AddAudioTrack(0xA0, *Audio("pcm"), std::nullopt);
      AddAction(1, "audio.wav");
      options.Actions[0].TwoPass = !firstPass;
      Run(m.analysis);
      Records chain = ChainAt(0);
      ASSERT_GE(chain.size(), 4u) << ::testing::PrintToString(chain);
      const bool evo = id == "evo";
      const Records head =
          evo ? Records{"TPassThrough", "TEvoDemuxer(id=160)", "TEvoPcmReader"}
              : Records{"TPassThrough", "TTsDemuxer(pid=160, track=1, trp=0)",
                        "TPesParser(raw=0, zeroStart=1, subtitle=0)", "TTsPcmReader"};
      EXPECT_EQ(Records(chain.begin(), chain.begin() + long(head.size())), head);
      const bool fixer =
          chain.size() > head.size() && chain[head.size()] == "TTimestampFixer(gaps=1)";
      EXPECT_EQ(fixer, firstPass);
      EXPECT_EQ(options.Actions[0].Label, "a01");
    }
  }
}

TEST_F(RunPassTest, LabelsTimingChainAndSourceParameters) {
  TContainer m("m2ts");
  m.c.AddVideoTrack(0x1011, *Video("h264", true, 60000, 1001, true), kFrame23976, 0);
  m.c.AddAudioTrack(0x1100, *Audio("ac3"), 0);
  m.c.AddSubtitleTrack(0x1200, *Subtitle("sup"), std::nullopt);
  m.analysis.LeadingEntries = 1;  // a chapter entry in front
  m.analysis.ChapterText = "CHAPTER01=00:00:00.000\nCHAPTER01NAME=One\n";
  options.SizeLimitMb = 3;
  options.Playlist = true;
  AddAction(4, "subs.sup");
  AddAction(2, "video.h264");
  AddAction(1, "chapters.txt");
  factory.frames = 1234;
  factory.fields = 56;
  ASSERT_TRUE(Run(m.analysis)) << console.Text();

  // Interlaced 59.94 fields: the source gets the frame rate, half the field rate.
  EXPECT_NE(std::find(factory.records.begin(), factory.records.end(),
                      "TSourceFiles(files=1, skip=0, cut=0, limit=3145728, playlist=1, "
                      "rate=30000, div=1001)"),
            factory.records.end());
  ASSERT_EQ(Heads(), 4u);
  EXPECT_EQ(ChainAt(0), (Records{"TPassThrough", "TTsDemuxer(pid=4608, track=4, trp=0)",
                                 "TPesParser(raw=0, zeroStart=1, subtitle=0)", "TM2tsPgsReader",
                                 "TSupReader(counts=1)", Dest("subs.sup")}));
  EXPECT_EQ(ChainAt(1),
            (Records{"TPassThrough", "TTsDemuxer(pid=4113, track=2, trp=0)",
                     "TPesParser(raw=0, zeroStart=1, subtitle=0)",
                     "Th264Reader(rate=23976, gaps=0, strip=0, keep=0)", Dest("video.h264")}));
  EXPECT_EQ(ChainAt(2),
            (Records{"TPassThrough", "TDestFile(name=\"chapters.txt\", result=0, fixed=" +
                                         std::to_string(m.analysis.ChapterText.size()) +
                                         ", header=0, trailer=0)"}));
  EXPECT_EQ(
      ChainAt(3),
      (Records{"TTsDemuxer(pid=4113, track=2, trp=0)", "TPesParser(raw=0, zeroStart=1, subtitle=0)",
               "Th264Reader(rate=23976, gaps=0, strip=0, keep=0)", "TFileSimulator"}));
  EXPECT_EQ(options.Actions[0].Label, "s04");
  EXPECT_EQ(options.Actions[1].Label, "v02");
  EXPECT_EQ(options.Actions[2].Label, "");
  // The timing chain's reader counted the frames; the pass did not fail.
  ASSERT_EQ(counts.video.size(), 1u);
  EXPECT_EQ(counts.video[0].trackNumber, 2u);
  EXPECT_EQ(counts.video[0].frames, 1234u);
  EXPECT_EQ(counts.video[0].fields, 56u);
  EXPECT_EQ(counts.abortedAt, -1);
  ASSERT_EQ(counts.captions.size(), 3u);

  // A message through a chain head carries the label.
  factory.source->GetUpstream(1)->ShowMessage(kMsgNormal, "hello");
  EXPECT_NE(console.Text().find("[v02] hello"), std::string::npos);
}

TEST_F(RunPassTest, ElementarySourcesHaveNoLabelAndTheTagsAreCutOff) {
  TSourceAnalysis a;
  a.audio = Audio("mp3");
  a.audio->SetAuxText5(std::string(128, 'T'));
  AddAction(1, "out.mp3");
  Run(a);
  EXPECT_EQ(options.Actions[0].Label, "");
  EXPECT_EQ(
      factory.records.back().rfind("TSourceFiles(files=1, skip=0, cut=128, limit=0, playlist=0, "
                                   "rate=24000, div=1001)",
                                   0),
      0u)
      << factory.records.back();

  // An elementary video source: the timing chain starts with a pass-through.
  factory.records.clear();
  options.Actions.clear();
  TSourceAnalysis v;
  v.video = Video("vc1", true, 25000, 1000);
  AddAction(1, "out.vc1");
  options.Actions[0].StripPulldown = true;
  ASSERT_TRUE(Run(v)) << console.Text();
  ASSERT_EQ(Heads(), 2u);
  EXPECT_EQ(ChainAt(0), (Records{"TPassThrough", "TVc1Reader(rate=25000, gaps=0)",
                                 "TVc1BitstreamEditor", Dest("out.vc1")}));
  EXPECT_EQ(ChainAt(1),
            (Records{"TPassThrough", "TVc1Reader(rate=25000, gaps=0)", "TFileSimulator"}));
}

// ---- subtitles ----

TEST_F(RunPassTest, SubtitleChainsAndRefusals) {
  struct TCase {
    std::string container, format;
    Records chain;        // after the head, without the destination file; empty = refused
    std::string refusal;  // the error
  };
  const std::string pes = "TPesParser(raw=0, zeroStart=1, subtitle=0)";
  const Records cc = {"TMpeg2Reader(rate=0, gaps=0, userData=1, strip=0)",
                      "TMpeg2UserDataExtractor", "TClosedCaptionDecoder"};
  auto with = [](Records a, const Records& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<TCase> cases = {
      {"mkv", "sup", {"TMkvDemuxer(track=5)", "TMkvRepairer", "TSupReader(counts=1)"}, ""},
      {"mkv", "srt/utf8", {"TMkvDemuxer(track=5)", "TMkvRepairer"}, ""},
      {"mkv", "ass", {"TMkvDemuxer(track=5)", "TMkvRepairer"}, ""},
      {"mkv", "vobsub", {}, "This subtitle format is not supported yet."},
      {"mkv", "dvbsub", {}, "DVB subtitles are not supported yet."},
      {"ts", "srt", with({"TTsDemuxer(pid=5, track=1, trp=0)", pes}, cc), ""},
      {"m2ts",
       "sup",
       {"TTsDemuxer(pid=5, track=1, trp=0)", pes, "TM2tsPgsReader", "TSupReader(counts=1)"},
       ""},
      {"ts", "dvbsub", {}, "DVB subtitles are not supported yet."},
      {"trp", "textst", {}, "Blu-Ray text subtitles are not supported yet."},
      {"m2ts", "ass", {}, "Blu-Ray text subtitles are not supported yet."},
      {"evo", "sup", {"TEvoDemuxer(id=5)", "TEvoSubReader", "TSupReader(counts=1)"}, ""},
      {"evo", "srt", with({"TEvoDemuxer(id=5)"}, cc), ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.container + " " + c.format);
    console.Clear();
    factory.source.reset();
    options.Actions.clear();
    TContainer m(c.container);
    m.c.AddSubtitleTrack(5, *Subtitle(c.format), std::nullopt);
    AddAction(1, "subs.out");
    options.Actions[0].Delay = 250;
    options.Actions[0].TwoPass = true;
    const bool ok = Run(m.analysis);
    EXPECT_FALSE(options.Actions[0].TwoPass);  // never in a second pass
    if (c.chain.empty()) {
      EXPECT_FALSE(ok);
      EXPECT_NE(console.Text().find("[s01] " + c.refusal), std::string::npos) << console.Text();
      EXPECT_EQ(factory.source, nullptr);  // nothing runs
      continue;
    }
    ASSERT_TRUE(ok) << console.Text();
    EXPECT_EQ(ChainAt(0), with(with({"TPassThrough"}, c.chain), {Dest("subs.out")}));
  }
}

// ---- the Matroska muxing form ----

TEST_F(RunPassTest, MuxingFormAndTheGapDescriptionFile) {
  test::TScratch scratch;
  const std::string mkv = scratch.Path("video.mkv");
  const Records muxed = {"TPassThrough",  "TMkvDemuxer(track=1)",
                         "TMkvRepairer",  "Th264Reader(rate=23976, gaps=1, strip=0, keep=0)",
                         "Th264Muxer",    "TMatroskaMuxer(name=\"" + mkv + "\")",
                         "TFileSimulator"};
  struct TCase {
    std::optional<size_t> gapsSize;  // none: no file
    bool ok;
    std::string message;
  };
  const std::vector<TCase> cases = {
      {std::nullopt, true, ""},
      {32, true, "Video gap description file detected, will be used for muxing..."},
      {0, false, "Video gap description file seems to be invalid."},
      {17, false, "Video gap description file seems to be invalid."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.gapsSize ? std::to_string(*c.gapsSize) : "none");
    console.Clear();
    factory.source.reset();
    options.Actions.clear();
    std::filesystem::remove(mkv + ".gaps");
    if (c.gapsSize) test::WriteBytes(mkv + ".gaps", test::Bytes(*c.gapsSize, 1));
    TContainer m("mkv");
    m.c.AddVideoTrack(1, *Video("h264", true), kFrame23976, 0);
    AddAction(1, mkv);
    EXPECT_EQ(Run(m.analysis), c.ok) << console.Text();
    if (!c.message.empty()) {
      EXPECT_NE(console.Text().find("[v01] " + c.message), std::string::npos) << console.Text();
    }
    if (!c.ok) continue;
    Records expected = muxed;
    if (!c.gapsSize) expected[3] = "Th264Reader(rate=23976, gaps=0, strip=0, keep=0)";
    EXPECT_EQ(ChainAt(0), expected);
  }

  // Formats that cannot be muxed, a track that was not parsed, an unknown frame rate.
  struct TRefusal {
    std::shared_ptr<IVideoFormatDetails> video;
    int64_t frameDuration;
    uint32_t sourceFps;
    std::string message;
  };
  const std::vector<TRefusal> refusals = {
      {Video("h265", true), kFrame23976, 0,
       "h265/HEVC video track muxing to MKV is currently not supported."},
      {Video("dirac", true), kFrame23976, 0,
       "DIRAC video track muxing to MKV is currently not supported."},
      {Video("h264", false), kFrame23976, 0, "Bitstream parsing of this video track failed."},
      {Video("?", false), kFrame23976, 0, "Unsupported video format."},
      {Video("mpeg2", true, 0, 0), 0, 0,
       "Please specify the video track framerate (e.g. \"-23.976\")."},
  };
  std::filesystem::remove(mkv + ".gaps");
  for (const TRefusal& r : refusals) {
    SCOPED_TRACE(r.message);
    console.Clear();
    options.Actions.clear();
    TContainer m("mkv");
    m.c.AddVideoTrack(1, *r.video, r.frameDuration, 0);
    AddAction(1, mkv);
    EXPECT_FALSE(Run(m.analysis));
    EXPECT_NE(console.Text().find("[v01] " + r.message), std::string::npos) << console.Text();
  }
  // With the frame rate given, the MPEG-2 track is muxed at that rate.
  options.Actions.clear();
  factory.source.reset();
  TContainer m("mkv");
  m.c.AddVideoTrack(1, *Video("mpeg2", true, 0, 0), 0, 0);
  AddAction(1, mkv);
  options.Actions[0].SourceFps = 25000;
  ASSERT_TRUE(Run(m.analysis)) << console.Text();
  EXPECT_EQ(ChainAt(0)[3], "TMpeg2Reader(rate=25000, gaps=0, userData=0, strip=0)");
}

// ---- second passes ----

TEST_F(RunPassTest, CombinedSecondPassRedoesOnlyTheDestinationsWithoutFirstPassFile) {
  TContainer m("mkv");
  m.c.AddAudioTrack(1, *Audio("ac3"), std::nullopt);
  AddAction(1, "a.ac3");  // done
  AddAction(1, "b.ac3");  // redo from the source
  AddAction(1, "c.wav");  // redo from its own first-pass file (in a later pass)
  options.Actions[1].TwoPass = true;
  options.Actions[1].Peak = 1.5;
  options.Actions[1].GapList = std::string(16, '\1');
  options.Actions[2].TwoPass = true;
  options.Actions[2].Pass1FileName = "c.pass1.wav";
  state.FirstPass = false;
  Run(m.analysis);
  ASSERT_GE(Heads(), 3u);
  EXPECT_EQ(ChainAt(0), Records{"TFileSimulator"});
  EXPECT_EQ(ChainAt(2), Records{"TFileSimulator"});
  const Records redone = ChainAt(1);
  ASSERT_GE(redone.size(), 3u);
  EXPECT_EQ(Records(redone.begin(), redone.begin() + 3),
            (Records{"TPassThrough", "TMkvDemuxer(track=1)", "TMkvRepairer"}));
  EXPECT_NE(console.Text().find("[a01] Starting 2nd pass..."), std::string::npos);
  EXPECT_FALSE(options.Actions[1].TwoPass);
  EXPECT_EQ(options.Actions[1].Peak, 0);
  EXPECT_TRUE(options.Actions[1].GapList.empty());
  EXPECT_TRUE(options.Actions[2].TwoPass);  // still to do
}

// A 16-bit stereo WAV file of `frames` sample frames.
test::Bytes Wav(uint32_t frames) {
  auto le = [](test::Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  const uint32_t data = frames * 4;
  test::Bytes b = {'R', 'I', 'F', 'F'};
  le(b, 36 + data, 4);
  for (char c : std::string("WAVEfmt ")) b.push_back(uint8_t(c));
  le(b, 16, 4);
  le(b, 1, 2);
  le(b, 2, 2);
  le(b, 48000, 4);
  le(b, 192000, 4);
  le(b, 4, 2);
  le(b, 16, 2);
  for (char c : std::string("data")) b.push_back(uint8_t(c));
  le(b, data, 4);
  for (uint32_t i = 0; i < data; ++i) b.push_back(uint8_t(i * 7));
  return b;
}

TEST_F(RunPassTest, SecondPassOverTheFirstPassFile) {
  test::TScratch scratch;
  factory.realSources = true;
  state.FirstPass = false;
  TContainer m("mkv");  // the container is not read again
  m.c.AddAudioTrack(1, *Audio("ac3"), std::nullopt);

  struct TCase {
    std::string destination;
    test::Bytes content;
    bool ok;
    bool kept;
    std::string message;
  };
  const std::vector<TCase> cases = {
      {"out.wav", Wav(48000), true, false, ""},
      {"fail.wav", Wav(48000), false, true, ""},
      {"odd.wav", test::Bytes(5000, 0x55), false, true,
       "The temp file \"%\" could not be interpreted correctly."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.destination);
    console.Clear();
    factory.records.clear();
    counts = {};
    options.Actions.clear();
    const std::string pass1 = scratch.Write(c.destination + ".pass1.wav", c.content);
    AddAction(1, "done.ac3");
    AddAction(1, scratch.Path(c.destination));
    options.Actions[1].TwoPass = true;
    options.Actions[1].Label = "a01";
    options.Actions[1].Pass1FileName = pass1;
    EXPECT_EQ(Run(m.analysis), c.ok) << console.Text();
    EXPECT_EQ(std::filesystem::exists(pass1), c.kept);
    EXPECT_EQ(options.Actions[1].Pass1FileName.empty(), !c.kept);
    if (c.kept) {
      EXPECT_NE(console.Text().find("The first-pass file \"" + pass1 + "\" was kept."),
                std::string::npos)
          << console.Text();
    }
    if (!c.message.empty()) {
      std::string message = c.message;
      message.replace(message.find('%'), 1, pass1);
      EXPECT_NE(console.Text().find(message), std::string::npos) << console.Text();
    }
    // Only the destination's file is read: detection first (300 MiB at most), then all of it.
    const std::string probe = "TSourceFiles(files=1, skip=0, cut=0, limit=314572800, playlist=0";
    ASSERT_FALSE(factory.records.empty());
    EXPECT_EQ(factory.records[0].rfind(probe, 0), 0u) << factory.records[0];
    if (c.content.size() < 10000) continue;
    EXPECT_NE(console.Text().find("[a01] Starting 2nd pass..."), std::string::npos);
    EXPECT_FALSE(options.Actions[1].TwoPass);
    EXPECT_EQ(Chain(factory.source->GetUpstream(0)), Records{"TFileSimulator"});
    if (!c.ok) {
      EXPECT_GT(counts.abortedAt, 0);
    }
  }
}

}  // namespace
}  // namespace kavrix
