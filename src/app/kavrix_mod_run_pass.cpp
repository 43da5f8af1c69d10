// One pass of a run: one source node, below it one chain per destination (in the order of
// the destination list) and one timing chain per video track, then a single call on the
// source that reads the files and pushes every block through all chains at once.
//
// The first pass (and a second pass that must read the sources again) reads the real source
// files and serves every destination that takes part; a second pass in which the destination
// to redo has a first-pass file reads that file alone.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/kavrix_mod_planning.h"
#include "app/kavrix_mod_run.h"
#include "containers/voxFormatDetector.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"
#include "io/voxFileStream.h"

namespace kavrix {

namespace {

constexpr uint64_t kPass1DetectionLimit = 314572800;  // 300 MiB
constexpr uint64_t kMiB = 1048576;

// ---- what a destination's track is ----

enum class TTrackRole { kNone, kVideo, kAudio, kSubtitle, kChapters, kJoinedContainer };

struct TTrack {
  TTrackRole role = TTrackRole::kNone;
  uint32_t number = 0;
  uint32_t id = 0;         // the container's id of the track (PID, stream id, track number)
  uint32_t frameRate = 0;  // video: frames per 1000 s, snapped; 0 = unknown
  std::shared_ptr<IVideoFormatDetails> video;
  std::shared_ptr<IAudioFormatDetails> audio;
  std::shared_ptr<ISubtitleFormatDetails> subtitle;
};

uint32_t StreamRate(const IVideoFormatDetails& v) {
  if (v.GetFrameRate() == 0 || v.GetFrameRateDivisor() == 0) return 0;
  return uint32_t(uint64_t(v.GetFrameRate()) * 1000 / v.GetFrameRateDivisor());
}

std::string ContainerId(const TSourceAnalysis& analysis) {
  return analysis.container ? LowerAscii(analysis.container->GetContainerId()) : std::string();
}

bool IsEvoContainer(const std::string& id) {
  return id == "evo" || id == "vob";
}
bool IsTsContainer(const std::string& id) {
  return id == "ts" || id == "trp" || id == "m2ts";
}

// The tracks in listing order, numbered as the listing numbers them.
std::vector<TTrack> SourceTracks(const TOptions& options, const TSourceAnalysis& analysis) {
  std::vector<TTrack> out;
  if (!analysis.container) {
    TTrack t;
    t.number = 1;
    if (analysis.audio) {
      t.role = TTrackRole::kAudio;
      t.audio = analysis.audio;
    } else if (analysis.video) {
      t.role = TTrackRole::kVideo;
      t.video = analysis.video;
      t.frameRate = SnapFrameRate(StreamRate(*analysis.video));
    } else if (analysis.subtitle) {
      t.role = TTrackRole::kSubtitle;
      t.subtitle = analysis.subtitle;
    } else {
      return out;
    }
    out.push_back(t);
    return out;
  }
  const IContainerInfo& c = *analysis.container;
  uint32_t number = 0;
  if (options.Sources.size() >= 2 && IsEvoContainer(ContainerId(analysis)) &&
      analysis.LeadingEntries > 0) {
    TTrack t;
    t.role = TTrackRole::kJoinedContainer;
    t.number = ++number;
    out.push_back(t);
  }
  if (!analysis.ChapterText.empty() && analysis.LeadingEntries > number) {
    TTrack t;
    t.role = TTrackRole::kChapters;
    t.number = ++number;
    out.push_back(t);
  }
  number = analysis.LeadingEntries;
  for (size_t i = 0; i < c.GetVideoTrackCount(); ++i) {
    TVideoTrackEntry e;
    if (!c.GetVideoTrack(i, e) || !e.node) continue;
    TTrack t;
    t.role = TTrackRole::kVideo;
    t.number = ++number;
    t.id = e.id;
    t.video = e.node;
    t.frameRate = e.frameRate != 0 ? e.frameRate : SnapFrameRate(StreamRate(*e.node));
    out.push_back(t);
  }
  for (size_t i = 0; i < c.GetAudioTrackCount(); ++i) {
    TAudioTrackEntry e;
    if (!c.GetAudioTrack(i, e) || !e.node) continue;
    TTrack t;
    t.role = TTrackRole::kAudio;
    t.number = ++number;
    t.id = e.id;
    t.audio = e.node;
    out.push_back(t);
  }
  for (size_t i = 0; i < c.GetSubtitleTrackCount(); ++i) {
    TSubtitleTrackEntry e;
    if (!c.GetSubtitleTrack(i, e) || !e.node) continue;
    TTrack t;
    t.role = TTrackRole::kSubtitle;
    t.number = ++number;
    t.id = e.id;
    t.subtitle = e.node;
    out.push_back(t);
  }
  return out;
}

const TTrack* FindTrack(const std::vector<TTrack>& tracks, uint32_t number) {
  for (const TTrack& t : tracks) {
    if (t.number == number) return &t;
  }
  return nullptr;
}

// "a03": the kind's letter and the track number with at least two digits.
std::string TrackLabel(char kind, uint32_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 2) digits.insert(0, 2 - digits.size(), '0');
  return std::string(1, kind) + digits;
}

// ---- building ----

class TPassBuilder {
 public:
  TPassBuilder(TRunState& state, TOptions& options, TSourceAnalysis& analysis, TPassCounts& counts)
      : state_(state),
        options_(options),
        analysis_(analysis),
        counts_(counts),
        factory_(state.Factory()),
        containerId_(ContainerId(analysis)) {}

