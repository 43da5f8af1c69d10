// The run around the passes: the checks of every destination before anything runs, the frame
// rates of speed changes, the cleaning of destination names, the pass loop with the evaluation
// that decides on a second pass, and the completion (post-processing of finished files,
// statistics, caption-count names, removal of a failed run's outputs).
#include "app/kavrix_mod_run.h"

#include <filesystem>
#include <initializer_list>
#include <set>
#include <string_view>
#include <system_error>

#include "app/kavrix_mod_planning.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"
#include "io/voxFileStream_dest.h"

namespace kavrix {

namespace {

constexpr uint64_t kDamageLimit = 5242880;  // a damaged start is worked around below 5 MiB

bool IsOneOf(std::string_view value, std::initializer_list<std::string_view> set) {
  for (std::string_view s : set)
    if (EqualsNoCase(value, s)) return true;
  return false;
}

bool Fail(const std::string& text) {
  WriteMessage(kMsgError, text);
  return false;
}

bool EndsWithStar(const std::string& name) {
  return name.size() >= 2 && name.compare(name.size() - 2, 2, ".*") == 0;
}

// "x.*" becomes "x.<extension>".
void ResolveStar(std::string& name, const std::string& extension) {
  if (EndsWithStar(name)) name = name.substr(0, name.size() - 1) + extension;
}

std::string LowerExtension(const std::string& name) {
  return LowerAscii(Extension(name));
}

bool IsCheckName(const std::string& name) {
  return name.find("%check%") != std::string::npos;
}

// What a track number of the listing stands for.
struct TTrackRef {
  enum TKind { kNone, kJoined, kChapters, kVideo, kAudio, kSubtitle } kind = kNone;
  std::shared_ptr<IVideoFormatDetails> video;
  std::shared_ptr<IAudioFormatDetails> audio;
  std::shared_ptr<ISubtitleFormatDetails> subtitle;
};

TTrackRef FindTrack(const TSourceAnalysis& analysis, uint32_t number) {
  TTrackRef ref;
  if (!analysis.container) {
    // An elementary source has one track; its details say what it is.
    if (number != 1) return ref;
    ref.audio = analysis.audio;
    ref.video = analysis.video;
    ref.subtitle = analysis.subtitle;
    ref.kind = analysis.audio      ? TTrackRef::kAudio
               : analysis.video    ? TTrackRef::kVideo
               : analysis.subtitle ? TTrackRef::kSubtitle
                                   : TTrackRef::kNone;
    return ref;
  }
  if (number == 0) return ref;
  if (number <= analysis.LeadingEntries) {
    const bool chapters = !analysis.ChapterText.empty() && number == analysis.LeadingEntries;
    ref.kind = chapters ? TTrackRef::kChapters : TTrackRef::kJoined;
    return ref;
  }
  const IContainerInfo& c = *analysis.container;
  size_t index = number - analysis.LeadingEntries - 1;
  if (index < c.GetVideoTrackCount()) {
    TVideoTrackEntry e;
    if (c.GetVideoTrack(index, e) && e.node) ref.kind = TTrackRef::kVideo, ref.video = e.node;
    return ref;
  }
  index -= c.GetVideoTrackCount();
  if (index < c.GetAudioTrackCount()) {
    TAudioTrackEntry e;
    if (c.GetAudioTrack(index, e) && e.node) ref.kind = TTrackRef::kAudio, ref.audio = e.node;
    return ref;
  }
  index -= c.GetAudioTrackCount();
  if (index < c.GetSubtitleTrackCount()) {
    TSubtitleTrackEntry e;
    if (c.GetSubtitleTrack(index, e) && e.node)
      ref.kind = TTrackRef::kSubtitle, ref.subtitle = e.node;
  }
  return ref;
}

uint32_t LastTrackNumber(const TSourceAnalysis& analysis) {
  if (!analysis.container) return analysis.FoundSomething() ? 1 : 0;
  const IContainerInfo& c = *analysis.container;
  return analysis.LeadingEntries +
         uint32_t(c.GetVideoTrackCount() + c.GetAudioTrackCount() + c.GetSubtitleTrackCount());
}

// "23.976" for a rate in frames per 1000 s.
std::string FpsText(uint32_t fps) {
  std::string fraction = std::to_string(fps % 1000);
  fraction.insert(0, 3 - fraction.size(), '0');
  return std::to_string(fps / 1000) + "." + fraction;
}

bool IsSupportedVideoRate(uint32_t rate) {
  for (uint32_t r :
       {23976u, 24000u, 24975u, 25000u, 29970u, 30000u, 47952u, 48000u, 50000u, 59940u, 60000u})
    if (rate == r) return true;
  return false;
}

// ---- steps that later parts of the program provide ----
// Each stand-in reports that it is missing, so a run that needs it ends as a failure instead
// of leaving an unfinished file behind as if it were done.

enum class TStep { kOk, kFailed, kMissing };

TStep PatchFlacTags(const std::string& fileName, uint32_t validBits) {
  (void)fileName;
  (void)validBits;
  WriteMessage(kMsgError, "The FLAC tag patcher is not available yet.");
  return TStep::kMissing;
}

TStep EncodeDtsFromMonoFiles(const TAction& action, uint32_t bitrate) {
  (void)action;
  (void)bitrate;
  WriteMessage(kMsgError, "The DTS encoder is not available yet.");
  return TStep::kMissing;
}

TStep SplitFrameRate(uint32_t fps, uint32_t& rate, uint32_t& divisor) {
  (void)fps;
  rate = 0;
  divisor = 0;
  WriteMessage(kMsgError, "The frame rate splitter is not available yet.");
  return TStep::kMissing;
}

TStep AddMkvFrameRate(const std::string& fileName, uint32_t rate, uint32_t divisor) {
  (void)fileName;
  (void)rate;
  (void)divisor;
  WriteMessage(kMsgError, "The Matroska frame rate writer is not available yet.");
  return TStep::kMissing;
}

// ---- completion steps ----

// Moves the written file to its ".pass1" name; false (nothing changed) when it cannot.
bool MoveToPass1(TAction& action) {
  const std::string& name = action.FileName;
  const std::string pass1 =
      name.substr(0, ExtensionStart(name)) + ".pass1" + std::string(Extension(name));
  std::error_code ec;
  std::filesystem::rename(name, pass1, ec);
  if (ec) return false;
  action.Pass1FileName = pass1;
  return true;
}

std::string MkvRateText(uint32_t rate, uint32_t divisor) {
  if (rate % 1000 != 0) return FpsText(rate);
  if (divisor == 1001) return std::to_string(rate / 1000) + " /1.001";
  return std::to_string(rate / 1000);
}

// The frame rate written into the Matroska files of the first video track.
bool WriteMkvFrameRates(const TOptions& options, const TSourceAnalysis& analysis) {
  std::shared_ptr<IVideoFormatDetails> video;
  uint32_t track = 0;
  if (analysis.container) {
    TVideoTrackEntry e;
    if (analysis.container->GetVideoTrackCount() == 0 || !analysis.container->GetVideoTrack(0, e))
      return true;
    video = e.node;
    track = analysis.LeadingEntries + 1;
  } else {
    video = analysis.video;
    track = 1;
  }
  if (!video) return true;
  for (const TAction& a : options.Actions) {
    if (a.TrackNumber != track || LowerExtension(a.FileName) != ".mkv" ||
        IsStdoutName(a.FileName) || IsCheckName(a.FileName))
      continue;
    uint32_t rate = 0, divisor = 0;
    if (a.TargetFps != 0) {
      if (SplitFrameRate(a.TargetFps, rate, divisor) != TStep::kOk) return false;
    } else {
      rate = video->GetFrameRate();
      divisor = video->GetFrameRateDivisor();
      if (video->GetInterlaced() && rate >= 48000) rate /= 2;
      if (video->GetPulldown()) {
        const bool keep = video->GetFormatId() == "mpeg2" ? !a.StripPulldown : a.KeepPulldown;
        if (keep) {
          if (rate == 24000) rate = 30000;
          if (rate == 48000) rate = 60000;
        } else {
          if (rate == 30000) rate = 24000;
          if (rate == 60000) rate = 48000;
        }
      }
    }
    switch (AddMkvFrameRate(a.FileName, rate, divisor)) {
      case TStep::kOk:
        WriteMessage(kMsgNormal,
                     analysis.container
                         ? "Added fps value (" + MkvRateText(rate, divisor) + ") to MKV header."
                         : "Added fps value to MKV header.");
        break;
      case TStep::kFailed:
        WriteMessage(kMsgWarning, "Adding fps value to MKV header failed.");
        break;
      case TStep::kMissing:
        return false;
    }
  }
  return true;
}

// The caption counts in the name of a subtitle file, after a successful run.
void RenameWithCaptionCounts(const TOptions& options, const TSourceAnalysis& analysis,
                             const TPassCounts& counts) {
  for (size_t i = 0; i < options.Actions.size() && i < counts.captions.size(); ++i) {
    const TAction& a = options.Actions[i];
    const TPassCounts::TCaptions& c = counts.captions[i];
    if (!a.NameWithCaptionCount || (c.normal == 0 && c.forced == 0)) continue;
    if (FindTrack(analysis, a.TrackNumber).kind != TTrackRef::kSubtitle) continue;
    if (IsStdoutName(a.FileName) || a.FileName.size() < 4) continue;
    std::string count;
    if (c.normal != 0 && c.forced != 0) {
      count = std::to_string(c.normal) + " normal captions, " + std::to_string(c.forced) +
              " forced captions";
    } else if (c.normal != 0) {
      count = c.normal == 1 ? "1 caption" : std::to_string(c.normal) + " captions";
    } else {
      count = c.forced == 1 ? "1 forced caption" : std::to_string(c.forced) + " forced captions";
    }
    const std::string extension(Extension(a.FileName));
    const std::string renamed =
        a.FileName.substr(0, a.FileName.size() - extension.size()) + ", " + count + extension;
    std::error_code ec;
    if (!std::filesystem::exists(a.FileName, ec)) continue;
    if (std::filesystem::exists(renamed, ec)) {
      WriteMessage(kMsgWarning, "The file \"" + renamed +
                                    "\" exists already, so the subtitle file keeps its name.");
      continue;
    }
    std::filesystem::rename(a.FileName, renamed, ec);
    if (ec) WriteMessage(kMsgWarning, "Renaming the subtitle file to \"" + renamed + "\" failed.");
  }
}

// Deletes every file this run created, except those named in `keep`.
void DeleteCreatedOutputsExcept(const std::set<std::string>& keep) {
  for (const std::string& name : GetCreatedFiles()) {
    if (keep.count(name)) continue;
    std::error_code ec;
    std::filesystem::remove(name, ec);
  }
  ClearCreatedFiles();
}

bool AllChapterDestinations(const TOptions& options, const TSourceAnalysis& analysis) {
  if (analysis.ChapterText.empty() || analysis.LeadingEntries == 0 || options.Actions.empty())
    return false;
  for (const TAction& a : options.Actions)
    if (a.TrackNumber != analysis.LeadingEntries) return false;
  return true;
}

}  // namespace

// ---- checks and preparations ----

bool CheckVideoConversion(TAction& action, const IVideoFormatDetails& details) {
  const std::string id = details.GetFormatId();
  ResolveStar(action.FileName, id);
  const std::string ext = LowerExtension(action.FileName);
  if (ext == ".mkv" && details.GetDisplayName().find("MVC") != std::string::npos)
    return Fail("Muxing MVC h264 video streams to MKV is currently not supported.");
  if (id == "?") return true;
  if (!details.GetVerified() && EqualsNoCase(ext, "." + id)) return true;
  const bool accepted = ext == ".mkv" || (id == "mpeg2" && IsOneOf(ext, {".m2v", ".mpeg2"})) ||
                        (id == "h264" && ext == ".h264") || (id == "h265" && ext == ".h265") ||
                        (id == "vc1" && ext == ".vc1") || (id == "dirac" && ext == ".dirac");
  return accepted || Fail("This video conversion is not supported.");
}

bool CheckSubtitleConversion(TAction& action, const ISubtitleFormatDetails& details) {
  const std::string id = details.GetFormatId();
  // Text subtitles of either encoding are plain SRT files.
  ResolveStar(action.FileName, id == "srt/utf8" || id == "srt/ascii" ? "srt" : id);
  const std::string ext = LowerExtension(action.FileName);
  if (id == "?") return true;
  if (!details.GetVerified() && EqualsNoCase(ext, "." + id)) return true;
  const bool accepted = (ext == ".sup" && id == "sup") ||
                        (ext == ".srt" && IsOneOf(id, {"srt", "srt/utf8", "srt/ascii"})) ||
                        (ext == ".ass" && id == "ass") || (ext == ".ssa" && id == "ssa");
  return accepted || Fail("This subtitle conversion is not supported.");
}

bool CheckConversions(TRunState& state, TOptions& options, const TSourceAnalysis& analysis) {
  const size_t sourceFiles = options.Sources.size();
  if (analysis.container && analysis.container->GetContainerId() == "mkv" && sourceFiles > 1 &&
      !options.Actions.empty())
    return Fail("Source file joining currently doesn't work for MKV files.");
  const uint32_t last = LastTrackNumber(analysis);
  // The audio check may append the other half of a split destination; it is checked too.
  for (size_t i = 0; i < options.Actions.size(); ++i) {
    const uint32_t number = options.Actions[i].TrackNumber;
    if (number == 0 || number > last)
      return Fail("The source file doesn't contain a track with the number " +
                  std::to_string(number) + ".");
    const TTrackRef track = FindTrack(analysis, number);
    if (!analysis.container) {
      // An elementary source: every kind of details that exists is checked.
      if (track.subtitle && !CheckSubtitleConversion(options.Actions[i], *track.subtitle))
        return false;
      if (track.audio &&
          !CheckAudioConversion(state, options.Actions, i, *track.audio, sourceFiles))
        return false;
      if (track.video && !CheckVideoConversion(options.Actions[i], *track.video)) return false;
      continue;
    }
    const std::string ext = LowerExtension(options.Actions[i].FileName);
    switch (track.kind) {
      case TTrackRef::kSubtitle:
        if (!CheckSubtitleConversion(options.Actions[i], *track.subtitle)) return false;
        break;
      case TTrackRef::kAudio:
        if (!CheckAudioConversion(state, options.Actions, i, *track.audio, sourceFiles))
          return false;
        break;
      case TTrackRef::kVideo:
        if (!CheckVideoConversion(options.Actions[i], *track.video)) return false;
        break;
      case TTrackRef::kJoined:
        if (ext != ".evo" && ext != ".vob")
          return Fail("This container conversion is not supported.");
        break;
      case TTrackRef::kChapters:
        if (ext != ".txt") return Fail("This chapter conversion is not supported.");
        break;
      case TTrackRef::kNone:
        return Fail("The source file doesn't contain a track with the number " +
                    std::to_string(number) + ".");
    }
  }
  return true;
}

bool FixFrameRates(TOptions& options, TSourceAnalysis& analysis) {
  const uint32_t rate = analysis.VideoRate;
  auto trackText = [&](const TAction& a) {
    return analysis.container ? "Was asked to modify track " + std::to_string(a.TrackNumber) +
                                    ": to " + FpsText(a.TargetFps) + ", "
                              : "Was asked to modify source to " + FpsText(a.TargetFps) + ", ";
  };
  if (rate != 0) {
    const uint32_t s = IsSupportedVideoRate(rate) ? rate : 0;
    for (TAction& a : options.Actions) {
      const bool audio = FindTrack(analysis, a.TrackNumber).kind == TTrackRef::kAudio;
      if (audio && s == 0) {
        if (a.TargetFps != 0) return Fail(trackText(a) + "but the original FPS is not supported.");
        continue;
      }
      a.SourceFps = rate;
      if (a.TargetFps > 47951 && s < 47952) a.TargetFps /= 2;
    }
  } else {
    for (const TAction& a : options.Actions) {
      if (a.TargetFps == 0 || a.SourceFps != 0) continue;
      WriteMessage(kMsgError, trackText(a) + "but the original FPS value is unknown.");
      WriteMessage(kMsgNormal, "Please specify the original FPS value (e.g. option \"-23.976\").");
      return false;
    }
  }

  // A damaged start that the analysis has not dealt with yet is skipped.
  if (!analysis.damageHandled && analysis.container) {
    const uint64_t damage = analysis.container->GetDamagePosition();
    if (damage != 0 && damage < kDamageLimit && damage * 20 < analysis.totalSize) {
      analysis.damageHandled = true;
      options.SkipBytes += damage;
      WriteMessage(kMsgWarning, "Will skip " + std::to_string(damage) +
                                    " bytes to work around damaged source file...");
    }
  }
  return true;
}

std::string CleanDestinationName(const std::string& name) {
  // Only the file-name part is cleaned; the folders stay as given.
  const size_t slash = name.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::string cleaned = name.substr(0, start);
  for (size_t i = start; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '"' || c == '*' || c == ':' || c == '<' || c == '>' || c == '?' || c == '|') continue;
    cleaned += c;
  }
  return cleaned;
}

