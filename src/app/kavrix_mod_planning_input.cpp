// The audio conversion check and the input half of the audio planning: which reader, which
// bitstream editors, whether the track is decoded and by which decoder, and the corrections
// of the decoders' channel orders. Nodes are only created and linked here; every step keeps
// the track's details up to date so that the next decision sees the format the chain carries
// at that point.
#include <bit>
#include <cctype>

#include "app/kavrix_mod_planning.h"
#include "app/kavrix_mod_planning_tables.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"
#include "core/voxUpStream_details.h"

namespace kavrix {

namespace {

bool ExtensionIn(std::string_view fileName, std::initializer_list<std::string_view> set) {
  const std::string_view ext = Extension(fileName);
  for (std::string_view member : set)
    if (EqualsNoCase(ext, member)) return true;
  return false;
}

bool Is(std::string_view a, std::string_view b) {
  return EqualsNoCase(a, b);
}

// The first character of a layout word as a digit, or -1.
int LeadingDigit(const std::string& channelText) {
  if (channelText.empty() || !std::isdigit(static_cast<unsigned char>(channelText[0]))) return -1;
  return channelText[0] - '0';
}

bool SpeedChange(const TAction& action) {
  return action.SourceFps >= 1 && action.TargetFps >= 1 && action.SourceFps != action.TargetFps;
}

uint32_t Kbps(uint32_t bitsPerSecond) {
  return (bitsPerSecond + 500) / 1000;
}

}  // namespace

// ---- extension and format sets ----

bool IsAc3Destination(std::string_view fileName) {
  return ExtensionIn(fileName, {".ac3"});
}
bool IsEac3Destination(std::string_view fileName) {
  return ExtensionIn(fileName, {".ddp", ".eac3", ".dd+", ".ec3"});
}
bool IsDtsDestination(std::string_view fileName) {
  return ExtensionIn(fileName, {".dts", ".dtshd", ".dtsma", ".dtshr"});
}
bool IsAacDestination(std::string_view fileName) {
  return ExtensionIn(fileName, {".aac", ".mp4", ".m4a"});
}
bool IsTrueHdDestination(std::string_view fileName) {
  return ExtensionIn(fileName, {".thd", ".truehd", ".mlp"});
}
bool IsLossyEncoderDestination(std::string_view fileName) {
  return ExtensionIn(fileName, {".ac3", ".dts", ".aac", ".mp4", ".m4a"});
}
bool IsWaveLikeDestination(std::string_view fileName) {
  return ExtensionIn(fileName, {".wav", ".w64", ".rf64", ".wavs"});
}
bool IsLosslessSourceFormat(std::string_view formatId) {
  for (std::string_view id :
       {"dtsma", "pcm", "thd", "thd/ac3", "mlp", "flac", "wav", "w64", "rf64", "agm", "raw"})
    if (EqualsNoCase(formatId, id)) return true;
  return false;
}

// ---- conversion check ----

namespace {

// A track whose values come from container metadata can only be demultiplexed as it is.
bool AcceptedAsDemux(std::string_view format, std::string_view ext) {
  if (ext.size() == format.size() + 1 && ext[0] == '.' && Is(ext.substr(1), format)) return true;
  if (format == "eac3") return Is(ext, ".ddp") || Is(ext, ".dd+") || Is(ext, ".ec3");
  if (format == "thd") return Is(ext, ".truehd");
  if (format == "thd/ac3") return Is(ext, ".thd+ac3");
  if (format == "dtsma" || format == "dtshr") return Is(ext, ".dts") || Is(ext, ".dtshd");
  return false;
}

bool AcceptedVerified(std::string_view format, const std::string& fileName) {
  const std::string_view ext = Extension(fileName);
  if (ExtensionIn(fileName, {".raw", ".pcm", ".lpcm", ".wav", ".w64", ".agm", ".rf64", ".wavs",
                             ".ac3", ".flac", ".aac", ".mp4", ".m4a", ".dts"}))
    return true;
  if (format == "eac3" && IsEac3Destination(fileName)) return true;
  if ((format == "mp1" || format == "mp2" || format == "mp3") && ext.size() == 4 &&
      Is(ext.substr(1), format))
    return true;
  if ((format == "thd" || format == "thd/ac3") &&
      ExtensionIn(fileName, {".thd", ".truehd", ".thd+ac3"}))
    return true;
  if (format == "mlp" && Is(ext, ".mlp")) return true;
  if (format == "dtsma" && ExtensionIn(fileName, {".dtshd", ".dtsma"})) return true;
  if (format == "dtshr" && ExtensionIn(fileName, {".dtshd", ".dtshr"})) return true;
  return false;
}

}  // namespace

bool CheckAudioConversion(TRunState&, std::vector<TAction>& actions, size_t index,
                          const IAudioFormatDetails& details, size_t sourceFiles) {
  if (index >= actions.size()) return false;
  const std::string format = details.GetFormatId();
  {
    TAction& action = actions[index];
    if (action.FileName.size() >= 2 && action.FileName.ends_with(".*")) {
      action.FileName.pop_back();
      action.FileName += format == "thd/ac3" ? std::string("thd+ac3") : format;
    }
  }
  if (format == "?") return true;

  const std::string fileName = actions[index].FileName;
  const bool accepted = details.GetVerified() ? AcceptedVerified(format, fileName)
                                              : AcceptedAsDemux(format, Extension(fileName));
  if (!accepted) {
    WriteMessage(kMsgError, "This audio conversion is not supported.");
    return false;
  }

  // A ".thd+ac3" destination keeps the embedded AC3 only when it can pass through unchanged;
  // otherwise a companion destination decodes the TrueHD, encodes new AC3 and hands it to the
  // joiner of this one. The split happens once: a split half never splits again.
  // Values from container metadata are written as they arrive: there is nothing to decode.
  if (!EndsWithNoCase(fileName, ".thd+ac3") || actions[index].CompanionAction != 0 ||
      !details.GetVerified())
    return true;
  const uint32_t bitrate = actions[index].Bitrate;
  const bool keepEmbedded = sourceFiles == 1 && format == "thd/ac3" &&
                            (bitrate == 0 || bitrate == Kbps(details.GetCoreBitrate()));
  if (keepEmbedded) return true;
  TAction copy = actions[index];
  copy.FileName = fileName.substr(0, fileName.size() - 8) + ".ac3";
  copy.CompanionAction = uint32_t(index + 1);
  actions.push_back(std::move(copy));
  actions[index].CompanionAction = uint32_t(actions.size());
  return true;
}

// ---- decoder option check ----

namespace {

std::string ArcSoftFormatName(std::string_view format) {
  if (format == "ac3") return "AC3";
  if (format == "eac3") return "E-AC3";
  if (format == "mp1") return "MP1";
  if (format == "mp2") return "MP2";
  if (format == "mp3") return "MP3";
  if (format == "aac") return "AAC";
  if (format == "thd") return "TrueHD/MLP";
  std::string upper(format);
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

bool OneOf(std::string_view value, std::initializer_list<std::string_view> set) {
  for (std::string_view member : set)
    if (value == member) return true;
  return false;
}

// Runs a component test once per process and answers from the cache afterwards.
bool ComponentWorks(int32_t& cache, const std::function<bool()>& probe) {
  if (cache == -1) cache = probe && probe() ? 1 : 0;
  return cache == 1;
}

}  // namespace

bool CheckDecoderChoice(TRunState& state, std::string_view formatId, const TAction& action,
                        IUpStream& node) {
  auto refuse = [&](const std::string& text) {
    node.ShowMessage(kMsgError, text);
    return false;
  };
  if (formatId == "dtsnc" && action.Nero)
    return refuse("The Nero DTS Decoder doesn't supported this kind of DTS track.");
  if ((formatId == "dtslbr" || formatId == "dtsnc") && action.Sonic)
    return refuse("The Sonic DTS Decoder doesn't supported this kind of DTS track.");
  if (formatId == "mp3" && action.Sonic)
    return refuse("The Sonic Audio Decoder doesn't support MP3 decoding.");
  if (action.ArcSoft && !OneOf(formatId, {"dts", "dtslbr", "dtsnc"}))
    return refuse("The ArcSoft " + ArcSoftFormatName(formatId) +
                  " Decoder isn't supported yet by kavrix.");
  if (action.DcaDec && !OneOf(formatId, {"dts", "dtsnc"}))
    return refuse("The libDcaDec Decoder only supports DTS and DTS-HD.");
  if (action.Nero &&
      OneOf(formatId, {"ac3", "eac3", "dts", "dtslbr", "mp1", "mp2", "mp3", "aac", "thd"})) {
    if (!ComponentWorks(state.NeroWorks, state.probes.nero))
      return refuse("I'd like to use the Nero decoder, but it doesn't seem to work.");
    ++state.NeroUses;
    return true;
  }
  if (action.Sonic && OneOf(formatId, {"ac3", "eac3", "dts", "mp1", "mp2", "mp3", "aac", "thd"})) {
    if (!ComponentWorks(state.SonicWorks, state.probes.sonic))
      return refuse("I'd like to use the Sonic decoder, but it doesn't seem to work.");
    return true;
  }
  if (action.ArcSoft && OneOf(formatId, {"dts", "dtslbr", "dtsnc"})) {
    if (!ComponentWorks(state.ArcSoftWorks, state.probes.arcSoft))
      return refuse("I'd like to use the ArcSoft decoder, but it doesn't seem to work.");
    ++state.ArcSoftUses;
    return true;
  }
  return true;
}

// ---- back-channel adjustment ----

void AdjustBackChannels(IAudioFormatDetails& details, TAction& action) {
  action.Down6 = false;
  const std::string text = details.GetChannelText();
  const int digit = LeadingDigit(text);
  if (digit <= 5) return;
  const uint32_t dropped = uint32_t(digit - 5);
  const uint32_t channels = details.GetChannels() > dropped ? details.GetChannels() - dropped : 0;
  details.SetChannels(channels);
  std::string reduced = text;
  reduced[0] = '5';
  details.SetChannelText(reduced);
  uint32_t mask = details.GetChannelMask() & ~uint32_t(0x130);
  if (uint32_t(std::popcount(mask)) != channels) mask = DefaultChannelMask(channels);
  details.SetChannelMask(mask);
}

// ---- input planning ----

namespace {

// The decoder families of the input planning.
enum class TDecoderKind { kAc3, kEac3, kMpx, kAac, kDts, kDtsHd, kDtsLbr, kDtsNc, kThd, kMlp };

bool IsDtsKind(TDecoderKind kind) {
  return kind == TDecoderKind::kDts || kind == TDecoderKind::kDtsHd ||
         kind == TDecoderKind::kDtsLbr || kind == TDecoderKind::kDtsNc;
}

class TInputPlanner {
 public:
  TInputPlanner(TRunState& state, const UpStreamPtr& node, bool fromContainer,
                IAudioFormatDetails& details, TAction& action, size_t sourceFiles,
                TInputPlanResult& result)
      : state_(state),
        f_(state.Factory()),
        node_(node),
        fromContainer_(fromContainer),
        d_(details),
        a_(action),
        sourceFiles_(sourceFiles),
        result_(result),
        format_(details.GetFormatId()) {}

