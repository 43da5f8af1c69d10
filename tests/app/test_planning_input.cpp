// The audio conversion check and the input planning: which nodes a destination gets, in
// which order and with which settings, recorded by the recording factory and compared with
// tables; the decoder option check with its exact texts; the vendor channel tables; the
// back-channel adjustment; the ".thd+ac3" split.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/kavrix_mod_planning.h"
#include "app/kavrix_mod_planning_tables.h"
#include "app/recording_factory.h"
#include "core/voxUpStream.h"
#include "core/voxUpStream_console.h"
#include "core/voxUpStream_details.h"
#include "test_support.h"

namespace kavrix {
namespace {

using Records = std::vector<std::string>;

// ---- building tracks ----

struct TTrack {
  TAudioFormatParams p;

  TTrack(std::string format, uint32_t channels, uint32_t bits = 16, uint32_t rate = 48000,
         uint32_t bitrate = 0) {
    p.verified = true;
    p.formatId = std::move(format);
    p.displayName = p.formatId;
    p.channels = channels;
    p.bits = bits;
    p.sampleRate = rate;
    p.bitrate = bitrate;
  }
  TTrack& Layout(std::string text, uint32_t mask = 0) {
    p.channelText = std::move(text);
    p.channelMask = mask;
    return *this;
  }
  TTrack& Core(uint32_t channels, uint32_t bitrate, uint32_t rate = 48000, uint32_t bits = 16) {
    p.coreChannels = channels;
    p.coreBitrate = bitrate;
    p.coreSampleRate = rate;
    p.coreBits = bits;
    p.coreDialnorm = 27;
    return *this;
  }
  TTrack& Dialnorm(uint32_t db) {
    p.dialnorm = db;
    return *this;
  }
  TTrack& Unverified() {
    p.verified = false;
    return *this;
  }
  TTrack& Float() {
    p.isFloat = true;
    return *this;
  }
  TTrack& ValidBits(uint32_t bits) {
    p.validBits = bits;
    return *this;
  }
  TTrack& ReaderOrder(std::string remap) {
    p.auxText1 = std::move(remap);
    return *this;
  }
  TTrack& BigEndian(uint32_t skip = 0) {
    p.auxFlag = true;
    p.auxValue = skip;
    return *this;
  }
  TTrack& Hdcd() {
    p.hdcd = true;
    return *this;
  }
  TTrack& CodecPrivate(std::string text) {
    p.codecPrivate = std::move(text);
    return *this;
  }
  std::shared_ptr<IAudioFormatDetails> Make() const {
    UpStreamPtr node = CreatePassThrough();
    node->SetAudioFormat(p);
    return Query<IAudioFormatDetails>(node)->Clone();
  }
};

// ---- record texts of the recording factory ----

std::string B(bool v) {
  return v ? "1" : "0";
}
std::string Ac3Reader(bool gaps = true, bool coreOnly = false, bool noSearch = true) {
  return "TAc3Reader(gaps=" + B(gaps) + ", coreOnly=" + B(coreOnly) + ", noSearch=" + B(noSearch) +
         ")";
}
std::string DtsReader(bool coreOnly = false, bool strict = true) {
  return "TDtsReader(gaps=1, coreOnly=" + B(coreOnly) +
         ", headerListing=0, strictStart=" + B(strict) + ")";
}
const std::string kNoCoreReader = "TDtsNoCoreReader(gaps=1, headerListing=0, strictStart=1)";
std::string ThdReader(bool thdAc3, bool usable, bool onAc3 = false, bool gaps = true) {
  return "TThdReader(gaps=" + B(gaps) + ", thdAc3=" + B(thdAc3) +
         ", deferred=0, strict=0, gapListUsable=" + B(usable) + ", measureOnAc3=" + B(onAc3) + ")";
}
std::string Libav(const std::string& name, bool isFloat = true, bool bits24 = false) {
  return "TLibavDecoder(name=\"" + name + "\", continue=0, float=" + B(isFloat) +
         ", bits32=0, bits24=" + B(bits24) + ")";
}
std::string DcaDec(bool bits24 = false, bool isFloat = false, bool peak = true) {
  return "TDcaDecDecoder(bits24=" + B(bits24) + ", float=" + B(isFloat) + ", peak=" + B(peak) + ")";
}
std::string DShow(bool nero, bool sonic, size_t format = 0, bool fullBlocks = true) {
  return "TDShowDecoder(nero=" + B(nero) + ", sonic=" + B(sonic) +
         ", format=" + std::to_string(format) + ", fullBlocks=" + B(fullBlocks) + ")";
}
std::string Remap(const std::string& remap) {
  return "TChannelModder(remap=\"" + remap + "\")";
}
std::string Pick(const std::string& map, uint32_t mask = 0) {
  return "TChannelModder(map=[" + map + "], mask=" + std::to_string(mask) + ")";
}
const std::string kFloat64 = "TFloatEnforcer(bits=64)";
const std::string kSorter = "TSampleSorter";
const std::string kRepair = "TDtsRepairer(removeXch=0)";
const std::string kPatch = "TDtsBitdepthPatcher";

// ---- running a planning step ----

// The log lines of the messages shown since the capture started ("text  <ERROR>").
std::vector<std::string> LogLines() {
  std::vector<std::string> lines;
  std::istringstream in(GetLogBuffer());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Forgets the messages so far and keeps the console quiet.
void ClearLog() {
  ResetConsoleForTests();
  SetConsoleSink([](int, std::string_view) {}, false, false);
}

struct TPlan {
  test::TConsoleCapture console;
  test::TRecordingFactory factory;
  TRunState state;
  UpStreamPtr track = CreatePassThrough();
  std::shared_ptr<IAudioFormatDetails> details;
  TInputPlanResult result;

  TPlan() { state.factory = &factory; }

  bool Run(const TTrack& t, TAction& action, bool fromContainer = false, size_t files = 1) {
    factory.Clear();
    track = CreatePassThrough();
    details = t.Make();
    const bool ok = PlanAudioInput(state, track, fromContainer, *details, action, files, result);
    // Every node created is linked into the track's chain, in creation order.
    EXPECT_EQ(test::ChainRecords(track), factory.records);
    return ok;
  }
};

TAction Dest(const std::string& name) {
  TAction action;
  action.FileName = name;
  return action;
}

// ---- the format branches ----

struct TBranchCase {
  const char* label;
  TTrack track;
  std::string fileName;
  std::function<void(TAction&)> setup;
  Records records;
  bool pcmChain;
  bool fromContainer = false;
};

TEST(PlanAudioInput, FormatBranches) {
  const auto none = [](TAction&) {};
  const std::vector<TBranchCase> cases = {
      {"ac3 passes through",
       TTrack("ac3", 6, 16, 48000, 448000),
       "x.ac3",
       none,
       {Ac3Reader(), "TAc3Delayer"},
       false},
      {"ac3 from a container: no search, delay first",
       TTrack("ac3", 6, 16, 48000, 448000),
       "x.ac3",
       [](TAction& a) {
         a.GapList = PackAudioGaps({{1000, 2000}});
         a.EditAmount = -50000;
         a.EditPosition = 7;
       },
       {Ac3Reader(true, false, false), "TAc3Delayer", "TAc3GapRealizer(gaps=1, silence=0, loop=0)",
        "TAc3GapRealizer(editor, silence=0, loop=0, position=7, drift=-50000)"},
       false,
       true},
      {"ac3 elementary: gaps and edit before the delay",
       TTrack("ac3", 2, 16, 48000, 192000),
       "x.ac3",
       [](TAction& a) {
         a.GapList = PackAudioGaps({{1000, 2000}, {5000, 3000}});
         a.EditAmount = 10000;
         a.EditSilence = true;
       },
       {Ac3Reader(), "TAc3GapRealizer(gaps=2, silence=1, loop=0)",
        "TAc3GapRealizer(editor, silence=1, loop=0, position=0, drift=10000)", "TAc3Delayer"},
       false},
      {"ac3 to the check destination gets no delayer",
       TTrack("ac3", 2),
       "%check%.ac3",
       none,
       {Ac3Reader()},
       false},
      {"ac3 decoded",
       TTrack("ac3", 6),
       "x.wav",
       none,
       {Ac3Reader(), Libav("ac3"), kFloat64, kSorter},
       true},
      {"ac3 in WAV with dialnorm removal",
       TTrack("ac3wav", 6),
       "x.wav",
       [](TAction& a) { a.RemoveDialnorm = true; },
       {"TWavReader", "TWavAc3Reader", Ac3Reader(), "TAc3DialnormRemover", Libav("ac3"), kFloat64,
        kSorter},
       true},
      {"eac3 passes through",
       TTrack("eac3", 8).Core(6, 448000),
       "x.eac3",
       none,
       {Ac3Reader(), "TAc3Delayer"},
       false},
      {"eac3 core to E-AC3",
       TTrack("eac3", 8).Core(6, 448000),
       "x.ddp",
       [](TAction& a) { a.Core = true; },
       {Ac3Reader(true, true), "TEac3CoreExtractor", "TAc3Delayer"},
       false},
      {"eac3 decoded on its core",
       TTrack("eac3", 8).Core(6, 448000),
       "x.wav",
       none,
       {Ac3Reader(), "TEac3CoreExtractor", Libav("ac3"), kFloat64, kSorter},
       true},
      {"mp2 passes through",
       TTrack("mp2", 2),
       "x.MP2",
       none,
       {"TMPxReader(gaps=1, strict=1)", "TMPxDelayer"},
       false},
      {"mp1 decoded by layer",
       TTrack("mp1", 2),
       "x.wav",
       none,
       {"TMPxReader(gaps=1, strict=1)", Libav("mp1float"), kFloat64, kSorter},
       true},
      {"mp3 to mp2 is decoded",
       TTrack("mp3", 2),
       "x.mp2",
       none,
       {"TMPxReader(gaps=1, strict=1)", Libav("mp3float"), kFloat64, kSorter},
       true},
      {"aac passes through",
       TTrack("aac", 2),
       "x.m4a",
       none,
       {"TAacReader(gaps=1, strict=1)", "TAacDelayer"},
       false},
      {"aac bitrate does not matter",
       TTrack("aac", 2, 16, 48000, 128000),
       "x.aac",
       [](TAction& a) { a.Bitrate = 320; },
       {"TAacReader(gaps=1, strict=1)", "TAacDelayer"},
       false},
      {"aac decoded by libav",
       TTrack("aac", 6),
       "x.wav",
       none,
       {"TAacReader(gaps=1, strict=1)", Libav("aac"), kFloat64, kSorter},
       true},
      {"dts passes through",
       TTrack("dts", 6, 24, 48000, 1509000),
       "x.dts",
       none,
       {DtsReader(), kRepair, kPatch, "TDtsDelayer"},
       false},
      {"dts decoded by libdcadec",
       TTrack("dts", 6, 24),
       "x.wav",
       none,
       {DtsReader(), kRepair, kPatch, DcaDec(), kSorter},
       true},
      {"dts decoded by libav: the repairer removes XCh",
       TTrack("dts", 6, 24),
       "x.wav",
       [](TAction& a) { a.Libav = true; },
       {DtsReader(), "TDtsRepairer(removeXch=1)", kPatch, Libav("dca"), kFloat64, kSorter},
       true},
      {"dts in WAV without repair and patch",
       TTrack("dtswav", 6, 24),
       "x.flac",
       [](TAction& a) {
         a.DontRepairDts = true;
         a.DontPatchDts = true;
         a.RemoveDialnorm = true;
       },
       {"TWavReader", "TWavDtsReader", DtsReader(), "TDtsDialnormRemover", DcaDec(), kSorter},
       true},
      {"dtsma passes through unpatched",
       TTrack("dtsma", 6, 24),
       "x.dtsma",
       none,
       {DtsReader(), kRepair, "TDtsDelayer"},
       false},
      {"dtshr core to dts",
       TTrack("dtshr", 8, 24).Core(6, 1509000),
       "x.dts",
       [](TAction& a) { a.Core = true; },
       {DtsReader(true), "TDtsCoreExtractor", kRepair, kPatch, "TDtsDelayer"},
       false},
      {"dtsma dialnorm removal only without dialnorm",
       TTrack("dtsma", 6, 24),
       "x.wav",
       [](TAction& a) {
         a.RemoveDialnorm = true;
         a.PcmBits = 24;
       },
       {DtsReader(), "TDtsDialnormRemover", kRepair, DcaDec(true), kSorter},
       true},
      {"dtsma with a dialnorm value keeps it",
       TTrack("dtsma", 6, 24).Dialnorm(27),
       "x.wav",
       [](TAction& a) { a.RemoveDialnorm = true; },
       {DtsReader(), kRepair, DcaDec(), kSorter},
       true},
      {"dtsma by libav decodes the core",
       TTrack("dtsma", 8, 24).Core(6, 1509000),
       "x.flac",
       [](TAction& a) { a.Libav = true; },
       {DtsReader(), kRepair, "TDtsCoreExtractor", Libav("dca"), kFloat64, kSorter},
       true},
      {"dtslbr passes through",
       TTrack("dtslbr", 6),
       "x.dts",
       none,
       {kNoCoreReader, "TDtsDelayer"},
       false},
      {"dtslbr decoded by libav",
       TTrack("dtslbr", 6),
       "x.wav",
       none,
       {kNoCoreReader, Libav("dca"), kFloat64, kSorter},
       true},
      {"dtsnc decoded by libdcadec",
       TTrack("dtsnc", 6, 24),
       "x.wav",
       none,
       {kNoCoreReader, DcaDec(), kSorter},
       true},
      {"flac", TTrack("flac", 2), "x.wav", none, {"TFlacDecoder", kSorter}, true},
      {"thd/ac3 to thd",
       TTrack("thd/ac3", 6, 24).Core(6, 640000),
       "x.thd",
       none,
       {ThdReader(true, false), "TThdAc3Remover"},
       false},
      {"thd/ac3 to truehd with dialnorm removal",
       TTrack("thd/ac3", 6, 24).Core(6, 640000),
       "x.truehd",
       [](TAction& a) { a.RemoveDialnorm = true; },
       {ThdReader(true, false), "TThdAc3Remover", "TThdDialnormRemover"},
       false},
      {"thd/ac3 to thd+ac3 kept whole",
       TTrack("thd/ac3", 6, 24).Core(6, 640000),
       "x.thd+ac3",
       [](TAction& a) { a.RemoveDialnorm = true; },
       {ThdReader(true, false), "TAc3DialnormRemover", "TThdDialnormRemover"},
       false},
      {"thd/ac3 to thd+ac3, split half",
       TTrack("thd/ac3", 6, 24).Core(6, 640000),
       "x.thd+ac3",
       [](TAction& a) { a.CompanionAction = 2; },
       {ThdReader(true, false), "TThdAc3Remover", "TThdAc3Joiner"},
       false},
      {"thd/ac3 to ac3 passes the embedded AC3",
       TTrack("thd/ac3", 6, 24).Core(6, 640000),
       "x.ac3",
       [](TAction& a) { a.Bitrate = 640; },
       {ThdReader(true, false, true), "TThdAc3Extractor", "TAc3Delayer"},
       false},
      {"thd/ac3 to ac3 at another bitrate decodes the TrueHD",
       TTrack("thd/ac3", 6, 24).Core(6, 448000),
       "x.ac3",
       [](TAction& a) { a.Bitrate = 640; },
       {ThdReader(true, true), "TThdAc3Remover", Libav("truehd", false, true), kSorter},
       true},
      {"thd/ac3 to ac3, split half: no gap list",
       TTrack("thd/ac3", 6, 24).Core(6, 640000),
       "x.ac3",
       [](TAction& a) { a.CompanionAction = 1; },
       {ThdReader(true, true, false, false), "TThdAc3Remover", Libav("truehd", false, true),
        kSorter},
       true},
      {"thd/ac3 decoded",
       TTrack("thd/ac3", 6, 24).Core(6, 640000),
       "x.flac",
       none,
       {ThdReader(true, true), "TThdAc3Remover", Libav("truehd", false, true), kSorter},
       true},
      {"thd to thd", TTrack("thd", 8, 24), "x.thd", none, {ThdReader(false, false)}, false},
      {"thd to thd+ac3 joins",
       TTrack("thd", 8, 24),
       "x.thd+ac3",
       [](TAction& a) { a.CompanionAction = 2; },
       {ThdReader(false, false), "TThdAc3Joiner"},
       false},
      {"thd decoded",
       TTrack("thd", 8, 24),
       "x.w64",
       [](TAction& a) { a.RemoveDialnorm = true; },
       {ThdReader(false, true), "TThdDialnormRemover", Libav("truehd", false, true), kSorter},
       true},
      {"mlp 16-bit decoded",
       TTrack("mlp", 2, 16, 44100),
       "x.wav",
       none,
       {ThdReader(false, true), Libav("mlp", false, false), kSorter},
       true},
      {"mlp 24-bit decoded",
       TTrack("mlp", 2, 24, 96000),
       "x.wav",
       none,
       {ThdReader(false, true), Libav("mlp", false, true), kSorter},
       true},
      {"wav", TTrack("wav", 2), "x.flac", none, {"TWavReader", kSorter}, true},
      {"float wav",
       TTrack("wav", 2, 32).Float(),
       "x.wav",
       none,
       {"TWavReader", kFloat64, kSorter},
       true},
      {"w64", TTrack("w64", 2), "x.wav", none, {"TW64Reader", kSorter}, true},
      {"rf64", TTrack("rf64", 2), "x.wav", none, {"TRf64Reader", kSorter}, true},
      {"raw pcm at the option's rate",
       TTrack("pcm", 2, 16, 0),
       "x.wav",
       [](TAction& a) { a.PcmSampleRate = 96000; },
       {"TRawReader(channels=2, bits=16, rate=96000, bigEndian=0, skip=0)", kSorter},
       true},
      {"raw pcm without a rate",
       TTrack("pcm", 2, 16, 0),
       "x.wav",
       none,
       {"TRawReader(channels=2, bits=16, rate=48000, bigEndian=0, skip=0)", kSorter},
       true},
      {"container pcm keeps the track's rate",
       TTrack("pcm", 2, 24, 96000).BigEndian(),
       "x.wav",
       [](TAction& a) { a.PcmSampleRate = 44100; },
       {"TRawReader(channels=2, bits=24, rate=96000, bigEndian=1, skip=0)", "TEndianSwapper",
        kSorter},
       true,
       true},
  };
  for (const TBranchCase& c : cases) {
    SCOPED_TRACE(c.label);
    TPlan plan;
    TAction action = Dest(c.fileName);
    c.setup(action);
    ASSERT_TRUE(plan.Run(c.track, action, c.fromContainer));
    EXPECT_EQ(plan.factory.records, c.records);
    EXPECT_EQ(action.PcmChain, c.pcmChain);
  }
}

// The details follow the chain: core values, decoder output formats, the raw reader's rate.
TEST(PlanAudioInput, DetailsFollowTheChain) {
  TPlan plan;
  {
    TAction action = Dest("x.wav");
    ASSERT_TRUE(plan.Run(TTrack("eac3", 8, 16, 48000, 1536000).Core(6, 448000, 48000, 16), action));
    EXPECT_EQ(plan.details->GetChannels(), 6u);
    EXPECT_EQ(plan.details->GetChannelText(), "5.1");
    EXPECT_EQ(plan.details->GetBitrate(), 448000u);
    EXPECT_EQ(plan.details->GetDialnorm(), 27u);
    EXPECT_TRUE(plan.details->GetIsFloat());
    EXPECT_EQ(plan.details->GetContainerBits(), 64u);
    EXPECT_EQ(plan.details->GetValidBits(), 0u);
    // The core has no back channels: nothing to warn about.
    EXPECT_TRUE(LogLines().empty());
  }
  {
    TAction action = Dest("x.ac3");
    action.Bitrate = 448;
    ASSERT_TRUE(plan.Run(TTrack("thd/ac3", 8, 24, 96000).Core(6, 448000, 48000, 16), action));
    EXPECT_EQ(plan.details->GetSampleRate(), 48000u);
    EXPECT_EQ(plan.details->GetChannels(), 6u);
    EXPECT_EQ(plan.details->GetContainerBits(), 16u);
  }
  {
    TAction action = Dest("x.wav");
    action.PcmSampleRate = 44100;
    ASSERT_TRUE(plan.Run(TTrack("pcm", 2, 16, 0), action));
    EXPECT_EQ(plan.details->GetSampleRate(), 44100u);
  }
  {
    TAction action = Dest("x.wav");
    ASSERT_TRUE(plan.Run(TTrack("dts", 6, 16), action));  // the patcher widens the samples
    EXPECT_EQ(plan.details->GetContainerBits(), 24u);
    EXPECT_EQ(plan.details->GetValidBits(), 0u);
  }
  {
    TAction action = Dest("x.wav");
    action.PcmBits = 24;
    action.DontPatchDts = true;
    ASSERT_TRUE(plan.Run(TTrack("dts", 6, 16), action));
    EXPECT_EQ(plan.details->GetContainerBits(), 24u);
    EXPECT_EQ(plan.details->GetValidBits(), 24u);
  }
}

// A 7.1 E-AC3 track without a core decoded by libav loses its back channels: a warning and
// the details of the 5.1 that comes out.
TEST(PlanAudioInput, Eac3WithoutCoreDropsTheBackChannels) {
  TPlan plan;
  TAction action = Dest("x.wav");
  action.Down6 = true;
  ASSERT_TRUE(plan.Run(TTrack("eac3", 8).Layout("7.1", 0x63F), action));
  EXPECT_EQ(plan.factory.records, (Records{Ac3Reader(), Libav("ac3"), kFloat64, kSorter}));
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "The libav E-AC3 decoder doesn't decode the back channels.  <WARNING>"}));
  EXPECT_EQ(plan.details->GetChannels(), 6u);
  EXPECT_EQ(plan.details->GetChannelText(), "5.1");
  EXPECT_EQ(plan.details->GetChannelMask(), 0x60Fu);
  EXPECT_FALSE(action.Down6);
}

