// The production node factory and the stand-ins for nodes that are not built yet.
#include "app/kavrix_mod_factory.h"

#include <cstdio>

#include "app/kavrix_mod_options.h"
#include "audio/voxAac.h"
#include "audio/voxAc3.h"
#include "audio/voxDts.h"
#include "audio/voxMPx.h"
#include "codecs/voxLibav.h"
#include "containers/voxFormatDetector.h"
#include "io/voxFileStream.h"
#include "io/voxFileStream_dest.h"
#include "pcm/voxRaw.h"
#include "pcm/voxWav.h"

namespace kavrix {

namespace {

// A node of a class that a later part of the program builds.
class TStandIn final : public TUpStream {
 public:
  TStandIn(const std::string& role, bool passData) : TUpStream(role), passData_(passData) {}

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!GetOk()) return false;
    if (!passData_) return NotAvailable();
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }
  bool OpenVideo(const TVideoAnnouncement& video) override {
    if (!GetOk()) return false;
    if (!passData_) return NotAvailable();
    return OpenVideoUpstreams(video);
  }
  bool OpenSubtitle(const std::string& formatId) override {
    if (!GetOk()) return false;
    if (!passData_) return NotAvailable();
    return OpenSubtitleUpstreams(formatId);
  }
  bool OpenContainer(const std::string& formatId, const std::string& scanInfo, uint64_t size,
                     uint64_t size2) override {
    if (!GetOk()) return false;
    if (!passData_) return NotAvailable();
    return OpenContainerUpstreams(formatId, scanInfo, size, size2);
  }
  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!GetOk()) return false;
    if (!passData_) return NotAvailable();
    return DeliverData(header, data, size, timeStamp, boundary);
  }

 private:
  bool NotAvailable() {
    if (!shown_) {
      shown_ = true;
      Fail("The " + Role() + " is not available yet.");
    }
    SetOk(false);
    return false;
  }

  const bool passData_;
  bool shown_ = false;
};

std::string Arg(const char* name, bool value) {
  return std::string(name) + (value ? "=1" : "=0");
}
std::string Arg(const char* name, uint32_t value) {
  return std::string(name) + "=" + std::to_string(value);
}
std::string Arg(const char* name, uint64_t value) {
  return std::string(name) + "=" + std::to_string(value);
}
std::string Arg(const char* name, int64_t value) {
  return std::string(name) + "=" + std::to_string(value);
}
std::string Arg(const char* name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  return std::string(name) + "=" + text;
}
std::string Arg(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + value + "\"";
}
[[maybe_unused]] std::string Arg(const char* name, const char* value) {
  return Arg(name, std::string(value));
}
std::string ListArg(const char* name, const std::vector<uint32_t>& values) {
  std::string text = std::string(name) + "=[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) text += ",";
    text += std::to_string(values[i]);
  }
  return text + "]";
}

const char* FamilyName(TCodecFamily family) {
  switch (family) {
    case TCodecFamily::kAc3:
      return "Ac3";
    case TCodecFamily::kDts:
      return "Dts";
    case TCodecFamily::kAac:
      return "Aac";
    case TCodecFamily::kMpx:
      return "MPx";
  }
  return "?";
}

std::string FamilyRole(TCodecFamily family) {
  switch (family) {
    case TCodecFamily::kAc3:
      return "AC3";
    case TCodecFamily::kDts:
      return "DTS";
    case TCodecFamily::kAac:
      return "AAC";
    case TCodecFamily::kMpx:
      return "MPx";
  }
  return "?";
}

std::function<UpStreamPtr()> StandIn(const std::string& role, bool passData = false) {
  return [role, passData] { return CreateStandIn(role, passData); };
}

}  // namespace

UpStreamPtr CreateStandIn(const std::string& role, bool passData) {
  return std::make_shared<TStandIn>(role, passData);
}

std::string NodeRecord(const std::string& className, const std::vector<std::string>& args) {
  std::string text = className;
  if (args.empty()) return text;
  text += "(";
  for (size_t i = 0; i < args.size(); ++i) {
    if (i != 0) text += ", ";
    text += args[i];
  }
  return text + ")";
}

UpStreamPtr TNodeFactory::Make(const std::string&, const std::function<UpStreamPtr()>& create) {
  return create();
}

