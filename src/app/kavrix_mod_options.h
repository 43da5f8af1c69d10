#pragma once
// The options record of a run and its destination records ("actions"), filled by the
// command line and used by the analysis and the planning.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

// One destination.
struct TAction {
  uint32_t TrackNumber = 0;  // 0 = the default track
  std::string FileName;      // "%globaloptions%" for the placeholder, "%check%.raw" for analysis

  // Raw PCM source parameters.
  uint32_t PcmSampleRate = 0;
  uint32_t PcmEndianness = 0;  // 1 little, 2 big
  uint32_t PcmChannels = 0;
  uint32_t PcmBits = 0;

  int32_t Delay = 0;         // ms
  double Gain = 0;           // dB
  int32_t Phase = 0;         // degrees
  int64_t EditPosition = 0;  // 100 ns units
  int64_t EditAmount = 0;    // 100 ns units; negative removes
  bool EditSilence = false;
  bool EditLoop = false;

  uint32_t TargetBits = 0;
  bool DontDither = false;
  bool Full = false;
  bool Float32 = false;
  bool Core = false;
  bool DontRepairDts = false;
  bool DontPatchDts = false;
  bool KeepFullRange = false;
  bool DontCrop = false;
  bool StripPulldown = false;
  bool KeepPulldown = false;
  bool Fast = false;
  bool Steep = false;
  bool R8brain = false;
  uint32_t SourceFps = 0;  // fps × 1000
  uint32_t TargetFps = 0;
  uint32_t Quality = 50;  // 0..100
  uint32_t ResampleTo = 0;

  bool Mono = false;
  bool Double7 = false;
  bool Simple = false;
  bool Check16bit = false;
  bool DecodeHdcd = false;
  bool AnalyzeBitdepth = false;
  bool CheckPitch = false;
  bool IgnorePitch = false;
  bool Override = false;
  bool RemoveDialnorm = false;

  bool Downmix = false;
  bool Down6 = false;
  bool Down2 = false;
  bool DownDpl = false;
  bool DownStereo = false;
  bool PhaseShift = false;
  bool MixLfe = false;

  // Decoder choice: at most one is set.
  bool Nero = false;
  bool Sonic = false;
  bool ArcSoft = false;
  bool DcaDec = false;
  bool Libav = false;

  uint32_t Bitrate = 0;  // kbps
  uint32_t SkipFrames = 0;
  bool SeekToIFrames = false;
  bool TwoPass = false;
  bool Normalize = false;
  std::string Remap;  // "0,2,1,3,4,5" or "bluray"

  // Filled by the planning and the passes.
  bool PcmChain = false;
  uint32_t CompanionAction = 0;  // index + 1 of the other half of a ".thd+ac3" split
  UpStreamPtr JoinerNode;
  std::string GapList;
  double Peak = 0;
  std::string Pass1FileName;
  uint32_t ValidBitsResult = 0;
  uint32_t OutputBits = 0;
  bool BitsReduced = false;
  bool SourceAnalysisAdded = false;
  uint32_t MultiMonoChannels = 0;
  uint32_t MultiMonoMask = 0;
  bool EncodeDtsAfterRun = false;
  std::string Label;  // message label of the destination's chain
  // The subtitle file gets the caption counts in its name after the run (destinations that
  // "-demux" created or whose track was chosen by the subtitle form of the assignment).
  bool NameWithCaptionCount = false;
};

// The run.
struct TOptions {
  std::vector<std::string> Sources;  // joining order, after splitting at "+"
  uint64_t SizeLimitMb = 0;
  bool Test = false;
  uint64_t SkipBytes = 0;
  bool LowPriority = false;
  bool Demux = false;
  bool Check = false;
  bool Fix = false;
  bool No2ndPass = false;
  bool LogPids = false;
  bool LogMkv = false;
  bool LogDts = false;
  bool AnalyzeBitdepth = false;
  bool CheckPitch = false;
  std::vector<TAction> Actions;
  bool Playlist = false;  // the sources are the parts of a disc title
  std::string NeroAacEncPath;

  // The destinations' names, in order (the placeholder included).
  std::vector<std::string> DestinationNames() const {
    std::vector<std::string> names;
    for (const TAction& a : Actions) names.push_back(a.FileName);
    return names;
  }
};

constexpr std::string_view kGlobalOptionsName = "%globaloptions%";
constexpr std::string_view kCheckRawName = "%check%.raw";

// Parses the parameters (the program name and "-log=" already taken out) into the options
// record; reports its own errors (kind 2) and returns false when the run must not go on.
// Sets the process-wide settings: shutdown, progress numbers, quiet for "stdout".
bool ParseCommandLine(const std::vector<std::string>& params, TOptions& options);

// The number of parameters as the frame counts them: a lone "-progressnumbers" beside
// one other parameter does not count.
size_t GetParamCount(const std::vector<std::string>& params);

// Disc titles: the files of title n of the HD DVD or Blu-ray structure the path belongs
// to. False when there is none; errorShown tells whether a message was printed already.
struct TDiscTitleLookup {
  bool (*findHdDvdTitle)(const std::string& path, uint32_t title, std::vector<std::string>& files,
                         bool& errorShown);
  bool (*findBluRayTitle)(const std::string& path, uint32_t title, std::vector<std::string>& files,
                          bool& errorShown);
};
// The lookups the parser uses; tests may replace them.
TDiscTitleLookup& DiscTitleLookup();

}  // namespace kavrix
