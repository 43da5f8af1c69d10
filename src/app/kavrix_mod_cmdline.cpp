// The command line: sources, track selectors, destinations and options, checked and
// turned into the options record. The shell has already split and unquoted the
// parameters; only "-" starts an option, so absolute paths are names like any other.
#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <optional>

#include "app/kavrix_mod_options.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"
#include "platform/voxPlatform_paths.h"

namespace kavrix {

namespace {

constexpr std::string_view kDegree = "\xC2\xB0";  // the degree sign in UTF-8

constexpr std::array<std::pair<std::string_view, uint32_t>, 11> kFpsWords = {{
    {"23.976", 23976},
    {"24.000", 24000},
    {"24.975", 24975},
    {"25.000", 25000},
    {"29.970", 29970},
    {"30.000", 30000},
    {"47.952", 47952},
    {"48.000", 48000},
    {"50.000", 50000},
    {"59.940", 59940},
    {"60.000", 60000},
}};

std::optional<uint32_t> FpsOfWord(std::string_view word) {
  for (const auto& [text, fps] : kFpsWords)
    if (word == text) return fps;
  return std::nullopt;
}

bool IsDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A decimal integer with an optional sign; nullopt when it is not one or does not fit.
std::optional<int64_t> ParseInteger(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (!IsDigits(s)) return std::nullopt;
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  if (value > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
  return negative ? -int64_t(value) : int64_t(value);
}

// An integer within [low, high].
std::optional<int64_t> ParseInRange(std::string_view s, int64_t low, int64_t high) {
  const auto v = ParseInteger(s);
  if (!v || *v < low || *v > high) return std::nullopt;
  return v;
}

// A decimal number with an optional sign and fraction ("3", "-1.5", "+0.25").
std::optional<double> ParseDecimal(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !(s[0] >= '0' && s[0] <= '9')) return std::nullopt;
  double value = 0;
  const auto [end, ec] =
      std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::fixed);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return negative ? -value : value;
}

// A value followed by a unit word: the part before it, when the text ends with it.
std::optional<std::string_view> BeforeSuffix(std::string_view text, std::string_view suffix) {
  if (text.size() <= suffix.size() || !EndsWithNoCase(text, suffix)) return std::nullopt;
  return text.substr(0, text.size() - suffix.size());
}

std::string Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

bool Error(const std::string& text) {
  WriteMessage(kMsgError, text);
  return false;
}

bool PathExists(const std::string& path) {
  return platform::GetPathKind(path) != platform::TPathKind::kNone;
}

// "1:video.mkv" is the selector "1:" and the destination, unless a file of that name exists.
std::vector<std::string> SplitGluedSelectors(const std::vector<std::string>& params) {
  std::vector<std::string> out;
  for (const std::string& p : params) {
    const size_t colon = p.find(':');
    if ((colon == 1 || colon == 2) && colon + 1 < p.size() &&
        IsDigits(std::string_view(p).substr(0, colon)) && !PathExists(p)) {
      out.push_back(p.substr(0, colon + 1));
      out.push_back(p.substr(colon + 1));
    } else {
      out.push_back(p);
    }
  }
  return out;
}

bool NoDiscTitle(const std::string&, uint32_t, std::vector<std::string>&, bool&) {
  return false;
}

// Splits a source at "+", except inside ".thd+ac3" (a file type of its own).
std::vector<std::string> SplitSource(const std::string& source) {
  std::vector<std::string> parts;
  std::string current;
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '+' &&
        !(i >= 4 && EqualsNoCase(std::string_view(source).substr(i - 4, 8), ".thd+ac3"))) {
      parts.push_back(current);
      current.clear();
    } else {
      current.push_back(source[i]);
    }
  }
  parts.push_back(current);
  return parts;
}

// A channel order: n digits separated by commas, a permutation of 0 .. n-1 (n = 6, 7, 8).
bool IsValidRemap(const std::string& remap) {
  const size_t n = (remap.size() + 1) / 2;
  if (remap.size() != 11 && remap.size() != 13 && remap.size() != 15) return false;
  std::array<bool, 8> used{};
  for (size_t i = 0; i < remap.size(); ++i) {
    if (i % 2 == 1) {
      if (remap[i] != ',') return false;
      continue;
    }
    const int digit = remap[i] - '0';
    if (digit < 0 || digit >= int(n) || used[size_t(digit)]) return false;
    used[size_t(digit)] = true;
  }
  return true;
}

