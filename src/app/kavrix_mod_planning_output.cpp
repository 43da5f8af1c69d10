// The output half of the audio planning: the PCM processing in its fixed order (layout fixes,
// gaps and delay, remap, gain, speed change or resampling, downmixes, phase, peak measuring,
// bit depth), then the writer or encoder and the destination file. The planner only creates
// nodes through the run state's factory, links them and keeps the track's details current.
#include <cmath>
#include <cstdio>
#include <initializer_list>

#include "app/kavrix_mod_planning.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

constexpr double kMinus3dB = 0.7071067811865476;    // 1 / sqrt(2)
constexpr double kLfeMixGain = 1.5811388300841898;  // +4 dB, sqrt(2.5)
constexpr double kDplBackCentre = 0.9659078631008239;

bool HasExtension(std::string_view name, std::initializer_list<std::string_view> extensions) {
  const std::string_view ext = Extension(name);
  for (std::string_view e : extensions)
    if (EqualsNoCase(ext, e)) return true;
  return false;
}

std::string HexMask(uint32_t mask) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", mask);
  return text;
}

uint32_t BitCount(uint32_t value) {
  uint32_t n = 0;
  for (; value != 0; value &= value - 1) ++n;
  return n;
}

// The speaker bit that carries channel `index` of a mask (channels follow the set bits in
// ascending order, bits 0 to 17); 0 beyond the mask's bits.
uint32_t SpeakerBitOf(uint32_t mask, uint32_t index) {
  for (uint32_t bit = 0; bit < 18; ++bit) {
    if ((mask & (1u << bit)) == 0) continue;
    if (index == 0) return 1u << bit;
    --index;
  }
  return 0;
}

// The stream position of a speaker bit in a mask (the number of set bits below it).
uint32_t PositionOf(uint32_t mask, uint32_t bit) {
  return BitCount(mask & (bit - 1));
}

// The layout texts of the AGM writer: front, back and channel list, joined by line feeds
// (none of the texts holds one). False for layouts the writer does not know.
bool AgmLayout(uint32_t mask, uint32_t channels, std::string& layout, bool& lfe) {
  struct TLayout {
    uint32_t mask;
    uint32_t channels;  // 0 = any
    const char* texts;
    bool lfeAllowed;
  };
  static constexpr TLayout kLayouts[] = {
      {0x3, 0, "Stereo\nNo Surr\nL|R", false},
      {0x4, 1, "Mono\nNo Surr\nCh 1", false},
      {0x4, 2, "Dual Mono\nNo Surr\nCh 1|Ch 2", false},
      {0x7, 0, "L C R\nNo Surr\nL|R|C", true},
      {0x103, 0, "L R\nMono Surr\nL|R|Surr", true},
      {0x107, 0, "L C R\nMono Surr\nL|R|C|Surr", true},
      {0x603, 0, "L R\nLs Rs\nL|R|Ls|Rs", true},
      {0x607, 0, "L C R\nLs Rs\nL|R|C|Ls|Rs", true},
      {0x707, 0, "L C R\nLs Cs Rs 6.1 ES\nL|R|C|Ls|Rs|Cs", true},
  };
  const uint32_t key = mask & ~0x8u;
  for (const TLayout& l : kLayouts) {
    if (l.mask != key || (l.channels != 0 && l.channels != channels)) continue;
    layout = l.texts;
    lfe = l.lfeAllowed && (mask & 0x8) != 0;
    return true;
  }
  return false;
}

// The A/52 channel order for the layouts whose order differs from the speaker-mask order.
struct TA52Order {
  uint32_t channels;
  const char* channelText;  // nullptr = any
  const char* remap;
};
constexpr TA52Order kA52Orders[] = {
    {3, "3.0", "0,2,1,3,4,5"}, {4, "2/1.1", "0,1,3,2,4,5"}, {4, "3.1", "0,2,1,3,4,5"},
    {4, "3/1", "0,2,1,3,4,5"}, {5, "2/2.1", "0,1,3,4,2,5"}, {5, "3/1.1", "0,2,1,4,3,5"},
    {5, "5.0", "0,2,1,3,4,5"}, {6, nullptr, "0,2,1,4,5,3"},
};