// ---- two passes ----

void ResetProcessingSettings(TAction& action) {
  action.Delay = 0;
  action.EditPosition = 0;
  action.EditAmount = 0;
  action.Gain = 0;
  action.Core = false;
  action.StripPulldown = false;
  action.TargetFps = 0;
  action.ResampleTo = 0;
  action.Mono = false;
  action.Double7 = false;
  action.AnalyzeBitdepth = false;
  action.CheckPitch = false;
  action.Downmix = false;
  action.Down6 = false;
  action.Down2 = false;
  action.DownDpl = false;
  action.DownStereo = false;
  action.PhaseShift = false;
  action.Phase = 0;
  action.MixLfe = false;
  action.Remap.clear();
  action.SkipFrames = 0;
}

void EvaluatePass(TRunState& state, TOptions& options) {
  for (TAction& a : options.Actions) {
    if (IsCheckName(a.FileName)) continue;
    const std::string ext = LowerExtension(a.FileName);
    const bool toStdout = IsStdoutName(a.FileName);

    // Clipping, gaps to repair, or a two-pass destination.
    if (a.TwoPass || a.Peak > 1.0 || (!a.GapList.empty() && a.CompanionAction == 0)) {
      const bool blockedByStdout = a.Pass1FileName.empty() && toStdout;
      if (blockedByStdout || options.No2ndPass) {
        a.TwoPass = false;
        a.Peak = 0;
        a.GapList.clear();
        WriteMessage(kMsgWarning, blockedByStdout
                                      ? "The 2nd pass can't be started due to \"stdout\"."
                                      : "The 2nd pass is skipped by request.");
      } else {
        state.SecondPassNeeded = true;
        a.TwoPass = true;
        // A lossless output is the second pass's input; anything else is made again from
        // the source.
        const bool lossless =
            !a.BitsReduced &&
            (a.Peak <= 1.0 || (a.Full && IsOneOf(ext, {".wav", ".w64", ".rf64"}))) &&
            !IsOneOf(ext, {".wavs", ".raw", ".pcm", ".lpcm", ".agm", ".aac", ".mp4", ".m4a"});
        if (a.Pass1FileName.empty() && lossless) MoveToPass1(a);
        // The file the second pass reads is processed already.
        if (!a.Pass1FileName.empty()) ResetProcessingSettings(a);
      }
    }

    // Superfluous zero bytes: the samples use fewer bytes than the output carries. Only the
    // first pass's outputs are judged; a second pass has already written the fitting depth.
    if (!state.FirstPass || toStdout || options.No2ndPass || a.Float32 ||
        !IsOneOf(ext, {".flac", ".wav", ".w64", ".rf64", ".wavs", ".pcm", ".lpcm", ".agm", ".raw"}))
      continue;
    const uint32_t v = a.ValidBitsResult;
    const uint32_t b = a.OutputBits;
    if (v == 0 || v > 24 || !((b == 0 && v < 17) || (v + 7) / 8 < (b + 7) / 8)) continue;
    const uint32_t target = (v + 7) / 8 * 8;
    const bool decided = a.TwoPass && a.TargetBits == target && a.DontDither;
    if (!decided) {
      const std::string notice = "Superfluous zero bytes detected, will be stripped in 2nd pass.";
      WriteMessage(kMsgNormal, a.Label.empty() ? notice : "[" + a.Label + "] " + notice);
      a.TwoPass = true;
    }
    state.SecondPassNeeded = true;
    if (a.Pass1FileName.empty() && !IsOneOf(ext, {".wavs", ".raw", ".pcm", ".lpcm", ".agm"}))
      MoveToPass1(a);
    // Without a first-pass file the source is read again, and with it the processing.
    if (!decided && !a.Pass1FileName.empty()) ResetProcessingSettings(a);
    a.TargetBits = target;
    a.DontDither = true;
  }
}

