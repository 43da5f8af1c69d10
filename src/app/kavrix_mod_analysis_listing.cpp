// The description of an elementary source and the numbered listing of a container source.
#include <algorithm>
#include <string>

#include "app/kavrix_mod_analysis.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

struct TLanguage {
  std::string_view code;
  std::string_view name;
};

// ISO 639-2 codes (bibliographic and terminologic forms) of the common languages.
constexpr TLanguage kLanguages[] = {
    {"alb", "Albanian"},
    {"sqi", "Albanian"},
    {"ara", "Arabic"},
    {"arm", "Armenian"},
    {"hye", "Armenian"},
    {"baq", "Basque"},
    {"eus", "Basque"},
    {"bel", "Belarusian"},
    {"ben", "Bengali"},
    {"bos", "Bosnian"},
    {"bul", "Bulgarian"},
    {"cat", "Catalan"},
    {"chi", "Chinese"},
    {"zho", "Chinese"},
    {"hrv", "Croatian"},
    {"scr", "Croatian"},
    {"cze", "Czech"},
    {"ces", "Czech"},
    {"dan", "Danish"},
    {"dut", "Dutch"},
    {"nld", "Dutch"},
    {"eng", "English"},
    {"est", "Estonian"},
    {"per", "Persian"},
    {"fas", "Persian"},
    {"fil", "Filipino"},
    {"fin", "Finnish"},
    {"fre", "French"},
    {"fra", "French"},
    {"geo", "Georgian"},
    {"kat", "Georgian"},
    {"ger", "German"},
    {"deu", "German"},
    {"gle", "Irish"},
    {"glg", "Galician"},
    {"gre", "Greek"},
    {"ell", "Greek"},
    {"heb", "Hebrew"},
    {"hin", "Hindi"},
    {"hun", "Hungarian"},
    {"ice", "Icelandic"},
    {"isl", "Icelandic"},
    {"ind", "Indonesian"},
    {"ita", "Italian"},
    {"jpn", "Japanese"},
    {"kan", "Kannada"},
    {"kaz", "Kazakh"},
    {"khm", "Khmer"},
    {"kor", "Korean"},
    {"kur", "Kurdish"},
    {"lat", "Latin"},
    {"lav", "Latvian"},
    {"lit", "Lithuanian"},
    {"mac", "Macedonian"},
    {"mkd", "Macedonian"},
    {"may", "Malay"},
    {"msa", "Malay"},
    {"mal", "Malayalam"},
    {"mar", "Marathi"},
    {"mlt", "Maltese"},
    {"mon", "Mongolian"},
    {"nep", "Nepali"},
    {"nor", "Norwegian"},
    {"nob", "Norwegian"},
    {"nno", "Norwegian"},
    {"pan", "Punjabi"},
    {"pol", "Polish"},
    {"por", "Portuguese"},
    {"rum", "Romanian"},
    {"ron", "Romanian"},
    {"rus", "Russian"},
    {"scc", "Serbian"},
    {"srp", "Serbian"},
    {"slo", "Slovak"},
    {"slk", "Slovak"},
    {"slv", "Slovenian"},
    {"spa", "Spanish"},
    {"swa", "Swahili"},
    {"swe", "Swedish"},
    {"tam", "Tamil"},
    {"tel", "Telugu"},
    {"tha", "Thai"},
    {"tib", "Tibetan"},
    {"bod", "Tibetan"},
    {"tur", "Turkish"},
    {"ukr", "Ukrainian"},
    {"urd", "Urdu"},
    {"vie", "Vietnamese"},
    {"wel", "Welsh"},
    {"cym", "Welsh"},
    {"yid", "Yiddish"},
    {"zul", "Zulu"},
    {"afr", "Afrikaans"},
    {"amh", "Amharic"},
    {"aze", "Azerbaijani"},
    {"bre", "Breton"},
    {"epo", "Esperanto"},
    {"fao", "Faroese"},
    {"guj", "Gujarati"},
    {"hat", "Haitian"},
    {"ibo", "Igbo"},
    {"jav", "Javanese"},
    {"lao", "Lao"},
    {"ltz", "Luxembourgish"},
    {"mao", "Maori"},
    {"mri", "Maori"},
    {"bur", "Burmese"},
    {"mya", "Burmese"},
    {"pus", "Pushto"},
    {"que", "Quechua"},
    {"roh", "Romansh"},
    {"san", "Sanskrit"},
    {"sin", "Sinhala"},
    {"som", "Somali"},
    {"sun", "Sundanese"},
    {"tat", "Tatar"},
    {"uzb", "Uzbek"},
    {"yor", "Yoruba"},
    {"xho", "Xhosa"},
    {"zxx", "No language"},
    {"mul", "Multiple languages"},
};