bool HasRemapShape(std::string_view text) {
  if (text.size() != 11 && text.size() != 13 && text.size() != 15) return false;
  for (size_t i = 1; i < text.size(); i += 2)
    if (text[i] != ',') return false;
  return true;
}

// "edit=H:MM:SS[.mmm],<n>ms": position and amount in 100 ns units.
bool ParseEdit(std::string_view text, int64_t& position, int64_t& amount) {
  // H:MM:SS
  if (text.size() < 7 || !IsDigits(text.substr(0, 1)) || text[1] != ':' ||
      !IsDigits(text.substr(2, 2)) || text[4] != ':' || !IsDigits(text.substr(5, 2)))
    return false;
  const int64_t h = text[0] - '0';
  const int64_t mm = (text[2] - '0') * 10 + (text[3] - '0');
  const int64_t ss = (text[5] - '0') * 10 + (text[6] - '0');
  if (mm > 59 || ss > 59) return false;
  int64_t ms = 0;
  text.remove_prefix(7);
  if (!text.empty() && text[0] == '.') {
    if (text.size() < 4 || !IsDigits(text.substr(1, 3))) return false;
    ms = (text[1] - '0') * 100 + (text[2] - '0') * 10 + (text[3] - '0');
    text.remove_prefix(4);
  }
  if (text.empty() || text[0] != ',') return false;
  const auto n = BeforeSuffix(text.substr(1), "ms");
  if (!n) return false;
  const auto value = ParseInRange(*n, -100000000000, 100000000000);  // ±100,000,000 s
  if (!value) return false;
  position = ((h * 60 + mm) * 60 + ss) * 10000000 + ms * 10000;
  amount = *value * 10000;
  return true;
}

class TParser {
 public:
  TParser(const std::vector<std::string>& params, TOptions& options)
      : params_(SplitGluedSelectors(params)), options_(options) {
    for (const std::string& p : params_)
      if (EqualsNoCase(p, "-silence")) silenceAnywhere_ = true;
  }

  bool Run() {
    for (size_t i = 0; i < params_.size(); ++i)
      if (!Parameter(i)) return false;
    return Finish();
  }

 private:
  TAction* CurrentAction() {
    return current_ < options_.Actions.size() ? &options_.Actions[current_] : nullptr;
  }

  // The first action without a file name, else a new one.
  TAction& ActionForName() {
    for (size_t i = 0; i < options_.Actions.size(); ++i) {
      if (options_.Actions[i].FileName.empty()) {
        current_ = i;
        return options_.Actions[i];
      }
    }
    options_.Actions.emplace_back();
    current_ = options_.Actions.size() - 1;
    return options_.Actions.back();
  }

  void EnsurePlaceholder() {
    if (!options_.Actions.empty()) return;
    options_.Actions.emplace_back();
    options_.Actions.back().FileName = kGlobalOptionsName;
    current_ = 0;
  }

  bool Parameter(size_t index) {
    const std::string& p = params_[index];
    if (!p.empty() && p[0] == '-') return Option(p, std::string_view(p).substr(1));
    return Plain(index, p);
  }

  // Delay, gain and phase, with the sign given. A number too large for its field is an
  // error rather than a file name.
  std::optional<bool> Adjustment(std::string_view value, int sign, const std::string& p) {
    struct TUnit {
      std::string_view suffix;
      const char* what;
    };
    static constexpr TUnit kUnits[] = {{"ms", "delay"}, {"dB", "gain"}, {kDegree, "phase"}};
    for (const TUnit& unit : kUnits) {
      const auto number = BeforeSuffix(value, unit.suffix);
      if (!number) continue;
      const bool isGain = unit.suffix == "dB";
      std::string_view digits = *number;
      if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
      const bool wellFormed = isGain ? ParseDecimal(*number).has_value() : IsDigits(digits);
      if (!wellFormed) continue;
      TAction* a = CurrentAction();
      if (!a)
        return Error("Please specify the source and dest files first and then the " +
                     std::string(unit.what) + ".");
      if (isGain) {
        const double v = *ParseDecimal(*number);
        if (!(v > -1000 && v < 1000)) return IncorrectFormat(p);
        a->Gain = v * sign;
      } else {
        const auto v = ParseInRange(*number, -2147483647, 2147483647);
        if (!v) return IncorrectFormat(p);
        (unit.suffix == "ms" ? a->Delay : a->Phase) = int32_t(*v * sign);
      }
      return true;
    }
    return std::nullopt;
  }