class TOutputPlanner {
 public:
  TOutputPlanner(TRunState& state, const UpStreamPtr& track, bool fromContainer,
                 const TOptions& options, IAudioFormatDetails& details,
                 std::vector<TAction>& actions, size_t index, bool analyzeOutput,
                 const UpStreamPtr& flacDecoder)
      : state_(state),
        f_(state.Factory()),
        track_(track),
        fromContainer_(fromContainer),
        options_(options),
        d_(details),
        actions_(actions),
        a_(actions[index]),
        analyzeOutput_(analyzeOutput),
        flacDecoder_(flacDecoder) {}

  bool Run();

 private:
  bool Append(const UpStreamPtr& node) { return track_->AppendUpstream(node); }
  void Notice(const std::string& text) { track_->ShowMessage(kMsgNormal, text); }
  bool Error(const std::string& text) {
    track_->ShowMessage(kMsgError, text);
    return false;
  }
  void SetFloat64() {
    d_.SetIsFloat(true);
    d_.SetContainerBits(64);
    d_.SetValidBits(0);
  }
  bool FirstPassOfTwo() const { return state_.FirstPass && a_.TwoPass; }
  bool IsSplitHalf() const { return a_.CompanionAction != 0; }
  bool IsCheck() const { return ContainsNoCase(a_.FileName, "%check%"); }

  bool LayoutFixes();
  bool SampleRateLimits();
  bool GapTail();
  bool GainStages();
  bool PerChannelStage();
  bool StereoDownmix();
  bool PhaseRotation();
  bool BitDepth();
  bool Writer();
  bool MultiMono(bool dts);

  TRunState& state_;
  TNodeFactory& f_;
  const UpStreamPtr& track_;
  const bool fromContainer_;
  const TOptions& options_;
  IAudioFormatDetails& d_;
  std::vector<TAction>& actions_;
  TAction& a_;
  const bool analyzeOutput_;
  const UpStreamPtr& flacDecoder_;
  bool modified_ = false;
};

bool TOutputPlanner::Run() {
  if (a_.Delay != 0) track_->SetDelay(0, a_.Delay);

  if (!a_.PcmChain) {
    // A bitstream copy: the file gets back what the reader cut off at both ends.
    return Append(f_.DestFile(a_.FileName, nullptr, {}, d_.GetAuxText2(), d_.GetAuxText5()));
  }

  if (!LayoutFixes() || !SampleRateLimits() || !GapTail()) return false;

  if (!a_.Remap.empty() && !Append(f_.ChannelModder(a_.Remap))) return false;

  if (!GainStages() || !PerChannelStage() || !StereoDownmix() || !PhaseRotation()) return false;

  if (state_.FirstPass && !IsCheck() && !Append(f_.PeakSampleFinder(&a_.Peak))) return false;

  if (!BitDepth()) return false;
  a_.OutputBits = d_.GetContainerBits();

  if (modified_ && (analyzeOutput_ || a_.AnalyzeBitdepth || options_.AnalyzeBitdepth ||
                    IsLosslessSourceFormat(d_.GetFormatId()))) {
    if (!Append(f_.BitdepthAnalyzer(true))) return false;
  }
  return Writer();
}

// The automatic channel order, back channels as side channels, and the choice of the
// 6.1 / 7.1 networks the destination needs.
bool TOutputPlanner::LayoutFixes() {
  if (!Append(f_.ChannelModderAuto())) return false;
  uint32_t mask = d_.GetChannelMask();
  if ((mask & 0x30) == 0x30 && (mask & 0x600) == 0) {
    mask += 0x5D0;
    d_.SetChannelMask(mask);
  }

  // A downmix wins over the 7th-channel doubling: both at once would make no sense.
  if (a_.Down6 || a_.Down2) a_.Double7 = false;

  const std::string_view name = a_.FileName;
  if (mask == 0x70F && HasExtension(name, {".pcm", ".lpcm"}) && !a_.Down6 && !a_.Down2 &&
      !a_.Double7) {
    Notice("Blu-Ray PCM doesn't support 6.1 channels. Will upconvert to 7.1.");
    a_.Double7 = true;
  }
  const bool ac3 = IsAc3Destination(name);
  const bool dts = HasExtension(name, {".dts"});
  const std::string text = d_.GetChannelText();
  if ((ac3 || dts) && !a_.Down6 && !a_.Down2 && !text.empty() && text[0] > '5' && text[0] <= '9') {
    Notice(ac3 ? "AC3 encoding doesn't support back channels. Will mix them into the surround."
               : "The Surcode DTS encoder doesn't support back channels. Will downmix them.");
    a_.Down6 = true;
    a_.Double7 = false;
  }
  if (mask == 0x70F && IsAacDestination(name) && !a_.Down6 && !a_.Down2 && !a_.Double7) {
    Notice("NeroAacEnc doesn't support 6.1 encoding. Will double the 7th channel.");
    a_.Double7 = true;
  }

  // The networks work on fixed stream positions, so the channel count must match the mask.
  const bool maskMatches = BitCount(mask) == d_.GetChannels();
  if (a_.Down6 && ((mask != 0x63F && mask != 0x70F) || !maskMatches))
    return Error("Can't downmix this channel configuration (" + HexMask(mask) + ").");
  if (a_.Double7 && (mask != 0x70F || !maskMatches))
    return Error("This channel configuration doesn't allow 7th channel doubling.");
  return true;
}