  // The chain of destination `index` below `head`; false after a planning error (shown).
  bool BuildCombinedChain(size_t index, const UpStreamPtr& head, const std::vector<TTrack>& tracks);
  // The chain of a destination that reads its first-pass file.
  bool BuildPass1Chain(size_t index, const UpStreamPtr& head, IAudioFormatDetails& details);
  // The timing chains of the video tracks; their readers' counts go into the statistics.
  void BuildTimingChains(const std::vector<TTrack>& tracks, UpStreamList& heads);
  void CollectVideoCounts();

 private:
  bool Append(const UpStreamPtr& chain, const UpStreamPtr& node) {
    return node && chain->AppendUpstream(node);
  }
  // The container's demultiplexer for a track (audio and video); false after "Unknown
  // container.". PCM tracks of EVO and TS get the container's PCM reader and, in the first
  // pass, a timestamp fixer that writes the gap list of pcmAction (when given).
  bool AppendDemuxer(const UpStreamPtr& chain, const TTrack& track, TAction* pcmAction);
  // The nodes of the demultiplexer for a track, unlinked; false for an unknown container.
  bool DemuxerNodes(const TTrack& track, TAction* pcmAction, UpStreamList& nodes);
  bool BuildAudio(size_t index, const UpStreamPtr& head, const TTrack& track);
  bool BuildVideo(size_t index, const UpStreamPtr& head, const TTrack& track);
  bool BuildMuxing(TAction& action, const UpStreamPtr& head, const TTrack& track);
  bool BuildVideoDemux(TAction& action, const UpStreamPtr& head, const TTrack& track);
  bool BuildSubtitle(size_t index, const UpStreamPtr& head, const TTrack& track);
  bool AppendVideoReader(const UpStreamPtr& chain, const std::string& formatId,
                         const TAction& action, uint32_t frameRate, const std::string& gaps);