TNodeFactory& ProductionNodeFactory() {
  static TNodeFactory factory;
  return factory;
}

// ---- chain pieces, source and destination ----

UpStreamPtr TNodeFactory::PassThrough() {
  return Make(NodeRecord("TPassThrough"), [] { return CreatePassThrough(); });
}
UpStreamPtr TNodeFactory::FileSimulator() {
  return Make(NodeRecord("TFileSimulator"), [] { return CreateFileSimulator(); });
}
UpStreamPtr TNodeFactory::SourceFiles(const std::vector<std::string>& files, uint64_t skipStart,
                                      uint64_t cutEnd, uint64_t readLimit, bool playlist,
                                      uint32_t frameRateNum, uint32_t frameRateDen) {
  return Make(NodeRecord("TSourceFiles",
                         {Arg("files", uint64_t(files.size())), Arg("skip", skipStart),
                          Arg("cut", cutEnd), Arg("limit", readLimit), Arg("playlist", playlist),
                          Arg("rate", frameRateNum), Arg("div", frameRateDen)}),
              [&] {
                return CreateSourceFiles(files, skipStart, cutEnd, readLimit, playlist,
                                         frameRateNum, frameRateDen);
              });
}
UpStreamPtr TNodeFactory::FormatDetector(bool logPids, bool logMkv, bool logDts,
                                         bool stopAtFirstResult, bool elementary) {
  return Make(
      NodeRecord("TFormatDetector",
                 {Arg("stopAtFirst", stopAtFirstResult), Arg("elementary", elementary)}),
      [=] { return CreateFormatDetector(logPids, logMkv, logDts, stopAtFirstResult, elementary); });
}
UpStreamPtr TNodeFactory::DestFile(const std::string& fileName, uint32_t* resultBits,
                                   const std::string& fixedContent, const std::string& header,
                                   const std::string& trailer) {
  return Make(NodeRecord("TDestFile", {Arg("name", fileName), Arg("result", resultBits != nullptr),
                                       Arg("fixed", uint64_t(fixedContent.size())),
                                       Arg("header", uint64_t(header.size())),
                                       Arg("trailer", uint64_t(trailer.size()))}),
              [&] { return CreateDestFile(fileName, resultBits, fixedContent, header, trailer); });
}

// ---- PCM files ----

UpStreamPtr TNodeFactory::WavReader() {
  return Make(NodeRecord("TWavReader"), [] { return CreateWavReader(); });
}
UpStreamPtr TNodeFactory::WavAc3Reader() {
  return Make(NodeRecord("TWavAc3Reader"), [] { return CreateWavAc3Reader(); });
}
UpStreamPtr TNodeFactory::WavDtsReader() {
  return Make(NodeRecord("TWavDtsReader"), [] { return CreateWavDtsReader(); });
}
UpStreamPtr TNodeFactory::W64Reader() {
  return Make(NodeRecord("TW64Reader"), StandIn("W64 reader"));
}
UpStreamPtr TNodeFactory::Rf64Reader() {
  return Make(NodeRecord("TRf64Reader"), StandIn("RF64 reader"));
}
UpStreamPtr TNodeFactory::RawReader(uint32_t channels, uint32_t bits, uint32_t sampleRate,
                                    bool bigEndian, uint32_t skipBytes) {
  return Make(NodeRecord("TRawReader",
                         {Arg("channels", channels), Arg("bits", bits), Arg("rate", sampleRate),
                          Arg("bigEndian", bigEndian), Arg("skip", skipBytes)}),
              StandIn("RAW reader"));
}
UpStreamPtr TNodeFactory::EndianSwapper() {
  return Make(NodeRecord("TEndianSwapper"), StandIn("endian swapper"));
}
UpStreamPtr TNodeFactory::WavWriter(bool extensible, bool multiMonoMember, bool noHeaderRewrite) {
  return Make(
      NodeRecord("TWavWriter", {Arg("extensible", extensible), Arg("member", multiMonoMember),
                                Arg("noRewrite", noHeaderRewrite)}),
      [=] { return CreateWavWriter(extensible, multiMonoMember, noHeaderRewrite); });
}
UpStreamPtr TNodeFactory::W64Writer(bool toStdout) {
  return Make(NodeRecord("TW64Writer", {Arg("stdout", toStdout)}), StandIn("W64 writer"));
}
UpStreamPtr TNodeFactory::Rf64Writer() {
  return Make(NodeRecord("TRf64Writer"), StandIn("RF64 writer"));
}
UpStreamPtr TNodeFactory::AgmWriter(const std::string& layoutText, bool lfe) {
  return Make(NodeRecord("TAgmWriter", {Arg("layout", layoutText), Arg("lfe", lfe)}),
              StandIn("AGM writer"));
}

