// The output half of the audio planning: which nodes follow the decoded (or copied) track for
// a destination, in which order and with which settings, how the track's details change,
// which notices and refusals appear, and how the mixing networks are wired.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/kavrix_mod_planning.h"
#include "app/recording_factory.h"
#include "core/voxUpStream.h"
#include "test_support.h"

namespace kavrix {
namespace {

// ---- record texts ----

const std::string kAuto = "TChannelModder(auto)";
const std::string kDelayer = "TRawDelayer";
const std::string kPeak = "TPeakSampleFinder(peak=1)";
const std::string kSpike = "TSpikeRemover";
const std::string kJoiner = "TChannelJoiner";
const std::string kFloat64 = "TFloatEnforcer(bits=64)";
const std::string kAnalyzer = "TBitdepthAnalyzer(output=1)";
const std::string kAmp3dB = "TChannelAmplifier(dB=0, factor=0.707107)";
const std::string kWav = "TWavWriter(extensible=1, member=0, noRewrite=0)";
const std::string kReduce24 = "TBitdepthReducer(bits=24, dither=1, silent=0)";
const std::string kReduce32 = "TBitdepthReducer(bits=32, dither=1, silent=0)";

std::string Dest(const std::string& name, bool result = true, int header = 0, int trailer = 0) {
  return "TDestFile(name=\"" + name + "\", result=" + (result ? "1" : "0") +
         ", fixed=0, header=" + std::to_string(header) + ", trailer=" + std::to_string(trailer) +
         ")";
}
std::string Split(uint32_t channel) {
  return "TChannelModder(map=[" + std::to_string(channel) + "], mask=0)";
}
std::string Rate(uint32_t rate) {
  return "TResampler(rate=" + std::to_string(rate) + ", fast=0, steep=0, r8brain=0)";
}
std::string Mixer(uint32_t mask) {
  return "TChannelMixer(mask=" + std::to_string(mask) + ")";
}
std::string Amp(const std::string& factor) {
  return "TChannelAmplifier(dB=0, factor=" + factor + ")";
}

using TRecords = std::vector<std::string>;

TRecords Cat(std::initializer_list<TRecords> parts) {
  TRecords all;
  for (const TRecords& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Channel i split off, made float 64, with optional further nodes.
TRecords Channel(uint32_t i, TRecords more = {}) {
  return Cat({{Split(i), kFloat64}, more});
}

// ---- the planning set-up ----

TAudioFormatParams Pcm(uint32_t channels, uint32_t mask, uint32_t bits = 24,
                       uint32_t rate = 48000) {
  TAudioFormatParams p;
  p.formatId = "pcm";
  p.displayName = "PCM";
  p.channels = channels;
  p.channelMask = mask;
  p.bits = bits;
  p.sampleRate = rate;
  return p;
}

TAudioFormatParams Float64(uint32_t channels, uint32_t mask) {
  TAudioFormatParams p = Pcm(channels, mask, 64);
  p.formatId = "float";
  p.isFloat = true;
  return p;
}

struct TSetup {
  TAudioFormatParams params = Pcm(6, 0x60F);
  TAction action;
  TOptions options;
  bool firstPass = true;
  bool fromContainer = false;
  bool analyzeOutput = false;

  TSetup() {
    action.FileName = "x.wav";
    action.PcmChain = true;
  }
};

struct TOutcome {
  bool ok = false;
  TRecords records;
  std::string console;
  UpStreamPtr track;
  TAction action;
  UpStreamPtr detailsNode;
  IAudioFormatDetails* details = nullptr;
};

TOutcome Plan(const TSetup& setup, TNodeFactory& factory, std::vector<TAction> actions = {},
              size_t index = 0) {
  TOutcome out;
  TRunState state;
  state.factory = &factory;
  state.FirstPass = setup.firstPass;
  if (actions.empty()) actions.push_back(setup.action);
  out.track = CreatePassThrough();
  out.detailsNode = CreatePassThrough();
  out.detailsNode->SetAudioFormat(setup.params);
  out.details = Query<IAudioFormatDetails>(out.detailsNode);
  test::TConsoleCapture console;
  out.ok = PlanAudioOutput(state, out.track, setup.fromContainer, setup.options, *out.details,
                           actions, index, setup.analyzeOutput, nullptr);
  out.console = console.Text();
  out.action = actions[index];
  if (auto* recording = dynamic_cast<test::TRecordingFactory*>(&factory))
    out.records = recording->records;
  return out;
}

TOutcome Plan(const TSetup& setup) {
  test::TRecordingFactory factory;
  return Plan(setup, factory);
}

struct TCase {
  const char* name;
  std::function<void(TSetup&)> setup;
  TRecords expected;
  bool ok = true;
  std::string console = {};  // a text the console must show
};

void RunTable(const std::vector<TCase>& cases) {
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TSetup setup;
    c.setup(setup);
    const TOutcome out = Plan(setup);
    EXPECT_EQ(out.ok, c.ok);
    EXPECT_EQ(out.records, c.expected);
    if (!c.console.empty()) {
      EXPECT_NE(out.console.find(c.console), std::string::npos) << out.console;
    }
  }
}

// ---- writers ----

TEST(PlanAudioOutput, WritersByExtension) {
  const TRecords head = {kAuto, kDelayer, kPeak};
  RunTable({
      {"wav", [](TSetup&) {}, Cat({head, {kWav, Dest("x.wav")}})},
      {"simple wav to stdout",
       [](TSetup& s) {
         s.action.FileName = "STDOUT.wav";
         s.action.Simple = true;
       },
       Cat({head, {"TWavWriter(extensible=0, member=0, noRewrite=1)", Dest("STDOUT.wav")}})},
      {"flac", [](TSetup& s) { s.action.FileName = "x.FLAC"; },
       Cat({head, {"TFlacEncoder(level=8, smallBlocks=0, decoder=0)", Dest("x.FLAC")}})},
      {"flac of a lossy.wav source",
       [](TSetup& s) {
         s.action.FileName = "x.flac";
         s.options.Sources = {"in.lossy.wav", "b.wav"};
       },
       Cat({head, {"TFlacEncoder(level=8, smallBlocks=1, decoder=0)", Dest("x.flac")}})},
      {"ac3 5.1 at the default 640", [](TSetup& s) { s.action.FileName = "x.ac3"; },
       Cat({head, {"TAc3Encoder(bitrate=640)", Dest("x.ac3", false)}})},
      {"ac3 stereo at the default 448",
       [](TSetup& s) {
         s.action.FileName = "x.ac3";
         s.params = Pcm(2, 0x3);
       },
       Cat({head, {"TAc3Encoder(bitrate=448)", Dest("x.ac3", false)}})},
      {"ac3 stereo at a given rate",
       [](TSetup& s) {
         s.action.FileName = "x.ac3";
         s.action.Bitrate = 192;
         s.params = Pcm(2, 0x3);
       },
       Cat({head, {"TAc3Encoder(bitrate=192)", Dest("x.ac3", false)}})},
      {"raw", [](TSetup& s) { s.action.FileName = "x.raw"; }, Cat({head, {Dest("x.raw")}})},
      {"pcm 7.1 in Blu-ray order",
       [](TSetup& s) {
         s.action.FileName = "x.pcm";
         s.params = Pcm(8, 0x63F);
       },
       Cat({head, {"TEndianSwapper", "TChannelModder(remap=\"0,1,2,6,4,5,7,3\")", Dest("x.pcm")}})},
      {"lpcm 5.1 in Blu-ray order", [](TSetup& s) { s.action.FileName = "x.lpcm"; },
       Cat({head, {"TEndianSwapper", "TChannelModder(remap=\"0,1,2,4,5,3\")", Dest("x.lpcm")}})},
      {"pcm stereo keeps its order",
       [](TSetup& s) {
         s.action.FileName = "x.pcm";
         s.params = Pcm(2, 0x3);
       },
       Cat({head, {"TEndianSwapper", Dest("x.pcm")}})},
      {"w64", [](TSetup& s) { s.action.FileName = "x.w64"; },
       Cat({head, {"TW64Writer(stdout=0)", Dest("x.w64")}})},
      {"rf64", [](TSetup& s) { s.action.FileName = "x.rf64"; },
       Cat({head, {"TRf64Writer", Dest("x.rf64")}})},
      {"agm 5.1 with LFE", [](TSetup& s) { s.action.FileName = "x.agm"; },
       Cat({head,
            {"TAgmWriter(layout=\"L C R\nLs Rs\nL|R|C|Ls|Rs\", lfe=1)", Dest("x.agm", false)}})},
      {"agm stereo drops the LFE",
       [](TSetup& s) {
         s.action.FileName = "x.agm";
         s.params = Pcm(3, 0xB);
       },
       Cat({head, {"TAgmWriter(layout=\"Stereo\nNo Surr\nL|R\", lfe=0)", Dest("x.agm", false)}})},
      {"agm 7.1 refused",
       [](TSetup& s) {
         s.action.FileName = "x.agm";
         s.params = Pcm(8, 0x63F);
       },
       head, false, "The AGM writer doesn't support this channel configuration."},
      {"wavs",
       [](TSetup& s) {
         s.action.FileName = "dir/x.wavs";
         s.params = Pcm(2, 0x3);
       },
       Cat({head,
            {"TChannelModder(map=[0], mask=4)", "TWavWriter(extensible=0, member=1, noRewrite=0)",
             Dest("dir/x.L.wav"), "TChannelModder(map=[1], mask=4)",
             "TWavWriter(extensible=0, member=1, noRewrite=0)", Dest("dir/x.R.wav")}})},
      {"aac through the external encoder",
       [](TSetup& s) {
         s.action.FileName = "x.aac";
         s.action.Quality = 40;
       },
       Cat({head,
            {"TWavWriter(extensible=1, member=0, noRewrite=1)",
             "TNeroAacEncoder(file=\"x.aac.m4a\", quality=40, bitrate=0)"}})},
      {"m4a keeps its name", [](TSetup& s) { s.action.FileName = "x.m4a"; },
       Cat({head,
            {"TWavWriter(extensible=1, member=0, noRewrite=1)",
             "TNeroAacEncoder(file=\"x.m4a\", quality=50, bitrate=0)"}})},
      {"unknown extension", [](TSetup& s) { s.action.FileName = "x.xyz"; }, head, false},
  });
}

TEST(PlanAudioOutput, BitstreamCopyGetsOnlyTheFileWithHeaderAndTrailer) {
  TSetup s;
  s.action.FileName = "x.ac3";
  s.action.PcmChain = false;
  s.action.Gain = 3;  // ignored: nothing is decoded
  s.params.formatId = "ac3";
  s.params.auxText2 = "ID3";
  test::TRecordingFactory factory;
  TRunState state;
  state.factory = &factory;
  std::vector<TAction> actions{s.action};
  auto track = CreatePassThrough();
  auto node = CreatePassThrough();
  node->SetAudioFormat(s.params);
  auto* details = Query<IAudioFormatDetails>(node);
  details->SetAuxText5("tail!");  // the bytes cut off at the end of the source
  EXPECT_TRUE(
      PlanAudioOutput(state, track, false, s.options, *details, actions, 0, false, nullptr));
  EXPECT_EQ(factory.records, TRecords({Dest("x.ac3", false, 3, 5)}));
}

TEST(PlanAudioOutput, MultiMonoAndDtsRecordTheirChannels) {
  TSetup s;
  s.action.FileName = "x.dts";
  const TOutcome out = Plan(s);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(out.action.MultiMonoChannels, 6u);
  EXPECT_EQ(out.action.MultiMonoMask, 0x60Fu);
  EXPECT_TRUE(out.action.EncodeDtsAfterRun);
  EXPECT_EQ(std::count(out.records.begin(), out.records.end(), Dest("x.LFE.wav")), 1);
  // 24-bit PCM is brought to 32 bits for the external encoder's input.
  EXPECT_NE(std::find(out.records.begin(), out.records.end(), kReduce32), out.records.end());

  s.action.FileName = "x.wavs";
  EXPECT_FALSE(Plan(s).action.EncodeDtsAfterRun);
}

TEST(PlanAudioOutput, SplitHalfEncodesIntoTheCompanionsJoiner) {
  TSetup s;
  std::vector<TAction> actions(2);
  actions[0].FileName = "x.thd+ac3";
  actions[0].CompanionAction = 2;
  actions[0].JoinerNode = CreatePassThrough();
  actions[1].FileName = "x.ac3";
  actions[1].PcmChain = true;
  actions[1].CompanionAction = 1;
  actions[1].GapList = PackAudioGaps({{10, 20}});  // the TrueHD half realizes the gaps
  test::TRecordingFactory factory;
  const TOutcome out = Plan(s, factory, actions, 1);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(out.records, TRecords({kAuto, kPeak, "TAc3Encoder(bitrate=640)"}));
  EXPECT_EQ(out.track->GetChainEnd(), actions[0].JoinerNode);

  actions[0].JoinerNode = nullptr;
  EXPECT_FALSE(Plan(s, factory, actions, 1).ok);
}

// ---- the processing steps ----

TEST(PlanAudioOutput, ProcessingSteps) {
  RunTable({
      {"gap tail of a file: realizers, then the delayer",
       [](TSetup& s) {
         s.action.GapList = PackAudioGaps({{1, 2}, {3, 4}});
         s.action.EditPosition = 5;
         s.action.EditAmount = 10000;
         s.action.EditSilence = true;
       },
       {kAuto, "TRawGapRealizer(gaps=2, silence=1, loop=0)", kSpike,
        "TRawGapRealizer(editor, silence=1, loop=0, position=5, drift=10000)", kSpike, kDelayer,
        kPeak, kAnalyzer, kWav, Dest("x.wav")}},
      {"gap tail of a container: the delayer first",
       [](TSetup& s) {
         s.fromContainer = true;
         s.action.GapList = PackAudioGaps({{1, 2}});
         s.action.EditLoop = true;
       },
       {kAuto, kDelayer, "TRawGapRealizer(gaps=1, silence=0, loop=1)", kSpike, kPeak, kAnalyzer,
        kWav, Dest("x.wav")}},
      {"check destination: no delayer, no peak, no reduction",
       [](TSetup& s) {
         s.action.FileName = "%check%.raw";
         s.params = Float64(2, 0x3);
       },
       {kAuto, Dest("%check%.raw")}},
      {"remap",
       [](TSetup& s) { s.action.Remap = "0,2,1,3,4,5"; },
       {kAuto, kDelayer, "TChannelModder(remap=\"0,2,1,3,4,5\")", kPeak, kWav, Dest("x.wav")}},
      {"gain makes float 64, reduced to 24 bits and analysed",
       [](TSetup& s) { s.action.Gain = 3; },
       {kAuto, kDelayer, "TChannelAmplifier(dB=3, factor=1.41254)", kPeak, kReduce24, kAnalyzer,
        kWav, Dest("x.wav")}},
      {"second pass normalizes to the first pass's peak",
       [](TSetup& s) {
         s.firstPass = false;
         s.action.Normalize = true;
         s.action.Peak = 0.5;
       },
       {kAuto, kDelayer, "TChannelAmplifier(dB=5.9333, factor=1.98)", kReduce24, kAnalyzer, kWav,
        Dest("x.wav")}},
      {"second pass lowers a clipped first pass",
       [](TSetup& s) {
         s.firstPass = false;
         s.action.Peak = 1.25;
       },
       {kAuto, kDelayer, "TChannelAmplifier(dB=-2.0255, factor=0.792)", kReduce24, kAnalyzer, kWav,
        Dest("x.wav")}},
      {"second pass without normalization keeps a quiet track",
       [](TSetup& s) {
         s.firstPass = false;
         s.action.Peak = 0.5;
       },
       {kAuto, kDelayer, kWav, Dest("x.wav")}},
      {"resampling per channel",
       [](TSetup& s) {
         s.params = Pcm(2, 0x3);
         s.action.ResampleTo = 44100;
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0, {Rate(44100)}),
            Channel(1, {Rate(44100)}),
            {kPeak, kReduce24, kAnalyzer, kWav, Dest("x.wav")}})},
      {"resampling to the track's own rate is no change",
       [](TSetup& s) { s.action.ResampleTo = 48000; },
       {kAuto, kDelayer, kPeak, kWav, Dest("x.wav")}},
      {"speed change per channel",
       [](TSetup& s) {
         s.params = Pcm(2, 0x3);
         s.action.SourceFps = 23976;
         s.action.TargetFps = 25000;
         s.action.R8brain = true;
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0, {"TResampler(from=23976, to=25000, fast=0, r8brain=1, steep=0)"}),
            Channel(1, {"TResampler(from=23976, to=25000, fast=0, r8brain=1, steep=0)"}),
            {kPeak, kReduce24, kAnalyzer, kWav, Dest("x.wav")}})},
      {"down6 of 7.1",
       [](TSetup& s) {
         s.params = Pcm(8, 0x63F);
         s.action.Down6 = true;
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0),
            Channel(1),
            Channel(2),
            Channel(3),
            Channel(4, {Mixer(0x10), Mixer(0x20)}),
            Channel(5),
            Channel(6),
            Channel(7),
            {kPeak, kReduce24, kAnalyzer, kWav, Dest("x.wav")}})},
      {"down6 of 6.1",
       [](TSetup& s) {
         s.params = Pcm(7, 0x70F);
         s.action.Down6 = true;
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0),
            Channel(1),
            Channel(2),
            Channel(3),
            Channel(4, {Mixer(0x10), Mixer(0x20), kAmp3dB}),
            Channel(5),
            Channel(6),
            {kPeak, kReduce24, kAnalyzer, kWav, Dest("x.wav")}})},
      {"double7 of 6.1",
       [](TSetup& s) {
         s.params = Pcm(7, 0x70F);
         s.action.Double7 = true;
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0),
            Channel(1),
            Channel(2),
            Channel(3),
            Channel(4, {kAmp3dB}),
            Channel(5),
            Channel(6),
            {kPeak, kReduce24, kAnalyzer, kWav, Dest("x.wav")}}),
       true, "Doubling 7th channel..."},
      {"6.1 to Blu-ray PCM is doubled to 7.1 and reordered",
       [](TSetup& s) {
         s.params = Pcm(7, 0x70F);
         s.action.FileName = "x.pcm";
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0),
            Channel(1),
            Channel(2),
            Channel(3),
            Channel(4, {kAmp3dB}),
            Channel(5),
            Channel(6),
            {kPeak, kReduce24, kAnalyzer, "TEndianSwapper",
             "TChannelModder(remap=\"0,1,2,6,4,5,7,3\")", Dest("x.pcm")}}),
       true, "Blu-Ray PCM doesn't support 6.1 channels. Will upconvert to 7.1."},
      {"back channels of 6.1 become sides, so Blu-ray PCM doubles them too",
       [](TSetup& s) {
         s.params = Pcm(7, 0x13F);
         s.action.FileName = "x.pcm";
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0),
            Channel(1),
            Channel(2),
            Channel(3),
            Channel(4, {kAmp3dB}),
            Channel(5),
            Channel(6),
            {kPeak, kReduce24, kAnalyzer, "TEndianSwapper",
             "TChannelModder(remap=\"0,1,2,6,4,5,7,3\")", Dest("x.pcm")}})},
      {"a downmix wins over the doubling",
       [](TSetup& s) {
         s.params = Pcm(7, 0x70F);
         s.action.FileName = "x.pcm";
         s.action.Double7 = true;
         s.action.Down6 = true;
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0),
            Channel(1),
            Channel(2),
            Channel(3),
            Channel(4, {Mixer(0x10), Mixer(0x20), kAmp3dB}),
            Channel(5),
            Channel(6),
            {kPeak, kReduce24, kAnalyzer, "TEndianSwapper", "TChannelModder(remap=\"0,1,2,4,5,3\")",
             Dest("x.pcm")}})},
      {"7.1 to ac3 is mixed down to 5.1",
       [](TSetup& s) {
         s.params = Pcm(8, 0x63F);
         s.action.FileName = "x.ac3";
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0),
            Channel(1),
            Channel(2),
            Channel(3),
            Channel(4, {Mixer(0x10), Mixer(0x20)}),
            Channel(5),
            Channel(6),
            Channel(7),
            {kPeak, kAnalyzer, "TAc3Encoder(bitrate=640)", Dest("x.ac3", false)}}),
       true, "AC3 encoding doesn't support back channels. Will mix them into the surround."},
      {"6.1 to aac doubles the 7th channel",
       [](TSetup& s) {
         s.params = Pcm(7, 0x70F);
         s.action.FileName = "x.mp4";
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0),
            Channel(1),
            Channel(2),
            Channel(3),
            Channel(4, {kAmp3dB}),
            Channel(5),
            Channel(6),
            {kPeak, kReduce32, kAnalyzer, "TWavWriter(extensible=1, member=0, noRewrite=1)",
             "TNeroAacEncoder(file=\"x.mp4\", quality=50, bitrate=0)"}}),
       true, "NeroAacEnc doesn't support 6.1 encoding. Will double the 7th channel."},
      {"stereo 88.2 kHz to ac3 is resampled to 44.1 kHz",
       [](TSetup& s) {
         s.params = Pcm(2, 0x3, 24, 88200);
         s.action.FileName = "x.ac3";
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0, {Rate(44100)}),
            Channel(1, {Rate(44100)}),
            {kPeak, kAnalyzer, "TAc3Encoder(bitrate=448)", Dest("x.ac3", false)}}),
       true, "AC3 encoding doesn't support this samplerate. Will resample to 44.1kHz."},
      {"mono 192 kHz to dts is resampled to 48 kHz",
       [](TSetup& s) {
         s.params = Pcm(1, 0x4, 16, 192000);
         s.action.FileName = "x.dts";
       },
       Cat({{kAuto, kDelayer, kJoiner},
            Channel(0, {Rate(48000)}),
            {kPeak, kReduce32, kAnalyzer, "TChannelModder(map=[0], mask=4)",
             "TWavWriter(extensible=0, member=1, noRewrite=0)", Dest("x.C.wav")}}),
       true, "The Surcode DTS encoder doesn't support this samplerate. Will resample to 48kHz."},
      {"ac3 below 32 kHz is refused",
       [](TSetup& s) {
         s.params = Pcm(2, 0x3, 16, 22050);
         s.action.FileName = "x.ac3";
       },
       {kAuto},
       false,
       "AC3 encoding doesn't support samplerates below 32kHz"},
      {"dpl stereo downmix of 5.1", [](TSetup& s) { s.action.Down2 = true; },
       Cat({{kAuto, kDelayer, kJoiner, Mixer(1), Mixer(2)},
            Channel(0),
            Channel(1),
            {Split(2), kAmp3dB, Split(3), "TFileSimulator", Split(4), Amp("0.866"), Amp("-0.5"),
             Split(5), Amp("0.5"), Amp("-0.866"), kPeak, kReduce24, kAnalyzer, kWav,
             Dest("x.wav")}})},
      {"plain stereo downmix of 6.1 with LFE and back centre",
       [](TSetup& s) {
         s.params = Pcm(7, 0x70F);
         s.action.Down2 = true;
         s.action.DownStereo = true;
         s.action.MixLfe = true;
       },
       Cat({{kAuto, kDelayer, kJoiner, Mixer(1), Mixer(2)},
            Channel(0),
            Channel(1),
            {Split(2), kAmp3dB, Split(3), Amp("1.58114"), Split(4), Amp("0.5"), Split(5), kAmp3dB,
             Split(6), kAmp3dB, kPeak, kReduce24, kAnalyzer, kWav, Dest("x.wav")}})},
      {"dpl with phase shift on the surround paths",
       [](TSetup& s) {
         s.params = Pcm(4, 0x603);
         s.action.Down2 = true;
         s.action.PhaseShift = true;
       },
       Cat({{kAuto, kDelayer, kJoiner, Mixer(1), Mixer(2)},
            Channel(0),
            Channel(1),
            {Split(2), Amp("0.866"), "TPhaseShifter90", Amp("-0.5"), "TPhaseShifter90", Split(3),
             Amp("0.5"), "TPhaseShifter90", Amp("-0.866"), "TPhaseShifter90", kPeak, kReduce24,
             kAnalyzer, kWav, Dest("x.wav")}})},
      {"phase 90 on mono",
       [](TSetup& s) {
         s.params = Pcm(1, 0x4);
         s.action.Phase = 450;
       },
       {kAuto, kDelayer, kFloat64, "TPhaseShifter90", kPeak, kReduce24, kAnalyzer, kWav,
        Dest("x.wav")}},
      {"phase -90 is 270",
       [](TSetup& s) {
         s.params = Pcm(1, 0x4);
         s.action.Phase = -90;
       },
       {kAuto, kDelayer, kFloat64, "TPhaseShifter90", Amp("-1"), kPeak, kReduce24, kAnalyzer, kWav,
        Dest("x.wav")}},
      {"phase 180",
       [](TSetup& s) {
         s.params = Pcm(1, 0x4);
         s.action.Phase = 180;
       },
       {kAuto, kDelayer, kFloat64, Amp("-1"), kPeak, kReduce24, kAnalyzer, kWav, Dest("x.wav")}},
      {"phase 45 mixes both paths",
       [](TSetup& s) {
         s.params = Pcm(1, 0x4);
         s.action.Phase = 45;
       },
       {kAuto, kDelayer, kFloat64, Mixer(4), kAmp3dB, kAmp3dB, "TPhaseShifter90", kPeak, kReduce24,
        kAnalyzer, kWav, Dest("x.wav")}},
      {"phase on 5.1 is ignored",
       [](TSetup& s) { s.action.Phase = 90; },
       {kAuto, kDelayer, kPeak, kWav, Dest("x.wav")},
       true,
       "phase setting is ignored"},
      {"target bits reduce with dither",
       [](TSetup& s) { s.action.TargetBits = 16; },
       {kAuto, kDelayer, kPeak, "TBitdepthReducer(bits=16, dither=1, silent=0)", kAnalyzer, kWav,
        Dest("x.wav")}},
      {"target bits above the track's are skipped",
       [](TSetup& s) {
         s.params = Pcm(6, 0x60F, 16);
         s.action.TargetBits = 24;
       },
       {kAuto, kDelayer, kPeak, kWav, Dest("x.wav")}},
      {"target bits of float without dither, no further reduction",
       [](TSetup& s) {
         s.params = Float64(2, 0x3);
         s.action.TargetBits = 24;
         s.action.DontDither = true;
       },
       {kAuto, kDelayer, kPeak, "TBitdepthReducer(bits=24, dither=0, silent=0)", kWav,
        Dest("x.wav")}},
      {"float32 keeps float for wave files",
       [](TSetup& s) {
         s.params = Float64(2, 0x3);
         s.action.Float32 = true;
       },
       {kAuto, kDelayer, kPeak, "TFloatEnforcer(bits=32)", kWav, Dest("x.wav")}},
      {"full keeps float 64 for wave files",
       [](TSetup& s) {
         s.params = Float64(2, 0x3);
         s.action.Full = true;
         s.action.FileName = "x.w64";
       },
       {kAuto, kDelayer, kPeak, "TW64Writer(stdout=0)", Dest("x.w64")}},
      {"full does not apply to flac",
       [](TSetup& s) {
         s.params = Float64(2, 0x3);
         s.action.Full = true;
         s.action.FileName = "x.flac";
       },
       {kAuto, kDelayer, kPeak, kReduce24, "TFlacEncoder(level=8, smallBlocks=0, decoder=0)",
        Dest("x.flac")}},
      {"ac3 takes float as it is",
       [](TSetup& s) {
         s.params = Float64(2, 0x3);
         s.action.FileName = "x.ac3";
       },
       {kAuto, kDelayer, kPeak, "TAc3Encoder(bitrate=448)", Dest("x.ac3", false)}},
      {"output-side analysis asked for by the input planning",
       [](TSetup& s) {
         s.params = Float64(2, 0x3);
         s.action.Gain = -6;
         s.analyzeOutput = true;
       },
       {kAuto, kDelayer, "TChannelAmplifier(dB=-6, factor=0.501187)", kPeak, kReduce24, kAnalyzer,
        kWav, Dest("x.wav")}},
      {"no output-side analysis for a modified lossy source",
       [](TSetup& s) {
         s.params = Float64(2, 0x3);
         s.action.Gain = -6;
       },
       {kAuto, kDelayer, "TChannelAmplifier(dB=-6, factor=0.501187)", kPeak, kReduce24, kWav,
        Dest("x.wav")}},
      {"first pass of two: full precision into the pass1 file",
       [](TSetup& s) {
         s.action.FileName = "x.flac";
         s.action.TwoPass = true;
         s.action.Gain = 3;
         s.action.TargetBits = 16;
       },
       {kAuto, kDelayer, "TChannelAmplifier(dB=3, factor=1.41254)", kPeak, kAnalyzer, kWav,
        Dest("x.flac.pass1.wav")}},
      {"first pass of two for a wav",
       [](TSetup& s) { s.action.TwoPass = true; },
       {kAuto, kDelayer, kPeak, kWav, Dest("x.pass1.wav")}},
  });
}