// ---- completion ----

std::vector<std::string> StatisticsLines(const TOptions& options, const TSourceAnalysis& analysis,
                                         const TPassCounts& counts) {
  std::vector<std::string> lines;
  const bool container = analysis.container != nullptr;
  for (size_t i = 0; i < counts.video.size(); ++i) {
    const TPassCounts::TVideo& v = counts.video[i];
    if (v.frames == 0 && v.fields == 0) continue;
    const uint32_t n =
        v.trackNumber != 0 ? v.trackNumber : analysis.LeadingEntries + uint32_t(i) + 1;
    std::string line = container ? "Video track " + std::to_string(n) + " contains "
                                 : std::string("Video track contains ");
    if (v.frames != 0 && v.fields != 0) {
      line += std::to_string(v.frames) + " frames and " + std::to_string(v.fields) + " fields.";
    } else if (v.frames != 0) {
      line += std::to_string(v.frames) + " frames.";
    } else {
      line += std::to_string(v.fields) + " fields.";
    }
    lines.push_back(line);
  }
  for (size_t i = 0; i < counts.captions.size() && i < options.Actions.size(); ++i) {
    const TPassCounts::TCaptions& c = counts.captions[i];
    if (c.normal == 0 && c.forced == 0) continue;
    std::string line = container ? "Subtitle track " +
                                       std::to_string(options.Actions[i].TrackNumber) + " contains "
                                 : std::string("Subtitle track contains ");
    if (c.normal != 0 && c.forced != 0) {
      line += std::to_string(c.normal) + " normal and " + std::to_string(c.forced) +
              " forced captions.";
    } else if (c.normal != 0) {
      line += c.normal == 1 ? "1 caption." : std::to_string(c.normal) + " captions.";
    } else {
      line += c.forced == 1 ? "1 forced caption." : std::to_string(c.forced) + " forced captions.";
    }
    lines.push_back(line);
  }
  return lines;
}