// ---- PCM processing ----

UpStreamPtr TNodeFactory::ChannelModder(const std::vector<uint32_t>& map, uint32_t outputMask) {
  return Make(NodeRecord("TChannelModder", {ListArg("map", map), Arg("mask", outputMask)}),
              [&] { return CreateChannelModder(map, outputMask); });
}
UpStreamPtr TNodeFactory::ChannelModder(const std::string& remap) {
  return Make(NodeRecord("TChannelModder", {Arg("remap", remap)}),
              [&] { return CreateChannelModder(remap); });
}
UpStreamPtr TNodeFactory::ChannelModderAuto() {
  return Make(NodeRecord("TChannelModder", {"auto"}), [] { return CreateChannelModder(); });
}
UpStreamPtr TNodeFactory::ChannelJoiner() {
  return Make(NodeRecord("TChannelJoiner"), StandIn("channel joiner"));
}
UpStreamPtr TNodeFactory::ChannelMixer(uint32_t outputMask) {
  return Make(NodeRecord("TChannelMixer", {Arg("mask", outputMask)}), StandIn("channel mixer"));
}
UpStreamPtr TNodeFactory::PhaseShifter90() {
  return Make(NodeRecord("TPhaseShifter90"), StandIn("phase shifter"));
}
UpStreamPtr TNodeFactory::RawGapRealizer(const std::string& gapList, bool alwaysSilence,
                                         bool neverSilence) {
  return Make(
      NodeRecord("TRawGapRealizer", {Arg("gaps", uint64_t(AudioGapCount(gapList))),
                                     Arg("silence", alwaysSilence), Arg("loop", neverSilence)}),
      StandIn("PCM gap realizer", gapList.empty()));
}
UpStreamPtr TNodeFactory::RawGapEditor(bool alwaysSilence, bool neverSilence, int64_t position,
                                       int64_t drift) {
  return Make(NodeRecord("TRawGapRealizer",
                         {"editor", Arg("silence", alwaysSilence), Arg("loop", neverSilence),
                          Arg("position", position), Arg("drift", drift)}),
              StandIn("PCM gap realizer", drift == 0));
}
UpStreamPtr TNodeFactory::RawDelayer() {
  // Stands in as a pass-through: a delay it does not absorb reaches the destination file,
  // which names it in the file name.
  return Make(NodeRecord("TRawDelayer"), StandIn("PCM delayer", true));
}
UpStreamPtr TNodeFactory::TimestampFixer(std::string* gapList) {
  return Make(NodeRecord("TTimestampFixer", {Arg("gaps", gapList != nullptr)}),
              StandIn("timestamp fixer"));
}
UpStreamPtr TNodeFactory::ResamplerFps(uint32_t sourceFps, uint32_t targetFps, bool fast,
                                       bool r8brain, bool steep) {
  return Make(
      NodeRecord("TResampler", {Arg("from", sourceFps), Arg("to", targetFps), Arg("fast", fast),
                                Arg("r8brain", r8brain), Arg("steep", steep)}),
      StandIn("resampler"));
}
UpStreamPtr TNodeFactory::ResamplerRate(uint32_t sampleRate, bool fast, bool steep, bool r8brain) {
  return Make(NodeRecord("TResampler", {Arg("rate", sampleRate), Arg("fast", fast),
                                        Arg("steep", steep), Arg("r8brain", r8brain)}),
              StandIn("resampler"));
}
UpStreamPtr TNodeFactory::BitdepthReducer(uint32_t bits, bool dither, bool silent) {
  return Make(NodeRecord("TBitdepthReducer",
                         {Arg("bits", bits), Arg("dither", dither), Arg("silent", silent)}),
              [=] { return CreateBitdepthReducer(bits, dither, silent); });
}
UpStreamPtr TNodeFactory::StripTo16bit(bool checkMode) {
  return Make(NodeRecord("TStripTo16bit", {Arg("check", checkMode)}),
              [=] { return CreateStripTo16bit(checkMode); });
}
UpStreamPtr TNodeFactory::ChannelAmplifier(double dB, double factor) {
  return Make(NodeRecord("TChannelAmplifier", {Arg("dB", dB), Arg("factor", factor)}),
              [=] { return CreateChannelAmplifier(dB, factor); });
}
UpStreamPtr TNodeFactory::FloatEnforcer(uint32_t bits) {
  return Make(NodeRecord("TFloatEnforcer", {Arg("bits", bits)}),
              [=] { return CreateFloatEnforcer(bits); });
}
UpStreamPtr TNodeFactory::RawEqualizer(const std::vector<uint32_t>& gains, bool dither) {
  return Make(NodeRecord("TRawEqualizer", {ListArg("gains", gains), Arg("dither", dither)}),
              [&] { return CreateRawEqualizer(gains, dither); });
}
UpStreamPtr TNodeFactory::SpikeRemover() {
  return Make(NodeRecord("TSpikeRemover"), [] { return CreateSpikeRemover(); });
}
UpStreamPtr TNodeFactory::PeakSampleFinder(double* peak) {
  return Make(NodeRecord("TPeakSampleFinder", {Arg("peak", peak != nullptr)}),
              [=] { return CreatePeakSampleFinder(peak); });
}
UpStreamPtr TNodeFactory::BitdepthAnalyzer(bool outputSide) {
  return Make(NodeRecord("TBitdepthAnalyzer", {Arg("output", outputSide)}),
              [=] { return CreateBitdepthAnalyzer(!outputSide); });
}
UpStreamPtr TNodeFactory::HdcdDecoder(bool decode, bool verbose) {
  // Detection mode only analyses; decoding changes the samples.
  return Make(NodeRecord("THdcdDecoder", {Arg("decode", decode), Arg("verbose", verbose)}),
              StandIn("hdcd decoder", !decode));
}
UpStreamPtr TNodeFactory::SampleSorter() {
  return Make(NodeRecord("TSampleSorter"), [] { return CreateSampleSorter(); });
}

