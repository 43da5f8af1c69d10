// The run around the passes: the checks before a pass, the frame rates of speed changes, the
// name cleaning, the evaluation between passes, the statistics, the removal of a failed run's
// outputs and the pass loop (with a fake pass standing in for the real one).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/kavrix_mod_analysis.h"
#include "app/kavrix_mod_run.h"
#include "core/voxUpStream.h"
#include "core/voxUpStream_console.h"
#include "io/voxFileStream_dest.h"
#include "test_support.h"

namespace kavrix {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<IVideoFormatDetails> Video(const std::string& id, bool verified = true,
                                           const std::string& name = "", uint32_t rate = 24000,
                                           uint32_t divisor = 1001) {
  UpStreamPtr node = CreatePassThrough();
  TVideoFormatParams p;
  p.verified = verified;
  p.formatId = id;
  p.displayName = name.empty() ? id : name;
  p.width = 1920;
  p.height = 1080;
  p.frameRate = rate;
  p.frameRateDivisor = divisor;
  node->SetVideoFormat(p);
  return QueryShared<IVideoFormatDetails>(node);
}

std::shared_ptr<ISubtitleFormatDetails> Subtitle(const std::string& id, bool verified = true) {
  UpStreamPtr node = CreatePassThrough();
  node->SetSubtitleFormat({verified, id, id, ""});
  return QueryShared<ISubtitleFormatDetails>(node);
}

std::shared_ptr<IAudioFormatDetails> Audio(const std::string& id) {
  UpStreamPtr node = CreatePassThrough();
  TAudioFormatParams p;
  p.verified = true;
  p.formatId = id;
  p.displayName = id;
  p.channels = 2;
  p.sampleRate = 48000;
  node->SetAudioFormat(p);
  return QueryShared<IAudioFormatDetails>(node);
}

// A container: video track 1 (after the leading entries), audio track 2, subtitle track 3.
struct TContainer {
  UpStreamPtr node = CreatePassThrough();
  TContainerDetails& c = *Query<TContainerDetails>(node);
  TSourceAnalysis analysis;