  bool Run();

 private:
  // ---- chain building ----
  void Add(const UpStreamPtr& next) {
    if (next && !node_->AppendUpstream(next)) appendFailed_ = true;
  }
  bool Error(const std::string& text) {
    node_->ShowMessage(kMsgError, text);
    return false;
  }
  void Warn(const std::string& text) { node_->ShowMessage(kMsgWarning, text); }
  void Notice(const std::string& text) { node_->ShowMessage(kMsgNormal, text); }

  // Gap detection in the readers runs in the first pass only; a second pass uses the list
  // recorded by the first.
  std::string* ReaderGaps() { return state_.FirstPass ? &a_.GapList : nullptr; }
  bool CheckDestination() const { return ContainsNoCase(a_.FileName, "%check%"); }
  bool JoinRefused(const char* kind) {
    if (sourceFiles_ < 2) return false;
    Error(std::string("Source file joining currently doesn't work for ") + kind + " files.");
    return true;
  }

  void TakeCoreValues();
  void SetFloat64() {
    d_.SetIsFloat(true);
    d_.SetContainerBits(64);
    d_.SetValidBits(0);
  }

  // ---- bitstream or decoding ----
  bool OptionsKeepBitstream(uint32_t sampleRate) const;
  bool Ac3PassesThrough(uint32_t bitrate, uint32_t sampleRate, bool splitHalf) const;
  bool DtsPassesThrough() const;
  bool AacPassesThrough() const;
  void WarnIgnoredOptions();
  void CompressedTail(TCodecFamily family);