// ---- compressed audio ----

UpStreamPtr TNodeFactory::Ac3Reader(std::string* gapList, bool coreOnly, bool noSearch) {
  return Make(NodeRecord("TAc3Reader", {Arg("gaps", gapList != nullptr), Arg("coreOnly", coreOnly),
                                        Arg("noSearch", noSearch)}),
              [=] { return CreateAc3Reader(gapList, coreOnly, noSearch); });
}
UpStreamPtr TNodeFactory::Ac3DialnormRemover() {
  return Make(NodeRecord("TAc3DialnormRemover"), [] { return CreateAc3DialnormRemover(); });
}
UpStreamPtr TNodeFactory::Eac3CoreExtractor() {
  return Make(NodeRecord("TEac3CoreExtractor"), [] { return CreateEac3CoreExtractor(); });
}
UpStreamPtr TNodeFactory::DtsReader(std::string* gapList, bool coreOnly, bool headerListing,
                                    bool strictStart) {
  return Make(NodeRecord("TDtsReader",
                         {Arg("gaps", gapList != nullptr), Arg("coreOnly", coreOnly),
                          Arg("headerListing", headerListing), Arg("strictStart", strictStart)}),
              [=] { return CreateDtsReader(gapList, coreOnly, headerListing, strictStart); });
}
UpStreamPtr TNodeFactory::DtsNoCoreReader(std::string* gapList, bool headerListing,
                                          bool strictStart) {
  return Make(NodeRecord("TDtsNoCoreReader",
                         {Arg("gaps", gapList != nullptr), Arg("headerListing", headerListing),
                          Arg("strictStart", strictStart)}),
              [=] { return CreateDtsNoCoreReader(gapList, headerListing, strictStart); });
}
UpStreamPtr TNodeFactory::DtsDialnormRemover() {
  return Make(NodeRecord("TDtsDialnormRemover"), StandIn("DTS dialnorm remover"));
}
UpStreamPtr TNodeFactory::DtsRepairer(bool removeXch) {
  return Make(NodeRecord("TDtsRepairer", {Arg("removeXch", removeXch)}), StandIn("DTS repairer"));
}
UpStreamPtr TNodeFactory::DtsBitdepthPatcher() {
  return Make(NodeRecord("TDtsBitdepthPatcher"), StandIn("DTS bitdepth patcher"));
}
UpStreamPtr TNodeFactory::DtsCoreExtractor() {
  return Make(NodeRecord("TDtsCoreExtractor"), StandIn("DTS core extractor"));
}
UpStreamPtr TNodeFactory::DtsChannelMapModder() {
  return Make(NodeRecord("TDtsChannelMapModder"), StandIn("DTS channel map modder"));
}
UpStreamPtr TNodeFactory::ThdReader(std::string* gapList, bool thdAc3, bool deferredReport,
                                    bool strict, bool gapListUsable, bool measureOnAc3) {
  return Make(NodeRecord("TThdReader",
                         {Arg("gaps", gapList != nullptr), Arg("thdAc3", thdAc3),
                          Arg("deferred", deferredReport), Arg("strict", strict),
                          Arg("gapListUsable", gapListUsable), Arg("measureOnAc3", measureOnAc3)}),
              StandIn("TrueHD reader"));
}
UpStreamPtr TNodeFactory::ThdAc3Remover() {
  return Make(NodeRecord("TThdAc3Remover"), StandIn("TrueHD AC3 remover"));
}
UpStreamPtr TNodeFactory::ThdAc3Extractor() {
  return Make(NodeRecord("TThdAc3Extractor"), StandIn("TrueHD AC3 extractor"));
}
UpStreamPtr TNodeFactory::ThdDialnormRemover() {
  return Make(NodeRecord("TThdDialnormRemover"), StandIn("TrueHD dialnorm remover"));
}
UpStreamPtr TNodeFactory::ThdAc3Joiner() {
  return Make(NodeRecord("TThdAc3Joiner"), StandIn("TrueHD/AC3 joiner"));
}
UpStreamPtr TNodeFactory::AacReader(std::string* gapList, bool strict) {
  return Make(NodeRecord("TAacReader", {Arg("gaps", gapList != nullptr), Arg("strict", strict)}),
              [=] { return CreateAacReader(gapList, strict); });
}
UpStreamPtr TNodeFactory::AacHeaderStripper() {
  return Make(NodeRecord("TAacHeaderStripper"), [] { return CreateAacHeaderStripper(); });
}
UpStreamPtr TNodeFactory::MPxReader(std::string* gapList, bool strict) {
  return Make(NodeRecord("TMPxReader", {Arg("gaps", gapList != nullptr), Arg("strict", strict)}),
              [=] { return CreateMPxReader(gapList, strict); });
}
UpStreamPtr TNodeFactory::GapRealizer(TCodecFamily family, const std::string& gapList,
                                      bool alwaysSilence, bool neverSilence) {
  return Make(NodeRecord(std::string("T") + FamilyName(family) + "GapRealizer",
                         {Arg("gaps", uint64_t(AudioGapCount(gapList))),
                          Arg("silence", alwaysSilence), Arg("loop", neverSilence)}),
              StandIn(FamilyRole(family) + " gap realizer", gapList.empty()));
}
UpStreamPtr TNodeFactory::GapEditor(TCodecFamily family, bool alwaysSilence, bool neverSilence,
                                    int64_t position, int64_t drift) {
  return Make(NodeRecord(std::string("T") + FamilyName(family) + "GapRealizer",
                         {"editor", Arg("silence", alwaysSilence), Arg("loop", neverSilence),
                          Arg("position", position), Arg("drift", drift)}),
              StandIn(FamilyRole(family) + " gap realizer", drift == 0));
}
UpStreamPtr TNodeFactory::Delayer(TCodecFamily family) {
  // Stands in as a pass-through: a delay it does not absorb reaches the destination file,
  // which names it in the file name.
  return Make(NodeRecord(std::string("T") + FamilyName(family) + "Delayer"),
              StandIn(FamilyRole(family) + " delayer", true));
}

