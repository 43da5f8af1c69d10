#pragma once
// The format detector: decides what a source holds without looking for signatures itself.
// It builds one small chain per format it knows (a candidate), hands every block of the
// source to all candidates one after the other, drops each candidate that rejects the data,
// and stops the source as soon as the answer is settled. Afterwards the caller asks it for the
// details of the winning candidate.
//
// Two modes:
//   - full mode (source analysis): containers, elementary audio and video, PCM containers,
//     the AC3/DTS-in-WAV wrappers and subtitle files; the audio readers must find a frame
//     at the very start of the data;
//   - elementary mode (a transport-stream track of unknown type): elementary audio, video and
//     DVB subtitles only, the audio readers searching for their first frame.
//
// The candidates come from one table (voxFormatDetector_candidates.cpp) that maps every
// candidate slot to the creation function of its chain. A slot whose reader is not built yet
// has no creation function and is simply left out; the others keep the fixed order below.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

// Every candidate the detector knows, in the order of the full list; the elementary list
// takes a subset in its own order (see DetectorCandidateOrder).
enum class TCandidateSlot : int {
  kMkvParser,      // Matroska
  kEvoParser,      // EVO/VOB program streams
  kTsParser,       // transport stream, driven by the programme tables
  kTsParserNoPat,  // transport stream without programme tables
  kDtsReader,
  kDtsNoCoreReader,
  kAc3Reader,
  kMpxReader,  // MPEG-1/2 audio layers 1 to 3
  kAacReader,
  kThdReader,    // TrueHD and MLP
  kWavReader,    // WAV reader -> HDCD detection
  kW64Reader,    // W64 reader -> HDCD detection
  kRf64Reader,   // RF64 reader -> HDCD detection
  kWavDts,       // WAV reader -> DTS-in-WAV reader -> DTS reader
  kWavAc3,       // WAV reader -> AC3-in-WAV reader -> (E-)AC3 reader
  kFlacDecoder,  // FLAC decoder -> HDCD detection
  kVc1Reader,
  kMpeg2Reader,
  kH264Reader,
  kH265Reader,
  kDiracReader,
  kSupReader,
  kDvbSubtitleReader,  // elementary mode only
  kCount
};

// A short name of a slot ("ac3 reader"), for tests and logs.
std::string_view CandidateSlotName(TCandidateSlot slot);
// Container parsers: a result is not taken while one of them is still working.
bool IsContainerSlot(TCandidateSlot slot);
// The two WAV-wrapper chains, whose wrapped decoder is asked first for the audio result.
bool IsWavWrapperSlot(TCandidateSlot slot);
// The candidate order of a mode.
const std::vector<TCandidateSlot>& DetectorCandidateOrder(bool elementary);

// What a creation function gets.
struct TCandidateOptions {
  bool elementary = false;  // elementary mode: audio readers search, video readers check only
  bool logPids = false;     // transport-stream parsers
  bool logMkv = false;      // Matroska parser
  bool logDts = false;      // DTS readers, TrueHD reader, EVO and transport-stream parsers
};

// A candidate chain as its creation function builds it (without the file simulator at its
// end, which the detector appends). decoder: for the two WAV-wrapper slots the DTS or AC3
// reader at the end of the chain, else empty.
struct TCandidateChain {
  UpStreamPtr head;
  UpStreamPtr decoder;
};
// Returns an empty head when the chain cannot be built.
using TCandidateFactory = std::function<TCandidateChain(const TCandidateOptions&)>;

// The creation function of a slot (empty when the slot's reader does not exist yet).
TCandidateFactory GetCandidateFactory(TCandidateSlot slot);
// Replaces the creation function of a slot and returns the previous one (tests plug their own
// readers in this way; an empty factory removes the slot). Detectors built afterwards use it.
TCandidateFactory SetCandidateFactory(TCandidateSlot slot, TCandidateFactory factory);

// The results of a detection.
class IFormatDetector {
 public:
  virtual ~IFormatDetector() = default;
  // The details of the first candidate (in list order) whose record of that kind is valid
  // (the container information: the first that has any). Without a result the records are
  // empty (Valid false). In full mode the audio result of a WAV-wrapped DTS or AC3 stream is
  // the wrapped decoder's, relabelled "dtswav" / "DTSWAV" or "ac3wav" / "AC3WAV".
  virtual std::shared_ptr<IAudioFormatDetails> GetAudioDetails() = 0;
  virtual std::shared_ptr<IVideoFormatDetails> GetVideoDetails() = 0;
  virtual std::shared_ptr<ISubtitleFormatDetails> GetSubtitleDetails() = 0;
  virtual std::shared_ptr<IContainerInfo> GetContainerInfo() = 0;

  // The candidate chains still present (the caller may take them over), in list order.
  struct TCandidate {
    TCandidateSlot slot;
    UpStreamPtr head;
  };
  virtual std::vector<TCandidate> GetCandidates() const = 0;
};

// stopAtFirstResult: source analysis (true) stops the source once the result is settled; the
// transport-stream parser (false) feeds every candidate to the end.
UpStreamPtr CreateFormatDetector(bool logPids, bool logMkv, bool logDts, bool stopAtFirstResult,
                                 bool elementary);

}  // namespace kavrix