// Bitstream or decoding: each option that changes the samples forces the decoder.
TEST(PlanAudioInput, BitstreamOrDecoding) {
  struct TCase {
    const char* label;
    TTrack track;
    std::string fileName;
    std::function<void(TAction&)> setup;
    bool decoded;
  };
  const TTrack ac3 = TTrack("ac3", 6, 16, 48000, 448000);
  const TTrack dts = TTrack("dts", 8, 24, 48000, 1509000);
  const TTrack aac = TTrack("aac", 2, 16, 48000, 128000);
  const TTrack thdAc3 = TTrack("thd/ac3", 6, 24, 96000).Core(6, 448000, 48000);
  const std::vector<TCase> cases = {
      {"ac3 same bitrate", ac3, "x.ac3", [](TAction& a) { a.Bitrate = 448; }, false},
      {"ac3 other bitrate", ac3, "x.ac3", [](TAction& a) { a.Bitrate = 640; }, true},
      {"ac3 same rate", ac3, "x.ac3", [](TAction& a) { a.ResampleTo = 48000; }, false},
      {"ac3 resampled", ac3, "x.ac3", [](TAction& a) { a.ResampleTo = 44100; }, true},
      {"ac3 gain", ac3, "x.ac3", [](TAction& a) { a.Gain = -3; }, true},
      {"ac3 normalize", ac3, "x.ac3", [](TAction& a) { a.Normalize = true; }, true},
      {"ac3 remap", ac3, "x.ac3", [](TAction& a) { a.Remap = "0,1,2,3,5,4"; }, true},
      {"ac3 down2", ac3, "x.ac3", [](TAction& a) { a.Down2 = true; }, true},
      {"ac3 downmix", ac3, "x.ac3", [](TAction& a) { a.Downmix = true; }, true},
      {"ac3 mono", ac3, "x.ac3", [](TAction& a) { a.Mono = true; }, true},
      {"ac3 speed change", ac3, "x.ac3",
       [](TAction& a) {
         a.SourceFps = 23976;
         a.TargetFps = 25000;
       },
       true},
      {"ac3 equal fps", ac3, "x.ac3",
       [](TAction& a) {
         a.SourceFps = 25000;
         a.TargetFps = 25000;
       },
       false},
      {"ac3 to dts", ac3, "x.dts", [](TAction&) {}, true},
      {"dts same bitrate", dts, "x.dts", [](TAction& a) { a.Bitrate = 1509; }, false},
      {"dts other bitrate", dts, "x.dts", [](TAction& a) { a.Bitrate = 768; }, true},
      {"dts down6", dts, "x.dts", [](TAction& a) { a.Down6 = true; }, true},
      {"dts down6 on 5.1 is dropped", TTrack("dts", 6, 24), "x.dts",
       [](TAction& a) { a.Down6 = true; }, false},
      {"dtsma any bitrate", TTrack("dtsma", 6, 24, 48000, 1509000), "x.dts",
       [](TAction& a) { a.Bitrate = 1509; }, true},
      {"aac gain", aac, "x.aac", [](TAction& a) { a.Gain = 2; }, true},
      {"aac to ac3", aac, "x.ac3", [](TAction&) {}, true},
      {"thd/ac3 core rate", thdAc3, "x.ac3", [](TAction& a) { a.ResampleTo = 48000; }, false},
      {"thd/ac3 track rate", thdAc3, "x.ac3", [](TAction& a) { a.ResampleTo = 96000; }, true},
      {"thd/ac3 core bitrate", thdAc3, "x.ac3", [](TAction& a) { a.Bitrate = 448; }, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    TPlan plan;
    TAction action = Dest(c.fileName);
    c.setup(action);
    ASSERT_TRUE(plan.Run(c.track, action));
    EXPECT_EQ(action.PcmChain, c.decoded);
    EXPECT_TRUE(LogLines().empty());
  }
}

// Forced bitstream paths cannot apply sample options: one warning names them all.
TEST(PlanAudioInput, ForcedBitstreamWarnsAboutIgnoredOptions) {
  TPlan plan;
  {
    TAction action = Dest("x.eac3");
    action.Gain = 3;
    action.Remap = "0,1,2,3,5,4";
    action.Downmix = true;  // becomes down6 for 7.1
    ASSERT_TRUE(plan.Run(TTrack("eac3", 8), action));
    EXPECT_FALSE(action.PcmChain);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "The options gain, remap, down6 can't be applied without decoding; "
                              "they are ignored.  <WARNING>"}));
  }
  ClearLog();
  {
    TAction action = Dest("x.thd");
    action.Normalize = true;
    ASSERT_TRUE(plan.Run(TTrack("thd", 6, 24), action));
    EXPECT_EQ(
        LogLines(),
        (std::vector<std::string>{
            "The option normalize can't be applied without decoding; it is ignored.  <WARNING>"}));
  }
  ClearLog();
  {
    TAction action = Dest("x.mp3");
    action.ResampleTo = 44100;  // the track's own rate: nothing to ignore
    ASSERT_TRUE(plan.Run(TTrack("mp3", 2, 16, 44100), action));
    EXPECT_TRUE(LogLines().empty());
  }
}