TEST(PlanAudioOutput, Refusals) {
  RunTable({
      {"down6 of 5.1",
       [](TSetup& s) { s.action.Down6 = true; },
       {kAuto},
       false,
       "Can't downmix this channel configuration (60F)."},
      {"down6 with a mask that does not match the channels",
       [](TSetup& s) {
         s.params = Pcm(6, 0x63F);
         s.action.Down6 = true;
       },
       {kAuto},
       false,
       "Can't downmix this channel configuration (63F)."},
      {"double7 of 7.1",
       [](TSetup& s) {
         s.params = Pcm(8, 0x63F);
         s.action.Double7 = true;
       },
       {kAuto},
       false,
       "This channel configuration doesn't allow 7th channel doubling."},
      {"stereo downmix without front speakers",
       [](TSetup& s) {
         s.params = Pcm(3, 0x1000 | 0x2000 | 0x4000);
         s.action.Down2 = true;
       },
       Cat({{kAuto, kDelayer, kJoiner, Mixer(1), Mixer(2)},
            {Split(0), "TFileSimulator", Split(1), "TFileSimulator", Split(2), "TFileSimulator"}}),
       false, "Can't downmix this channel configuration (7000)."},
  });
}

TEST(PlanAudioOutput, DetailsFollowTheChain) {
  {
    TSetup s;
    s.params = Pcm(6, 0x3F);  // 5.1 with back channels
    const TOutcome out = Plan(s);
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.details->GetChannelMask(), 0x60Fu);
    EXPECT_EQ(out.action.OutputBits, 24u);
    EXPECT_FALSE(out.action.BitsReduced);
  }
  {
    TSetup s;
    s.params = Pcm(8, 0x63F, 16, 96000);
    s.action.Down6 = true;
    s.action.ResampleTo = 48000;
    const TOutcome out = Plan(s);
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.details->GetChannels(), 6u);
    EXPECT_EQ(out.details->GetChannelMask(), 0x60Fu);
    EXPECT_EQ(out.details->GetChannelText(), "5.1");
    EXPECT_EQ(out.details->GetSampleRate(), 48000u);
    // Float 64 from the network, reduced to 24 bits for the file.
    EXPECT_FALSE(out.details->GetIsFloat());
    EXPECT_EQ(out.action.OutputBits, 24u);
    EXPECT_TRUE(out.action.BitsReduced);
  }
  {
    TSetup s;
    s.params = Pcm(7, 0x70F);
    s.action.Double7 = true;
    s.action.Full = true;
    const TOutcome out = Plan(s);
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.details->GetChannels(), 8u);
    EXPECT_EQ(out.details->GetChannelMask(), 0x63Fu);
    EXPECT_EQ(out.details->GetChannelText(), "7.1");
    EXPECT_TRUE(out.details->GetIsFloat());
    EXPECT_EQ(out.action.OutputBits, 64u);
  }
  {
    TSetup s;
    s.action.Down2 = true;
    s.action.TargetBits = 16;
    const TOutcome out = Plan(s);
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.details->GetChannels(), 2u);
    EXPECT_EQ(out.details->GetChannelMask(), 0x3u);
    EXPECT_EQ(out.details->GetChannelText(), "2.0");
    EXPECT_FALSE(out.details->GetIsFloat());
    EXPECT_EQ(out.action.OutputBits, 16u);
  }
  {
    TSetup s;
    s.action.FileName = "x.flac";
    s.action.ValidBitsResult = 20;
    s.action.TwoPass = true;
    const TOutcome first = Plan(s);
    EXPECT_EQ(first.action.Pass1FileName, "x.flac.pass1.wav");
    s.firstPass = false;
    EXPECT_EQ(Plan(s).action.ValidBitsResult, 0u);
  }
  {
    // A second ac3 pass over a resampled destination does not resample again.
    TSetup s;
    s.params = Pcm(2, 0x3, 16, 96000);
    s.action.FileName = "x.ac3";
    const TOutcome first = Plan(s);
    EXPECT_EQ(first.action.ResampleTo, 48000u);
    EXPECT_EQ(first.action.Bitrate, 448u);
    s.action = first.action;
    const TOutcome second = Plan(s);
    EXPECT_EQ(second.console.find("Will resample"), std::string::npos);
  }
}