bool IsWholeMultiple(uint32_t rate, uint32_t divisor) {
  return divisor == 1000 && rate != 0 && (rate % 24000 == 0 || rate % 30000 == 0);
}

// The stream's own rate in frames per 1000 s (0 when it has none).
uint32_t StreamRate(const IVideoFormatDetails& v) {
  if (v.GetFrameRate() == 0 || v.GetFrameRateDivisor() == 0) return 0;
  return uint32_t(uint64_t(v.GetFrameRate()) * 1000 / v.GetFrameRateDivisor());
}

std::string Indent(uint32_t number) {
  return std::string(std::to_string(number).size() + 2, ' ');
}

// Prints one numbered track: the first line as a listing line, further lines of the
// description and the track's name indented below the number.
void PrintTrack(const TListedTrack& track, bool hasDelay, int32_t delay) {
  const std::string text = TrackLineText(track.description, track.language, hasDelay, delay);
  size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      WriteMessage(kMsgListing, std::to_string(track.number) + ": " + line);
    } else if (!line.empty()) {
      WriteMessage(kMsgNormal, Indent(track.number) + line);
    }
    first = false;
    start = end + 1;
  }
  if (!track.name.empty())
    WriteMessage(kMsgNormal, Indent(track.number) + "\"" + track.name + "\"");
}

}  // namespace

std::string LanguageName(std::string_view code) {
  for (const TLanguage& l : kLanguages)
    if (EqualsNoCase(l.code, code)) return std::string(l.name);
  return LowerAscii(code);
}

std::string TrackLineText(const std::string& description, const std::string& language,
                          bool hasDelay, int32_t delay) {
  std::string text = description;
  if (!language.empty()) {
    const std::string piece = ", " + LanguageName(language);
    const size_t comma = text.find(',');
    const size_t lineEnd = std::min(text.find('\r'), text.find('\n'));
    if (comma != std::string::npos && comma < lineEnd) {
      text.insert(comma, piece);
    } else {
      text.insert(std::min(lineEnd, text.size()), piece);
    }
  }
  if (hasDelay && delay != 0) {
    const std::string piece = ", " + std::to_string(delay) + "ms";
    const size_t lineEnd = std::min(text.find('\r'), text.find('\n'));
    text.insert(std::min(lineEnd, text.size()), piece);
  }
  return text;
}

std::string FailedTracksText(const std::vector<uint32_t>& tracks) {
  if (tracks.empty()) return std::string();
  if (tracks.size() == 1)
    return "Bitstream parsing for track " + std::to_string(tracks[0]) + " failed.";
  std::vector<uint32_t> sorted = tracks;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> items;
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) ++j;
    if (j - i >= 2) {
      items.push_back(std::to_string(sorted[i]) + "-" + std::to_string(sorted[j]));
    } else {
      for (size_t k = i; k <= j; ++k) items.push_back(std::to_string(sorted[k]));
    }
    i = j + 1;
  }
  std::string text = "Bitstream parsing for tracks ";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
    text += items[i];
  }
  return text + " failed.";
}

std::string FrameRateText(uint32_t rate, bool interlaced, bool pulldown, uint32_t divisor) {
  if (rate == 0) return std::string();
  const bool fields = interlaced && !pulldown;
  const uint32_t value = SnapFrameRate(uint64_t(rate) * (fields ? 2 : 1));
  const char letter = fields ? 'i' : 'p';
  if (value % 1000 != 0) {
    std::string thousandths = std::to_string(value % 1000);
    thousandths.insert(0, 3 - thousandths.size(), '0');
    return std::to_string(value / 1000) + "." + thousandths + letter;
  }
  return std::to_string(value / 1000) + letter + (divisor == 1001 ? " /1.001" : "");
}