// The common steps after the branch.
TEST(PlanAudioInput, CommonSteps) {
  TPlan plan;
  {  // 16 valid bits in 24-bit samples are stripped
    TAction action = Dest("x.wav");
    ASSERT_TRUE(plan.Run(TTrack("wav", 2, 24).ValidBits(16), action));
    EXPECT_EQ(plan.factory.records, (Records{"TWavReader", kSorter, "TStripTo16bit(check=0)"}));
    EXPECT_EQ(plan.details->GetContainerBits(), 16u);
  }
  {  // ... but never inside a bitstream
    TAction action = Dest("x.thd");
    ASSERT_TRUE(plan.Run(TTrack("thd", 2, 24).ValidBits(16), action));
    EXPECT_EQ(plan.factory.records, (Records{ThdReader(false, false)}));
  }
  {  // the reader's channel order, not for the check destination
    TAction action = Dest("x.wav");
    ASSERT_TRUE(plan.Run(TTrack("wav", 6).ReaderOrder("0,1,2,3,5,4"), action));
    EXPECT_EQ(plan.factory.records, (Records{"TWavReader", kSorter, Remap("0,1,2,3,5,4")}));
    TAction check = Dest("%check%.raw");
    ASSERT_TRUE(plan.Run(TTrack("wav", 6).ReaderOrder("0,1,2,3,5,4"), check));
    EXPECT_EQ(plan.factory.records, (Records{"TWavReader", kSorter}));
  }
  {  // mono picks the centre
    TAction action = Dest("x.wav");
    action.Mono = true;
    ASSERT_TRUE(plan.Run(TTrack("wav", 6), action));
    EXPECT_EQ(plan.factory.records, (Records{"TWavReader", kSorter, Pick("2", 4)}));
    EXPECT_EQ(plan.details->GetChannels(), 1u);
    EXPECT_EQ(plan.details->GetChannelText(), "1.0");
    EXPECT_EQ(plan.details->GetChannelMask(), 0x4u);
    TAction stereo = Dest("x.wav");
    stereo.Mono = true;
    ASSERT_TRUE(plan.Run(TTrack("wav", 2), stereo));
    EXPECT_EQ(plan.factory.records, (Records{"TWavReader", kSorter, Pick("0", 4)}));
    TAction lfeOnly = Dest("x.wav");  // left, right, LFE: no centre
    lfeOnly.Mono = true;
    ASSERT_TRUE(plan.Run(TTrack("wav", 3).Layout("", 0xB), lfeOnly));
    EXPECT_EQ(plan.factory.records.back(), Pick("0", 4));
  }
  {  // check16bit asks for the output analysis, except for lossy encoders
    TAction action = Dest("x.flac");
    action.Check16bit = true;
    ASSERT_TRUE(plan.Run(TTrack("wav", 2), action));
    EXPECT_TRUE(plan.result.analyzeOutput);
    TAction lossy = Dest("x.ac3");
    lossy.Check16bit = true;
    ASSERT_TRUE(plan.Run(TTrack("wav", 2), lossy));
    EXPECT_FALSE(plan.result.analyzeOutput);
  }
  {  // HDCD decoding: asked for, or an HDCD track into a lossy encoder
    TAction action = Dest("x.wav");
    action.DecodeHdcd = true;
    ASSERT_TRUE(plan.Run(TTrack("wav", 2), action));
    EXPECT_EQ(plan.factory.records.back(), "THdcdDecoder(decode=1, verbose=1)");
    EXPECT_EQ(plan.details->GetContainerBits(), 24u);
    TAction lossy = Dest("x.ac3");
    ASSERT_TRUE(plan.Run(TTrack("wav", 2).Hdcd(), lossy));
    EXPECT_EQ(plan.factory.records.back(), "THdcdDecoder(decode=1, verbose=1)");
    TAction lossless = Dest("x.flac");
    ASSERT_TRUE(plan.Run(TTrack("wav", 2).Hdcd(), lossless));
    EXPECT_EQ(plan.factory.records, (Records{"TWavReader", kSorter}));
  }
  {  // TrueHD decoded for a lossless destination is analysed on the output side
    TAction action = Dest("x.flac");
    ASSERT_TRUE(plan.Run(TTrack("thd", 6, 24), action));
    EXPECT_TRUE(plan.result.analyzeOutput);
    TAction lossy = Dest("x.ac3");
    ASSERT_TRUE(plan.Run(TTrack("thd", 6, 24), lossy));
    EXPECT_FALSE(plan.result.analyzeOutput);
    TAction mlp = Dest("x.flac");
    ASSERT_TRUE(plan.Run(TTrack("mlp", 2, 24), mlp));
    EXPECT_FALSE(plan.result.analyzeOutput);
  }
  {  // the FLAC decoder is handed out for the encoder's metadata
    TAction action = Dest("x.flac");
    ASSERT_TRUE(plan.Run(TTrack("flac", 2), action));
    ASSERT_TRUE(plan.result.flacDecoder);
    EXPECT_EQ(plan.track->GetUpstream(0), plan.result.flacDecoder);
  }
}