  TRunState& state_;
  TOptions& options_;
  TSourceAnalysis& analysis_;
  TPassCounts& counts_;
  TNodeFactory& factory_;
  const std::string containerId_;
  struct TTiming {
    uint32_t trackNumber;
    UpStreamPtr reader;  // null when the track's bitstream was not parsed
  };
  std::vector<TTiming> timing_;
};

bool TPassBuilder::DemuxerNodes(const TTrack& track, TAction* pcmAction, UpStreamList& nodes) {
  const bool pcm = track.audio && EqualsNoCase(track.audio->GetFormatId(), format_id::kPcm);
  nodes.clear();
  if (IsEvoContainer(containerId_)) {
    nodes.push_back(factory_.EvoDemuxer(track.id));
    if (pcm) nodes.push_back(factory_.EvoPcmReader());
  } else if (IsTsContainer(containerId_)) {
    nodes.push_back(factory_.TsDemuxer(track.id, track.number, containerId_ == "trp"));
    nodes.push_back(factory_.PesParser(false, true, false));
    if (pcm) nodes.push_back(factory_.TsPcmReader());
  } else if (containerId_ == "mkv") {
    nodes.push_back(factory_.MkvDemuxer(track.id));
    nodes.push_back(factory_.MkvRepairer());
  } else {
    return false;
  }
  // The PCM readers' time stamps show the gaps of the track; the first pass records them.
  if (pcm && pcmAction && state_.FirstPass && !containerId_.empty() && containerId_ != "mkv")
    nodes.push_back(factory_.TimestampFixer(&pcmAction->GapList));
  for (const UpStreamPtr& node : nodes) {
    if (!node) return false;
  }
  return true;
}

bool TPassBuilder::AppendDemuxer(const UpStreamPtr& chain, const TTrack& track,
                                 TAction* pcmAction) {
  UpStreamList nodes;
  if (!DemuxerNodes(track, pcmAction, nodes)) {
    chain->ShowMessage(kMsgError, "Unknown container.");
    return false;
  }
  for (const UpStreamPtr& node : nodes) {
    if (!Append(chain, node)) return false;
  }
  return true;
}

bool TPassBuilder::BuildCombinedChain(size_t index, const UpStreamPtr& head,
                                      const std::vector<TTrack>& tracks) {
  TAction& action = options_.Actions[index];
  const TTrack* track = FindTrack(tracks, action.TrackNumber);
  if (!track) {
    WriteMessage(kMsgError, "The source file doesn't contain a track with the number " +
                                std::to_string(action.TrackNumber) + ".");
    return false;
  }
  switch (track->role) {
    case TTrackRole::kAudio:
      return BuildAudio(index, head, *track);
    case TTrackRole::kVideo:
      return BuildVideo(index, head, *track);
    case TTrackRole::kSubtitle:
      return BuildSubtitle(index, head, *track);
    case TTrackRole::kChapters:
      action.TwoPass = false;
      return Append(head, factory_.DestFile(action.FileName, nullptr, analysis_.ChapterText));
    case TTrackRole::kJoinedContainer:
      action.TwoPass = false;
      return Append(head, factory_.EvoRepairer()) &&
             Append(head, factory_.DestFile(action.FileName));
    case TTrackRole::kNone:
      break;
  }
  return false;
}

bool TPassBuilder::BuildAudio(size_t index, const UpStreamPtr& head, const TTrack& track) {
  TAction& action = options_.Actions[index];
  const bool fromContainer = analysis_.container != nullptr;
  if (fromContainer) {
    action.Label = TrackLabel('a', track.number);
    head->SetLabel(action.Label);
    if (!AppendDemuxer(head, track, &action)) return false;
  }
  // The planners update the details after every step: each destination gets its own copy.
  std::shared_ptr<IAudioFormatDetails> details = track.audio->Clone();
  TInputPlanResult input;
  if (!PlanAudioInput(state_, head, fromContainer, *details, action, options_.Sources.size(),
                      input))
    return false;
  AddSourceAnalysis(state_, head, *details, action, input);
  if (!PlanAudioOutput(state_, head, fromContainer, options_, *details, options_.Actions, index,
                       input.analyzeOutput, input.flacDecoder)) {
    head->ShowMessage(kMsgError, "Internal error - unknown audio output format!");
    return false;
  }
  return true;
}

bool TPassBuilder::BuildPass1Chain(size_t index, const UpStreamPtr& head,
                                   IAudioFormatDetails& details) {
  TAction& action = options_.Actions[index];
  if (!action.Label.empty()) head->SetLabel(action.Label);
  TInputPlanResult input;
  if (!PlanAudioInput(state_, head, false, details, action, 1, input)) return false;
  AddSourceAnalysis(state_, head, details, action, input);
  if (!PlanAudioOutput(state_, head, false, options_, details, options_.Actions, index,
                       input.analyzeOutput, input.flacDecoder)) {
    head->ShowMessage(kMsgError, "Internal error - unknown audio output format!");
    return false;
  }
  return true;
}

bool TPassBuilder::AppendVideoReader(const UpStreamPtr& chain, const std::string& formatId,
                                     const TAction& action, uint32_t frameRate,
                                     const std::string& gaps) {
  if (formatId == format_id::kH264)
    return Append(chain, factory_.H264Reader(action, frameRate, gaps));
  if (formatId == format_id::kH265) return Append(chain, factory_.H265Reader(action));
  if (formatId == format_id::kMpeg2)
    return Append(chain, factory_.Mpeg2Reader(action, frameRate, gaps, false));
  if (formatId == format_id::kVc1)
    return Append(chain, factory_.Vc1Reader(action, frameRate, gaps));
  if (formatId == format_id::kDirac) return Append(chain, factory_.DiracReader(action));
  return false;
}

bool TPassBuilder::BuildVideo(size_t index, const UpStreamPtr& head, const TTrack& track) {
  TAction& action = options_.Actions[index];
  if (analysis_.container) {
    action.Label = TrackLabel('v', track.number);
    head->SetLabel(action.Label);
  }
  if (EqualsNoCase(Extension(action.FileName), ".mkv")) return BuildMuxing(action, head, track);
  if (BuildVideoDemux(action, head, track)) return true;
  head->ShowMessage(kMsgError, "Internal error - unknown video output format!");
  return false;
}

// Reads the video gap description that lies beside a Matroska destination: whole 16-byte
// records, handed to the reader behind 16 zero bytes. Empty result and true when there is none.
bool ReadVideoGaps(const std::string& destination, const UpStreamPtr& head, std::string& gaps) {
  namespace fs = std::filesystem;
  gaps.clear();
  const std::string name = destination + ".gaps";
  std::error_code ec;
  if (!fs::is_regular_file(name, ec)) return true;
  head->ShowMessage(kMsgNormal, "Video gap description file detected, will be used for muxing...");
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    head->ShowMessage(kMsgError, "Opening video gap description file failed.");
    return false;
  }
  const uint64_t size = fs::file_size(name, ec);
  std::string content;
  if (!ec && size > 0 && size % 16 == 0 && size <= (uint64_t(1) << 30)) {
    content.resize(size_t(size));
    in.read(content.data(), std::streamsize(size));
    // The file must be read whole, and not have grown meanwhile.
    if (uint64_t(in.gcount()) != size || in.peek() != std::ifstream::traits_type::eof())
      content.clear();
  }
  if (content.empty()) {
    head->ShowMessage(kMsgError, "Video gap description file seems to be invalid.");
    return false;
  }
  gaps = std::string(16, '\0') + content;
  return true;
}