  TContainer(const std::string& id, uint32_t leading = 0, const std::string& chapters = "") {
    c.SetContainerInfo(id, id, 5000, 0);
    c.AddVideoTrack(0x1011, *Video("h264"), 417083, 0);
    c.AddAudioTrack(0x1100, *Audio("ac3"), 0);
    c.AddSubtitleTrack(0x1200, *Subtitle("sup"), std::nullopt);
    analysis.container = QueryShared<IContainerInfo>(node);
    analysis.LeadingEntries = leading;
    analysis.ChapterText = chapters;
  }
};

TAction Dest(uint32_t track, const std::string& name) {
  TAction a;
  a.TrackNumber = track;
  a.FileName = name;
  return a;
}

// ---- checks ----

TEST(RunChecks, VideoConversions) {
  struct TCase {
    const char* format;
    bool verified;
    const char* displayName;
    const char* name;
    bool accepted;
    const char* finalName;
  } cases[] = {
      {"h264", true, "h264/AVC", "v.mkv", true, "v.mkv"},
      {"h264", true, "h264/AVC", "v.h264", true, "v.h264"},
      {"h264", true, "h264/AVC", "v.*", true, "v.h264"},
      {"h264", true, "h264/AVC", "v.m2v", false, "v.m2v"},
      {"mpeg2", true, "MPEG2", "v.M2V", true, "v.M2V"},
      {"mpeg2", true, "MPEG2", "v.mpeg2", true, "v.mpeg2"},
      {"vc1", true, "VC-1", "v.vc1", true, "v.vc1"},
      {"vc1", true, "VC-1", "v.h264", false, "v.h264"},
      {"h265", true, "h265/HEVC", "v.h265", true, "v.h265"},
      {"dirac", true, "Dirac", "v.dirac", true, "v.dirac"},
      {"?", false, "?", "v.whatever", true, "v.whatever"},
      {"avs", false, "AVS", "v.avs", true, "v.avs"},  // unverified: its own extension
      {"avs", true, "AVS", "v.avs", false, "v.avs"},  // verified: only the table
      {"h264", true, "h264/AVC (MVC)", "v.mkv", false, "v.mkv"},
      {"h264", true, "h264/AVC (MVC)", "v.h264", true, "v.h264"},
  };
  for (const TCase& c : cases) {
    test::TConsoleCapture console;
    TAction a = Dest(1, c.name);
    EXPECT_EQ(CheckVideoConversion(a, *Video(c.format, c.verified, c.displayName)), c.accepted)
        << c.format << " " << c.name;
    EXPECT_EQ(a.FileName, c.finalName);
    if (!c.accepted) {
      const bool mvc = std::string(c.displayName).find("MVC") != std::string::npos;
      EXPECT_NE(console.Text().find(mvc ? "Muxing MVC h264 video streams to MKV is currently not "
                                          "supported."
                                        : "This video conversion is not supported."),
                std::string::npos)
          << console.Text();
    }
  }
}

TEST(RunChecks, SubtitleConversions) {
  struct TCase {
    const char* format;
    bool verified;
    const char* name;
    bool accepted;
    const char* finalName;
  } cases[] = {
      {"sup", true, "s.sup", true, "s.sup"},
      {"sup", true, "s.srt", false, "s.srt"},
      {"sup", true, "s.*", true, "s.sup"},
      {"srt", true, "s.srt", true, "s.srt"},
      {"srt/utf8", true, "s.srt", true, "s.srt"},
      {"srt/utf8", true, "s.*", true, "s.srt"},
      {"srt/ascii", true, "s.*", true, "s.srt"},
      {"ass", true, "s.ass", true, "s.ass"},
      {"ssa", true, "s.ssa", true, "s.ssa"},
      {"ssa", true, "s.ass", false, "s.ass"},
      {"?", false, "s.txt", true, "s.txt"},
      {"vobsub", false, "s.vobsub", true, "s.vobsub"},
      {"vobsub", true, "s.vobsub", false, "s.vobsub"},
  };
  for (const TCase& c : cases) {
    test::TConsoleCapture console;
    TAction a = Dest(1, c.name);
    EXPECT_EQ(CheckSubtitleConversion(a, *Subtitle(c.format, c.verified)), c.accepted)
        << c.format << " " << c.name;
    EXPECT_EQ(a.FileName, c.finalName);
    if (!c.accepted) {
      EXPECT_NE(console.Text().find("This subtitle conversion is not supported."),
                std::string::npos);
    }
  }
}

TEST(RunChecks, TrackNumbersJoiningAndLeadingEntries) {
  struct TCase {
    const char* container;
    size_t sources;
    uint32_t leading;
    const char* chapters;
    TAction action;
    const char* error;  // nullptr = accepted
  } cases[] = {
      {"m2ts", 1, 0, "", Dest(1, "v.mkv"), nullptr},
      {"m2ts", 1, 0, "", Dest(3, "s.sup"), nullptr},
      {"m2ts", 1, 0, "", Dest(4, "x.sup"),
       "The source file doesn't contain a track with the number 4."},
      {"mkv", 2, 0, "", Dest(1, "v.mkv"),
       "Source file joining currently doesn't work for MKV files."},
      {"mkv", 1, 0, "", Dest(1, "v.h264"), nullptr},
      {"evo", 2, 1, "", Dest(1, "joined.evo"), nullptr},
      {"evo", 2, 1, "", Dest(1, "joined.mkv"), "This container conversion is not supported."},
      {"evo", 2, 1, "", Dest(4, "s.sup"), nullptr},
      {"evo", 2, 1, "", Dest(5, "s.sup"),
       "The source file doesn't contain a track with the number 5."},
      {"evo", 2, 2, "CHAPTER01=00:00:00.000\n", Dest(2, "c.txt"), nullptr},
      {"evo", 2, 2, "CHAPTER01=00:00:00.000\n", Dest(2, "c.srt"),
       "This chapter conversion is not supported."},
      {"m2ts", 1, 1, "CHAPTER01=00:00:00.000\n", Dest(2, "v.mp3"),
       "This video conversion is not supported."},
  };
  for (const TCase& c : cases) {
    test::TConsoleCapture console;
    TContainer m(c.container, c.leading, c.chapters);
    TOptions options;
    options.Sources.assign(c.sources, "source");
    options.Actions = {c.action};
    TRunState state;
    const bool ok = CheckConversions(state, options, m.analysis);
    EXPECT_EQ(ok, c.error == nullptr) << c.action.FileName << ": " << console.Text();
    if (c.error) {
      EXPECT_NE(console.Text().find(c.error), std::string::npos) << console.Text();
    }
  }

  // An elementary source has track 1 only; its details decide the check.
  test::TConsoleCapture console;
  TSourceAnalysis elementary;
  elementary.subtitle = Subtitle("sup");
  TOptions options;
  options.Sources = {"s.sup"};
  options.Actions = {Dest(1, "out.*")};
  TRunState state;
  EXPECT_TRUE(CheckConversions(state, options, elementary));
  EXPECT_EQ(options.Actions[0].FileName, "out.sup");
  options.Actions = {Dest(2, "out.sup")};
  EXPECT_FALSE(CheckConversions(state, options, elementary));
  EXPECT_NE(console.Text().find("The source file doesn't contain a track with the number 2."),
            std::string::npos);
}

// ---- frame rates of speed changes ----

TEST(RunFrameRates, KnownRateGoesToEveryDestination) {
  TContainer m("m2ts");
  m.analysis.VideoRate = 23976;
  TOptions options;
  options.Actions = {Dest(1, "v.h264"), Dest(2, "a.ac3"), Dest(3, "s.sup")};
  options.Actions[1].TargetFps = 25000;
  options.Actions[1].SourceFps = 24000;  // the video's rate wins
  test::TConsoleCapture console;
  ASSERT_TRUE(FixFrameRates(options, m.analysis));
  for (const TAction& a : options.Actions) EXPECT_EQ(a.SourceFps, 23976u) << a.FileName;
  EXPECT_EQ(options.Actions[1].TargetFps, 25000u);
}

TEST(RunFrameRates, HalvingAbove47951) {
  struct TCase {
    uint32_t videoRate;
    uint32_t track;
    uint32_t target;
    uint32_t expected;
  } cases[] = {
      {25000, 2, 50000, 25000},  // progressive source: a field rate target is halved
      {25000, 2, 47952, 23976}, {25000, 2, 47951, 47951},
      {50000, 2, 59940, 59940},  // a 50p source keeps the high target
      {12345, 1, 50000, 25000},  // an unusual rate still reaches non-audio destinations
  };
  for (const TCase& c : cases) {
    TContainer m("m2ts");
    m.analysis.VideoRate = c.videoRate;
    TOptions options;
    options.Actions = {Dest(c.track, "x.out")};
    options.Actions[0].TargetFps = c.target;
    test::TConsoleCapture console;
    ASSERT_TRUE(FixFrameRates(options, m.analysis)) << console.Text();
    EXPECT_EQ(options.Actions[0].TargetFps, c.expected) << c.videoRate << " " << c.target;
    EXPECT_EQ(options.Actions[0].SourceFps, c.videoRate);
  }
}

TEST(RunFrameRates, UnsupportedAndUnknownRates) {
  {
    // An unusual video rate cannot drive an audio speed change.
    TContainer m("m2ts");
    m.analysis.VideoRate = 12345;
    TOptions options;
    options.Actions = {Dest(2, "a.ac3")};
    options.Actions[0].TargetFps = 25000;
    test::TConsoleCapture console;
    EXPECT_FALSE(FixFrameRates(options, m.analysis));
    EXPECT_NE(console.Text().find("Was asked to modify track 2: to 25.000, but the original FPS "
                                  "is not supported."),
              std::string::npos)
        << console.Text();
  }
  {
    // Without a target the audio destination is simply left alone.
    TContainer m("m2ts");
    m.analysis.VideoRate = 12345;
    TOptions options;
    options.Actions = {Dest(2, "a.ac3")};
    test::TConsoleCapture console;
    EXPECT_TRUE(FixFrameRates(options, m.analysis));
    EXPECT_EQ(options.Actions[0].SourceFps, 0u);
  }
  {
    TContainer m("mkv");
    TOptions options;
    options.Actions = {Dest(2, "a.ac3")};
    options.Actions[0].TargetFps = 23976;
    test::TConsoleCapture console;
    EXPECT_FALSE(FixFrameRates(options, m.analysis));
    EXPECT_NE(console.Text().find("Was asked to modify track 2: to 23.976, but the original FPS "
                                  "value is unknown.\n"
                                  "Please specify the original FPS value (e.g. option "
                                  "\"-23.976\")."),
              std::string::npos)
        << console.Text();
  }
  {
    TSourceAnalysis elementary;
    elementary.audio = Audio("ac3");
    TOptions options;
    options.Actions = {Dest(1, "a.ac3")};
    options.Actions[0].TargetFps = 25000;
    test::TConsoleCapture console;
    EXPECT_FALSE(FixFrameRates(options, elementary));
    EXPECT_NE(console.Text().find("Was asked to modify source to 25.000, but the original FPS "
                                  "value is unknown."),
              std::string::npos)
        << console.Text();
    // A given source rate is enough.
    options.Actions[0].SourceFps = 23976;
    EXPECT_TRUE(FixFrameRates(options, elementary));
  }
}

TEST(RunFrameRates, DamagedStartNotHandledYetIsSkipped) {
  TContainer m("ts");
  m.c.SetDamagePosition(3000);
  m.analysis.totalSize = 100000000;
  TOptions options;
  options.SkipBytes = 100;
  options.Actions = {Dest(2, "a.ac3")};
  test::TConsoleCapture console;
  ASSERT_TRUE(FixFrameRates(options, m.analysis));
  EXPECT_EQ(options.SkipBytes, 3100u);
  EXPECT_NE(console.Text().find("Will skip 3000 bytes to work around damaged source file..."),
            std::string::npos);
  // Once handled, never again.
  ASSERT_TRUE(FixFrameRates(options, m.analysis));
  EXPECT_EQ(options.SkipBytes, 3100u);

  // A damage of 5% or more of the source is not worked around.
  TContainer big("ts");
  big.c.SetDamagePosition(5000);
  big.analysis.totalSize = 100000;
  options.SkipBytes = 0;
  ASSERT_TRUE(FixFrameRates(options, big.analysis));
  EXPECT_EQ(options.SkipBytes, 0u);
}

// ---- names ----

TEST(RunNames, CleaningKeepsFolders) {
  struct TCase {
    const char* in;
    const char* out;
  } cases[] = {
      {"movie.ac3", "movie.ac3"},
      {"a:b*c?d.ac3", "abcd.ac3"},
      {"\"<q>|.wav", "q.wav"},
      {"/data/x:y/out?.flac", "/data/x:y/out.flac"},
      {"rel/dir|1/n*a.sup", "rel/dir|1/na.sup"},
      {"/abs/", "/abs/"},
  };
  for (const TCase& c : cases) EXPECT_EQ(CleanDestinationName(c.in), c.out) << c.in;
}

// ---- evaluation between passes ----

class RunEvaluate : public ::testing::Test {
 protected:
  std::string Written(const std::string& name) {
    return scratch_.Write(name, test::Bytes{1, 2, 3});
  }
  TAction Output(const std::string& name) {
    TAction a = Dest(2, Written(name));
    a.Delay = 100;
    a.Gain = 3;
    a.Remap = "1,0";
    return a;
  }
  test::TScratch scratch_;
  test::TConsoleCapture console_;
  TRunState state_;
  TOptions options_;
};

TEST_F(RunEvaluate, ClippingWithAndWithoutOutputReuse) {
  options_.Actions = {Output("plain.wav"), Output("full.wav"), Output("reduced.flac"),
                      Output("clip.aac")};
  for (TAction& a : options_.Actions) a.Peak = 1.5;
  options_.Actions[1].Full = true;
  options_.Actions[2].BitsReduced = true;
  EvaluatePass(state_, options_);
  EXPECT_TRUE(state_.SecondPassNeeded);
  for (const TAction& a : options_.Actions) EXPECT_TRUE(a.TwoPass) << a.FileName;

  // A clipped output without "full" is not reused: the source is read again with the
  // processing settings.
  const TAction& plain = options_.Actions[0];
  EXPECT_TRUE(plain.Pass1FileName.empty());
  EXPECT_EQ(plain.Delay, 100);
  EXPECT_TRUE(fs::exists(plain.FileName));

  // A "full" WAV holds the unclipped samples: it is moved and becomes the input.
  const TAction& full = options_.Actions[1];
  EXPECT_EQ(full.Pass1FileName, scratch_.Path("full.pass1.wav"));
  EXPECT_TRUE(fs::exists(full.Pass1FileName));
  EXPECT_FALSE(fs::exists(full.FileName));
  EXPECT_EQ(full.Delay, 0);
  EXPECT_EQ(full.Gain, 0);
  EXPECT_TRUE(full.Remap.empty());

  EXPECT_TRUE(options_.Actions[2].Pass1FileName.empty());  // bits were reduced
  EXPECT_TRUE(options_.Actions[3].Pass1FileName.empty());  // lossy
}

TEST_F(RunEvaluate, GapsAndSplitHalves) {
  options_.Actions = {Output("gaps.flac"), Output("half.ac3"), Output("done.flac")};
  options_.Actions[0].GapList = std::string(16, '\1');
  options_.Actions[1].GapList = std::string(16, '\1');
  options_.Actions[1].CompanionAction = 1;
  EvaluatePass(state_, options_);
  EXPECT_TRUE(state_.SecondPassNeeded);
  EXPECT_EQ(options_.Actions[0].Pass1FileName, scratch_.Path("gaps.pass1.flac"));
  EXPECT_TRUE(fs::exists(options_.Actions[0].Pass1FileName));
  EXPECT_FALSE(options_.Actions[1].TwoPass);  // a split half's gaps are the other half's
  EXPECT_FALSE(options_.Actions[2].TwoPass);
  EXPECT_EQ(options_.Actions[2].Delay, 100);
}

TEST_F(RunEvaluate, StdoutAndNo2ndPassKeepTheFirstPass) {
  options_.Actions = {Dest(2, "stdout.wav")};
  options_.Actions[0].Peak = 2.0;
  options_.Actions[0].GapList = std::string(16, '\0');
  EvaluatePass(state_, options_);
  EXPECT_FALSE(state_.SecondPassNeeded);
  EXPECT_EQ(options_.Actions[0].Peak, 0);
  EXPECT_TRUE(options_.Actions[0].GapList.empty());
  EXPECT_NE(console_.Text().find("The 2nd pass can't be started due to \"stdout\"."),
            std::string::npos);

  options_.Actions = {Output("clip.wav")};
  options_.Actions[0].Peak = 2.0;
  options_.Actions[0].TwoPass = true;
  options_.No2ndPass = true;
  EvaluatePass(state_, options_);
  EXPECT_FALSE(state_.SecondPassNeeded);
  EXPECT_FALSE(options_.Actions[0].TwoPass);
  EXPECT_TRUE(fs::exists(options_.Actions[0].FileName));
  EXPECT_NE(console_.Text().find("The 2nd pass is skipped by request."), std::string::npos);
}

TEST_F(RunEvaluate, TwoPassDestinationWithItsOwnFirstPassFile) {
  options_.Actions = {Output("out.flac")};
  options_.Actions[0].TwoPass = true;
  options_.Actions[0].Pass1FileName = scratch_.Path("out.flac.pass1.wav");
  EvaluatePass(state_, options_);
  EXPECT_TRUE(state_.SecondPassNeeded);
  EXPECT_EQ(options_.Actions[0].Pass1FileName, scratch_.Path("out.flac.pass1.wav"));
  EXPECT_TRUE(fs::exists(options_.Actions[0].FileName));  // nothing moved
  EXPECT_EQ(options_.Actions[0].Delay, 0);
}

TEST_F(RunEvaluate, SuperfluousZeroBytes) {
  options_.Actions = {Output("out.wav"),  Output("out.raw"),     Output("float.wav"),
                      Output("fits.wav"), Output("unknown.w64"), Dest(2, "%check%.raw")};
  options_.Actions[0].Label = "a02";
  for (TAction& a : options_.Actions) {
    a.ValidBitsResult = 16;
    a.OutputBits = 24;
  }
  options_.Actions[2].Float32 = true;
  options_.Actions[3].OutputBits = 16;
  options_.Actions[4].OutputBits = 0;
  EvaluatePass(state_, options_);
  EXPECT_TRUE(state_.SecondPassNeeded);

  const TAction& wav = options_.Actions[0];
  EXPECT_TRUE(wav.TwoPass);
  EXPECT_EQ(wav.TargetBits, 16u);
  EXPECT_TRUE(wav.DontDither);
  EXPECT_EQ(wav.Pass1FileName, scratch_.Path("out.pass1.wav"));
  EXPECT_EQ(wav.Delay, 0);
  EXPECT_NE(console_.Text().find("[a02] Superfluous zero bytes detected, will be stripped in 2nd "
                                 "pass."),
            std::string::npos);

  // Raw PCM cannot be read back: the source is read again, with its processing.
  const TAction& raw = options_.Actions[1];
  EXPECT_TRUE(raw.TwoPass);
  EXPECT_TRUE(raw.Pass1FileName.empty());
  EXPECT_EQ(raw.Delay, 100);
  EXPECT_EQ(raw.TargetBits, 16u);

  EXPECT_FALSE(options_.Actions[2].TwoPass);  // float output
  EXPECT_FALSE(options_.Actions[3].TwoPass);  // already 16 bits
  EXPECT_TRUE(options_.Actions[4].TwoPass);   // unknown output depth, 16 valid bits
  EXPECT_FALSE(options_.Actions[5].TwoPass);  // analysis destinations are never redone

  // The evaluation after the second pass does not ask again.
  console_.Clear();
  state_.SecondPassNeeded = false;
  state_.FirstPass = false;
  for (TAction& a : options_.Actions) a.TwoPass = false;
  EvaluatePass(state_, options_);
  EXPECT_FALSE(state_.SecondPassNeeded);
  EXPECT_EQ(console_.Text().find("Superfluous"), std::string::npos);
}

TEST(RunReset, ClearsProcessingOnly) {
  TAction a = Dest(2, "out.flac");
  a.Delay = 5;
  a.EditPosition = 1;
  a.EditAmount = -1;
  a.Gain = 2;
  a.Core = a.StripPulldown = a.Mono = a.Double7 = a.AnalyzeBitdepth = a.CheckPitch = true;
  a.Downmix = a.Down6 = a.Down2 = a.DownDpl = a.DownStereo = a.PhaseShift = a.MixLfe = true;
  a.TargetFps = 25000;
  a.ResampleTo = 44100;
  a.Phase = 90;
  a.Remap = "bluray";
  a.SkipFrames = 3;
  a.PcmChannels = 6;
  a.Libav = true;
  a.RemoveDialnorm = true;
  a.Normalize = true;
  a.Bitrate = 640;
  a.SourceFps = 23976;
  ResetProcessingSettings(a);
  TAction cleared = Dest(2, "out.flac");
  cleared.PcmChannels = 6;
  cleared.Libav = cleared.RemoveDialnorm = cleared.Normalize = true;
  cleared.Bitrate = 640;
  cleared.SourceFps = 23976;
  EXPECT_EQ(a.Delay, 0);
  EXPECT_EQ(a.EditPosition, 0);
  EXPECT_EQ(a.EditAmount, 0);
  EXPECT_EQ(a.Gain, 0);
  EXPECT_FALSE(a.Core || a.StripPulldown || a.Mono || a.Double7 || a.AnalyzeBitdepth ||
               a.CheckPitch || a.Downmix || a.Down6 || a.Down2 || a.DownDpl || a.DownStereo ||
               a.PhaseShift || a.MixLfe);
  EXPECT_EQ(a.TargetFps, 0u);
  EXPECT_EQ(a.ResampleTo, 0u);
  EXPECT_EQ(a.Phase, 0);
  EXPECT_TRUE(a.Remap.empty());
  EXPECT_EQ(a.SkipFrames, 0u);
  // Format options, the decoder choice, dialnorm removal, normalisation and output options stay.
  EXPECT_EQ(a.PcmChannels, 6u);
  EXPECT_TRUE(a.Libav && a.RemoveDialnorm && a.Normalize);
  EXPECT_EQ(a.Bitrate, 640u);
  EXPECT_EQ(a.SourceFps, 23976u);
}

// ---- statistics ----

TEST(RunStatistics, Lines) {
  TContainer m("m2ts", 1);
  TOptions options;
  options.Actions = {Dest(4, "a.sup"), Dest(4, "b.sup"), Dest(4, "c.sup"),
                     Dest(4, "d.sup"), Dest(4, "e.sup"), Dest(3, "audio.ac3")};
  TPassCounts counts;
  counts.video = {{2, 1000, 20}, {3, 500, 0}, {4, 0, 7}, {5, 0, 0}};
  counts.captions = {{3, 2}, {1, 0}, {12, 0}, {0, 1}, {0, 5}, {0, 0}};
  const std::vector<std::string> expected = {
      "Video track 2 contains 1000 frames and 20 fields.",
      "Video track 3 contains 500 frames.",
      "Video track 4 contains 7 fields.",
      "Subtitle track 4 contains 3 normal and 2 forced captions.",
      "Subtitle track 4 contains 1 caption.",
      "Subtitle track 4 contains 12 captions.",
      "Subtitle track 4 contains 1 forced caption.",
      "Subtitle track 4 contains 5 forced captions.",
  };
  EXPECT_EQ(StatisticsLines(options, m.analysis, counts), expected);

  TSourceAnalysis elementary;
  elementary.video = Video("h264");
  TPassCounts one;
  one.video = {{0, 240, 0}};
  EXPECT_EQ(StatisticsLines(options, elementary, one),
            std::vector<std::string>{"Video track contains 240 frames."});
  elementary.video = nullptr;
  elementary.subtitle = Subtitle("sup");
  TPassCounts subs;
  subs.captions = {{4, 0}};
  EXPECT_EQ(StatisticsLines(options, elementary, subs),
            std::vector<std::string>{"Subtitle track contains 4 captions."});
}

// ---- deletion ----

void WriteThroughDestFile(const std::string& name) {
  UpStreamPtr file = CreateDestFile(name);
  const uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_TRUE(file->ProcessData(0, false, data, sizeof data, -1, false));
  ASSERT_TRUE(file->Finish(0));
}

TEST(RunDelete, OnlyFilesThisRunCreated) {
  test::TScratch scratch;
  test::TConsoleCapture console;
  ClearCreatedFiles();
  const std::string foreign = scratch.Write("user.wav", {9});  // named like a destination
  WriteThroughDestFile(scratch.Path("out.wav"));
  WriteThroughDestFile(scratch.Path("out.L.wav"));
  ASSERT_TRUE(fs::exists(scratch.Path("out.wav")));
  DeleteCreatedOutputs();
  EXPECT_FALSE(fs::exists(scratch.Path("out.wav")));
  EXPECT_FALSE(fs::exists(scratch.Path("out.L.wav")));
  EXPECT_TRUE(fs::exists(foreign));
  EXPECT_TRUE(GetCreatedFiles().empty());
}

// ---- the pass loop ----

class RunLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    analysis_.video = Video("h264");
    options_.Sources = {"source.h264"};
    options_.Actions = {Dest(1, scratch_.Path("out.h264"))};
  }
  TRunResult Run(const TPassFunction& pass) {
    return RunProcessing(state_, options_, analysis_, [&](auto&... args) {
      ++passes_;
      return pass(args...);
    });
  }
  test::TScratch scratch_;
  test::TConsoleCapture console_;
  TRunState state_;
  TOptions options_;
  TSourceAnalysis analysis_;
  int passes_ = 0;
};