void DeleteCreatedOutputs() {
  DeleteCreatedOutputsExcept({});
}

TRunResult RunProcessing(TOptions& options, const TAnalysisResult& analysis) {
  if (!analysis.analysis) {
    WriteMessage(kMsgError, "Internal error - the source analysis is missing!");
    return {};
  }
  TRunState state;
  return RunProcessing(state, options, *analysis.analysis);
}

TRunResult RunProcessing(TRunState& state, TOptions& options, TSourceAnalysis& analysis) {
  return RunProcessing(state, options, analysis, &RunPass);
}

TRunResult RunProcessing(TRunState& state, TOptions& options, TSourceAnalysis& analysis,
                         const TPassFunction& pass) {
  TRunResult result;
  ClearCreatedFiles();

  // Only chapter lists are asked for: they are written without reading the source.
  if (AllChapterDestinations(options, analysis)) {
    if (!CheckConversions(state, options, analysis)) return result;
    for (const TAction& a : options.Actions) {
      const UpStreamPtr file = state.Factory().DestFile(a.FileName, nullptr, analysis.ChapterText);
      if (!file || !file->GetOk()) {
        DeleteCreatedOutputs();
        return result;
      }
    }
    result.ok = true;
    result.chaptersOnly = true;
    return result;
  }

  // "x.*" names get their extension from the check; the "*" stays until then.
  for (TAction& a : options.Actions)
    if (!EndsWithStar(a.FileName)) a.FileName = CleanDestinationName(a.FileName);
  if (!FixFrameRates(options, analysis)) return result;
  if (!CheckConversions(state, options, analysis)) return result;

  // The pass loop: a pass runs again when the evaluation asks for a second pass, or when a
  // video reader stopped the pass to redo it with the pulldown kept.
  TPassCounts counts, firstPassCounts;
  std::set<int32_t> rerunTracks;
  const size_t passLimit = 2 * options.Actions.size() + 4;
  size_t passes = 0;
  bool ok = false;
  while (true) {
    ClearProgress();
    if (state.RerunTrack != -1) {
      for (TAction& a : options.Actions) {
        if (int64_t(a.TrackNumber) != state.RerunTrack) continue;
        a.KeepPulldown = true;
        a.StripPulldown = false;
      }
    }
    if (state.SecondPassNeeded && state.RerunTrack == -1) state.FirstPass = false;
    state.SecondPassNeeded = false;
    state.RerunTrack = -1;
    counts = TPassCounts{};
    const bool firstPass = state.FirstPass;

    ok = pass(state, options, analysis, counts);
    ++passes;
    result.timestampMs += counts.timestampMs;
    if (ok) {
      if (firstPass) firstPassCounts = counts;
      EvaluatePass(state, options);
      if (!state.SecondPassNeeded) break;
    } else if (!state.SecondPassNeeded || state.RerunTrack == -1 ||
               !rerunTracks.insert(state.RerunTrack).second) {
      // A failure that is no pulldown rerun (or the same track asking a second time) ends
      // the run.
      state.SecondPassNeeded = false;
      break;
    }
    if (passes >= passLimit) {
      WriteMessage(kMsgError, "Internal error - the passes don't come to an end!");
      ok = false;
      break;
    }
  }

  if (!ok) {
    // The first-pass files of a failed second pass stay; the pass said so.
    std::set<std::string> keep;
    if (!state.FirstPass) {
      for (const TAction& a : options.Actions)
        if (!a.Pass1FileName.empty()) keep.insert(a.Pass1FileName);
    }
    DeleteCreatedOutputsExcept(keep);
    result.abortedAt = counts.abortedAt;
    return result;
  }

  // Finishing the files of a successful run.
  std::set<std::string> keep;
  bool finished = true;
  for (const TAction& a : options.Actions) {
    if (LowerExtension(a.FileName) != ".flac" || IsStdoutName(a.FileName) ||
        IsCheckName(a.FileName))
      continue;
    if (PatchFlacTags(a.FileName, a.ValidBitsResult) != TStep::kOk) {
      finished = false;
      break;
    }
  }
  for (size_t i = 0; finished && i < options.Actions.size(); ++i) {
    TAction& a = options.Actions[i];
    if (!a.EncodeDtsAfterRun) continue;
    if (a.Bitrate == 0) a.Bitrate = a.MultiMonoChannels <= 2 ? 768 : 1536;
    WriteMessage(kMsgNormal, "Encoding DTS <" + std::to_string(a.Bitrate) + "kbps> with libav...");
    if (EncodeDtsFromMonoFiles(a, a.Bitrate) != TStep::kOk) {
      // The mono files stay, so the encoding can be done by other means.
      for (uint32_t n = 0; n < a.MultiMonoChannels; ++n)
        keep.insert(MultiMonoFileName(a.FileName, a.MultiMonoMask, n));
      finished = false;
      break;
    }
    for (uint32_t n = 0; n < a.MultiMonoChannels; ++n) {
      std::error_code ec;
      std::filesystem::remove(MultiMonoFileName(a.FileName, a.MultiMonoMask, n), ec);
    }
  }
  if (finished) finished = WriteMkvFrameRates(options, analysis);
  if (!finished) {
    DeleteCreatedOutputsExcept(keep);
    return result;
  }

  for (const std::string& line : StatisticsLines(options, analysis, firstPassCounts))
    WriteMessage(kMsgNormal, line);
  RenameWithCaptionCounts(options, analysis, firstPassCounts);
  result.ok = true;
  return result;
}

}  // namespace kavrix