bool TPassBuilder::BuildMuxing(TAction& action, const UpStreamPtr& head, const TTrack& track) {
  std::string gaps;
  if (!ReadVideoGaps(action.FileName, head, gaps)) return false;
  const IVideoFormatDetails& v = *track.video;
  const std::string format = LowerAscii(v.GetFormatId());
  if (format == format_id::kH265) {
    head->ShowMessage(kMsgError, "h265/HEVC video track muxing to MKV is currently not supported.");
    return false;
  }
  if (format == format_id::kDirac) {
    head->ShowMessage(kMsgError, "DIRAC video track muxing to MKV is currently not supported.");
    return false;
  }
  const bool muxable =
      format == format_id::kH264 || format == format_id::kMpeg2 || format == format_id::kVc1;
  if (muxable && !v.GetVerified()) {
    head->ShowMessage(kMsgError, "Bitstream parsing of this video track failed.");
    return false;
  }
  if (!muxable) {
    head->ShowMessage(kMsgError, "Unsupported video format.");
    return false;
  }
  const uint32_t rate = track.frameRate != 0 ? track.frameRate : action.SourceFps;
  if (rate == 0) {
    head->ShowMessage(kMsgError, "Please specify the video track framerate (e.g. \"-23.976\").");
    return false;
  }
  // Every container track goes through its demultiplexer first; an elementary source is
  // read directly.
  if (analysis_.container && !AppendDemuxer(head, track, nullptr)) return false;
  if (format == format_id::kH264) {
    if (!Append(head, factory_.H264Reader(action, rate, gaps)) ||
        !Append(head, factory_.H264Muxer()))
      return false;
  } else if (format == format_id::kMpeg2) {
    if (!Append(head, factory_.Mpeg2Reader(action, rate, gaps, false)) ||
        !Append(head, factory_.Mpeg2Muxer()))
      return false;
  } else {
    if (!Append(head, factory_.Vc1Reader(action, rate, gaps))) return false;
    if ((action.StripPulldown || action.TargetFps != 0) &&
        !Append(head, factory_.Vc1BitstreamEditor(action)))
      return false;
    if (!Append(head, factory_.Vc1Muxer())) return false;
  }
  return Append(head, factory_.MatroskaMuxer(action.FileName)) &&
         Append(head, factory_.FileSimulator());
}