TEST_F(RunLoop, OnePass) {
  options_.Actions[0].FileName = scratch_.Path("o:u?t.h264");  // cleaned before the pass
  const TRunResult r = Run([&](TRunState&, TOptions& o, TSourceAnalysis&, TPassCounts& counts) {
    WriteThroughDestFile(o.Actions[0].FileName);
    counts.video = {{0, 100, 0}};
    counts.timestampMs = 7;
    return true;
  });
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.chaptersOnly);
  EXPECT_EQ(r.timestampMs, 7u);
  EXPECT_EQ(passes_, 1);
  EXPECT_TRUE(state_.FirstPass);
  EXPECT_TRUE(fs::exists(scratch_.Path("out.h264")));
  EXPECT_NE(console_.Text().find("Video track contains 100 frames."), std::string::npos);
}

TEST_F(RunLoop, SecondPassWhenTheEvaluationAsks) {
  std::vector<bool> firstPass;
  const TRunResult r = Run([&](TRunState& s, TOptions& o, TSourceAnalysis&, TPassCounts&) {
    firstPass.push_back(s.FirstPass);
    TAction& a = o.Actions[0];
    if (s.FirstPass) {
      WriteThroughDestFile(a.FileName);
      a.GapList = std::string(16, '\1');  // the reader found a gap
    } else {
      // The second pass reads the moved first-pass file and clears the flags.
      EXPECT_EQ(a.Pass1FileName, scratch_.Path("out.pass1.h264"));
      EXPECT_TRUE(fs::exists(a.Pass1FileName));
      a.TwoPass = false;
      a.GapList.clear();
      WriteThroughDestFile(a.FileName);
    }
    return true;
  });
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(firstPass, (std::vector<bool>{true, false}));
}