  bool IncorrectFormat(const std::string& p) {
    return Error("Command line parameter \"" + p + "\" has an incorrect format.");
  }

  bool Plain(size_t index, const std::string& p) {
    if (auto done = Adjustment(p, 1, p)) return *done;
    if (auto n = BeforeSuffix(p, ":"); n && ParseInteger(*n)) {
      const auto v = ParseInRange(*n, 1, std::numeric_limits<uint32_t>::max());
      if (!v)
        return Error("The source file doesn't contain a track with the number " + std::string(*n) +
                     ".");
      ActionForName().TrackNumber = uint32_t(*v);
      return true;
    }
    if (auto n = BeforeSuffix(p, ")"); n && IsDigits(*n)) return DiscTitle(index, p, *n);
    if (!sourceSeen_) {
      source_ = p;
      sourceSeen_ = true;
      return true;
    }
    TAction& action = ActionForName();
    action.FileName = Trim(p);
    if (IsStdoutName(action.FileName)) SetQuiet(true);
    return true;
  }

  bool DiscTitle(size_t index, const std::string& p, std::string_view number) {
    if (index > 1) return Error("The parameter \"" + p + "\" can only be 1st or 2nd parameter.");
    if (index == 1 && !(sourceSeen_ && params_[0] == source_))
      return Error("The parameter \"" + p + "\" can only follow a source file name.");
    if (index == 0) {
      source_ = ".";
      sourceSeen_ = true;
    }
    const auto title = ParseInRange(number, 0, std::numeric_limits<uint32_t>::max());
    bool errorShown = false;
    std::vector<std::string> files;
    if (title && PathExists(source_)) {
      const TDiscTitleLookup& lookup = DiscTitleLookup();
      if (lookup.findHdDvdTitle(source_, uint32_t(*title), files, errorShown) ||
          lookup.findBluRayTitle(source_, uint32_t(*title), files, errorShown)) {
        titleFiles_ = files;
        options_.Playlist = true;
        return true;
      }
    }
    if (!errorShown) Error("HD DVD / Blu-Ray disc structure not found.");
    return false;
  }

  bool Option(const std::string& p, std::string_view name) {
    // Global options, valid anywhere.
    if (auto n = BeforeSuffix(name, "mb"); n && IsDigits(*n)) {
      const auto v = ParseInRange(*n, 0, int64_t(1) << 40);
      if (!v) return Unknown(p);
      options_.SizeLimitMb = uint64_t(*v);
      return true;
    }
    if (EqualsNoCase(name, "test")) return Set(options_.Test);
    if (EqualsNoCase(name, "lowPriority")) return Set(options_.LowPriority);
    if (EqualsNoCase(name, "progressnumbers")) {
      SetBarMode(false);
      return true;
    }
    if (StartsWithNoCase(name, "neroaacenc=")) {
      std::string path(name.substr(11));
      std::erase(path, '"');
      options_.NeroAacEncPath = path;
      return true;
    }
    if (EqualsNoCase(name, "demux")) return SetWithPlaceholder(options_.Demux);
    if (StartsWithNoCase(name, "skipbytes")) {
      const auto v = ParseInRange(name.substr(9), 1, std::numeric_limits<int64_t>::max());
      if (!v || !IsDigits(name.substr(9))) return Unknown(p);
      options_.SkipBytes = uint64_t(*v);
      return true;
    }
    if (EqualsNoCase(name, "no2ndpass")) return Set(options_.No2ndPass);
    if (EqualsNoCase(name, "check")) return SetWithPlaceholder(options_.Check);
    if (EqualsNoCase(name, "fix")) return SetWithPlaceholder(options_.Fix);
    if (EqualsNoCase(name, "shutdown")) {
      SetShutdownAfterwards(true);
      return true;
    }
    if (EqualsNoCase(name, "logPids")) return Set(options_.LogPids);
    if (EqualsNoCase(name, "logMkv")) return Set(options_.LogMkv);
    if (EqualsNoCase(name, "logDts")) return Set(options_.LogDts);
    if (!destinationOptionSeen_) {
      if (EqualsNoCase(name, "analyzeBitdepth"))
        return SetWithPlaceholder(options_.AnalyzeBitdepth);
      if (EqualsNoCase(name, "checkPitch")) return SetWithPlaceholder(options_.CheckPitch);
    }

    // Everything else belongs to the destination it follows.
    TAction* a = CurrentAction();
    if (!a) return Error("Please specify the source and dest files first and then the options.");
    destinationOptionSeen_ = true;
    return DestinationOption(*a, p, name);
  }