// The AC3 encoder and the external DTS encoder take at most 48 kHz: higher rates are halved
// until they fit (96 kHz becomes 48 kHz, 88.2 kHz becomes 44.1 kHz). AC3 has no rates below
// 32 kHz at all.
bool TOutputPlanner::SampleRateLimits() {
  const bool ac3 = IsAc3Destination(a_.FileName);
  const bool dts = HasExtension(a_.FileName, {".dts"});
  if (!ac3 && !dts) return true;
  uint32_t rate = a_.ResampleTo != 0 ? a_.ResampleTo : d_.GetSampleRate();
  if (rate == 0) return true;
  if (rate > 48000) {
    while (rate > 48000) rate /= 2;
    a_.ResampleTo = rate;
    Notice((ac3 ? "AC3 encoding doesn't support this samplerate. Will resample to "
                : "The Surcode DTS encoder doesn't support this samplerate. Will resample to ") +
           KiloHertzWord(rate) + ".");
  }
  if (ac3 && rate < 32000)
    return Error("AC3 encoding doesn't support samplerates below 32kHz (" + KiloHertzWord(rate) +
                 ").");
  return true;
}

// Gap realizers (each followed by a spike remover) and the delayer; a container's delayer
// comes first because the container's time stamps already place the gaps.
bool TOutputPlanner::GapTail() {
  if (IsSplitHalf()) return true;
  auto realizers = [&] {
    if (!a_.GapList.empty()) {
      if (!Append(f_.RawGapRealizer(a_.GapList, a_.EditSilence, a_.EditLoop)) ||
          !Append(f_.SpikeRemover()))
        return false;
      modified_ = true;
    }
    if (a_.EditAmount != 0) {
      if (!Append(f_.RawGapEditor(a_.EditSilence, a_.EditLoop, a_.EditPosition, a_.EditAmount)) ||
          !Append(f_.SpikeRemover()))
        return false;
      modified_ = true;
    }
    return true;
  };
  auto delayer = [&] { return IsCheck() || Append(f_.RawDelayer()); };
  if (fromContainer_) return delayer() && realizers();
  return realizers() && delayer();
}

bool TOutputPlanner::GainStages() {
  if (a_.Gain != 0) {
    if (!Append(f_.ChannelAmplifier(a_.Gain, std::pow(10.0, a_.Gain / 20.0)))) return false;
    SetFloat64();
    modified_ = true;
  }
  // The second pass brings the first pass's peak to just below full scale: always after a
  // normalization, and in any case when the first pass clipped.
  if (!state_.FirstPass && ((a_.Normalize && a_.Peak > 0) || a_.Peak > 1.0)) {
    const double factor = 0.99 / a_.Peak;
    if (!Append(f_.ChannelAmplifier(20.0 * std::log10(factor), factor))) return false;
    SetFloat64();
    modified_ = true;
  }
  return true;
}