TEST_F(RunLoop, FailureDeletesWhatTheRunCreated) {
  const std::string foreign = scratch_.Write("other.h264", {1});
  const TRunResult r = Run([&](TRunState&, TOptions& o, TSourceAnalysis&, TPassCounts& counts) {
    WriteThroughDestFile(o.Actions[0].FileName);
    counts.abortedAt = 1234;
    return false;
  });
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.abortedAt, 1234);
  EXPECT_EQ(passes_, 1);
  EXPECT_FALSE(fs::exists(scratch_.Path("out.h264")));
  EXPECT_TRUE(fs::exists(foreign));
}

TEST_F(RunLoop, PulldownRerunKeepsFirstPass) {
  options_.Actions[0].StripPulldown = true;
  std::vector<bool> firstPass;
  const TRunResult r = Run([&](TRunState& s, TOptions& o, TSourceAnalysis&, TPassCounts&) {
    firstPass.push_back(s.FirstPass);
    if (passes_ == 1) {
      s.SecondPassNeeded = true;
      s.RerunTrack = 1;
      return false;
    }
    EXPECT_TRUE(o.Actions[0].KeepPulldown);
    EXPECT_FALSE(o.Actions[0].StripPulldown);
    WriteThroughDestFile(o.Actions[0].FileName);
    return true;
  });
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(firstPass, (std::vector<bool>{true, true}));
  EXPECT_TRUE(fs::exists(scratch_.Path("out.h264")));
}