  bool Set(bool& flag) {
    flag = true;
    return true;
  }

  bool SetWithPlaceholder(bool& flag) {
    flag = true;
    EnsurePlaceholder();
    return true;
  }

  bool Unknown(const std::string& p) {
    return Error("Command line parameter \"" + p + "\" is unknown.");
  }

  bool Warn(const std::string& text) {
    WriteMessage(kMsgWarning, text);
    return true;
  }

  bool ChooseDecoder(TAction& a, bool TAction::*choice) {
    a.Nero = a.Sonic = a.ArcSoft = a.DcaDec = a.Libav = false;
    a.*choice = true;
    return true;
  }

  bool DestinationOption(TAction& a, const std::string& p, std::string_view name) {
    struct TFlag {
      std::string_view name;
      bool TAction::*field;
    };
    auto is = [&](std::string_view option) { return EqualsNoCase(name, option); };

    if (is("analyzeBitdepth")) return Set(a.AnalyzeBitdepth);
    if (is("checkPitch")) return Set(a.CheckPitch);
    if (is("oldMediaType")) return Warn("The \"-oldMediaType\" parameter is no longer supported.");
    if (is("orbitLee")) return Warn("The \"-orbitLee\" parameter is no longer supported.");
    static constexpr TFlag kDecoders[] = {{"nero", &TAction::Nero},
                                          {"sonic", &TAction::Sonic},
                                          {"arcSoft", &TAction::ArcSoft},
                                          {"dcaDec", &TAction::DcaDec},
                                          {"libav", &TAction::Libav}};
    for (const TFlag& d : kDecoders)
      if (is(d.name)) return ChooseDecoder(a, d.field);
    if (is("downmix")) return Set(a.Downmix);
    if (is("down6")) return Set(a.Down6);
    if (is("down2")) return Set(a.Down2);
    if (is("downDpl")) return a.Down2 = true, Set(a.DownDpl);
    if (is("downStereo")) return a.Down2 = true, Set(a.DownStereo);
    if (is("phaseShift")) return Set(a.PhaseShift);
    if (is("mixlfe")) return Set(a.MixLfe);
    if (is("normalize")) return a.TwoPass = true, Set(a.Normalize);
    if (is("2pass")) return Set(a.TwoPass);
    if (is("seekToIFrames")) return Set(a.SeekToIFrames);
    if (is("full")) return Set(a.Full);
    if (is("float32")) return Set(a.Float32);
    if ((name.size() == 5 || name.size() == 6) && StartsWithNoCase(name, "skip")) {
      if (auto v = ParseInRange(name.substr(4), 1, 99); v && IsDigits(name.substr(4))) {
        a.SkipFrames = uint32_t(*v);
        return true;
      }
    }
    if (StartsWithNoCase(name, "down") && IsDigits(name.substr(4))) {
      if (auto v = ParseInRange(name.substr(4), 8, 32)) {
        a.TargetBits = uint32_t(*v);
        return true;
      }
    }
    if (is("keep24")) return Warn("The \"-keep24\" parameter is no longer supported.");
    if (IsDigits(name)) {
      static constexpr uint32_t kRates[] = {192000, 176400, 96000, 88200,
                                            48000,  44100,  24000, 22050};
      const auto v = ParseInteger(name);
      for (uint32_t rate : kRates)
        if (v && *v == rate && name[0] != '0') return a.PcmSampleRate = rate, true;
      if (name.size() == 1 && name[0] >= '1' && name[0] <= '8')
        return a.PcmChannels = uint32_t(name[0] - '0'), true;
      if (name == "16" || name == "24") return a.PcmBits = uint32_t(*v), true;
    }
    if (is("fast")) return Set(a.Fast);
    if (is("steep")) return Set(a.Steep);
    if (is("r8brain")) return Set(a.R8brain);
    if (auto fps = FpsOfWord(name)) return a.SourceFps = *fps, true;
    if ((name.size() == 14 && StartsWithNoCase(name, "changeTo")) ||
        (name.size() == 15 && StartsWithNoCase(name, "speedupTo")) ||
        (name.size() == 16 && StartsWithNoCase(name, "slowdownTo"))) {
      const std::string_view word = name.substr(name.size() - 6);
      const auto fps = FpsOfWord(word);
      if (!fps) return Error("FPS value \"" + std::string(word) + "\" not supported.");
      a.TargetFps = *fps;
      return true;
    }
    if (StartsWithNoCase(name, "quality=")) {
      const std::string_view q = name.substr(8);
      if (q == "0") return a.Quality = 0, true;
      if (q == "1" || q == "1.0" || q == "1.00") return a.Quality = 100, true;
      if (q.size() == 3 && q.substr(0, 2) == "0." && IsDigits(q.substr(2)))
        return a.Quality = uint32_t(q[2] - '0') * 10, true;
      if (q.size() == 4 && q.substr(0, 2) == "0." && IsDigits(q.substr(2)))
        return a.Quality = uint32_t((q[2] - '0') * 10 + (q[3] - '0')), true;
    }
    if (is("blu-ray")) return a.Remap = "bluray", true;
    if (is("core")) return Set(a.Core);
    if (is("silence")) return Set(a.EditSilence);
    if (is("loop")) return Set(a.EditLoop);
    if (StartsWithNoCase(name, "edit=")) return Edit(a, p, name.substr(5));
    if (is("slowdown")) {
      if (a.SourceFps == 0) a.SourceFps = 25000;
      a.TargetFps = 23976;
      return true;
    }
    if (is("speedup")) {
      if (a.SourceFps == 0) a.SourceFps = 23976;
      a.TargetFps = 25000;
      return true;
    }
    static constexpr TFlag kFlags[] = {
        {"override", &TAction::Override},         {"dontRepairDts", &TAction::DontRepairDts},
        {"dontPatchDts", &TAction::DontPatchDts}, {"keepFullRange", &TAction::KeepFullRange},
        {"dontCrop", &TAction::DontCrop},         {"stripPulldown", &TAction::StripPulldown},
        {"keepPulldown", &TAction::KeepPulldown}};
    for (const TFlag& f : kFlags)
      if (is(f.name)) return Set(a.*f.field);
    if (StartsWithNoCase(name, "resampleTo") && IsDigits(name.substr(10))) {
      if (auto v = ParseInRange(name.substr(10), 22051, 192000)) {
        a.ResampleTo = uint32_t(*v);
        return true;
      }
    }
    if (is("big")) return a.PcmEndianness = 2, true;
    if (is("little")) return a.PcmEndianness = 1, true;
    static constexpr TFlag kMoreFlags[] = {{"mono", &TAction::Mono},
                                           {"double7", &TAction::Double7},
                                           {"simple", &TAction::Simple},
                                           {"check16bit", &TAction::Check16bit}};
    for (const TFlag& f : kMoreFlags)
      if (is(f.name)) return Set(a.*f.field);
    if (is("extensible"))
      return Warn("The \"-extensible\" parameter is no longer supported/needed.");
    if (is("ignorePitch")) return Set(a.IgnorePitch);
    if (is("decodeHdcd")) return Set(a.DecodeHdcd);
    if (is("allowDrc")) return Warn("The \"-allowDrc\" parameter is no longer supported.");
    if (is("removeDialnorm")) return Set(a.RemoveDialnorm);
    if (is("dontDither")) return Set(a.DontDither);
    if (auto done = Adjustment(name, -1, p)) return *done;
    if (HasRemapShape(name)) return a.Remap = std::string(name), true;
    if (name.find(',') != std::string_view::npos) return IncorrectFormat(p);
    if (auto v = ParseInteger(name); v && IsDigits(name)) {
      if ((*v >= 32 && *v <= 640) || *v == 768 || *v == 1536) return a.Bitrate = uint32_t(*v), true;
    }
    return Unknown(p);
  }