std::string ChapterSummary(std::string_view chapterText) {
  // Lines "CHAPTER01=00:00:00.000" and "CHAPTER01NAME=Title".
  uint32_t count = 0;
  bool named = false;
  size_t start = 0;
  while (start < chapterText.size()) {
    size_t end = chapterText.find('\n', start);
    if (end == std::string_view::npos) end = chapterText.size();
    std::string_view line = chapterText.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (!StartsWithNoCase(line, "CHAPTER")) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(7, eq - 7);
    if (EndsWithNoCase(key, "NAME")) {
      if (count == 1 && eq + 1 < line.size()) named = true;  // the first chapter's name
    } else if (!key.empty()) {
      ++count;
    }
  }
  if (count == 0) return std::string();
  return "Chapters, " + std::to_string(count) + " chapters" + (named ? " with names" : "");
}

std::vector<TListedTrack> ListedTracks(const TSourceAnalysis& analysis) {
  std::vector<TListedTrack> out;
  if (!analysis.container) {
    TListedTrack t;
    t.number = 1;
    if (analysis.audio) {
      t.kind = TTrackKind::kAudio;
      t.formatId = analysis.audio->GetFormatId();
      t.description = analysis.audio->GetDescription();
      t.language = analysis.audio->GetLanguage();
      t.name = analysis.audio->GetTrackName();
      t.verified = analysis.audio->GetVerified();
    } else if (analysis.video) {
      t.kind = TTrackKind::kVideo;
      t.formatId = analysis.video->GetFormatId();
      t.description = analysis.video->GetDescription();
      t.language = analysis.video->GetLanguage();
      t.name = analysis.video->GetTrackName();
      t.verified = analysis.video->GetVerified();
      t.video = analysis.video;
    } else if (analysis.subtitle) {
      t.kind = TTrackKind::kSubtitle;
      t.formatId = analysis.subtitle->GetFormatId();
      t.description = analysis.subtitle->GetDescription();
      t.language = analysis.subtitle->GetLanguage();
      t.name = analysis.subtitle->GetTrackName();
      t.verified = analysis.subtitle->GetVerified();
    } else {
      return out;
    }
    out.push_back(t);
    return out;
  }
  const IContainerInfo& c = *analysis.container;
  uint32_t number = analysis.LeadingEntries;
  if (!analysis.ChapterText.empty() && analysis.LeadingEntries > 0) {
    TListedTrack t;
    t.kind = TTrackKind::kChapters;
    t.number = analysis.LeadingEntries;
    t.description = ChapterSummary(analysis.ChapterText);
    t.verified = true;
    out.push_back(t);
  }
  // One entry per track; the three kinds share the details' common fields.
  auto add = [&](TTrackKind kind, uint32_t id, const auto& node) -> TListedTrack& {
    TListedTrack& t = out.emplace_back();
    t.kind = kind;
    t.number = ++number;
    t.id = id;
    t.formatId = node->GetFormatId();
    t.description = node->GetDescription();
    t.language = node->GetLanguage();
    t.name = node->GetTrackName();
    t.verified = node->GetVerified();
    return t;
  };
  for (size_t i = 0; i < c.GetVideoTrackCount(); ++i) {
    TVideoTrackEntry e;
    if (c.GetVideoTrack(i, e) && e.node) add(TTrackKind::kVideo, e.id, e.node).video = e.node;
  }
  for (size_t i = 0; i < c.GetAudioTrackCount(); ++i) {
    TAudioTrackEntry e;
    if (c.GetAudioTrack(i, e) && e.node) add(TTrackKind::kAudio, e.id, e.node);
  }
  for (size_t i = 0; i < c.GetSubtitleTrackCount(); ++i) {
    TSubtitleTrackEntry e;
    if (c.GetSubtitleTrack(i, e) && e.node) add(TTrackKind::kSubtitle, e.id, e.node);
  }
  return out;
}