TEST_F(RunLoop, RerunAskedTwiceForTheSameTrackFails) {
  const TRunResult r = Run([&](TRunState& s, TOptions&, TSourceAnalysis&, TPassCounts&) {
    s.SecondPassNeeded = true;
    s.RerunTrack = 1;
    return false;
  });
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(passes_, 2);
}

TEST_F(RunLoop, RefusedConversionRunsNoPass) {
  options_.Actions[0].FileName = scratch_.Path("out.mp3");
  const TRunResult r =
      Run([&](TRunState&, TOptions&, TSourceAnalysis&, TPassCounts&) { return true; });
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(passes_, 0);
  EXPECT_NE(console_.Text().find("This video conversion is not supported."), std::string::npos);
}

TEST_F(RunLoop, MissingPostRunStepFailsTheRun) {
  // The Matroska frame rate cannot be written yet: the run fails and its file goes.
  options_.Actions[0].FileName = scratch_.Path("out.mkv");
  const TRunResult r = Run([&](TRunState&, TOptions& o, TSourceAnalysis&, TPassCounts&) {
    WriteThroughDestFile(o.Actions[0].FileName);
    return true;
  });
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(fs::exists(scratch_.Path("out.mkv")));
  EXPECT_NE(console_.Text().find("not available yet."), std::string::npos);

  // A "stdout" destination has nothing to patch.
  console_.Clear();
  options_.Actions[0].FileName = "stdout.mkv";
  const TRunResult piped =
      Run([&](TRunState&, TOptions&, TSourceAnalysis&, TPassCounts&) { return true; });
  EXPECT_TRUE(piped.ok) << console_.Text();
}