TEST(PlanAudioInput, DownmixChoice) {
  struct TCase {
    uint32_t channels;
    bool downmix, down6, down2;
    bool wantDown6, wantDown2;
  };
  const TCase cases[] = {
      {8, true, false, false, true, false},  {7, true, false, false, true, false},
      {6, true, false, false, false, true},  {3, true, false, false, false, true},
      {2, true, false, false, false, false}, {6, false, true, false, false, false},
      {8, true, false, true, false, true},   {2, false, false, true, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.channels);
    TPlan plan;
    TAction action = Dest("x.wav");
    action.Downmix = c.downmix;
    action.Down6 = c.down6;
    action.Down2 = c.down2;
    ASSERT_TRUE(plan.Run(TTrack("wav", c.channels), action));
    EXPECT_FALSE(action.Downmix);
    EXPECT_EQ(action.Down6, c.wantDown6);
    EXPECT_EQ(action.Down2, c.wantDown2);
  }
}

TEST(PlanAudioInput, UnverifiedAndUnknownTracks) {
  TPlan plan;
  TAction action = Dest("x.ac3");
  action.PcmChain = true;
  ASSERT_TRUE(plan.Run(TTrack("ac3", 6).Unverified(), action));
  EXPECT_TRUE(plan.factory.records.empty());
  EXPECT_FALSE(action.PcmChain);

  TAction unknown = Dest("x.wav");
  EXPECT_FALSE(plan.Run(TTrack("agm", 2), unknown));
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{"Internal error - unknown audio input format!  <ERROR>"}));
}

TEST(PlanAudioInput, JoinedSources) {
  const std::pair<const char*, const char*> cases[] = {
      {"wav", "WAV"},   {"w64", "W64"},    {"rf64", "RF64"},
      {"flac", "FLAC"}, {"ac3wav", "WAV"}, {"dtswav", "WAV"},
  };
  for (const auto& [format, word] : cases) {
    SCOPED_TRACE(format);
    TPlan plan;
    TAction action = Dest("x.wav");
    EXPECT_FALSE(plan.Run(TTrack(format, 2), action, false, 2));
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Source file joining currently doesn't work for " +
                                        std::string(word) + " files.  <ERROR>"}));
  }
  TPlan plan;  // joined elementary streams are fine
  TAction action = Dest("x.wav");
  EXPECT_TRUE(plan.Run(TTrack("ac3", 2), action, false, 3));
}