  bool Edit(TAction& a, const std::string& p, std::string_view text) {
    if (editGiven_.size() < options_.Actions.size()) editGiven_.resize(options_.Actions.size());
    if (editGiven_[current_]) return Error("You can only do one audio edit at a time.");
    int64_t position = 0, amount = 0;
    const bool silence = a.EditSilence || silenceAnywhere_;
    if (!ParseEdit(text, position, amount) || !((amount != 0 && amount < position) || silence))
      return Error("Invalid edit format \"" + p + "\".");
    a.EditPosition = position;
    a.EditAmount = amount;
    editGiven_[current_] = true;
    return true;
  }

  bool Finish() {
    if (!titleFiles_.empty()) {
      options_.Sources = titleFiles_;
    } else if (sourceSeen_ && !SourceParts()) {
      return false;
    }
    for (TAction& a : options_.Actions) {
      if (!a.Remap.empty() && a.Remap != "bluray" && !IsValidRemap(a.Remap))
        return Error("Command line parameter \"" + a.Remap + "\" has an incorrect format.");
      if (a.FileName.empty()) {
        if (!a.AnalyzeBitdepth)
          return Error("Destination file name is missing for track number " +
                       std::to_string(a.TrackNumber) + ".");
        a.FileName = kCheckRawName;
      }
    }
    if (options_.Sources.empty() && !options_.Test) return Error("No source file was specified.");
    return true;
  }