TEST_F(RunLoop, ChaptersOnlyRunNoPass) {
  TContainer m("m2ts", 1, "CHAPTER01=00:00:00.000\r\nCHAPTER01NAME=Start\r\n");
  analysis_ = m.analysis;
  options_.Actions = {Dest(1, scratch_.Path("chapters.txt"))};
  const TRunResult r =
      Run([&](TRunState&, TOptions&, TSourceAnalysis&, TPassCounts&) { return true; });
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.chaptersOnly);
  EXPECT_EQ(passes_, 0);
  const test::Bytes bytes = test::ReadBytes(scratch_.Path("chapters.txt"));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), m.analysis.ChapterText);
}

TEST_F(RunLoop, CaptionCountsInTheName) {
  TContainer m("mkv");
  analysis_ = m.analysis;
  options_.Actions = {Dest(3, scratch_.Path("subs.sup")), Dest(3, scratch_.Path("kept.sup")),
                      Dest(3, scratch_.Path("taken.sup"))};
  for (TAction& a : options_.Actions) a.NameWithCaptionCount = true;
  options_.Actions[1].NameWithCaptionCount = false;
  scratch_.Write("taken, 1 forced caption.sup", {1});
  const TRunResult r = Run([&](TRunState&, TOptions& o, TSourceAnalysis&, TPassCounts& counts) {
    for (const TAction& a : o.Actions) WriteThroughDestFile(a.FileName);
    counts.captions = {{3, 2}, {4, 0}, {0, 1}};
    return true;
  });
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(fs::exists(scratch_.Path("subs, 3 normal captions, 2 forced captions.sup")));
  EXPECT_TRUE(fs::exists(scratch_.Path("kept.sup")));
  // The wanted name is taken: the file keeps its name, the other file is untouched.
  EXPECT_TRUE(fs::exists(scratch_.Path("taken.sup")));
  EXPECT_EQ(test::ReadBytes(scratch_.Path("taken, 1 forced caption.sup")), test::Bytes{1});
  EXPECT_NE(console_.Text().find("exists already"), std::string::npos);
}

}  // namespace
}  // namespace kavrix