// Speed change, resampling, 7.1/6.1 to 5.1 and the 7th-channel doubling work on single
// channels: every channel is split off, converted to float 64, resampled, routed through
// the network, and the channel joiner interleaves the results again. Everything that reaches
// the joiner is float 64 (it takes only inputs of equal width).
bool TOutputPlanner::PerChannelStage() {
  const bool speed = a_.SourceFps > 0 && a_.TargetFps > 0 && a_.SourceFps != a_.TargetFps;
  const bool resample = a_.ResampleTo != 0 && a_.ResampleTo != d_.GetSampleRate();
  if (!a_.Down6 && !a_.Double7 && !speed && !resample) return true;
  modified_ = true;

  const uint32_t channels = d_.GetChannels();
  const uint32_t mask = d_.GetChannelMask();
  // In mask order the back centre of 6.1 (0x70F) sits at position 4. Doubling it in place,
  // followed by the side channels, gives the 7.1 order FL FR C LFE BL BR SL SR directly.
  const uint32_t doubledPosition = PositionOf(mask, 0x100);

  UpStreamPtr joiner = f_.ChannelJoiner();
  UpStreamPtr mixLeft, mixRight;
  UpStreamList heads;
  for (uint32_t i = 0; i < channels; ++i) {
    UpStreamPtr head = f_.ChannelModder(std::vector<uint32_t>{i}, 0);
    UpStreamPtr end = head;
    auto link = [&](const UpStreamPtr& node) {
      end->SetUpstream(node);
      end = node;
    };
    link(f_.FloatEnforcer(64));
    if (speed) {
      UpStreamPtr r = f_.ResamplerFps(a_.SourceFps, a_.TargetFps, a_.Fast, a_.R8brain, a_.Steep);
      if (i > 0) r->Silence(false);
      link(r);
    }
    if (resample) {
      UpStreamPtr r = f_.ResamplerRate(a_.ResampleTo, a_.Fast, a_.Steep, a_.R8brain);
      if (i > 0) r->Silence(false);
      link(r);
    }
    if (a_.Down6 && i >= 4) {
      if (!mixLeft) {
        mixLeft = f_.ChannelMixer(0x10);
        mixRight = f_.ChannelMixer(0x20);
        mixRight->Silence(false);
        // Channels 0-3 are linked already, so the mixers become the joiner's inputs 5 and 6.
        mixLeft->SetUpstream(joiner);
        mixRight->SetUpstream(joiner);
      }
      if (channels == 8) {
        // 4 + 6 (back left + side left), 5 + 7 (back right + side right).
        end->SetUpstream(i % 2 == 0 ? mixLeft : mixRight);
      } else if (i == 4) {
        // The back centre goes into both sides at -3 dB.
        UpStreamPtr amp = f_.ChannelAmplifier(0, kMinus3dB);
        end->SetUpstream(amp);
        amp->SetUpstreams({mixLeft, mixRight});
      } else {
        end->SetUpstream(i == 5 ? mixLeft : mixRight);
      }
    } else if (a_.Double7 && i == doubledPosition) {
      Notice("Doubling 7th channel...");
      UpStreamPtr amp = f_.ChannelAmplifier(0, kMinus3dB);
      end->SetUpstream(amp);
      amp->SetUpstreams({joiner, joiner});
    } else {
      end->SetUpstream(joiner);
    }
    heads.push_back(head);
  }
  if (!track_->AppendUpstreams(heads) || track_->GetChainEnd() != joiner) return false;

  if (resample) d_.SetSampleRate(a_.ResampleTo);
  const std::string text = d_.GetChannelText();
  const std::string rest = text.empty() ? std::string() : text.substr(1);
  if (a_.Down6) {
    d_.SetChannels(6);
    d_.SetChannelText("5" + rest);
    d_.SetChannelMask(0x60F);
  } else if (a_.Double7) {
    d_.SetChannels(8);
    d_.SetChannelText("7" + rest);
    d_.SetChannelMask(0x63F);
  }
  SetFloat64();
  return true;
}