// ---- decoders and encoders ----

UpStreamPtr TNodeFactory::LibavDecoder(const std::string& decoderName, bool continueAfterError,
                                       bool floatOutput, bool bits32, bool bits24,
                                       const std::string& extradata) {
  return Make(NodeRecord("TLibavDecoder",
                         {Arg("name", decoderName), Arg("continue", continueAfterError),
                          Arg("float", floatOutput), Arg("bits32", bits32), Arg("bits24", bits24)}),
              [&] {
                // The decoder and the PCM processing behind it work on two threads.
                UpStreamPtr decoder = CreateLibavDecoder(decoderName, continueAfterError,
                                                         floatOutput, bits32, bits24, extradata);
                if (decoder) decoder->SetUpstream(CreateThreadBoundary());
                return decoder;
              });
}
UpStreamPtr TNodeFactory::DcaDecDecoder(bool bits24, bool floatOutput, double* peak) {
  return Make(NodeRecord("TDcaDecDecoder", {Arg("bits24", bits24), Arg("float", floatOutput),
                                            Arg("peak", peak != nullptr)}),
              StandIn("libDcaDec decoder"));
}
UpStreamPtr TNodeFactory::DShowDecoder(bool nero, bool sonic, const std::string& formatText,
                                       bool waitForFullBlocks) {
  return Make(NodeRecord("TDShowDecoder", {Arg("nero", nero), Arg("sonic", sonic),
                                           Arg("format", uint64_t(formatText.size())),
                                           Arg("fullBlocks", waitForFullBlocks)}),
              StandIn("DirectShow decoder"));
}
UpStreamPtr TNodeFactory::ArcSoftDtsDecoder(uint32_t requestedChannels) {
  return Make(NodeRecord("TArcSoftDtsDecoder", {Arg("channels", requestedChannels)}),
              StandIn("ArcSoft DTS decoder"));
}
UpStreamPtr TNodeFactory::FlacDecoder() {
  return Make(NodeRecord("TFlacDecoder"), StandIn("FLAC decoder"));
}
UpStreamPtr TNodeFactory::FlacEncoder(uint32_t compressionLevel, bool smallBlocks,
                                      const UpStreamPtr& flacDecoder) {
  return Make(
      NodeRecord("TFlacEncoder", {Arg("level", compressionLevel), Arg("smallBlocks", smallBlocks),
                                  Arg("decoder", flacDecoder != nullptr)}),
      StandIn("FLAC encoder"));
}
UpStreamPtr TNodeFactory::Ac3Encoder(uint32_t bitrateKbps) {
  return Make(NodeRecord("TAc3Encoder", {Arg("bitrate", bitrateKbps)}), StandIn("AC3 encoder"));
}
UpStreamPtr TNodeFactory::NeroAacEncoder(const std::string& outputFile, uint32_t quality,
                                         uint32_t bitrate) {
  return Make(NodeRecord("TNeroAacEncoder", {Arg("file", outputFile), Arg("quality", quality),
                                             Arg("bitrate", bitrate)}),
              StandIn("AAC encoder"));
}