// ---- wiring of the networks ----

// A factory whose nodes expose what the wiring checks need.
class TProbeNode final : public TPassThrough {
 public:
  explicit TProbeNode(std::string record) : record(std::move(record)) {}
  const std::string record;
  const std::vector<TKey>& Keys() const { return SenderKeys(); }
  bool Silent() const { return IsSilenced(); }
  int32_t Delay() const { return GetDelay(0); }
};

class TProbeFactory final : public TNodeFactory {
 public:
  std::vector<std::shared_ptr<TProbeNode>> nodes;

  std::shared_ptr<TProbeNode> Find(const std::string& record, size_t nth = 0) const {
    for (const auto& n : nodes)
      if (n->record == record && nth-- == 0) return n;
    return nullptr;
  }

 protected:
  UpStreamPtr Make(const std::string& record, const std::function<UpStreamPtr()>&) override {
    nodes.push_back(std::make_shared<TProbeNode>(record));
    return nodes.back();
  }
};

// The input positions of `target` that the paths from `head` reach (in sender-key order).
std::vector<size_t> InputsReached(const UpStreamPtr& head,
                                  const std::shared_ptr<TProbeNode>& target) {
  std::vector<size_t> inputs;
  std::function<void(const UpStreamPtr&)> walk = [&](const UpStreamPtr& node) {
    auto* sender = dynamic_cast<TUpStream*>(node.get());
    for (size_t k = 0; k < node->GetUpstreamCount(); ++k) {
      UpStreamPtr up = node->GetUpstream(k);
      if (up == target) {
        const auto& keys = target->Keys();
        const auto it = std::find(keys.begin(), keys.end(), sender->KeyOf(k));
        inputs.push_back(size_t(it - keys.begin()));
      } else {
        walk(up);
      }
    }
  };
  walk(head);
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

// The channel heads hang below the automatic modder and the delayer; in channel order.
std::vector<UpStreamPtr> ChannelHeads(const TProbeFactory& factory) {
  std::vector<UpStreamPtr> heads;
  auto delayer = factory.Find(kDelayer);
  for (uint32_t i = 0; i < delayer->GetUpstreamCount(); ++i) {
    heads.push_back(factory.Find(Split(i)));
    bool below = false;
    for (size_t k = 0; k < delayer->GetUpstreamCount(); ++k)
      below = below || delayer->GetUpstream(k) == heads.back();
    EXPECT_TRUE(below) << i;
  }
  return heads;
}

using TInputs = std::vector<std::vector<size_t>>;

TInputs JoinerInputs(const TProbeFactory& factory, const std::string& target = kJoiner,
                     size_t nth = 0) {
  TInputs all;
  for (const UpStreamPtr& head : ChannelHeads(factory))
    all.push_back(InputsReached(head, factory.Find(target, nth)));
  return all;
}

TEST(PlanAudioOutputWiring, DoublingFeedsTheBackCentreTwiceInSevenOneOrder) {
  TSetup s;
  s.params = Pcm(7, 0x70F);
  s.action.Double7 = true;
  TProbeFactory factory;
  const TOutcome out = Plan(s, factory);
  ASSERT_TRUE(out.ok);
  // FL FR C LFE | BC BC | SL SR: the 7.1 mask order with the back centre as both backs.
  EXPECT_EQ(JoinerInputs(factory), TInputs({{0}, {1}, {2}, {3}, {4, 5}, {6}, {7}}));
  EXPECT_EQ(factory.Find(kJoiner)->Keys().size(), 8u);
  // The chain goes on behind the joiner, with no reordering after it.
  EXPECT_EQ(factory.Find(kJoiner)->GetUpstream(0), factory.Find(kPeak));
}

TEST(PlanAudioOutputWiring, Down6SumsBacksIntoSides) {
  {
    TSetup s;
    s.params = Pcm(8, 0x63F);
    s.action.Down6 = true;
    TProbeFactory factory;
    ASSERT_TRUE(Plan(s, factory).ok);
    EXPECT_EQ(JoinerInputs(factory), TInputs({{0}, {1}, {2}, {3}, {4}, {5}, {4}, {5}}));
    EXPECT_EQ(JoinerInputs(factory, Mixer(0x10)), TInputs({{}, {}, {}, {}, {0}, {}, {1}, {}}));
    EXPECT_EQ(JoinerInputs(factory, Mixer(0x20)), TInputs({{}, {}, {}, {}, {}, {0}, {}, {1}}));
    EXPECT_FALSE(factory.Find(Mixer(0x10))->Silent());
    EXPECT_TRUE(factory.Find(Mixer(0x20))->Silent());
  }
  {
    TSetup s;
    s.params = Pcm(7, 0x70F);
    s.action.Down6 = true;
    TProbeFactory factory;
    ASSERT_TRUE(Plan(s, factory).ok);
    EXPECT_EQ(JoinerInputs(factory), TInputs({{0}, {1}, {2}, {3}, {4, 5}, {4}, {5}}));
    EXPECT_EQ(JoinerInputs(factory, Mixer(0x10)), TInputs({{}, {}, {}, {}, {0}, {1}, {}}));
    EXPECT_EQ(JoinerInputs(factory, Mixer(0x20)), TInputs({{}, {}, {}, {}, {0}, {}, {1}}));
  }
}

TEST(PlanAudioOutputWiring, DplDownmixRoutesEverySpeaker) {
  TSetup s;
  s.action.Down2 = true;
  TProbeFactory factory;
  ASSERT_TRUE(Plan(s, factory).ok);
  // FL FR C LFE SL SR of 5.1.
  EXPECT_EQ(JoinerInputs(factory, Mixer(1)), TInputs({{0}, {}, {1}, {}, {2}, {3}}));
  EXPECT_EQ(JoinerInputs(factory, Mixer(2)), TInputs({{}, {0}, {1}, {}, {2}, {3}}));
  const auto joiner = factory.Find(kJoiner);
  EXPECT_EQ(InputsReached(factory.Find(Mixer(1)), joiner), std::vector<size_t>({0}));
  EXPECT_EQ(InputsReached(factory.Find(Mixer(2)), joiner), std::vector<size_t>({1}));
  EXPECT_TRUE(factory.Find(Mixer(2))->Silent());
  EXPECT_EQ(joiner->GetUpstream(0), factory.Find(kPeak));
}

TEST(PlanAudioOutputWiring, OnlyTheFirstResamplerSpeaks) {
  TSetup s;
  s.action.ResampleTo = 44100;
  TProbeFactory factory;
  ASSERT_TRUE(Plan(s, factory).ok);
  EXPECT_EQ(JoinerInputs(factory), TInputs({{0}, {1}, {2}, {3}, {4}, {5}}));
  EXPECT_FALSE(factory.Find(Rate(44100), 0)->Silent());
  for (size_t i = 1; i < 6; ++i) EXPECT_TRUE(factory.Find(Rate(44100), i)->Silent()) << i;
}

TEST(PlanAudioOutputWiring, DelayReachesTheFileAndMultiMonoWritersAfterTheFirstAreSilent) {
  TSetup s;
  s.action.Delay = -120;
  s.action.FileName = "x.wavs";
  s.params = Pcm(2, 0x3);
  TProbeFactory factory;
  ASSERT_TRUE(Plan(s, factory).ok);
  EXPECT_EQ(factory.Find(Dest("x.L.wav"))->Delay(), -120);
  EXPECT_EQ(factory.Find(Dest("x.R.wav"))->Delay(), -120);
  const std::string writer = "TWavWriter(extensible=0, member=1, noRewrite=0)";
  EXPECT_FALSE(factory.Find(writer, 0)->Silent());
  EXPECT_TRUE(factory.Find(writer, 1)->Silent());
}

TEST(Ac3ChannelOrder, EncoderTakesMaskOrderAndTheA52TableStaysAvailable) {
  for (uint32_t channels = 1; channels <= 8; ++channels)
    EXPECT_EQ(Ac3EncoderInputRemap(channels, ChannelCountWord(channels)), "");
  EXPECT_EQ(Ac3A52ChannelOrder(6, "5.1"), "0,2,1,4,5,3");
  EXPECT_EQ(Ac3A52ChannelOrder(5, "2/2.1"), "0,1,3,4,2,5");
  EXPECT_EQ(Ac3A52ChannelOrder(4, "3/1"), "0,2,1,3,4,5");
  EXPECT_EQ(Ac3A52ChannelOrder(2, "2.0"), "");
  EXPECT_EQ(Ac3A52ChannelOrder(4, "2/2"), "");
}

}  // namespace
}  // namespace kavrix