TEST(PlanAudioInput, BluRayPcm) {
  TPlan plan;
  TAction action = Dest("x.wav");
  ASSERT_TRUE(plan.Run(TTrack("pcm", 8, 24, 48000).BigEndian(4), action));
  EXPECT_EQ(plan.factory.records,
            (Records{"TRawReader(channels=8, bits=24, rate=48000, bigEndian=1, skip=4)",
                     "TEndianSwapper", kSorter}));
  EXPECT_EQ(action.Remap, "bluray");
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "This is probably a Blu-ray PCM track. Will remap channels accordingly."}));

  ClearLog();
  TAction container = Dest("x.wav");  // silently from a container
  ASSERT_TRUE(plan.Run(TTrack("pcm", 6, 16).BigEndian(), container, true));
  EXPECT_EQ(container.Remap, "bluray");
  EXPECT_TRUE(LogLines().empty());

  TAction given = Dest("x.wav");  // a remap of the user's own is kept
  given.Remap = "0,1,2,3,4,5";
  ASSERT_TRUE(plan.Run(TTrack("pcm", 6, 16).BigEndian(), given));
  EXPECT_EQ(given.Remap, "0,1,2,3,4,5");

  TAction stereo = Dest("x.wav");
  ASSERT_TRUE(plan.Run(TTrack("pcm", 2, 16).BigEndian(), stereo));
  EXPECT_TRUE(stereo.Remap.empty());
}

// ---- decoder choice ----

// Each decoder option against each decoder format, with the vendor components missing (as
// on this platform): accepted, or refused with the exact text.
TEST(PlanAudioInput, DecoderChoice) {
  enum TOption { kNero, kSonic, kArcSoft, kDcaDec, kLibav };
  struct TCase {
    const char* format;
    TOption option;
    const char* error;  // nullptr: accepted
  };
  const char* nero = "I'd like to use the Nero decoder, but it doesn't seem to work.";
  const char* sonic = "I'd like to use the Sonic decoder, but it doesn't seem to work.";
  const char* arcSoft = "I'd like to use the ArcSoft decoder, but it doesn't seem to work.";
  const char* dcaDec = "The libDcaDec Decoder only supports DTS and DTS-HD.";
  const TCase cases[] = {
      {"ac3", kNero, nero},
      {"ac3", kSonic, sonic},
      {"ac3", kArcSoft, "The ArcSoft AC3 Decoder isn't supported yet by kavrix."},
      {"ac3", kDcaDec, dcaDec},
      {"ac3", kLibav, nullptr},
      {"eac3", kNero, nero},
      {"eac3", kSonic, sonic},
      {"eac3", kArcSoft, "The ArcSoft E-AC3 Decoder isn't supported yet by kavrix."},
      {"eac3", kDcaDec, dcaDec},
      {"eac3", kLibav, nullptr},
      {"mp1", kSonic, sonic},
      {"mp2", kArcSoft, "The ArcSoft MP2 Decoder isn't supported yet by kavrix."},
      {"mp3", kNero, nero},
      {"mp3", kSonic, "The Sonic Audio Decoder doesn't support MP3 decoding."},
      {"mp3", kArcSoft, "The ArcSoft MP3 Decoder isn't supported yet by kavrix."},
      {"mp3", kDcaDec, dcaDec},
      {"mp3", kLibav, nullptr},
      {"aac", kNero, nero},
      {"aac", kSonic, sonic},
      {"aac", kArcSoft, "The ArcSoft AAC Decoder isn't supported yet by kavrix."},
      {"aac", kDcaDec, dcaDec},
      {"aac", kLibav, nullptr},
      {"dts", kNero, nero},
      {"dts", kSonic, sonic},
      {"dts", kArcSoft, arcSoft},
      {"dts", kDcaDec, nullptr},
      {"dts", kLibav, nullptr},
      {"dtsma", kArcSoft, arcSoft},
      {"dtshr", kDcaDec, nullptr},
      {"dtslbr", kNero, nero},
      {"dtslbr", kSonic, "The Sonic DTS Decoder doesn't supported this kind of DTS track."},
      {"dtslbr", kArcSoft, arcSoft},
      {"dtslbr", kDcaDec, dcaDec},
      {"dtslbr", kLibav, nullptr},
      {"dtsnc", kNero, "The Nero DTS Decoder doesn't supported this kind of DTS track."},
      {"dtsnc", kSonic, "The Sonic DTS Decoder doesn't supported this kind of DTS track."},
      {"dtsnc", kArcSoft, arcSoft},
      {"dtsnc", kDcaDec, nullptr},
      {"dtsnc", kLibav, "The libav DTS decoder can't handle this DTS track."},
      {"thd", kNero, nero},
      {"thd", kSonic, sonic},
      {"thd", kArcSoft, "The ArcSoft TrueHD/MLP Decoder isn't supported yet by kavrix."},
      {"thd", kDcaDec, dcaDec},
      {"mlp", kArcSoft, "The ArcSoft TrueHD/MLP Decoder isn't supported yet by kavrix."},
      {"thd/ac3", kSonic, sonic},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.format) + " option " + std::to_string(c.option));
    TPlan plan;
    TAction action = Dest("x.wav");
    action.Nero = c.option == kNero;
    action.Sonic = c.option == kSonic;
    action.ArcSoft = c.option == kArcSoft;
    action.DcaDec = c.option == kDcaDec;
    action.Libav = c.option == kLibav;
    const bool ok = plan.Run(TTrack(c.format, 6, 24).Core(6, 448000), action);
    if (c.error == nullptr) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(action.PcmChain);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(LogLines(), (std::vector<std::string>{std::string(c.error) + "  <ERROR>"}));
    }
  }
}

// The component tests run once per process state and are remembered.
TEST(CheckDecoderChoice, ComponentTestsAreCached) {
  test::TConsoleCapture console;
  TRunState state;
  int probes = 0;
  state.probes.nero = [&] {
    ++probes;
    return true;
  };
  UpStreamPtr node = CreatePassThrough();
  TAction action;
  action.Nero = true;
  EXPECT_TRUE(CheckDecoderChoice(state, "ac3", action, *node));
  EXPECT_TRUE(CheckDecoderChoice(state, "thd", action, *node));
  EXPECT_EQ(probes, 1);
  EXPECT_EQ(state.NeroWorks, 1);
  EXPECT_EQ(state.NeroUses, 2u);

  state.ArcSoftWorks = 0;  // tested before: does not work
  state.probes.arcSoft = [&] { return true; };
  TAction arc;
  arc.ArcSoft = true;
  EXPECT_FALSE(CheckDecoderChoice(state, "dts", arc, *node));
  EXPECT_EQ(state.ArcSoftUses, 0u);
  EXPECT_TRUE(CheckDecoderChoice(state, "flac", TAction{}, *node));
}

// ---- the vendor decoders (reachable when their components work) ----

struct TVendorCase {
  const char* label;
  TTrack track;
  std::function<void(TAction&)> setup;
  Records records;
  std::vector<std::string> messages;
};