// Stereo downmix: every channel goes by its speaker to the left and right mixers, either
// plainly or with the Dolby Pro Logic II matrix; the joiner pairs the two mixers again.
bool TOutputPlanner::StereoDownmix() {
  if (!a_.Down2) return true;
  modified_ = true;
  const uint32_t channels = d_.GetChannels();
  const uint32_t mask = d_.GetChannelMask();
  const bool dpl = !a_.DownStereo;

  UpStreamPtr joiner = f_.ChannelJoiner();
  UpStreamPtr left = f_.ChannelMixer(0x1);
  UpStreamPtr right = f_.ChannelMixer(0x2);
  right->Silence(false);
  left->SetUpstream(joiner);
  right->SetUpstream(joiner);

  UpStreamList mixed, discarded;
  uint32_t leftInputs = 0, rightInputs = 0;
  for (uint32_t i = 0; i < channels; ++i) {
    UpStreamPtr head = f_.ChannelModder(std::vector<uint32_t>{i}, 0);
    // One gain stage into one or both mixers.
    auto gain = [&](double g, bool toLeft, bool toRight) {
      UpStreamPtr amp = f_.ChannelAmplifier(0, g);
      UpStreamList targets;
      if (toLeft) targets.push_back(left), ++leftInputs;
      if (toRight) targets.push_back(right), ++rightInputs;
      amp->SetUpstreams(targets);
      return amp;
    };
    // The surround paths of the matrix: one gain to each side, phase shifted on request.
    auto matrix = [&](double toLeft, double toRight) {
      UpStreamList paths;
      for (int side = 0; side < 2; ++side) {
        UpStreamPtr amp = f_.ChannelAmplifier(0, side == 0 ? toLeft : toRight);
        UpStreamPtr target = side == 0 ? left : right;
        if (a_.PhaseShift) {
          UpStreamPtr shifter = f_.PhaseShifter90();
          amp->SetUpstream(shifter);
          shifter->SetUpstream(target);
        } else {
          amp->SetUpstream(target);
        }
        paths.push_back(amp);
      }
      ++leftInputs;
      ++rightInputs;
      head->SetUpstreams(paths);
    };
    auto plain = [&](bool toLeft) {
      UpStreamPtr enforcer = f_.FloatEnforcer(64);
      head->SetUpstream(enforcer);
      enforcer->SetUpstream(toLeft ? left : right);
      ++(toLeft ? leftInputs : rightInputs);
    };
    bool used = true;
    switch (SpeakerBitOf(mask, i)) {
      case 0x1:
        plain(true);
        break;
      case 0x2:
        plain(false);
        break;
      case 0x4:
        head->SetUpstream(gain(kMinus3dB, true, true));
        break;
      case 0x8:
        used = a_.MixLfe;
        if (used) head->SetUpstream(gain(kLfeMixGain, true, true));
        break;
      case 0x10:
      case 0x200:
        if (dpl)
          matrix(0.866, -0.5);
        else
          head->SetUpstream(gain(kMinus3dB, true, false));
        break;
      case 0x20:
      case 0x400:
        if (dpl)
          matrix(0.5, -0.866);
        else
          head->SetUpstream(gain(kMinus3dB, false, true));
        break;
      case 0x100:
        if (dpl)
          matrix(kDplBackCentre, -kDplBackCentre);
        else
          head->SetUpstream(gain(0.5, true, true));
        break;
      default:
        used = false;
        break;
    }
    if (!used) head->SetUpstream(f_.FileSimulator());
    (used ? mixed : discarded).push_back(head);
  }
  if (leftInputs == 0 || rightInputs == 0)
    return Error("Can't downmix this channel configuration (" + HexMask(mask) + ").");
  // The chain goes on behind the joiner: the first channel chain must lead there.
  mixed.insert(mixed.end(), discarded.begin(), discarded.end());
  if (!track_->AppendUpstreams(mixed) || track_->GetChainEnd() != joiner) return false;

  d_.SetChannels(2);
  d_.SetChannelText("2.0");
  d_.SetChannelMask(0x3);
  SetFloat64();
  return true;
}

// Phase rotation of a mono track: 90° by the phase shifter, 180° by inversion, 270° by
// both, any other angle as cos(a) · x + sin(a) · H(x).
bool TOutputPlanner::PhaseRotation() {
  int32_t phase = a_.Phase % 360;
  if (phase < 0) phase += 360;
  if (phase == 0) return true;
  if (d_.GetChannels() != 1) {
    track_->ShowMessage(kMsgWarning,
                        "Phase rotation works on mono tracks only. The phase setting is ignored.");
    return true;
  }
  modified_ = true;
  if (!Append(f_.FloatEnforcer(64))) return false;
  bool ok = true;
  switch (phase) {
    case 90:
      ok = Append(f_.PhaseShifter90());
      break;
    case 180:
      ok = Append(f_.ChannelAmplifier(0, -1.0));
      break;
    case 270:
      ok = Append(f_.PhaseShifter90()) && Append(f_.ChannelAmplifier(0, -1.0));
      break;
    default: {
      const double radians = phase * 3.14159265358979323846 / 180.0;
      UpStreamPtr mixer = f_.ChannelMixer(d_.GetChannelMask());
      UpStreamPtr direct = f_.ChannelAmplifier(0, std::cos(radians));
      UpStreamPtr shifted = f_.ChannelAmplifier(0, std::sin(radians));
      UpStreamPtr shifter = f_.PhaseShifter90();
      direct->SetUpstream(mixer);
      shifted->SetUpstream(shifter);
      shifter->SetUpstream(mixer);
      ok = track_->AppendUpstreams({direct, shifted}) && track_->GetChainEnd() == mixer;
      break;
    }
  }
  SetFloat64();
  return ok;
}