namespace kavrix {
namespace {

// Post-run steps of audio destinations: the stand-ins of the FLAC tag patcher and the DTS
// encoder fail the run; a failed DTS encoding keeps the mono files it was given.
TEST(RunPostSteps, FlacAndDtsStandInsFailTheRun) {
  test::TScratch scratch;
  TSourceAnalysis analysis;
  analysis.audio = Audio("ac3");
  {
    test::TConsoleCapture console;
    TRunState state;
    TOptions options;
    options.Sources = {"source.ac3"};
    options.Actions = {Dest(1, scratch.Path("out.flac"))};
    const TRunResult r = RunProcessing(
        state, options, analysis, [&](TRunState&, TOptions& o, TSourceAnalysis&, TPassCounts&) {
          WriteThroughDestFile(o.Actions[0].FileName);
          return true;
        });
    EXPECT_FALSE(r.ok);
    EXPECT_NE(console.Text().find("The FLAC tag patcher is not available yet."), std::string::npos)
        << console.Text();
    EXPECT_FALSE(fs::exists(scratch.Path("out.flac")));
  }
  {
    test::TConsoleCapture console;
    TRunState state;
    TOptions options;
    options.Sources = {"source.ac3"};
    options.Actions = {Dest(1, scratch.Path("out.dts")), Dest(1, scratch.Path("other.ac3"))};
    const TRunResult r = RunProcessing(
        state, options, analysis, [&](TRunState&, TOptions& o, TSourceAnalysis&, TPassCounts&) {
          TAction& a = o.Actions[0];
          a.EncodeDtsAfterRun = true;
          a.MultiMonoChannels = 2;
          a.MultiMonoMask = 3;
          WriteThroughDestFile(MultiMonoFileName(a.FileName, 3, 0));
          WriteThroughDestFile(MultiMonoFileName(a.FileName, 3, 1));
          WriteThroughDestFile(o.Actions[1].FileName);
          return true;
        });
    EXPECT_FALSE(r.ok);
    EXPECT_NE(console.Text().find("Encoding DTS <768kbps> with libav..."), std::string::npos)
        << console.Text();
    EXPECT_NE(console.Text().find("The DTS encoder is not available yet."), std::string::npos);
    EXPECT_TRUE(fs::exists(scratch.Path("out.L.wav")));
    EXPECT_TRUE(fs::exists(scratch.Path("out.R.wav")));
    EXPECT_FALSE(fs::exists(scratch.Path("other.ac3")));
  }
}

}  // namespace
}  // namespace kavrix