bool TPassBuilder::BuildVideoDemux(TAction& action, const UpStreamPtr& head, const TTrack& track) {
  const IVideoFormatDetails& v = *track.video;
  const std::string format = LowerAscii(v.GetFormatId());
  if (analysis_.container && !AppendDemuxer(head, track, nullptr)) return false;
  if (v.GetVerified()) {
    const uint32_t rate = track.frameRate != 0 ? track.frameRate : action.SourceFps;
    if (!AppendVideoReader(head, format, action, rate, {})) {
      head->ShowMessage(kMsgError, "Internal error - unknown video input format!");
      return false;
    }
    if (format == format_id::kVc1 && action.FileName.find("%check%") == std::string::npos &&
        (action.StripPulldown || action.TargetFps != 0) &&
        !Append(head, factory_.Vc1BitstreamEditor(action)))
      return false;
  }
  return Append(head, factory_.DestFile(action.FileName));
}

bool TPassBuilder::BuildSubtitle(size_t index, const UpStreamPtr& head, const TTrack& track) {
  TAction& action = options_.Actions[index];
  action.TwoPass = false;  // subtitles never take part in a second pass
  if (counts_.captions.size() <= index) counts_.captions.resize(index + 1);
  counts_.captions[index] = {};
  uint32_t* normal = &counts_.captions[index].normal;
  uint32_t* forced = &counts_.captions[index].forced;
  if (action.Delay != 0) head->SetDelay(0, action.Delay);
  const std::string format = LowerAscii(track.subtitle->GetFormatId());

  if (!analysis_.container) {
    if (format != format_id::kSup) {
      head->ShowMessage(kMsgError, "This subtitle format is not supported yet.");
      return false;
    }
    return Append(head, factory_.SupReader(normal, forced)) &&
           Append(head, factory_.DestFile(action.FileName));
  }

  action.Label = TrackLabel('s', track.number);
  head->SetLabel(action.Label);
  if (format == format_id::kDvbSub) {
    head->ShowMessage(kMsgError, "DVB subtitles are not supported yet.");
    return false;
  }
  // Closed captions travel in the user data of the MPEG-2 video.
  auto closedCaptions = [&] {
    if (!AppendDemuxer(head, track, nullptr)) return false;
    return Append(head, factory_.Mpeg2Reader(action, 0, {}, true)) &&
           Append(head, factory_.Mpeg2UserDataExtractor()) &&
           Append(head, factory_.ClosedCaptionDecoder()) &&
           Append(head, factory_.DestFile(action.FileName));
  };
  if (containerId_ == "mkv") {
    if (format == format_id::kSup) {
      return AppendDemuxer(head, track, nullptr) &&
             Append(head, factory_.SupReader(normal, forced)) &&
             Append(head, factory_.DestFile(action.FileName));
    }
    if (format == "srt" || format == "ass" || format == "ssa" || format == "srt/utf8" ||
        format == "srt/ascii") {
      return AppendDemuxer(head, track, nullptr) &&
             Append(head, factory_.DestFile(action.FileName));
    }
    head->ShowMessage(kMsgError, "This subtitle format is not supported yet.");
    return false;
  }
  if (IsTsContainer(containerId_)) {
    if (format == format_id::kSrt) return closedCaptions();
    if (format == format_id::kSup || format == "m2ts/sub") {
      return AppendDemuxer(head, track, nullptr) && Append(head, factory_.M2tsPgsReader()) &&
             Append(head, factory_.SupReader(normal, forced)) &&
             Append(head, factory_.DestFile(action.FileName));
    }
    head->ShowMessage(kMsgError, "Blu-Ray text subtitles are not supported yet.");
    return false;
  }
  if (IsEvoContainer(containerId_)) {
    if (format == format_id::kSrt) return closedCaptions();
    return Append(head, factory_.EvoDemuxer(track.id)) && Append(head, factory_.EvoSubReader()) &&
           Append(head, factory_.SupReader(normal, forced)) &&
           Append(head, factory_.DestFile(action.FileName));
  }
  head->ShowMessage(kMsgError, "Unknown container.");
  return false;
}