// The requested bit depth, then the sample format the writer or encoder takes. The first
// pass of a two-pass destination keeps full precision for its intermediate file.
bool TOutputPlanner::BitDepth() {
  if (FirstPassOfTwo()) return true;
  if (a_.TargetBits != 0) {
    const bool fits =
        d_.GetContainerBits() != 0 && a_.TargetBits >= d_.GetContainerBits() && !d_.GetIsFloat();
    if (!fits) {
      if (!Append(f_.BitdepthReducer(a_.TargetBits, !a_.DontDither))) return false;
      d_.SetIsFloat(false);
      d_.SetContainerBits(a_.TargetBits);
      d_.SetValidBits(0);
      a_.BitsReduced = true;
      modified_ = true;
    }
  }

  const std::string_view name = a_.FileName;
  auto toInt32 = [&] {
    if (!Append(f_.BitdepthReducer(32, true))) return false;
    d_.SetIsFloat(false);
    d_.SetContainerBits(32);
    d_.SetValidBits(0);
    a_.BitsReduced = true;
    return true;
  };
  if (IsAc3Destination(name)) return true;  // the encoder takes any sample format
  if (IsAacDestination(name) && d_.GetIsFloat()) return toInt32();
  if (HasExtension(name, {".dts"})) return toInt32();
  const bool waveLike = IsWaveLikeDestination(name);
  if (a_.Float32 && d_.GetIsFloat() && waveLike) {
    if (!Append(f_.FloatEnforcer(32))) return false;
    d_.SetIsFloat(true);
    d_.SetContainerBits(32);
    d_.SetValidBits(0);
    a_.BitsReduced = true;
    return true;
  }
  if (a_.Full && waveLike) return true;
  if (ContainsNoCase(name, kCheckRawName) || a_.TargetBits != 0) return true;
  if (d_.GetContainerBits() > 24) {
    if (!Append(f_.BitdepthReducer(24, true))) return false;
    d_.SetIsFloat(false);
    d_.SetContainerBits(24);
    d_.SetValidBits(0);
    a_.BitsReduced = true;
    modified_ = true;
  }
  return true;
}

bool TOutputPlanner::MultiMono(bool dts) {
  const uint32_t channels = d_.GetChannels();
  const uint32_t mask = d_.GetChannelMask();
  a_.MultiMonoChannels = channels;
  a_.MultiMonoMask = mask;
  UpStreamList heads;
  for (uint32_t i = 0; i < channels; ++i) {
    UpStreamPtr head = f_.ChannelModder(std::vector<uint32_t>{i}, 0x4);
    UpStreamPtr writer = f_.WavWriter(false, true, false);
    if (i > 0) writer->Silence(false);  // one set of writer messages is enough
    head->SetUpstream(writer);
    writer->SetUpstream(f_.DestFile(MultiMonoFileName(a_.FileName, mask, i), &a_.ValidBitsResult));
    heads.push_back(head);
  }
  a_.EncodeDtsAfterRun = dts;
  return track_->AppendUpstreams(heads);
}

