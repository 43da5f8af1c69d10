// Destinations that the analysis adds ("%check%", "-demux") and the assignment of tracks to
// destinations by file extension.
#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>

#include "app/kavrix_mod_analysis.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

constexpr std::string_view kCheckPrefix = "%check%.";

bool IsOneOf(std::string_view value, std::initializer_list<std::string_view> list) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool IsLossless(std::string_view id) {
  return IsOneOf(
      id, {"dtsma", "pcm", "thd", "thd/ac3", "mlp", "flac", "wav", "w64", "rf64", "agm", "raw"});
}

bool IsExtractableSubtitle(std::string_view id) {
  return IsOneOf(id, {"sup", "ass", "ssa", "srt", "srt/utf8", "srt/ascii"});
}

bool IsEvoOrVob(const TSourceAnalysis& analysis) {
  if (!analysis.container) return false;
  const std::string id = analysis.container->GetContainerId();
  return id == "evo" || id == "vob";
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string VideoExtension(std::string_view id) {
  if (id == "mpeg2") return ".m2v";
  if (id == "?" || id.empty()) return ".unknownVideo";
  return "." + SafeNamePiece(id);
}

std::string AudioCheckName(std::string_view id) {
  if (id == "thd/ac3") return "%check%.thd+ac3";
  return std::string(kCheckPrefix) + SafeNamePiece(id);
}

std::string SubtitleCheckName(std::string_view id) {
  if (id == "srt/utf8" || id == "srt/ascii") return "%check%.srt";
  return std::string(kCheckPrefix) + SafeNamePiece(id);
}

void SetAudioCheck(TAction& a) {
  a.DontRepairDts = true;
  a.DontPatchDts = true;
  a.RemoveDialnorm = false;
  a.TargetFps = 0;
}

std::string FileNameOnly(const std::string& name) {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The name and language pieces that follow a cleaned description.
std::string NameSuffix(const TListedTrack& track) {
  std::string out;
  if (!track.language.empty()) out += ", " + SafeNamePiece(LanguageName(track.language));
  if (!track.name.empty()) {
    std::string name = track.name;
    ReplaceAll(name, "\"", "'");
    out += ", '" + SafeNamePiece(name) + "'";
  }
  return out;
}

bool Fail(const std::string& text) {
  WriteMessage(kMsgError, text);
  return false;
}

}  // namespace

std::string SafeNamePiece(std::string_view piece) {
  std::string out(piece);
  for (char& c : out)
    if (c == '/' || c == '\0') c = '-';
  return out;
}

std::string CleanedDescription(const TListedTrack& track) {
  std::string d = track.description;
  if (track.kind == TTrackKind::kSubtitle) {
    ReplaceAll(d, "\"", "'");
    return SafeNamePiece(d) + NameSuffix(track);
  }
  if (track.kind == TTrackKind::kAudio) {
    d = d.substr(0, std::min(d.find('\r'), d.find('\n')));
    const size_t dialnorm = d.find(", dialnorm:");
    if (dialnorm != std::string::npos) d.resize(dialnorm);
    ReplaceAll(d, "kbit/s", "kbps");
    ReplaceAll(d, "RAW/PCM", "PCM");
    ReplaceAll(d, "TrueHD/AC3", "TrueHD+AC3");
  }
  ReplaceAll(d, "\"", "'");
  ReplaceAll(d, "h264/AVC", "h264");
  ReplaceAll(d, "h264/MVC", "h264");
  ReplaceAll(d, "h265/HEVC", "h265");
  // Cut before the first " (" (for the eyes of 3D video: the first one after "eye)").
  const size_t eye = d.find("eye)");
  const size_t paren = d.find(" (", eye == std::string::npos ? 0 : eye);
  if (paren != std::string::npos) d.resize(paren);
  const size_t slash = d.find(" /");
  if (slash != std::string::npos) d.resize(slash);
  ReplaceAll(d, "  ", " ");
  return SafeNamePiece(d) + NameSuffix(track);
}

std::string TrackExtension(const TListedTrack& track, bool speedChange) {
  const std::string& id = track.formatId;
  switch (track.kind) {
    case TTrackKind::kVideo:
      return VideoExtension(id);
    case TTrackKind::kChapters:
      return ".txt";
    case TTrackKind::kSubtitle:
      if (id == "srt/utf8" || id == "srt/ascii") return ".srt";
      if (id == "?" || id.empty()) return ".unknownSubtitle";
      return "." + SafeNamePiece(id);
    case TTrackKind::kAudio:
      break;
  }
  if (speedChange) {
    return IsOneOf(id,
                   {"thd", "thd/ac3", "pcm", "evo/pcm", "vob/pcm", "ts/pcm", "m2ts/pcm", "dtsma"})
               ? ".flac"
               : ".ac3";
  }
  if (id == "thd/ac3") return ".thd+ac3";
  if (id == "?" || id.empty()) return ".unknownAudio";
  // PCM tracks that a container classified but no reader verified ("ts/pcm", ...).
  if (id.size() > 4 && id.compare(id.size() - 4, 4, "/pcm") == 0) return ".pcm";
  return "." + SafeNamePiece(id);
}

void AddCheckDestinations(TOptions& options, const TSourceAnalysis& analysis) {
  const TAction base = options.Actions.empty() ? TAction{} : options.Actions[0];
  std::vector<TAction> added;
  auto add = [&](uint32_t track, std::string name) -> TAction& {
    TAction& a = added.emplace_back(base);
    a.TrackNumber = track;
    a.FileName = std::move(name);
    return a;
  };

  if (options.Check) {
    if (!analysis.container) {
      if (analysis.video && analysis.video->GetVerified())
        add(1, std::string(kCheckPrefix)
                   .append(VideoExtension(analysis.video->GetFormatId()).substr(1)));
      if (analysis.audio) SetAudioCheck(add(1, AudioCheckName(analysis.audio->GetFormatId())));
      if (analysis.subtitle) add(1, SubtitleCheckName(analysis.subtitle->GetFormatId()));
    } else {
      const bool evo = IsEvoOrVob(analysis);
      bool videoDone = false;
      for (const TListedTrack& t : ListedTracks(analysis)) {
        if (!t.verified) continue;
        if (t.kind == TTrackKind::kVideo && !videoDone) {
          videoDone = true;
          TAction& a = add(analysis.LeadingEntries + 1,
                           std::string(kCheckPrefix).append(VideoExtension(t.formatId).substr(1)));
          a.KeepPulldown = true;
          a.KeepFullRange = true;
          a.DontCrop = true;
        } else if (t.kind == TTrackKind::kAudio && t.formatId != "dtslbr" && !(evo && t.id > 7)) {
          SetAudioCheck(add(t.number, AudioCheckName(t.formatId)));
        } else if (t.kind == TTrackKind::kSubtitle && IsExtractableSubtitle(t.formatId) &&
                   !(evo && t.id > 15)) {
          add(t.number, SubtitleCheckName(t.formatId));
        }
      }
    }
  }

  if (options.AnalyzeBitdepth || options.CheckPitch) {
    auto addRaw = [&](uint32_t track, const std::string& id, bool container) {
      const bool lossless = IsLossless(id);
      if (!options.CheckPitch && !lossless) return;
      TAction& a = add(track, std::string(kCheckRawName));
      a.DontRepairDts = true;
      a.DontPatchDts = true;
      a.RemoveDialnorm = false;
      a.AnalyzeBitdepth = lossless;
      a.CheckPitch = options.CheckPitch;
      if (container) {
        a.TargetFps = 0;
        a.Libav = options.CheckPitch;
      }
    };
    if (!analysis.container) {
      if (analysis.audio) addRaw(1, analysis.audio->GetFormatId(), false);
    } else {
      for (const TListedTrack& t : ListedTracks(analysis))
        if (t.kind == TTrackKind::kAudio && t.verified) addRaw(t.number, t.formatId, true);
    }
  }

  for (TAction& a : added) options.Actions.push_back(std::move(a));
  if (!options.Actions.empty() && options.Actions[0].FileName == kGlobalOptionsName)
    options.Actions.erase(options.Actions.begin());
  if (!analysis.container) {
    for (TAction& a : options.Actions)
      if (a.TrackNumber == 0) a.TrackNumber = 1;
  }
}

void AddDemuxDestinations(TOptions& options, const TSourceAnalysis& analysis,
                          const TAction& templateAction) {
  if (options.Sources.empty()) return;
  const std::string& source = options.Sources[0];
  const std::string base = source.substr(0, ExtensionStart(source));
  const bool evo = IsEvoOrVob(analysis);
  for (const TListedTrack& t : ListedTracks(analysis)) {
    TAction a = templateAction;
    a.TrackNumber = t.number;
    const std::string prefix = base + " - " + std::to_string(t.number) + " - ";
    switch (t.kind) {
      case TTrackKind::kChapters:
        a.FileName = base + " - Chapters.txt";
        break;
      case TTrackKind::kVideo:
        a.FileName = prefix + CleanedDescription(t) + TrackExtension(t, false);
        break;
      case TTrackKind::kAudio: {
        if (t.formatId == "dtslbr" || (evo && t.id > 7)) continue;
        a.SourceFps = analysis.VideoRate;
        const bool speedChange = a.SourceFps != 0 && a.TargetFps != 0 && a.SourceFps != a.TargetFps;
        a.FileName = prefix + CleanedDescription(t) + TrackExtension(t, speedChange);
        break;
      }
      case TTrackKind::kSubtitle:
        if (!(IsExtractableSubtitle(t.formatId) || t.formatId == "?") || (evo && t.id > 15))
          continue;
        a.FileName = prefix + CleanedDescription(t) + TrackExtension(t, false);
        a.NameWithCaptionCount = true;  // the caption counts go into the name after the run
        break;
    }
    options.Actions.push_back(std::move(a));
  }
}

bool AssignTracks(TOptions& options, const TSourceAnalysis& analysis) {
  if (!analysis.container) return true;
  const std::vector<TListedTrack> tracks = ListedTracks(analysis);
  auto first = [&](TTrackKind kind,
                   std::initializer_list<std::string_view> ids) -> const TListedTrack* {
    for (const TListedTrack& t : tracks)
      if (t.kind == kind && (ids.size() == 0 || IsOneOf(t.formatId, ids))) return &t;
    return nullptr;
  };
  const TListedTrack* firstAudio = first(TTrackKind::kAudio, {});

  for (size_t i = 0; i < options.Actions.size(); ++i) {
    if (options.Actions[i].TrackNumber != 0) continue;
    const std::string name = options.Actions[i].FileName;
    const std::string ext = LowerAscii(Extension(name));

    // Video.
    if (IsOneOf(ext, {".m2v", ".mpeg2", ".h264", ".h265", ".hevc", ".vc1", ".mpv", ".mkv"}) ||
        (!name.empty() && name.back() == '*')) {
      const TListedTrack* video = first(TTrackKind::kVideo, {});
      if (!video) return Fail("The source file doesn't contain any valid video tracks.");
      auto rename = [&](TAction& a, const TListedTrack& t) {
        a.TrackNumber = t.number;
        if (ext == ".mkv") return;
        if (a.FileName.size() >= 2 && a.FileName.compare(a.FileName.size() - 2, 2, ".*") == 0) {
          a.FileName = a.FileName.substr(0, a.FileName.size() - 2) + " - " +
                       std::to_string(t.number) + " - " + CleanedDescription(t) +
                       TrackExtension(t, false);
        } else {
          a.FileName = a.FileName.substr(0, ExtensionStart(a.FileName)) + TrackExtension(t, false);
        }
      };
      // A 3D source: the right eye follows as a destination of its own.
      const TListedTrack* rightEye = nullptr;
      if (ext != ".mkv") {
        for (const TListedTrack& t : tracks) {
          if (t.kind == TTrackKind::kVideo && t.number > video->number &&
              ContainsNoCase(t.name, "right eye")) {
            rightEye = &t;
            break;
          }
        }
      }
      TAction second = options.Actions[i];
      rename(options.Actions[i], *video);
      if (rightEye) {
        rename(second, *rightEye);
        options.Actions.insert(options.Actions.begin() + ptrdiff_t(i) + 1, std::move(second));
        ++i;
      }
      continue;
    }

    // Subtitles.
    if (IsOneOf(ext, {".sup", ".srt", ".ass", ".ssa"})) {
      if (!first(TTrackKind::kSubtitle, {}))
        return Fail("The source file doesn't contain any subtitle tracks.");
      const TListedTrack* t = ext == ".sup" ? first(TTrackKind::kSubtitle, {"sup"})
                              : ext == ".srt"
                                  ? first(TTrackKind::kSubtitle, {"srt", "srt/utf8", "srt/ascii"})
                              : ext == ".ass" ? first(TTrackKind::kSubtitle, {"ass"})
                                              : first(TTrackKind::kSubtitle, {"ssa"});
      if (!t) return Fail("The source file doesn't contain any subtitle tracks in this format.");
      options.Actions[i].TrackNumber = t->number;
      options.Actions[i].NameWithCaptionCount = true;
      WriteMessage(kMsgNormal, "Track " + std::to_string(t->number) +
                                   " is used for destination file \"" + FileNameOnly(name) + "\".");
      continue;
    }

    // Rebuilding the joined source.
    if (ext == ".evo" || ext == ".vob") {
      if (options.Sources.size() < 2)
        return Fail("There's only one source file, so rebuilding doesn't make sense.");
      const std::string id = analysis.container->GetContainerId();
      if (IsOneOf(id, {"m2ts", "trp", "ts", "mkv"}))
        return Fail("This container conversion is not supported.");
      options.Actions[i].TrackNumber = 1;
      continue;
    }

    // Chapters.
    if (ext == ".txt") {
      if (analysis.ChapterText.empty() || analysis.LeadingEntries == 0)
        return Fail("Didn't find chapter information for this source.");
      options.Actions[i].TrackNumber = analysis.LeadingEntries;
      continue;
    }

    // Audio.
    if (!firstAudio) return Fail("The source file doesn't contain any audio tracks.");
    const TListedTrack* t = nullptr;
    const TListedTrack* fallback = firstAudio;
    std::string missing;
    auto audio = [&](std::initializer_list<std::string_view> ids) {
      return first(TTrackKind::kAudio, ids);
    };
    if (ext == ".ac3") {
      t = audio({"ac3", "thd/ac3"});
    } else if (ext == ".mp1" || ext == ".mp2" || ext == ".mp3") {
      const std::string id = ext.substr(1);
      t = audio({id});
      fallback = nullptr;
      missing = "The source file doesn't contain any MP" + id.substr(2) + " tracks.";
    } else if (ext == ".aac") {
      t = audio({"aac"});
    } else if (IsOneOf(ext, {".ddp", ".eac3", ".dd+", ".ec3"})) {
      t = audio({"eac3"});
      fallback = nullptr;
      missing = "The source file doesn't contain any E-AC3 tracks.";
    } else if (ext == ".mlp") {
      t = audio({"mlp"});
      fallback = nullptr;
      missing = "The source file doesn't contain any MLP tracks.";
    } else if (ext == ".truehd" || ext == ".thd") {
      t = audio({"thd", "thd/ac3"});
      fallback = nullptr;
      missing = "The source file doesn't contain any TrueHD tracks.";
    } else if (ext == ".thd+ac3") {
      t = audio({"thd/ac3"});
      fallback = nullptr;
      missing = "The source file doesn't contain any TrueHD/AC3 tracks.";
    } else if (ext == ".dtsma") {
      t = audio({"dtsma"});
      fallback = nullptr;
      missing = "The source file doesn't contain any DTS Master Audio tracks.";
    } else if (ext == ".dtshr") {
      t = audio({"dtshr"});
      fallback = nullptr;
      missing = "The source file doesn't contain any DTS Hi-Res tracks.";
    } else if (ext == ".dtshd") {
      t = audio({"dtsma", "dtshd"});
      fallback = nullptr;
      missing = "The source file doesn't contain any DTS-HD tracks.";
    } else if (ext == ".dts") {
      t = audio({"dts", "dtsma", "dtshr"});
    } else if (IsOneOf(ext, {".flac", ".wav", ".w64", ".rf64", ".wavs", ".pcm", ".lpcm", ".agm",
                             ".raw"})) {
      t = audio({"pcm", "thd", "dtsma"});
    }
    if (!t) t = fallback;
    if (!t) return Fail(missing);
    options.Actions[i].TrackNumber = t->number;
    WriteMessage(kMsgNormal, "Track " + std::to_string(t->number) +
                                 " is used for destination file \"" + FileNameOnly(name) + "\".");
  }
  return true;
}

}  // namespace kavrix