bool DescribeElementarySource(const TOptions& options, TSourceAnalysis& analysis) {
  ClearProgress();
  if (analysis.audio) {
    WriteMessage(kMsgHeading, analysis.audio->GetDescription());
    return true;
  }
  if (analysis.video) {
    const IVideoFormatDetails& v = *analysis.video;
    WriteMessage(kMsgHeading, v.GetDescription());
    const uint32_t rate = v.GetFrameRate();
    if (v.GetVerified() && v.GetWidth() != 0) {
      if (rate == 0) {
        WriteMessage(kMsgWarning, "The video track doesn't contain framerate information.");
      } else if (rate % 1000 != 0) {
        WriteMessage(kMsgWarning, "The video track has a non-standard framerate.");
      } else if (IsWholeMultiple(rate, v.GetFrameRateDivisor())) {
        WriteMessage(kMsgWarning, "The video framerate is correct, but rather unusual.");
      }
    }
    if (v.GetVideoFlags().find("fullrange") != std::string::npos) {
      WriteMessage(kMsgWarning,
                   "The video track contains the (probably incorrect) \"full range\" flag.");
    }
    analysis.VideoRate = StreamRate(v) / (v.GetInterlaced() ? 2 : 1);
    return true;
  }
  if (analysis.subtitle) {
    WriteMessage(kMsgHeading, analysis.subtitle->GetDescription());
    return true;
  }
  const std::string& first = options.Sources.empty() ? std::string() : options.Sources[0];
  const size_t slash = first.rfind('/');
  const std::string fileName = slash == std::string::npos ? first : first.substr(slash + 1);
  if (EqualsNoCase(Extension(first), ".raw") || ContainsNoCase(fileName, "pcm")) {
    if (AnalyseRawSource(options, analysis) && analysis.audio) {
      WriteMessage(kMsgHeading, analysis.audio->GetDescription());
      return true;
    }
  }
  WriteMessage(kMsgError, "The format of the source file could not be detected.");
  return false;
}