TEST(PlanAudioInput, VendorDecoders) {
  const char* sonicXxch =
      "The Sonic Audio Decoder doesn't decode the XXCh channel extension.  <WARNING>";
  const auto nero = [](TAction& a) { a.Nero = true; };
  const auto sonic = [](TAction& a) { a.Sonic = true; };
  const auto arcSoft = [](TAction& a) { a.ArcSoft = true; };
  const std::vector<TVendorCase> cases = {
      {"nero ac3 3/1 is reordered",
       TTrack("ac3", 4).Layout("3/1", 0x107),
       nero,
       {Ac3Reader(), DShow(true, false), Remap("0,2,1,3,4,5"), kSorter},
       {}},
      {"nero ac3 5.1 needs no order",
       TTrack("ac3", 6),
       nero,
       {Ac3Reader(), DShow(true, false), kSorter},
       {}},
      {"nero eac3 7.1",
       TTrack("eac3", 8).Layout("7.1", 0x63F),
       nero,
       {Ac3Reader(), DShow(true, false), kSorter},
       {"The Nero E-AC3 decoder doesn't decode the back channels.  <WARNING>"}},
      {"sonic eac3 7.1",
       TTrack("eac3", 8).Layout("7.1", 0x63F),
       sonic,
       {Ac3Reader(), DShow(false, true), kSorter},
       {"The Sonic E-AC3 decoder doesn't decode the back channels.  <WARNING>"}},
      {"nero aac strips the headers",
       TTrack("aac", 2).CodecPrivate("\x11\x90"),
       nero,
       {"TAacReader(gaps=1, strict=1)", "TAacHeaderStripper", DShow(true, false, 2, false),
        kSorter},
       {}},
      {"sonic aac waits for full blocks",
       TTrack("aac", 2).CodecPrivate("\x11\x90"),
       sonic,
       {"TAacReader(gaps=1, strict=1)", DShow(false, true, 2, true), kSorter},
       {}},
      {"nero truehd 7.1",
       TTrack("thd", 8, 24).Layout("7.1", 0x63F),
       nero,
       {ThdReader(false, true), DShow(true, false), kSorter},
       {"The Nero TrueHD Decoder doesn't decode the back channels.  <WARNING>"}},
      {"sonic mp2",
       TTrack("mp2", 2),
       sonic,
       {"TMPxReader(gaps=1, strict=1)", DShow(false, true), kSorter},
       {}},
      {"nero dts 6.1",
       TTrack("dts", 7, 24).Layout("6.1", 0x70F),
       nero,
       {DtsReader(), kRepair, kPatch, DShow(true, false), kSorter},
       {"The Nero Audio Decoder doesn't decode the back channels.  <WARNING>"}},
      {"nero dtsma",
       TTrack("dtsma", 6, 24),
       nero,
       {DtsReader(), kRepair, DShow(true, false), kSorter},
       {"The Nero Audio Decoder doesn't decode the full DTS-HD information.  <WARNING>"}},
      {"sonic dts 3/1.1 rewritten",
       TTrack("dts", 5, 24).Layout("3/1.1", 0x10F),
       sonic,
       {DtsReader(), kRepair, kPatch, "TDtsChannelMapModder", DShow(false, true), Pick("1,3,0,2,4"),
        kSorter},
       {}},
      {"sonic dtshr 2/1 rewritten",
       TTrack("dtshr", 3, 24).Layout("2/1", 0x103),
       sonic,
       {DtsReader(), kRepair, kPatch, "TDtsChannelMapModder", DShow(false, true), Pick("2,0,1"),
        kSorter},
       {}},
      {"sonic dts 7.1 (XXCh)",
       TTrack("dts", 8, 24).Layout("7.1", 0x63F),
       sonic,
       {DtsReader(), kRepair, kPatch, DShow(false, true), kSorter},
       {sonicXxch}},
      {"sonic dts 6.1 is decoded whole",
       TTrack("dts", 7, 24).Layout("6.1", 0x70F),
       sonic,
       {DtsReader(), kRepair, kPatch, DShow(false, true), kSorter},
       {}},
      {"arcsoft dts 2/1 rewritten",
       TTrack("dts", 3, 24).Layout("2/1", 0x103),
       arcSoft,
       {DtsReader(), kRepair, kPatch, "TDtsChannelMapModder", "TArcSoftDtsDecoder(channels=3)",
        Pick("2,0,1"), kSorter},
       {}},
      {"arcsoft dtsma 3/1 with gains",
       TTrack("dtsma", 4, 24).Layout("3/1", 0x107),
       arcSoft,
       {DtsReader(), kRepair, "TArcSoftDtsDecoder(channels=4)", Pick("0,1,2,4"),
        "TRawEqualizer(gains=[256,256,256,362], dither=1)", kSorter},
       {}},
      {"arcsoft dtslbr mono",
       TTrack("dtslbr", 1),
       arcSoft,
       {kNoCoreReader, "TArcSoftDtsDecoder(channels=1)", Pick("2"), kSorter},
       {}},
      {"arcsoft dtsnc 5.1 to stereo",
       TTrack("dtsnc", 6, 24),
       [](TAction& a) {
         a.ArcSoft = true;
         a.PcmChannels = 2;
       },
       {kNoCoreReader, "TArcSoftDtsDecoder(channels=2)", kSorter},
       {}},
      {"arcsoft strange setup",
       TTrack("dtsma", 6, 24).Layout("5.1 (strange setup)"),
       arcSoft,
       {DtsReader(), kRepair, "TArcSoftDtsDecoder(channels=6)", kSorter},
       {"CAUTION: Decoding this track with ArcSoft results in low volume.  <WARNING>"}},
  };
  for (const TVendorCase& c : cases) {
    SCOPED_TRACE(c.label);
    TPlan plan;
    plan.state.probes.nero = [] { return true; };
    plan.state.probes.sonic = [] { return true; };
    plan.state.probes.arcSoft = [] { return true; };
    TAction action = Dest("x.wav");
    c.setup(action);
    ASSERT_TRUE(plan.Run(c.track, action));
    EXPECT_EQ(plan.factory.records, c.records);
    EXPECT_EQ(LogLines(), c.messages);
    EXPECT_TRUE(action.PcmChain);
  }
}

TEST(PlanAudioInput, VendorDetails) {
  TPlan plan;
  plan.state.probes.nero = [] { return true; };
  plan.state.probes.arcSoft = [] { return true; };
  {  // the Nero TrueHD decoder drops the back channels of 7.1
    TAction action = Dest("x.wav");
    action.Nero = true;
    action.Down6 = true;
    ASSERT_TRUE(plan.Run(TTrack("thd", 8, 24).Layout("7.1", 0x63F), action));
    EXPECT_EQ(plan.details->GetChannels(), 6u);
    EXPECT_EQ(plan.details->GetChannelMask(), 0x60Fu);
    EXPECT_FALSE(action.Down6);
  }
  plan.state.NeroUses = 0;
  {  // ArcSoft asked for six channels of a 7.1 track
    TAction action = Dest("x.wav");
    action.ArcSoft = true;
    action.PcmChannels = 6;
    ASSERT_TRUE(plan.Run(TTrack("dtsma", 8, 24).Layout("7.1", 0x63F), action));
    EXPECT_EQ(plan.factory.records[2], "TArcSoftDtsDecoder(channels=6)");
    EXPECT_EQ(plan.details->GetChannels(), 6u);
    EXPECT_EQ(plan.details->GetChannelText(), "5.1");
    EXPECT_EQ(plan.details->GetChannelMask(), DefaultChannelMask(6));
  }
}

// One operation at a time for the Nero and the ArcSoft decoders, across the run's destinations.
TEST(PlanAudioInput, SingleUseDecoders) {
  TPlan plan;
  plan.state.probes.nero = [] { return true; };
  plan.state.probes.arcSoft = [] { return true; };
  TAction first = Dest("a.wav");
  first.Nero = true;
  ASSERT_TRUE(plan.Run(TTrack("ac3", 2), first));
  TAction second = Dest("b.wav");
  second.Nero = true;
  EXPECT_FALSE(plan.Run(TTrack("ac3", 2), second));
  EXPECT_EQ(LogLines().back(),
            "The Nero Audio Decoder only allows one operation at a time.  <ERROR>");

  TAction arcA = Dest("a.wav");
  arcA.ArcSoft = true;
  plan.state.NeroUses = 0;
  ASSERT_TRUE(plan.Run(TTrack("dts", 6, 24), arcA));
  TAction arcB = arcA;
  EXPECT_FALSE(plan.Run(TTrack("dts", 6, 24), arcB));
  EXPECT_EQ(LogLines().back(),
            "The Arcsoft DTS Decoder only allows one operation at a time.  <ERROR>");
}

// A second pass after a clipping first pass decodes DTS to float.
TEST(PlanAudioInput, DcaDecSecondPass) {
  TPlan plan;
  plan.state.FirstPass = false;
  TAction action = Dest("x.wav");
  action.Peak = 1.25;
  action.PcmBits = 24;
  action.GapList = PackAudioGaps({{100, 200}});
  ASSERT_TRUE(plan.Run(TTrack("dts", 6, 24), action));
  EXPECT_EQ(plan.factory.records, (Records{DtsReader().replace(11, 6, "gaps=0"), kRepair, kPatch,
                                           DcaDec(false, true, false), kSorter}));
  EXPECT_TRUE(plan.details->GetIsFloat());
  EXPECT_EQ(plan.details->GetContainerBits(), 64u);

  TAction clean = Dest("x.wav");  // no clipping: the first pass's decoder again
  clean.Peak = 0.9;
  ASSERT_TRUE(plan.Run(TTrack("dts", 6, 24), clean));
  EXPECT_EQ(plan.factory.records[3], DcaDec());
}

// ---- the channel tables ----