bool TOutputPlanner::Writer() {
  const std::string& name = a_.FileName;
  const bool toStdout = IsStdoutName(name);

  if (FirstPassOfTwo()) {
    a_.Pass1FileName = HasExtension(name, {".wav"}) ? name.substr(0, name.size() - 4) + ".pass1.wav"
                                                    : name + ".pass1.wav";
    return Append(f_.WavWriter(!a_.Simple, false, IsStdoutName(a_.Pass1FileName))) &&
           Append(f_.DestFile(a_.Pass1FileName, &a_.ValidBitsResult));
  }
  if (HasExtension(name, {".wav"})) {
    return Append(f_.WavWriter(!a_.Simple, false, toStdout)) &&
           Append(f_.DestFile(name, &a_.ValidBitsResult));
  }
  if (HasExtension(name, {".raw"})) return Append(f_.DestFile(name, &a_.ValidBitsResult));
  if (HasExtension(name, {".pcm", ".lpcm"})) {
    // Big-endian samples in the Blu-ray channel order.
    if (!Append(f_.EndianSwapper())) return false;
    const uint32_t mask = d_.GetChannelMask();
    if (mask == 0x63F && !Append(f_.ChannelModder(std::string("0,1,2,6,4,5,7,3")))) return false;
    if (mask == 0x60F && !Append(f_.ChannelModder(std::string("0,1,2,4,5,3")))) return false;
    return Append(f_.DestFile(name, &a_.ValidBitsResult));
  }
  if (HasExtension(name, {".w64"}))
    return Append(f_.W64Writer(toStdout)) && Append(f_.DestFile(name, &a_.ValidBitsResult));
  if (HasExtension(name, {".rf64"}))
    return Append(f_.Rf64Writer()) && Append(f_.DestFile(name, &a_.ValidBitsResult));
  if (HasExtension(name, {".agm"})) {
    std::string layout;
    bool lfe = false;
    if (!AgmLayout(d_.GetChannelMask(), d_.GetChannels(), layout, lfe))
      return Error("The AGM writer doesn't support this channel configuration.");
    return Append(f_.AgmWriter(layout, lfe)) && Append(f_.DestFile(name));
  }
  if (HasExtension(name, {".wavs"})) return MultiMono(false);
  if (HasExtension(name, {".dts"})) return MultiMono(true);
  if (IsAc3Destination(name)) {
    if (a_.Bitrate == 0 && d_.GetChannels() <= 2) a_.Bitrate = 448;
    const std::string remap = Ac3EncoderInputRemap(d_.GetChannels(), d_.GetChannelText());
    if (!remap.empty() && !Append(f_.ChannelModder(remap))) return false;
    UpStreamPtr encoder = f_.Ac3Encoder(a_.Bitrate != 0 ? a_.Bitrate : 640);
    if (!Append(encoder)) return false;
    if (!IsSplitHalf()) return Append(f_.DestFile(name));
    // The encoded AC3 goes back into the TrueHD stream of the other half.
    const size_t other = a_.CompanionAction - 1;
    UpStreamPtr joiner = other < actions_.size() ? actions_[other].JoinerNode : nullptr;
    if (!joiner) return Error("The TrueHD/AC3 joiner of the companion destination is missing.");
    return Append(joiner);
  }
  if (HasExtension(name, {".flac"})) {
    a_.ValidBitsResult = 0;
    const bool smallBlocks =
        !options_.Sources.empty() && EndsWithNoCase(options_.Sources.front(), ".lossy.wav");
    return Append(f_.FlacEncoder(8, smallBlocks, flacDecoder_)) &&
           Append(f_.DestFile(name, &a_.ValidBitsResult));
  }
  if (IsAacDestination(name)) {
    // The external encoder writes the file itself; it reads a WAV stream.
    UpStreamPtr writer = f_.WavWriter(true, false, true);
    writer->Silence(false);
    const std::string output = HasExtension(name, {".aac"}) ? name + ".m4a" : name;
    return Append(writer) && Append(f_.NeroAacEncoder(output, a_.Quality, a_.Bitrate));
  }
  return false;
}

}  // namespace

bool PlanAudioOutput(TRunState& state, const UpStreamPtr& trackNode, bool fromContainer,
                     const TOptions& options, IAudioFormatDetails& details,
                     std::vector<TAction>& actions, size_t index, bool analyzeOutput,
                     const UpStreamPtr& flacDecoder) {
  if (!trackNode || index >= actions.size()) return false;
  TOutputPlanner planner(state, trackNode, fromContainer, options, details, actions, index,
                         analyzeOutput, flacDecoder);
  return planner.Run();
}

// The AC3 encoder node takes its input in speaker-mask order (its library's native order)
// and arranges the A/52 order itself, so the planner puts nothing in front of it.
std::string Ac3EncoderInputRemap(uint32_t, std::string_view) {
  return {};
}

std::string Ac3A52ChannelOrder(uint32_t channels, std::string_view channelText) {
  for (const TA52Order& o : kA52Orders)
    if (o.channels == channels && (o.channelText == nullptr || channelText == o.channelText))
      return o.remap;
  return {};
}

}  // namespace kavrix