void ListContainerSource(const TOptions& options, TSourceAnalysis& analysis) {
  ClearProgress();
  IContainerInfo& c = *analysis.container;

  // Without video the delays count from the earliest audio (else subtitle) track.
  if (c.GetVideoTrackCount() == 0) {
    bool found = false;
    int32_t smallest = 0;
    auto consider = [&](const TTrackEntryBase& e) {
      if (!e.hasDelay) return;
      if (!found || e.delay < smallest) smallest = e.delay;
      found = true;
    };
    for (size_t i = 0; i < c.GetAudioTrackCount(); ++i) {
      TAudioTrackEntry e;
      if (c.GetAudioTrack(i, e)) consider(e);
    }
    if (c.GetAudioTrackCount() == 0) {
      for (size_t i = 0; i < c.GetSubtitleTrackCount(); ++i) {
        TSubtitleTrackEntry e;
        if (c.GetSubtitleTrack(i, e)) consider(e);
      }
    }
    if (found && smallest != 0) c.SetTrackTimeOffset(smallest);
  }

  // The heading with the frame rate: from the first video reader that measured the frame
  // duration (100 ns units), else from the container's first video track with a rate.
  std::string heading = c.GetContainerDescription();
  std::string rateText;
  for (size_t pass = 0; pass < 2 && rateText.empty(); ++pass) {
    for (size_t i = 0; i < c.GetVideoTrackCount(); ++i) {
      TVideoTrackEntry e;
      if (!c.GetVideoTrack(i, e) || !e.node) continue;
      uint32_t rate = 0;
      if (pass == 0) {
        const uint64_t a = e.node->GetAuxValue();
        if (a != 0) rate = uint32_t((10000000000ull + a / 2) / a);
      } else {
        rate = e.frameRate;
      }
      if (rate == 0) continue;
      rateText = FrameRateText(rate, e.node->GetInterlaced(), e.node->GetPulldown(),
                               e.node->GetFrameRateDivisor());
      break;
    }
  }
  if (!rateText.empty()) heading += ", " + rateText;
  WriteMessage(kMsgHeading, heading);

  const std::string t1 = c.GetContainerText1();
  if (!t1.empty()) {
    const std::string t2 = c.GetContainerText2();
    const std::string t3 = c.GetContainerText3();
    std::string line = "\"" + t1 + "\"";
    if (!t2.empty()) {
      line += ", " + t2;
      if (!t3.empty()) line += " (" + t3 + ")";
    } else if (!t3.empty()) {
      line += ", " + t3;
    }
    WriteMessage(kMsgNormal, line);
  }

  const std::string id = c.GetContainerId();
  analysis.LeadingEntries = 0;
  if (options.Sources.size() >= 2 && (id == "evo" || id == "vob")) {
    WriteMessage(kMsgListing, "1: Joined " + c.GetContainerName() + " file");
    analysis.LeadingEntries = 1;
  }
  if (!analysis.ChapterText.empty()) {
    analysis.LeadingEntries += 1;
    WriteMessage(kMsgListing, std::to_string(analysis.LeadingEntries) + ": " +
                                  ChapterSummary(analysis.ChapterText));
  }

  const std::vector<TListedTrack> tracks = ListedTracks(analysis);
  size_t videoIndex = 0, audioIndex = 0, subtitleIndex = 0;
  for (const TListedTrack& t : tracks) {
    TTrackEntryBase e;
    if (t.kind == TTrackKind::kVideo) {
      TVideoTrackEntry v;
      c.GetVideoTrack(videoIndex++, v);
      e = v;
    } else if (t.kind == TTrackKind::kAudio) {
      TAudioTrackEntry a;
      c.GetAudioTrack(audioIndex++, a);
      e = a;
    } else if (t.kind == TTrackKind::kSubtitle) {
      TSubtitleTrackEntry s;
      c.GetSubtitleTrack(subtitleIndex++, s);
      e = s;
    } else {
      continue;  // the chapter line is printed above
    }
    PrintTrack(t, e.hasDelay, e.delay);
  }

  // Warnings of the video tracks whose bitstream was parsed.
  const bool metadataRate = id == "mkv";
  analysis.VideoRate = 0;
  bool firstVideo = true;
  videoIndex = 0;
  for (const TListedTrack& t : tracks) {
    if (t.kind != TTrackKind::kVideo) continue;
    TVideoTrackEntry e;
    c.GetVideoTrack(videoIndex++, e);
    const IVideoFormatDetails& v = *t.video;
    if (firstVideo) {
      analysis.VideoRate = StreamRate(v) / (v.GetInterlaced() ? 2 : 1);
      firstVideo = false;
    }
    if (!t.verified) continue;
    const std::string prefix = "[v" + std::to_string(t.number) + "] ";
    const uint32_t rate = v.GetFrameRate();
    if (rate != 0 && rate % 1000 != 0)
      WriteMessage(kMsgWarning,
                   prefix + "The video bitstream is encoded in a non-standard framerate.");
    const uint32_t streamRate = SnapFrameRate(StreamRate(v));
    if (streamRate != 0 && e.frameRate != 0 && streamRate != e.frameRate) {
      WriteMessage(
          kMsgWarning,
          prefix + (metadataRate ? "The video bitstream framerate field doesn't match the "
                                   "container framerate."
                                 : "The video bitstream framerate field doesn't seem to match the "
                                   "timestamps."));
    }
    if (IsWholeMultiple(rate, v.GetFrameRateDivisor()))
      WriteMessage(kMsgWarning, prefix + "The video framerate is correct, but rather unusual.");
    if (rate == 0)
      WriteMessage(kMsgWarning, prefix + "The video track doesn't contain framerate information.");
    if (v.GetVideoFlags().find("fullrange") != std::string::npos) {
      WriteMessage(kMsgWarning, prefix +
                                    "The video track contains the (probably incorrect) "
                                    "\"full range\" flag.");
    }
  }

  analysis.FailedTracks.clear();
  for (const TListedTrack& t : tracks)
    if (t.kind != TTrackKind::kChapters && !t.verified) analysis.FailedTracks.push_back(t.number);
  if (!analysis.FailedTracks.empty()) {
    WriteMessage(kMsgWarning, FailedTracksText(analysis.FailedTracks));
    WriteMessage(kMsgWarning,
                 analysis.FailedTracks.size() == 1
                     ? "Demuxing this track may still produce correct results - or not."
                     : "Demuxing these tracks may still produce correct results - or "
                       "not.");
  }
}

}  // namespace kavrix
