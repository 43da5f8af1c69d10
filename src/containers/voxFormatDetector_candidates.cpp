// The candidate table of the format detector: one creation function per candidate slot.
// A reader that joins the detector adds its creation function here and nothing else; a slot
// without one is left out of the candidate lists.
#include <array>
#include <mutex>

#include "audio/voxAac.h"
#include "audio/voxAc3.h"
#include "audio/voxDts.h"
#include "audio/voxMPx.h"
#include "containers/voxFormatDetector.h"
#include "pcm/voxWav.h"

namespace kavrix {

namespace {

using S = TCandidateSlot;

// The audio readers must find a frame at the very start in full mode; in elementary mode
// (a transport-stream track) they search for it.
TCandidateChain Ac3Candidate(const TCandidateOptions& options) {
  return {CreateAc3Reader(nullptr, false, !options.elementary), nullptr};
}

// MPEG audio and ADTS AAC: files must begin with a frame (after leading tags).
TCandidateChain MpxCandidate(const TCandidateOptions& options) {
  return {CreateMPxReader(nullptr, !options.elementary), nullptr};
}
TCandidateChain AacCandidate(const TCandidateOptions& options) {
  return {CreateAacReader(nullptr, !options.elementary), nullptr};
}

// The PCM WAV chain. The HDCD detection joins this chain, behind the reader, once the HDCD
// decoder exists.
TCandidateChain WavCandidate(const TCandidateOptions&) {
  return {CreateWavReader(), nullptr};
}

// AC3 carried in WAV: the WAV reader, the unwrapper and the AC3 reader, which answers.
TCandidateChain WavAc3Candidate(const TCandidateOptions&) {
  UpStreamPtr head = CreateWavReader();
  UpStreamPtr unwrap = CreateWavAc3Reader();
  UpStreamPtr decoder = CreateAc3Reader(nullptr, false, true);
  unwrap->SetUpstream(decoder);
  head->SetUpstream(unwrap);
  return {head, decoder};
}

// DTS carried in WAV: the WAV reader, the unwrapper and the DTS reader, which answers.
TCandidateChain WavDtsCandidate(const TCandidateOptions& options) {
  UpStreamPtr head = CreateWavReader();
  UpStreamPtr unwrap = CreateWavDtsReader();
  UpStreamPtr decoder = CreateDtsReader(nullptr, false, options.logDts, true);
  unwrap->SetUpstream(decoder);
  head->SetUpstream(unwrap);
  return {head, decoder};
}

// The DTS readers get the header-listing flag as well.
TCandidateChain DtsCandidate(const TCandidateOptions& options) {
  return {CreateDtsReader(nullptr, false, options.logDts, !options.elementary), nullptr};
}
TCandidateChain DtsNoCoreCandidate(const TCandidateOptions& options) {
  return {CreateDtsNoCoreReader(nullptr, options.logDts, !options.elementary), nullptr};
}

struct TSlotEntry {
  S slot;
  std::string_view name;
  TCandidateFactory factory;
};

// Slots in enumeration order; the factory is empty while the slot's reader does not exist.
// What the creation functions hand their readers: logPids to both transport-stream parsers,
// logMkv to the Matroska parser, logDts to the DTS readers, the TrueHD reader, the EVO and the
// transport-stream parsers; in elementary mode the video readers get the output name
// "%check%" (analysis only) and the audio readers search for their first frame. The PCM
// container and FLAC chains end in a detection-mode HDCD decoder; the two WAV-wrapper chains
// return their DTS or AC3 reader as the decoder.
std::array<TSlotEntry, size_t(S::kCount)> DefaultTable() {
  return {{
      {S::kMkvParser, "mkv parser", nullptr},
      {S::kEvoParser, "evo parser", nullptr},
      {S::kTsParser, "ts parser", nullptr},
      {S::kTsParserNoPat, "ts parser (no PAT)", nullptr},
      {S::kDtsReader, "dts reader", DtsCandidate},
      {S::kDtsNoCoreReader, "dts reader (no core)", DtsNoCoreCandidate},
      {S::kAc3Reader, "ac3 reader", Ac3Candidate},
      {S::kMpxReader, "mpeg audio reader", MpxCandidate},
      {S::kAacReader, "aac reader", AacCandidate},
      {S::kThdReader, "truehd reader", nullptr},
      {S::kWavReader, "wav reader", WavCandidate},
      {S::kW64Reader, "w64 reader", nullptr},
      {S::kRf64Reader, "rf64 reader", nullptr},
      {S::kWavDts, "dts in wav", WavDtsCandidate},
      {S::kWavAc3, "ac3 in wav", WavAc3Candidate},
      {S::kFlacDecoder, "flac decoder", nullptr},
      {S::kVc1Reader, "vc1 reader", nullptr},
      {S::kMpeg2Reader, "mpeg2 reader", nullptr},
      {S::kH264Reader, "h264 reader", nullptr},
      {S::kH265Reader, "h265 reader", nullptr},
      {S::kDiracReader, "dirac reader", nullptr},
      {S::kSupReader, "sup reader", nullptr},
      {S::kDvbSubtitleReader, "dvb subtitle reader", nullptr},
  }};
}

struct TRegistry {
  std::mutex lock;
  std::array<TSlotEntry, size_t(S::kCount)> table = DefaultTable();
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

}  // namespace

std::string_view CandidateSlotName(TCandidateSlot slot) {
  const size_t i = size_t(slot);
  if (i >= size_t(S::kCount)) return "?";
  // The names never change, so no lock is needed.
  return Registry().table[i].name;
}

bool IsContainerSlot(TCandidateSlot slot) {
  return slot == S::kMkvParser || slot == S::kEvoParser || slot == S::kTsParser ||
         slot == S::kTsParserNoPat;
}

bool IsWavWrapperSlot(TCandidateSlot slot) {
  return slot == S::kWavDts || slot == S::kWavAc3;
}

const std::vector<TCandidateSlot>& DetectorCandidateOrder(bool elementary) {
  static const std::vector<TCandidateSlot> full = {
      S::kMkvParser,       S::kEvoParser, S::kTsParser,    S::kTsParserNoPat, S::kDtsReader,
      S::kDtsNoCoreReader, S::kAc3Reader, S::kMpxReader,   S::kAacReader,     S::kThdReader,
      S::kWavReader,       S::kW64Reader, S::kRf64Reader,  S::kWavDts,        S::kWavAc3,
      S::kFlacDecoder,     S::kVc1Reader, S::kMpeg2Reader, S::kH264Reader,    S::kH265Reader,
      S::kDiracReader,     S::kSupReader};
  static const std::vector<TCandidateSlot> elementaryOnly = {
      S::kDtsReader,         S::kAc3Reader,   S::kMpxReader,  S::kAacReader,
      S::kDvbSubtitleReader, S::kMpeg2Reader, S::kH264Reader, S::kH265Reader};
  return elementary ? elementaryOnly : full;
}

TCandidateFactory GetCandidateFactory(TCandidateSlot slot) {
  const size_t i = size_t(slot);
  if (i >= size_t(S::kCount)) return nullptr;
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.table[i].factory;
}

TCandidateFactory SetCandidateFactory(TCandidateSlot slot, TCandidateFactory factory) {
  const size_t i = size_t(slot);
  if (i >= size_t(S::kCount)) return nullptr;
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> guard(r.lock);
  std::swap(r.table[i].factory, factory);
  return factory;
}

}  // namespace kavrix