// ---- containers ----

UpStreamPtr TNodeFactory::TsDemuxer(uint32_t pid, uint32_t trackNumber, bool trp) {
  return Make(
      NodeRecord("TTsDemuxer", {Arg("pid", pid), Arg("track", trackNumber), Arg("trp", trp)}),
      StandIn("TS demuxer"));
}
UpStreamPtr TNodeFactory::PesParser(bool rawTimeStamps, bool zeroStart, bool subtitle) {
  return Make(NodeRecord("TPesParser", {Arg("raw", rawTimeStamps), Arg("zeroStart", zeroStart),
                                        Arg("subtitle", subtitle)}),
              StandIn("PES parser"));
}
UpStreamPtr TNodeFactory::TsPcmReader() {
  return Make(NodeRecord("TTsPcmReader"), StandIn("TS PCM reader"));
}
UpStreamPtr TNodeFactory::EvoDemuxer(uint32_t id) {
  return Make(NodeRecord("TEvoDemuxer", {Arg("id", id)}), StandIn("EVO demuxer"));
}
UpStreamPtr TNodeFactory::EvoPcmReader() {
  return Make(NodeRecord("TEvoPcmReader"), StandIn("EVO PCM reader"));
}
UpStreamPtr TNodeFactory::EvoRepairer() {
  return Make(NodeRecord("TEvoRepairer"), StandIn("EVO repairer"));
}
UpStreamPtr TNodeFactory::EvoSubReader() {
  return Make(NodeRecord("TEvoSubReader"), StandIn("EVO subtitle reader"));
}
UpStreamPtr TNodeFactory::MkvDemuxer(uint32_t trackNumber) {
  return Make(NodeRecord("TMkvDemuxer", {Arg("track", trackNumber)}), StandIn("MKV demuxer"));
}
UpStreamPtr TNodeFactory::MkvRepairer() {
  return Make(NodeRecord("TMkvRepairer"), StandIn("MKV repairer"));
}