TEST(ChannelTables, VendorOrders) {
  struct TRow {
    const char* table;  // "nero", "sonic", "arcsoft", "arcsoft-rewritten"
    uint32_t channels;
    const char* layout;
    std::vector<uint32_t> map;  // nero: empty; others: the pick
    std::vector<uint32_t> gains;
    const char* remap;  // nero only
  };
  const std::vector<TRow> rows = {
      {"nero", 3, "3.0", {}, {}, "0,2,1,3,4,5"},
      {"nero", 4, "2/1.1", {}, {}, "0,1,3,2,4,5"},
      {"nero", 4, "3.1", {}, {}, "0,2,1,3,4,5"},
      {"nero", 4, "3/1", {}, {}, "0,2,1,3,4,5"},
      {"nero", 5, "2/2.1", {}, {}, "0,1,4,2,3,5"},
      {"nero", 5, "3/1.1", {}, {}, "0,2,1,4,3,5"},
      {"nero", 5, "5.0", {}, {}, ""},
      {"nero", 6, "5.1", {}, {}, ""},
      {"nero", 3, "2.1", {}, {}, ""},
      {"sonic", 3, "2/1", {2, 0, 1}, {}, nullptr},
      {"sonic", 4, "2/1.1", {2, 0, 3, 1}, {}, nullptr},
      {"sonic", 4, "3/1", {1, 2, 0, 3}, {}, nullptr},
      {"sonic", 5, "3/1.1", {1, 3, 0, 2, 4}, {}, nullptr},
      {"sonic", 6, "5.1", {}, {}, nullptr},
      {"arcsoft", 1, "1.0", {2}, {}, nullptr},
      {"arcsoft", 2, "2.0", {}, {}, nullptr},
      {"arcsoft", 3, "2/1", {0, 1, 4}, {256, 256, 362}, nullptr},
      {"arcsoft", 3, "2.1", {0, 1, 3}, {}, nullptr},
      {"arcsoft", 3, "3.0", {0, 1, 2}, {}, nullptr},
      {"arcsoft", 4, "2/1.1", {0, 1, 3, 4}, {256, 256, 256, 362}, nullptr},
      {"arcsoft", 4, "2/2", {0, 1, 4, 5}, {}, nullptr},
      {"arcsoft", 4, "3/1", {0, 1, 2, 4}, {256, 256, 256, 362}, nullptr},
      {"arcsoft", 4, "3.1", {0, 1, 2, 3}, {}, nullptr},
      {"arcsoft", 5, "2/2.1", {0, 1, 3, 4, 5}, {}, nullptr},
      {"arcsoft", 5, "3/1.1", {0, 1, 2, 3, 4}, {256, 256, 256, 256, 362}, nullptr},
      {"arcsoft", 5, "5.0", {0, 1, 2, 4, 5}, {}, nullptr},
      {"arcsoft", 5, "4.1", {0, 1, 2, 3, 4}, {}, nullptr},
      {"arcsoft", 6, "6.0", {0, 1, 2, 4, 5, 6}, {}, nullptr},
      {"arcsoft", 6, "5.1", {}, {}, nullptr},
      {"arcsoft", 7, "6.1", {}, {}, nullptr},
      {"arcsoft", 8, "7.1", {}, {}, nullptr},
      {"arcsoft-rewritten", 1, "1.0", {2}, {}, nullptr},
      {"arcsoft-rewritten", 3, "2/1", {2, 0, 1}, {}, nullptr},
      {"arcsoft-rewritten", 3, "2.1", {0, 1, 3}, {}, nullptr},
      {"arcsoft-rewritten", 4, "2/1.1", {2, 0, 3, 1}, {}, nullptr},
      {"arcsoft-rewritten", 4, "3/1", {1, 4, 0, 5}, {}, nullptr},
      {"arcsoft-rewritten", 5, "3/1.1", {1, 4, 0, 3, 5}, {}, nullptr},
      {"arcsoft-rewritten", 5, "5.0", {0, 1, 2, 4, 5}, {}, nullptr},
      {"arcsoft-rewritten", 6, "6.0", {0, 1, 2, 4, 5, 6}, {}, nullptr},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(std::string(row.table) + " " + row.layout);
    const std::string table = row.table;
    if (table == "nero") {
      EXPECT_EQ(NeroOutputRemap(row.channels, row.layout), row.remap);
      continue;
    }
    const TChannelPick pick = table == "sonic"
                                  ? SonicPickMap(row.layout)
                                  : ArcSoftPick(row.channels, row.layout, table != "arcsoft");
    EXPECT_EQ(pick.map, row.map);
    EXPECT_EQ(pick.gains, row.gains);
  }
}

// ---- back-channel adjustment ----

TEST(AdjustBackChannels, DropsTheBackChannels) {
  struct TCase {
    uint32_t channels;
    const char* text;
    uint32_t mask;
    uint32_t wantChannels;
    const char* wantText;
    uint32_t wantMask;
  };
  const TCase cases[] = {
      {8, "7.1", 0x63F, 6, "5.1", 0x60F},
      {7, "6.1", 0x70F, 6, "5.1", 0x60F},
      {8, "7.1", 0x0FF, 6, "5.1", 0x0CF},
      {7, "7.0", 0x637, 5, "5.0", 0x607},                  // without LFE
      {8, "7.1", 0x6FF, 6, "5.1", DefaultChannelMask(6)},  // a mask that does not add up
      {6, "5.1", 0x60F, 6, "5.1", 0x60F},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    TTrack track("dts", c.channels);
    track.Layout(c.text, c.mask);
    auto details = track.Make();
    TAction action;
    action.Down6 = true;
    AdjustBackChannels(*details, action);
    EXPECT_EQ(details->GetChannels(), c.wantChannels);
    EXPECT_EQ(details->GetChannelText(), c.wantText);
    EXPECT_EQ(details->GetChannelMask(), c.wantMask);
    EXPECT_FALSE(action.Down6);
  }
}

// ---- source-side analysis ----

TEST(AddSourceAnalysis, OncePerDestination) {
  TPlan plan;
  TAction action = Dest("x.flac");
  ASSERT_TRUE(plan.Run(TTrack("thd", 6, 24), action));
  plan.factory.Clear();
  AddSourceAnalysis(plan.state, plan.track, *plan.details, action, plan.result);
  EXPECT_EQ(plan.factory.records,
            (Records{"TBitdepthAnalyzer(output=0)", "THdcdDecoder(decode=0, verbose=1)"}));
  EXPECT_TRUE(action.SourceAnalysisAdded);
  plan.factory.Clear();
  AddSourceAnalysis(plan.state, plan.track, *plan.details, action, plan.result);
  EXPECT_TRUE(plan.factory.records.empty());

  // A lossy source is analysed only on request; float samples get no HDCD detector.
  TAction lossy = Dest("x.wav");
  ASSERT_TRUE(plan.Run(TTrack("ac3", 6), lossy));
  plan.factory.Clear();
  AddSourceAnalysis(plan.state, plan.track, *plan.details, lossy, plan.result);
  EXPECT_TRUE(plan.factory.records.empty());
  lossy.AnalyzeBitdepth = true;
  AddSourceAnalysis(plan.state, plan.track, *plan.details, lossy, plan.result);
  EXPECT_EQ(plan.factory.records, (Records{"TBitdepthAnalyzer(output=0)"}));

  // A bitstream has no samples to analyse.
  TAction bitstream = Dest("x.ac3");
  bitstream.AnalyzeBitdepth = true;
  ASSERT_TRUE(plan.Run(TTrack("ac3", 6), bitstream));
  plan.factory.Clear();
  AddSourceAnalysis(plan.state, plan.track, *plan.details, bitstream, plan.result);
  EXPECT_TRUE(plan.factory.records.empty());
  EXPECT_FALSE(bitstream.SourceAnalysisAdded);
}

// ---- conversion check ----