void TPassBuilder::BuildTimingChains(const std::vector<TTrack>& tracks, UpStreamList& heads) {
  for (const TTrack& track : tracks) {
    if (track.role != TTrackRole::kVideo) continue;
    UpStreamPtr chain;
    if (analysis_.container) {
      // The demultiplexer itself heads the timing chain.
      UpStreamList nodes;
      if (!DemuxerNodes(track, nullptr, nodes)) continue;
      chain = nodes[0];
      for (size_t i = 1; i < nodes.size(); ++i) chain->AppendUpstream(nodes[i]);
    } else {
      chain = factory_.PassThrough();
      if (!chain) continue;
    }
    UpStreamPtr reader;
    if (track.video->GetVerified()) {
      const TAction none;
      const std::string format = LowerAscii(track.video->GetFormatId());
      if (AppendVideoReader(chain, format, none, track.frameRate, {}))
        reader = chain->GetChainEnd();
    }
    chain->AppendUpstream(factory_.FileSimulator());
    heads.push_back(chain);
    timing_.push_back({track.number, reader});
  }
}

void TPassBuilder::CollectVideoCounts() {
  counts_.video.clear();
  for (const TTiming& t : timing_) {
    TPassCounts::TVideo v;
    v.trackNumber = t.trackNumber;
    if (auto* details = t.reader ? Query<IVideoFormatDetails>(t.reader) : nullptr) {
      v.frames = details->GetVideoCount1();
      v.fields = details->GetVideoCount2();
    }
    counts_.video.push_back(v);
  }
}

bool IsCheckDestination(const TAction& action) {
  return action.FileName.find("%check%") != std::string::npos;
}

// Runs the source and notes where a failed pass stopped.
bool RunSource(const UpStreamPtr& source, TPassCounts& counts) {
  const bool ok = source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false);
  if (!ok) {
    if (auto* files = Query<ISourceFiles>(source)) counts.abortedAt = int64_t(files->GetPosition());
  }
  return ok;
}

void ClearNodeReferences(TOptions& options) {
  for (TAction& a : options.Actions) a.JoinerNode.reset();
}

void StartSecondPass(TAction& action, const UpStreamPtr& head) {
  head->ShowMessage(kMsgNormal, "Starting 2nd pass...");
  action.TwoPass = false;
  action.Peak = 0;
  action.GapList.clear();
}

// The source of a pass over the real source files.
UpStreamPtr CombinedSource(TNodeFactory& factory, const TOptions& options,
                           const TSourceAnalysis& analysis) {
  uint64_t cutEnd = 0;
  if (!analysis.container && analysis.audio) cutEnd = analysis.audio->GetAuxText5().size();
  uint32_t rateNum = 24000, rateDen = 1001;
  std::shared_ptr<IVideoFormatDetails> first = analysis.container ? nullptr : analysis.video;
  if (analysis.container) {
    TVideoTrackEntry e;
    for (size_t i = 0; i < analysis.container->GetVideoTrackCount(); ++i) {
      if (analysis.container->GetVideoTrack(i, e) && e.node) {
        first = e.node;
        break;
      }
    }
  }
  if (first && first->GetFrameRate() != 0) {
    rateNum = first->GetFrameRate();
    rateDen = first->GetFrameRateDivisor() != 0 ? first->GetFrameRateDivisor() : 1000;
    if (first->GetInterlaced()) rateNum /= 2;
  }
  return factory.SourceFiles(options.Sources, options.SkipBytes, cutEnd, options.SizeLimitMb * kMiB,
                             options.Playlist, rateNum, rateDen);
}

bool RunCombinedPass(TRunState& state, TOptions& options, TSourceAnalysis& analysis,
                     TPassCounts& counts) {
  TNodeFactory& factory = state.Factory();
  TPassBuilder builder(state, options, analysis, counts);
  const std::vector<TTrack> tracks = SourceTracks(options, analysis);
  if (counts.captions.size() < options.Actions.size())
    counts.captions.resize(options.Actions.size());

  UpStreamList heads;
  for (size_t i = 0; i < options.Actions.size(); ++i) {
    TAction& action = options.Actions[i];
    // In a second pass only the destinations to redo that have no first-pass file of their
    // own read the sources again; a destination with a first-pass file is redone from it.
    const bool served = state.FirstPass || (action.TwoPass && action.Pass1FileName.empty() &&
                                            !IsCheckDestination(action));
    if (!served) {
      heads.push_back(factory.FileSimulator());
      continue;
    }
    UpStreamPtr head = factory.PassThrough();
    if (!head) return false;
    if (!builder.BuildCombinedChain(i, head, tracks)) return false;
    if (!state.FirstPass) StartSecondPass(action, head);
    heads.push_back(head);
  }
  builder.BuildTimingChains(tracks, heads);

  UpStreamPtr source = CombinedSource(factory, options, analysis);
  if (!source) return false;
  source->AppendUpstreams(heads);
  const bool ok = RunSource(source, counts);
  if (ok) builder.CollectVideoCounts();
  return ok;
}