  bool SourceParts() {
    using platform::TPathKind;
    const TPathKind kind = platform::GetPathKind(source_);
    // A name that exists as it stands is one file, "+" or not.
    const bool whole = kind != TPathKind::kNone || source_.find('+') == std::string::npos;
    if (whole && kind != TPathKind::kNone) {
      const TDiscTitleLookup& lookup = DiscTitleLookup();
      bool errorShown = false;
      std::vector<std::string> files;
      if (lookup.findHdDvdTitle(source_, 1, files, errorShown) ||
          lookup.findBluRayTitle(source_, 1, files, errorShown)) {
        options_.Sources = files;
        options_.Playlist = true;
        return true;
      }
      if (kind == TPathKind::kFolder) {
        if (!errorShown) Error("HD DVD / Blu-Ray disc structure not found.");
        return false;
      }
    }
    const std::vector<std::string> parts =
        whole ? std::vector<std::string>{source_} : SplitSource(source_);
    for (const std::string& raw : parts) {
      const std::string part = whole ? raw : Trim(raw);
      const TPathKind partKind = platform::GetPathKind(part);
      if (partKind == TPathKind::kNone) return Error("Source file \"" + part + "\" not found.");
      // The source is scanned at both ends before it is read: pipes cannot serve it.
      if (partKind != TPathKind::kFile)
        return Error("Source file \"" + part + "\" is not a regular file.");
      options_.Sources.push_back(part);
    }
    return true;
  }

  const std::vector<std::string> params_;
  TOptions& options_;
  size_t current_ = SIZE_MAX;
  bool sourceSeen_ = false;
  std::string source_;
  std::vector<std::string> titleFiles_;
  bool destinationOptionSeen_ = false;
  bool silenceAnywhere_ = false;
  std::vector<bool> editGiven_;
};

}  // namespace

TDiscTitleLookup& DiscTitleLookup() {
  // Disc titles are found by the Blu-ray and HD DVD readers once they exist; until then
  // no structure is ever found.
  static TDiscTitleLookup lookup{&NoDiscTitle, &NoDiscTitle};
  return lookup;
}

size_t GetParamCount(const std::vector<std::string>& params) {
  if (params.size() == 2 &&
      (EqualsNoCase(params[0], "-progressnumbers") || EqualsNoCase(params[1], "-progressnumbers")))
    return 1;
  return params.size();
}

bool ParseCommandLine(const std::vector<std::string>& params, TOptions& options) {
  options = TOptions{};
  try {
    return TParser(params, options).Run();
  } catch (const std::bad_alloc&) {
    return Error("The command line parser couldn't allocate enough memory.");
  }
}

}  // namespace kavrix