  // ---- branches ----
  bool PlanAc3();
  bool PlanEac3();
  bool PlanMpx();
  bool PlanAac();
  bool PlanDts();
  bool PlanDtsHd();
  bool PlanDtsNoCore();
  bool PlanFlac();
  bool PlanThdAc3();
  bool PlanThd();
  bool PlanPcmFile();
  bool PlanRawPcm();
  bool DecodeThd();

  // ---- decoders ----
  bool Decode(TDecoderKind kind);
  void BuildLibav(TDecoderKind kind);
  void BuildDShow(TDecoderKind kind);
  void BuildArcSoft(TDecoderKind kind);
  void BuildDcaDec();
  void AddPick(const TChannelPick& pick);

  bool Finish();

  TRunState& state_;
  TNodeFactory& f_;
  const UpStreamPtr& node_;
  const bool fromContainer_;
  IAudioFormatDetails& d_;
  TAction& a_;
  const size_t sourceFiles_;
  TInputPlanResult& result_;
  const std::string format_;
  bool appendFailed_ = false;
};

void TInputPlanner::TakeCoreValues() {
  if (d_.GetCoreChannels() == 0) return;  // no core to take
  d_.SetChannelText(d_.GetCoreChannelText());
  d_.SetBitrate(d_.GetCoreBitrate());
  d_.SetDialnorm(d_.GetCoreDialnorm());
  d_.SetSampleRate(d_.GetCoreSampleRate());
  d_.SetChannels(d_.GetCoreChannels());
  d_.SetChannelMask(d_.GetCoreChannelMask() != 0 ? d_.GetCoreChannelMask()
                                                 : DefaultChannelMask(d_.GetCoreChannels()));
  d_.SetContainerBits(d_.GetCoreBits());
}

// The PCM options that only a decoded chain can apply. Mono counts too: a bitstream keeps
// its channels.
bool TInputPlanner::OptionsKeepBitstream(uint32_t sampleRate) const {
  return !SpeedChange(a_) && (a_.ResampleTo == 0 || a_.ResampleTo == sampleRate) &&
         a_.Remap.empty() && !a_.Down2 && a_.Gain == 0 && !a_.Normalize && !a_.Mono;
}

bool TInputPlanner::Ac3PassesThrough(uint32_t bitrate, uint32_t sampleRate, bool splitHalf) const {
  return IsAc3Destination(a_.FileName) && (a_.Bitrate == 0 || a_.Bitrate == Kbps(bitrate)) &&
         OptionsKeepBitstream(sampleRate) && !splitHalf;
}

bool TInputPlanner::DtsPassesThrough() const {
  const bool bitrateOk = format_ == "dts" || format_ == "dtswav"
                             ? a_.Bitrate == 0 || a_.Bitrate == Kbps(d_.GetBitrate())
                             : a_.Bitrate == 0;
  return IsDtsDestination(a_.FileName) && bitrateOk && OptionsKeepBitstream(d_.GetSampleRate()) &&
         !a_.Down6;
}

bool TInputPlanner::AacPassesThrough() const {
  return IsAacDestination(a_.FileName) && OptionsKeepBitstream(d_.GetSampleRate());
}

// A bitstream destination that the user asked to change in ways only decoding can: say once
// which options are left out instead of dropping them silently.
void TInputPlanner::WarnIgnoredOptions() {
  std::vector<std::string> names;
  if (a_.Gain != 0) names.push_back("gain");
  if (!a_.Remap.empty()) names.push_back("remap");
  if (a_.Down2) names.push_back("down2");
  if (a_.Down6) names.push_back("down6");
  if (a_.ResampleTo != 0 && a_.ResampleTo != d_.GetSampleRate()) names.push_back("resampleTo");
  if (SpeedChange(a_)) names.push_back("speed change");
  if (a_.Normalize) names.push_back("normalize");
  if (a_.Mono) names.push_back("mono");
  if (names.empty()) return;
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  if (names.size() == 1)
    Warn("The option " + list + " can't be applied without decoding; it is ignored.");
  else
    Warn("The options " + list + " can't be applied without decoding; they are ignored.");
}

// Delays, gaps and edits of a compressed stream work on whole frames. From a container the
// delay comes first, so that the gap positions are those of the delayed stream.
void TInputPlanner::CompressedTail(TCodecFamily family) {
  a_.PcmChain = false;
  auto gaps = [&] {
    if (!a_.GapList.empty()) Add(f_.GapRealizer(family, a_.GapList, a_.EditSilence, a_.EditLoop));
  };
  auto edit = [&] {
    if (a_.EditAmount != 0)
      Add(f_.GapEditor(family, a_.EditSilence, a_.EditLoop, a_.EditPosition, a_.EditAmount));
  };
  auto delay = [&] {
    if (!CheckDestination()) Add(f_.Delayer(family));
  };
  if (fromContainer_) {
    delay();
    gaps();
    edit();
  } else {
    gaps();
    edit();
    delay();
  }
}

// ---- branches ----

bool TInputPlanner::PlanAc3() {
  if (format_ == "ac3wav") {
    if (JoinRefused("WAV")) return false;
    Add(f_.WavReader());
    Add(f_.WavAc3Reader());
  }
  Add(f_.Ac3Reader(ReaderGaps(), false, !fromContainer_));
  if (a_.RemoveDialnorm) Add(f_.Ac3DialnormRemover());
  if (Ac3PassesThrough(d_.GetBitrate(), d_.GetSampleRate(), false)) {
    CompressedTail(TCodecFamily::kAc3);
    return true;
  }
  return Decode(TDecoderKind::kAc3);
}

bool TInputPlanner::PlanEac3() {
  Add(f_.Ac3Reader(ReaderGaps(), a_.Core, !fromContainer_));
  if (a_.Core && d_.GetCoreChannels() != 0) {
    Add(f_.Eac3CoreExtractor());
    TakeCoreValues();
  }
  if (a_.RemoveDialnorm) Add(f_.Ac3DialnormRemover());
  if (IsEac3Destination(a_.FileName)) {
    WarnIgnoredOptions();
    CompressedTail(TCodecFamily::kAc3);
    return true;
  }
  if (!Decode(TDecoderKind::kEac3)) return false;
  if (LeadingDigit(d_.GetChannelText()) > 5) AdjustBackChannels(d_, a_);
  return true;
}

bool TInputPlanner::PlanMpx() {
  Add(f_.MPxReader(ReaderGaps(), !fromContainer_));
  const std::string_view ext = Extension(a_.FileName);
  if (ext.size() == format_.size() + 1 && Is(ext.substr(1), format_)) {
    WarnIgnoredOptions();
    CompressedTail(TCodecFamily::kMpx);
    return true;
  }
  return Decode(TDecoderKind::kMpx);
}

bool TInputPlanner::PlanAac() {
  Add(f_.AacReader(ReaderGaps(), !fromContainer_));
  if (AacPassesThrough()) {
    CompressedTail(TCodecFamily::kAac);
    return true;
  }
  return Decode(TDecoderKind::kAac);
}

bool TInputPlanner::PlanDts() {
  if (format_ == "dtswav") {
    if (JoinRefused("WAV")) return false;
    Add(f_.WavReader());
    Add(f_.WavDtsReader());
  }
  Add(f_.DtsReader(ReaderGaps(), false, false, !fromContainer_));
  if (a_.RemoveDialnorm) Add(f_.DtsDialnormRemover());
  const bool passThrough = DtsPassesThrough();
  // The libav decoder cannot take the XCh extension; for it the repairer removes it.
  const bool libav = !passThrough && a_.Libav;
  if (!a_.DontRepairDts) Add(f_.DtsRepairer(libav));
  if (!a_.DontPatchDts) {
    Add(f_.DtsBitdepthPatcher());
    d_.SetContainerBits(24);
    d_.SetValidBits(0);
  }
  if (passThrough) {
    CompressedTail(TCodecFamily::kDts);
    return true;
  }
  return Decode(TDecoderKind::kDts);
}

bool TInputPlanner::PlanDtsHd() {
  Add(f_.DtsReader(ReaderGaps(), a_.Core, false, !fromContainer_));
  if (a_.Core) {
    Add(f_.DtsCoreExtractor());
    TakeCoreValues();
  }
  if (a_.RemoveDialnorm && (d_.GetDialnorm() == 0 || a_.Core)) Add(f_.DtsDialnormRemover());
  if (!a_.DontRepairDts) Add(f_.DtsRepairer(false));
  if (!a_.DontPatchDts && (format_ != "dtsma" || a_.Core)) {
    Add(f_.DtsBitdepthPatcher());
    d_.SetContainerBits(24);
    d_.SetValidBits(0);
  }
  if (DtsPassesThrough()) {
    CompressedTail(TCodecFamily::kDts);
    return true;
  }
  return Decode(TDecoderKind::kDtsHd);
}

bool TInputPlanner::PlanDtsNoCore() {
  Add(f_.DtsNoCoreReader(ReaderGaps(), false, !fromContainer_));
  if (DtsPassesThrough()) {
    CompressedTail(TCodecFamily::kDts);
    return true;
  }
  return Decode(format_ == "dtslbr" ? TDecoderKind::kDtsLbr : TDecoderKind::kDtsNc);
}

bool TInputPlanner::PlanFlac() {
  if (JoinRefused("FLAC")) return false;
  UpStreamPtr decoder = f_.FlacDecoder();
  Add(decoder);
  result_.flacDecoder = decoder;  // a FLAC encoder may copy its metadata
  a_.PcmChain = true;
  return true;
}

// TrueHD decoding, shared by the TrueHD and the TrueHD/AC3 branches.
bool TInputPlanner::DecodeThd() {
  const bool mlp = format_ == "mlp";
  const bool analyze = !IsLossyEncoderDestination(a_.FileName);
  const bool libav = !a_.Nero && !a_.Sonic;
  if (!Decode(mlp ? TDecoderKind::kMlp : TDecoderKind::kThd)) return false;
  if (!(mlp && libav)) result_.analyzeOutput = analyze;
  return true;
}

bool TInputPlanner::PlanThdAc3() {
  const std::string& name = a_.FileName;
  const bool splitHalf = a_.CompanionAction != 0;
  if (ExtensionIn(name, {".thd", ".truehd"})) {
    Add(f_.ThdReader(ReaderGaps(), true, false, false, false, false));
    Add(f_.ThdAc3Remover());
    if (a_.RemoveDialnorm) Add(f_.ThdDialnormRemover());
    WarnIgnoredOptions();
    a_.PcmChain = false;
    return true;
  }
  if (EndsWithNoCase(name, ".thd+ac3")) {
    Add(f_.ThdReader(ReaderGaps(), true, false, false, false, false));
    if (splitHalf) {
      // The companion destination encodes new AC3 into this joiner.
      Add(f_.ThdAc3Remover());
      if (a_.RemoveDialnorm) Add(f_.ThdDialnormRemover());
      a_.JoinerNode = f_.ThdAc3Joiner();
      Add(a_.JoinerNode);
    } else if (a_.RemoveDialnorm) {
      Add(f_.Ac3DialnormRemover());
      Add(f_.ThdDialnormRemover());
    }
    WarnIgnoredOptions();
    a_.PcmChain = false;
    return true;
  }
  if (IsAc3Destination(name)) {
    if (Ac3PassesThrough(d_.GetCoreBitrate(), d_.GetCoreSampleRate(), splitHalf)) {
      Add(f_.ThdReader(ReaderGaps(), true, false, false, false, true));
      Add(f_.ThdAc3Extractor());
      TakeCoreValues();
      if (a_.RemoveDialnorm) Add(f_.Ac3DialnormRemover());
      CompressedTail(TCodecFamily::kAc3);
      return true;
    }
    // Re-encoding: the gap list belongs to the TrueHD half of a split destination.
    Add(f_.ThdReader(splitHalf ? nullptr : ReaderGaps(), true, false, false, true, false));
  } else {
    Add(f_.ThdReader(ReaderGaps(), true, false, false, true, false));
  }
  Add(f_.ThdAc3Remover());
  if (a_.RemoveDialnorm) Add(f_.ThdDialnormRemover());
  return DecodeThd();
}

bool TInputPlanner::PlanThd() {
  const std::string& name = a_.FileName;
  const bool joined = EndsWithNoCase(name, ".thd+ac3");
  if (IsTrueHdDestination(name) || joined) {
    Add(f_.ThdReader(ReaderGaps(), false, false, false, false, false));
    if (a_.RemoveDialnorm) Add(f_.ThdDialnormRemover());
    if (joined) {
      a_.JoinerNode = f_.ThdAc3Joiner();
      Add(a_.JoinerNode);
    }
    WarnIgnoredOptions();
    a_.PcmChain = false;
    return true;
  }
  Add(f_.ThdReader(ReaderGaps(), false, false, false, true, false));
  if (a_.RemoveDialnorm) Add(f_.ThdDialnormRemover());
  return DecodeThd();
}

bool TInputPlanner::PlanPcmFile() {
  const char* kind = format_ == "wav" ? "WAV" : format_ == "w64" ? "W64" : "RF64";
  if (JoinRefused(kind)) return false;
  Add(format_ == "wav" ? f_.WavReader() : format_ == "w64" ? f_.W64Reader() : f_.Rf64Reader());
  if (d_.GetIsFloat()) {
    Add(f_.FloatEnforcer(64));
    SetFloat64();
  }
  a_.PcmChain = true;
  return true;
}

bool TInputPlanner::PlanRawPcm() {
  uint32_t rate = a_.PcmSampleRate;
  if (fromContainer_ || rate == 0) rate = d_.GetSampleRate() != 0 ? d_.GetSampleRate() : 48000;
  Add(f_.RawReader(d_.GetChannels(), d_.GetContainerBits(), rate, d_.GetAuxFlag(),
                   d_.GetAuxValue()));
  d_.SetSampleRate(rate);
  if (d_.GetAuxFlag()) {
    // Big-endian PCM with six or eight channels comes from Blu-ray, whose channel order
    // differs from the mask order.
    Add(f_.EndianSwapper());
    if ((d_.GetChannels() == 6 || d_.GetChannels() == 8) && a_.Remap.empty()) {
      a_.Remap = "bluray";
      if (!fromContainer_)
        Notice("This is probably a Blu-ray PCM track. Will remap channels accordingly.");
    }
  }
  a_.PcmChain = true;
  return true;
}

// ---- decoders ----

bool TInputPlanner::Decode(TDecoderKind kind) {
  std::string checkId;
  switch (kind) {
    case TDecoderKind::kAc3:
      checkId = "ac3";
      break;
    case TDecoderKind::kEac3:
      checkId = "eac3";
      break;
    case TDecoderKind::kMpx:
      checkId = format_;
      break;
    case TDecoderKind::kAac:
      checkId = "aac";
      break;
    case TDecoderKind::kDts:
    case TDecoderKind::kDtsHd:
      checkId = "dts";
      break;
    case TDecoderKind::kDtsLbr:
      checkId = "dtslbr";
      break;
    case TDecoderKind::kDtsNc:
      checkId = "dtsnc";
      break;
    case TDecoderKind::kThd:
    case TDecoderKind::kMlp:
      checkId = "thd";
      break;
  }
  if (!CheckDecoderChoice(state_, checkId, a_, *node_)) return false;

  const bool dcaDecFamily =
      kind == TDecoderKind::kDts || kind == TDecoderKind::kDtsHd || kind == TDecoderKind::kDtsNc;
  if (a_.Nero || a_.Sonic) {
    BuildDShow(kind);
  } else if (a_.ArcSoft) {
    BuildArcSoft(kind);
  } else if (a_.DcaDec) {
    BuildDcaDec();
  } else if (a_.Libav) {
    if (kind == TDecoderKind::kDtsNc)
      return Error("The libav DTS decoder can't handle this DTS track.");
    BuildLibav(kind);
  } else if (dcaDecFamily) {
    BuildDcaDec();
  } else {
    BuildLibav(kind);
  }
  a_.PcmChain = true;
  return true;
}

void TInputPlanner::BuildLibav(TDecoderKind kind) {
  std::string name;
  switch (kind) {
    case TDecoderKind::kThd:
      Add(f_.LibavDecoder("truehd", false, false, false, true));
      d_.SetIsFloat(false);
      d_.SetContainerBits(24);
      return;
    case TDecoderKind::kMlp: {
      const bool bits24 = d_.GetContainerBits() > 16;
      Add(f_.LibavDecoder("mlp", false, false, false, bits24));
      d_.SetIsFloat(false);
      d_.SetContainerBits(bits24 ? 24 : 16);
      return;
    }
    case TDecoderKind::kAc3:
      name = "ac3";
      break;
    case TDecoderKind::kEac3:
      // The AC3 core carries the compatible part of the stream; the decoder works on it.
      if (!a_.Core && d_.GetCoreChannels() != 0) {
        Add(f_.Eac3CoreExtractor());
        TakeCoreValues();
      }
      if (LeadingDigit(d_.GetChannelText()) > 5)
        Warn("The libav E-AC3 decoder doesn't decode the back channels.");
      name = "ac3";
      break;
    case TDecoderKind::kMpx:
      name = format_ + "float";  // "mp1float", "mp2float", "mp3float"
      break;
    case TDecoderKind::kAac:
      name = "aac";
      break;
    case TDecoderKind::kDtsHd:
      if (!a_.Core) {
        Add(f_.DtsCoreExtractor());
        TakeCoreValues();
      }
      Warn("The libav DTS decoder doesn't decode the full DTS-HD information.");
      name = "dca";
      break;
    case TDecoderKind::kDts:
    case TDecoderKind::kDtsLbr:
    case TDecoderKind::kDtsNc:
      name = "dca";
      break;
  }
  // AAC out of a container comes without its headers: the codec configuration goes along.
  const std::string extradata = kind == TDecoderKind::kAac ? d_.GetCodecPrivate() : std::string();
  Add(f_.LibavDecoder(name, false, true, false, false, extradata));
  Add(f_.FloatEnforcer(64));
  SetFloat64();
}

void TInputPlanner::BuildDShow(TDecoderKind kind) {
  const bool nero = a_.Nero;
  const bool sonic = a_.Sonic;
  const std::string layout = d_.GetChannelText();
  const int digit = LeadingDigit(layout);
  const bool xxch = d_.GetAuxText3() == "XXCh";
  const bool dts = IsDtsKind(kind);

  if (kind == TDecoderKind::kThd || kind == TDecoderKind::kMlp) {
    if (digit > 5)
      Warn(nero ? "The Nero TrueHD Decoder doesn't decode the back channels."
                : "The Sonic TrueHD Decoder doesn't decode the back channels.");
  } else if (kind == TDecoderKind::kEac3) {
    if (digit > 5)
      Warn(sonic ? "The Sonic E-AC3 decoder doesn't decode the back channels."
                 : "The Nero E-AC3 decoder doesn't decode the back channels.");
  } else if (dts && nero) {
    if (digit > 5) Warn("The Nero Audio Decoder doesn't decode the back channels.");
    if (kind == TDecoderKind::kDtsHd)
      Warn("The Nero Audio Decoder doesn't decode the full DTS-HD information.");
  } else if (dts && sonic) {
    if (digit > 6 || xxch)
      Warn("The Sonic Audio Decoder doesn't decode the XXCh channel extension.");
  }

  // The Sonic decoder misplaces the channels of four layouts; the layout is rewritten before
  // it and the channels are picked back into place after it.
  const bool sonicRewrite = sonic && (kind == TDecoderKind::kDts || kind == TDecoderKind::kDtsHd) &&
                            IsRewrittenDtsLayout(layout);
  if (sonicRewrite) Add(f_.DtsChannelMapModder());

  if (kind == TDecoderKind::kAac) {
    if (!sonic) Add(f_.AacHeaderStripper());
    Add(f_.DShowDecoder(nero, sonic, d_.GetCodecPrivate(), sonic));
  } else {
    Add(f_.DShowDecoder(nero, sonic, "", true));
  }
  d_.SetIsFloat(false);

  if (sonicRewrite) AddPick(SonicPickMap(layout));
  if (nero && (kind == TDecoderKind::kAc3 || kind == TDecoderKind::kEac3)) {
    const std::string remap = NeroOutputRemap(d_.GetChannels(), d_.GetChannelText());
    if (!remap.empty()) Add(f_.ChannelModder(remap));
  }

  const bool dropsBack =
      ((kind == TDecoderKind::kThd || kind == TDecoderKind::kMlp) && digit > 5) ||
      (dts && nero && digit > 5) || (dts && sonic && (digit > 6 || xxch));
  if (dropsBack) AdjustBackChannels(d_, a_);
}

void TInputPlanner::AddPick(const TChannelPick& pick) {
  if (pick.Empty()) return;
  Add(f_.ChannelModder(pick.map, 0));
  if (!pick.gains.empty()) Add(f_.RawEqualizer(pick.gains, true));
}

void TInputPlanner::BuildArcSoft(TDecoderKind kind) {
  const std::string trackLayout = d_.GetChannelText();
  const bool plainDts = kind == TDecoderKind::kDts;
  if (plainDts && IsRewrittenDtsLayout(trackLayout)) Add(f_.DtsChannelMapModder());

  const uint32_t requested = a_.PcmChannels;
  if (requested == 2 || requested == 6 || requested == 7 || requested == 8) {
    Add(f_.ArcSoftDtsDecoder(requested));
    d_.SetChannels(requested);
    d_.SetChannelText(requested == 2   ? "2.0"
                      : requested == 6 ? "5.1"
                      : requested == 7 ? "6.1"
                                       : "7.1");
    d_.SetChannelMask(DefaultChannelMask(requested));
  } else {
    Add(f_.ArcSoftDtsDecoder(d_.GetChannels()));
  }
  d_.SetIsFloat(false);
  AddPick(ArcSoftPick(d_.GetChannels(), d_.GetChannelText(), plainDts));

  if (!plainDts && trackLayout.find("(strange setup)") != std::string::npos)
    WriteMessage(kMsgWarning, "CAUTION: Decoding this track with ArcSoft results in low volume.");
}

void TInputPlanner::BuildDcaDec() {
  if (!state_.FirstPass && a_.Peak > 1.0) {
    // The first pass clipped: decode to float so that the second pass can scale it down.
    Add(f_.DcaDecDecoder(false, true, nullptr));
    SetFloat64();
    return;
  }
  const bool bits24 = a_.PcmBits == 24;
  Add(f_.DcaDecDecoder(bits24, false, &a_.Peak));
  d_.SetIsFloat(false);
  if (bits24) {
    d_.SetContainerBits(24);
    d_.SetValidBits(24);
  }
}

// ---- the common steps ----

bool TInputPlanner::Run() {
  result_ = TInputPlanResult{};

  // The downmix choice follows the channel count; a downmix the track cannot take is dropped.
  const uint32_t channels = d_.GetChannels();
  if (a_.Downmix && !a_.Down2 && !a_.Down6) {
    if (channels >= 7)
      a_.Down6 = true;
    else if (channels >= 3)
      a_.Down2 = true;
  }
  a_.Downmix = false;
  if (channels <= 6) a_.Down6 = false;
  if (channels <= 2) a_.Down2 = false;

  // Values from container metadata: the bitstream is written as it arrives.
  if (!d_.GetVerified()) {
    a_.PcmChain = false;
    return true;
  }

  bool ok;
  if (format_ == "ac3" || format_ == "ac3wav")
    ok = PlanAc3();
  else if (format_ == "eac3")
    ok = PlanEac3();
  else if (format_ == "mp1" || format_ == "mp2" || format_ == "mp3")
    ok = PlanMpx();
  else if (format_ == "aac")
    ok = PlanAac();
  else if (format_ == "dts" || format_ == "dtswav")
    ok = PlanDts();
  else if (format_ == "dtsma" || format_ == "dtshr")
    ok = PlanDtsHd();
  else if (format_ == "dtslbr" || format_ == "dtsnc")
    ok = PlanDtsNoCore();
  else if (format_ == "flac")
    ok = PlanFlac();
  else if (format_ == "thd/ac3")
    ok = PlanThdAc3();
  else if (format_ == "thd" || format_ == "mlp")
    ok = PlanThd();
  else if (format_ == "wav" || format_ == "w64" || format_ == "rf64")
    ok = PlanPcmFile();
  else if (format_ == "pcm")
    ok = PlanRawPcm();
  else
    return Error("Internal error - unknown audio input format!");
  if (!ok) return false;
  return Finish();
}

bool TInputPlanner::Finish() {
  const bool pcm = a_.PcmChain;
  if (pcm) Add(f_.SampleSorter());
  // 16-bit audio in 24-bit containers; a bitstream chain has no samples to strip.
  if (pcm && d_.GetContainerBits() == 24 && d_.GetValidBits() >= 1 && d_.GetValidBits() <= 16) {
    Add(f_.StripTo16bit(false));
    d_.SetContainerBits(16);
  }
  const std::string readerOrder = d_.GetAuxText1();
  if (!readerOrder.empty() && pcm && !CheckDestination()) Add(f_.ChannelModder(readerOrder));
  if (a_.Mono && pcm) {
    const uint32_t mask = d_.GetChannelMask();
    const uint32_t centre = (mask & 0x4) != 0 ? uint32_t(std::popcount(mask & 0x3)) : 0;
    Add(f_.ChannelModder(std::vector<uint32_t>{centre}, 0x4));
    d_.SetChannels(1);
    d_.SetChannelText("1.0");
    d_.SetChannelMask(0x4);
  }
  if (pcm && !result_.analyzeOutput && a_.Check16bit && !IsLossyEncoderDestination(a_.FileName))
    result_.analyzeOutput = true;
  if (pcm && (a_.DecodeHdcd || (d_.GetHdcd() && IsLossyEncoderDestination(a_.FileName)))) {
    Add(f_.HdcdDecoder(true, true));
    d_.SetContainerBits(24);
    d_.SetValidBits(0);
  }
  if (state_.NeroUses > 1)
    return Error("The Nero Audio Decoder only allows one operation at a time.");
  if (state_.ArcSoftUses > 1)
    return Error("The Arcsoft DTS Decoder only allows one operation at a time.");
  if (appendFailed_) return Error("Internal error - the audio chain couldn't be linked.");
  return true;
}

}  // namespace

bool PlanAudioInput(TRunState& state, const UpStreamPtr& trackNode, bool fromContainer,
                    IAudioFormatDetails& details, TAction& action, size_t sourceFiles,
                    TInputPlanResult& result) {
  if (!trackNode) return false;
  TInputPlanner planner(state, trackNode, fromContainer, details, action, sourceFiles, result);
  return planner.Run();
}

// ---- source-side analysis ----

void AddSourceAnalysis(TRunState& state, const UpStreamPtr& trackNode,
                       const IAudioFormatDetails& details, TAction& action,
                       const TInputPlanResult& input) {
  // The analysers read samples; a bitstream chain has none.
  if (!trackNode || !action.PcmChain) return;
  const bool wanted = input.analyzeOutput || action.AnalyzeBitdepth ||
                      IsLosslessSourceFormat(details.GetFormatId());
  if (!wanted || action.SourceAnalysisAdded) return;
  action.SourceAnalysisAdded = true;
  TNodeFactory& f = state.Factory();
  trackNode->AppendUpstream(f.BitdepthAnalyzer(false));
  const uint32_t bits = details.GetContainerBits();
  if (!details.GetIsFloat() && !details.GetHdcd() && (bits == 16 || bits == 24))
    trackNode->AppendUpstream(f.HdcdDecoder(false, true));
}

}  // namespace kavrix