// ---- video ----

UpStreamPtr TNodeFactory::H264Reader(const TAction& action, uint32_t frameRate,
                                     const std::string& gaps) {
  return Make(NodeRecord("Th264Reader",
                         {Arg("rate", frameRate), Arg("gaps", !gaps.empty()),
                          Arg("strip", action.StripPulldown), Arg("keep", action.KeepPulldown)}),
              StandIn("h264 reader"));
}
UpStreamPtr TNodeFactory::H265Reader(const TAction&) {
  return Make(NodeRecord("Th265Reader"), StandIn("h265 reader"));
}
UpStreamPtr TNodeFactory::Mpeg2Reader(const TAction& action, uint32_t frameRate,
                                      const std::string& gaps, bool userDataMode) {
  return Make(NodeRecord("TMpeg2Reader",
                         {Arg("rate", frameRate), Arg("gaps", !gaps.empty()),
                          Arg("userData", userDataMode), Arg("strip", action.StripPulldown)}),
              StandIn("MPEG2 reader"));
}
UpStreamPtr TNodeFactory::Vc1Reader(const TAction&, uint32_t frameRate, const std::string& gaps) {
  return Make(NodeRecord("TVc1Reader", {Arg("rate", frameRate), Arg("gaps", !gaps.empty())}),
              StandIn("VC-1 reader"));
}
UpStreamPtr TNodeFactory::Vc1BitstreamEditor(const TAction&) {
  return Make(NodeRecord("TVc1BitstreamEditor"), StandIn("VC-1 bitstream editor"));
}
UpStreamPtr TNodeFactory::DiracReader(const TAction&) {
  return Make(NodeRecord("TDiracReader"), StandIn("Dirac reader"));
}
UpStreamPtr TNodeFactory::H264Muxer() {
  return Make(NodeRecord("Th264Muxer"), StandIn("h264 muxer"));
}
UpStreamPtr TNodeFactory::Mpeg2Muxer() {
  return Make(NodeRecord("TMpeg2Muxer"), StandIn("MPEG2 muxer"));
}
UpStreamPtr TNodeFactory::Vc1Muxer() {
  return Make(NodeRecord("TVc1Muxer"), StandIn("VC-1 muxer"));
}
UpStreamPtr TNodeFactory::MatroskaMuxer(const std::string& destination) {
  return Make(NodeRecord("TMatroskaMuxer", {Arg("name", destination)}), StandIn("Matroska muxer"));
}

// ---- subtitles ----

UpStreamPtr TNodeFactory::SupReader(uint32_t* normalCaptions, uint32_t* forcedCaptions) {
  return Make(NodeRecord("TSupReader",
                         {Arg("counts", normalCaptions != nullptr && forcedCaptions != nullptr)}),
              StandIn("SUP reader"));
}
UpStreamPtr TNodeFactory::M2tsPgsReader() {
  return Make(NodeRecord("TM2tsPgsReader"), StandIn("PGS reader"));
}
UpStreamPtr TNodeFactory::Mpeg2UserDataExtractor() {
  return Make(NodeRecord("TMpeg2UserDataExtractor"), StandIn("MPEG2 user data extractor"));
}
UpStreamPtr TNodeFactory::ClosedCaptionDecoder() {
  return Make(NodeRecord("TClosedCaptionDecoder"), StandIn("closed caption decoder"));
}

}  // namespace kavrix