TEST(CheckAudioConversion, AcceptedAndRefused) {
  struct TCase {
    const char* format;
    bool verified;
    const char* fileName;
    bool accepted;
  };
  const TCase cases[] = {
      // every decoding destination, for any verified format
      {"ac3", true, "x.raw", true},
      {"ac3", true, "x.pcm", true},
      {"ac3", true, "x.lpcm", true},
      {"eac3", true, "x.wav", true},
      {"dts", true, "x.w64", true},
      {"thd", true, "x.agm", true},
      {"mlp", true, "x.rf64", true},
      {"aac", true, "x.wavs", true},
      {"mp3", true, "x.AC3", true},
      {"flac", true, "x.flac", true},
      {"dtsma", true, "x.aac", true},
      {"pcm", true, "x.mp4", true},
      {"wav", true, "x.m4a", true},
      {"thd/ac3", true, "x.dts", true},
      // bitstream targets
      {"eac3", true, "x.ddp", true},
      {"eac3", true, "x.eac3", true},
      {"eac3", true, "x.dd+", true},
      {"eac3", true, "x.ec3", true},
      {"ac3", true, "x.eac3", false},
      {"mp1", true, "x.mp1", true},
      {"mp2", true, "x.mp2", true},
      {"mp3", true, "x.mp3", true},
      {"mp2", true, "x.mp3", false},
      {"thd", true, "x.thd", true},
      {"thd", true, "x.truehd", true},
      {"thd", true, "x.thd+ac3", true},
      {"thd/ac3", true, "x.thd", true},
      {"thd/ac3", true, "x.truehd", true},
      {"thd/ac3", true, "x.thd+ac3", true},
      {"mlp", true, "x.mlp", true},
      {"mlp", true, "x.thd", false},
      {"thd", true, "x.mlp", false},
      {"dtsma", true, "x.dtshd", true},
      {"dtsma", true, "x.dtsma", true},
      {"dtsma", true, "x.dtshr", false},
      {"dtshr", true, "x.dtshd", true},
      {"dtshr", true, "x.dtshr", true},
      {"dtshr", true, "x.dtsma", false},
      {"dts", true, "x.dtshd", false},
      {"dtslbr", true, "x.dtslbr", false},
      {"ac3", true, "x.mp3", false},
      {"ac3", true, "x.ogg", false},
      {"ac3", true, "x", false},
      // values from container metadata: a plain demux only
      {"ac3", false, "x.ac3", true},
      {"ac3", false, "x.wav", false},
      {"eac3", false, "x.eac3", true},
      {"eac3", false, "x.ddp", true},
      {"eac3", false, "x.dd+", true},
      {"eac3", false, "x.ec3", true},
      {"thd", false, "x.thd", true},
      {"thd", false, "x.truehd", true},
      {"thd", false, "x.thd+ac3", false},
      {"thd/ac3", false, "x.thd+ac3", true},
      {"thd/ac3", false, "x.thd", false},
      {"dtsma", false, "x.dts", true},
      {"dtsma", false, "x.dtshd", true},
      {"dtshr", false, "x.dts", true},
      {"dtshr", false, "x.DTSHD", true},
      {"dtslbr", false, "x.dtslbr", true},
      {"dtslbr", false, "x.dts", false},
      {"pcm", false, "x.pcm", true},
      {"pcm", false, "x.wav", false},
      {"aac", false, "x.flac", false},
      // not determined: anything goes
      {"?", false, "x.xyz", true},
      {"?", true, "x.wav", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.format) + (c.verified ? " verified " : " ") + c.fileName);
    test::TConsoleCapture console;
    TRunState state;
    std::vector<TAction> actions{Dest(c.fileName)};
    TTrack track(c.format, 6);
    if (!c.verified) track.Unverified();
    EXPECT_EQ(CheckAudioConversion(state, actions, 0, *track.Make(), 1), c.accepted);
    EXPECT_EQ(LogLines(), c.accepted ? std::vector<std::string>{}
                                     : std::vector<std::string>{
                                           "This audio conversion is not supported.  <ERROR>"});
  }
}

TEST(CheckAudioConversion, ResolvesTheStarExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"dtsma", "x.dtsma"}, {"ac3", "x.ac3"}, {"thd/ac3", "x.thd+ac3"}, {"mp2", "dir/x.mp2"}};
  for (const auto& [format, want] : cases) {
    test::TConsoleCapture console;
    TRunState state;
    std::vector<TAction> actions{
        Dest(std::string(want).substr(0, std::string(want).rfind('.')) + ".*")};
    EXPECT_TRUE(CheckAudioConversion(state, actions, 0, *TTrack(format, 6).Make(), 1));
    EXPECT_EQ(actions[0].FileName, want);
    EXPECT_EQ(actions.size(), 1u);
  }
}

TEST(CheckAudioConversion, SplitsThdAc3) {
  struct TCase {
    const char* label;
    const char* format;
    uint32_t bitrate;
    size_t files;
    bool split;
    bool verified = true;
  };
  const TCase cases[] = {
      {"embedded AC3 kept", "thd/ac3", 0, 1, false},
      {"same bitrate kept", "thd/ac3", 448, 1, false},
      {"other bitrate", "thd/ac3", 640, 1, true},
      {"joined sources", "thd/ac3", 0, 2, true},
      {"TrueHD without AC3", "thd", 0, 1, true},
      {"unverified: written as it arrives", "thd/ac3", 640, 1, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    test::TConsoleCapture console;
    TRunState state;
    std::vector<TAction> actions{Dest("movie.thd+ac3"), Dest("other.wav")};
    actions[0].Bitrate = c.bitrate;
    actions[0].Gain = -2;
    TTrack track(c.format, 6, 24);
    track.Core(6, 448000);
    if (!c.verified) track.Unverified();
    auto details = track.Make();
    ASSERT_TRUE(CheckAudioConversion(state, actions, 0, *details, c.files));
    if (!c.split) {
      EXPECT_EQ(actions.size(), 2u);
      EXPECT_EQ(actions[0].CompanionAction, 0u);
      continue;
    }
    ASSERT_EQ(actions.size(), 3u);
    EXPECT_EQ(actions[2].FileName, "movie.ac3");
    EXPECT_EQ(actions[2].Bitrate, c.bitrate);
    EXPECT_EQ(actions[2].Gain, -2);
    EXPECT_EQ(actions[0].CompanionAction, 3u);
    EXPECT_EQ(actions[2].CompanionAction, 1u);
    // Checked again (a later pass), neither half splits a second time.
    for (size_t i = 0; i < actions.size(); ++i)
      ASSERT_TRUE(CheckAudioConversion(state, actions, i, *details, c.files));
    EXPECT_EQ(actions.size(), 3u);
  }
}

// A split destination planned end to end: the TrueHD half passes through into its joiner,
// the AC3 half decodes the TrueHD without a gap list of its own.
TEST(CheckAudioConversion, SplitHalvesPlan) {
  test::TConsoleCapture console;
  TRunState state;
  std::vector<TAction> actions{Dest("x.thd+ac3")};
  actions[0].Bitrate = 640;
  const TTrack track = TTrack("thd/ac3", 6, 24).Core(6, 448000);
  auto details = track.Make();
  ASSERT_TRUE(CheckAudioConversion(state, actions, 0, *details, 1));
  ASSERT_EQ(actions.size(), 2u);

  TPlan plan;
  ASSERT_TRUE(plan.Run(track, actions[0]));
  EXPECT_EQ(plan.factory.records,
            (Records{ThdReader(true, false), "TThdAc3Remover", "TThdAc3Joiner"}));
  EXPECT_TRUE(actions[0].JoinerNode);
  EXPECT_FALSE(actions[0].PcmChain);
  ASSERT_TRUE(plan.Run(track, actions[1]));
  EXPECT_EQ(plan.factory.records, (Records{ThdReader(true, true, false, false), "TThdAc3Remover",
                                           Libav("truehd", false, true), kSorter}));
  EXPECT_TRUE(actions[1].PcmChain);
}

TEST(DestinationSets, Members) {
  EXPECT_TRUE(IsAc3Destination("a/b.AC3"));
  EXPECT_FALSE(IsAc3Destination("a.ac3/b"));
  for (const char* name : {"x.ddp", "x.EAC3", "x.dd+", "x.ec3"})
    EXPECT_TRUE(IsEac3Destination(name));
  for (const char* name : {"x.dts", "x.dtshd", "x.dtsma", "x.dtshr"})
    EXPECT_TRUE(IsDtsDestination(name));
  for (const char* name : {"x.aac", "x.mp4", "x.m4a"}) EXPECT_TRUE(IsAacDestination(name));
  for (const char* name : {"x.thd", "x.truehd", "x.mlp"}) EXPECT_TRUE(IsTrueHdDestination(name));
  EXPECT_FALSE(IsTrueHdDestination("x.thd+ac3"));
  for (const char* name : {"x.ac3", "x.dts", "x.aac", "x.mp4", "x.m4a"})
    EXPECT_TRUE(IsLossyEncoderDestination(name));
  EXPECT_FALSE(IsLossyEncoderDestination("x.dtshd"));
  for (const char* name : {"x.wav", "x.w64", "x.rf64", "x.wavs"})
    EXPECT_TRUE(IsWaveLikeDestination(name));
  EXPECT_FALSE(IsWaveLikeDestination("x.raw"));
  for (const char* id :
       {"dtsma", "pcm", "thd", "thd/ac3", "mlp", "flac", "wav", "w64", "rf64", "agm", "raw"})
    EXPECT_TRUE(IsLosslessSourceFormat(id));
  for (const char* id : {"dtshr", "dts", "ac3", "float"}) EXPECT_FALSE(IsLosslessSourceFormat(id));
}

}  // namespace
}  // namespace kavrix