bool RedoFromPass1File(TRunState& state, TOptions& options, TSourceAnalysis& analysis,
                       TPassCounts& counts, size_t index) {
  TNodeFactory& factory = state.Factory();
  TAction& action = options.Actions[index];
  const std::string pass1 = action.Pass1FileName;

  // What the first-pass file holds, from its start.
  std::shared_ptr<IAudioFormatDetails> details;
  {
    UpStreamPtr probe =
        factory.SourceFiles({pass1}, 0, 0, kPass1DetectionLimit, false, 24000, 1001);
    UpStreamPtr detector =
        factory.FormatDetector(options.LogPids, options.LogMkv, options.LogDts, true, false);
    if (probe && detector && probe->GetOk()) {
      probe->AppendUpstream(detector);
      probe->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false);
      if (auto* results = Query<IFormatDetector>(detector)) {
        auto audio = results->GetAudioDetails();
        if (audio && audio->GetValid()) details = audio->Clone();
      }
    }
  }
  if (!details) {
    WriteMessage(kMsgError, "The temp file \"" + pass1 + "\" could not be interpreted correctly.");
    return false;
  }

  TPassBuilder builder(state, options, analysis, counts);
  UpStreamList heads;
  for (size_t i = 0; i < options.Actions.size(); ++i) {
    if (i != index) {
      heads.push_back(factory.FileSimulator());
      continue;
    }
    UpStreamPtr head = factory.PassThrough();
    if (!head || !builder.BuildPass1Chain(i, head, *details)) return false;
    StartSecondPass(options.Actions[i], head);
    heads.push_back(head);
  }

  // The pass reads the whole file (the detection above only looked at its start).
  UpStreamPtr source = factory.SourceFiles({pass1}, 0, 0, 0, false, 24000, 1001);
  if (!source) return false;
  source->AppendUpstreams(heads);
  return RunSource(source, counts);
}

// The second pass of one destination over its first-pass file; the file goes only after the
// pass succeeded (a failed pass keeps it, so the work of the first pass is not lost).
bool RunPass1FilePass(TRunState& state, TOptions& options, TSourceAnalysis& analysis,
                      TPassCounts& counts, size_t index) {
  const std::string pass1 = options.Actions[index].Pass1FileName;
  std::error_code ec;
  if (!RedoFromPass1File(state, options, analysis, counts, index)) {
    if (std::filesystem::exists(pass1, ec))
      WriteMessage(kMsgWarning, "The first-pass file \"" + pass1 + "\" was kept.");
    return false;
  }
  std::filesystem::remove(pass1, ec);
  options.Actions[index].Pass1FileName.clear();
  return true;
}

}  // namespace

bool RunPass(TRunState& state, TOptions& options, TSourceAnalysis& analysis, TPassCounts& counts) {
  ClearNodeReferences(options);
  state.NeroUses = 0;
  state.ArcSoftUses = 0;

  // A second pass in which the first destination to redo has its first-pass file, while no
  // destination to redo needs the sources again, reads that file alone.
  bool combined = state.FirstPass;
  size_t pass1Index = options.Actions.size();
  if (!combined) {
    for (size_t i = 0; i < options.Actions.size(); ++i) {
      const TAction& a = options.Actions[i];
      if (!a.TwoPass || IsCheckDestination(a)) continue;
      if (a.Pass1FileName.empty()) {
        combined = true;
      } else if (pass1Index == options.Actions.size()) {
        pass1Index = i;
      }
    }
  }
  bool ok;
  if (combined) {
    ok = RunCombinedPass(state, options, analysis, counts);
  } else if (pass1Index < options.Actions.size()) {
    ok = RunPass1FilePass(state, options, analysis, counts, pass1Index);
  } else {
    ok = true;  // nothing left to redo
  }
  ClearNodeReferences(options);
  return ok;
}

}  // namespace kavrix
