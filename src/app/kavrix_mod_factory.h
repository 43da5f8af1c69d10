#pragma once
// The node factory: the planning creates every node through it, one creation function per
// node class with the arguments that class takes. The production factory builds the real
// nodes; a node class that is not built yet gets a stand-in that fails at its first
// announcement with "The <role> is not available yet." (only stand-ins that are a true
// pass-through in the case at hand, or that merely analyse, hand the data on).
//
// Every creation goes through Make() with a record of the class and its key arguments
// ("TAc3Reader(gaps=1, coreOnly=0, noSearch=1)"), so a test factory can record the chain a
// planning step builds instead of building it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

struct TAction;

// The compressed-audio families that have a delayer, a gap realizer and an editor.
enum class TCodecFamily { kAc3, kDts, kAac, kMpx };

class TNodeFactory {
 public:
  virtual ~TNodeFactory() = default;

  // ---- chain pieces, source and destination ----
  UpStreamPtr PassThrough();
  UpStreamPtr FileSimulator();
  UpStreamPtr SourceFiles(const std::vector<std::string>& files, uint64_t skipStart,
                          uint64_t cutEnd, uint64_t readLimit, bool playlist, uint32_t frameRateNum,
                          uint32_t frameRateDen);
  UpStreamPtr FormatDetector(bool logPids, bool logMkv, bool logDts, bool stopAtFirstResult,
                             bool elementary);
  // resultBits receives the last valid-bitdepth notice at the end (may be null).
  UpStreamPtr DestFile(const std::string& fileName, uint32_t* resultBits = nullptr,
                       const std::string& fixedContent = {}, const std::string& header = {},
                       const std::string& trailer = {});

  // ---- PCM files ----
  UpStreamPtr WavReader();
  UpStreamPtr WavAc3Reader();
  UpStreamPtr WavDtsReader();
  UpStreamPtr W64Reader();
  UpStreamPtr Rf64Reader();
  UpStreamPtr RawReader(uint32_t channels, uint32_t bits, uint32_t sampleRate, bool bigEndian,
                        uint32_t skipBytes);
  UpStreamPtr EndianSwapper();
  UpStreamPtr WavWriter(bool extensible, bool multiMonoMember, bool noHeaderRewrite);
  UpStreamPtr W64Writer(bool toStdout);
  UpStreamPtr Rf64Writer();
  UpStreamPtr AgmWriter(const std::string& layoutText, bool lfe);

  // ---- PCM processing ----
  // Output channel j takes input channel map[j]; outputMask 0 keeps the input's mask.
  UpStreamPtr ChannelModder(const std::vector<uint32_t>& map, uint32_t outputMask);
  // A remap string ("0,2,1,3,4,5") or "bluray".
  UpStreamPtr ChannelModder(const std::string& remap);
  // Automatic mode: brings the channels into mask order.
  UpStreamPtr ChannelModderAuto();
  UpStreamPtr ChannelJoiner();
  UpStreamPtr ChannelMixer(uint32_t outputMask);
  UpStreamPtr PhaseShifter90();
  UpStreamPtr RawGapRealizer(const std::string& gapList, bool alwaysSilence, bool neverSilence);
  UpStreamPtr RawGapEditor(bool alwaysSilence, bool neverSilence, int64_t position, int64_t drift);
  UpStreamPtr RawDelayer();
  UpStreamPtr TimestampFixer(std::string* gapList);
  // Frame-rate form: the speed changes from sourceFps to targetFps (fps × 1000).
  UpStreamPtr ResamplerFps(uint32_t sourceFps, uint32_t targetFps, bool fast, bool r8brain,
                           bool steep);
  // Rate form: to `sampleRate` Hz.
  UpStreamPtr ResamplerRate(uint32_t sampleRate, bool fast, bool steep, bool r8brain);
  // bits 0 = 24; silent: the reducer's own messages are not shown.
  UpStreamPtr BitdepthReducer(uint32_t bits, bool dither, bool silent = false);
  UpStreamPtr StripTo16bit(bool checkMode);
  UpStreamPtr ChannelAmplifier(double dB, double factor);
  UpStreamPtr FloatEnforcer(uint32_t bits);  // 32 or 64
  // Gains in 1/256 units, one per channel.
  UpStreamPtr RawEqualizer(const std::vector<uint32_t>& gains, bool dither);
  UpStreamPtr SpikeRemover();
  UpStreamPtr PeakSampleFinder(double* peak);
  UpStreamPtr BitdepthAnalyzer(bool outputSide);
  UpStreamPtr HdcdDecoder(bool decode, bool verbose);
  UpStreamPtr SampleSorter();

  // ---- compressed audio ----
  UpStreamPtr Ac3Reader(std::string* gapList, bool coreOnly, bool noSearch);
  UpStreamPtr Ac3DialnormRemover();
  UpStreamPtr Eac3CoreExtractor();
  UpStreamPtr DtsReader(std::string* gapList, bool coreOnly, bool headerListing, bool strictStart);
  UpStreamPtr DtsNoCoreReader(std::string* gapList, bool headerListing, bool strictStart);
  UpStreamPtr DtsDialnormRemover();
  // removeXch false: repair the XCh size field; true: remove the XCh extension.
  UpStreamPtr DtsRepairer(bool removeXch);
  UpStreamPtr DtsBitdepthPatcher();
  UpStreamPtr DtsCoreExtractor();
  UpStreamPtr DtsChannelMapModder();
  UpStreamPtr ThdReader(std::string* gapList, bool thdAc3, bool deferredReport, bool strict,
                        bool gapListUsable, bool measureOnAc3);
  UpStreamPtr ThdAc3Remover();
  UpStreamPtr ThdAc3Extractor();
  UpStreamPtr ThdDialnormRemover();
  UpStreamPtr ThdAc3Joiner();
  UpStreamPtr AacReader(std::string* gapList, bool strict);
  UpStreamPtr AacHeaderStripper();
  UpStreamPtr MPxReader(std::string* gapList, bool strict);
  UpStreamPtr GapRealizer(TCodecFamily family, const std::string& gapList, bool alwaysSilence,
                          bool neverSilence);
  UpStreamPtr GapEditor(TCodecFamily family, bool alwaysSilence, bool neverSilence,
                        int64_t position, int64_t drift);
  UpStreamPtr Delayer(TCodecFamily family);

  // ---- decoders and encoders ----
  // extradata: the codec configuration bytes (AAC without headers); empty = none.
  UpStreamPtr LibavDecoder(const std::string& decoderName, bool continueAfterError,
                           bool floatOutput, bool bits32, bool bits24,
                           const std::string& extradata = {});
  UpStreamPtr DcaDecDecoder(bool bits24, bool floatOutput, double* peak);
  UpStreamPtr DShowDecoder(bool nero, bool sonic, const std::string& formatText,
                           bool waitForFullBlocks);
  UpStreamPtr ArcSoftDtsDecoder(uint32_t requestedChannels);
  UpStreamPtr FlacDecoder();
  UpStreamPtr FlacEncoder(uint32_t compressionLevel, bool smallBlocks,
                          const UpStreamPtr& flacDecoder);
  UpStreamPtr Ac3Encoder(uint32_t bitrateKbps);
  UpStreamPtr NeroAacEncoder(const std::string& outputFile, uint32_t quality, uint32_t bitrate);

  // ---- containers ----
  UpStreamPtr TsDemuxer(uint32_t pid, uint32_t trackNumber, bool trp);
  UpStreamPtr PesParser(bool rawTimeStamps, bool zeroStart, bool subtitle);
  UpStreamPtr TsPcmReader();
  UpStreamPtr EvoDemuxer(uint32_t id);
  UpStreamPtr EvoPcmReader();
  UpStreamPtr EvoRepairer();
  UpStreamPtr EvoSubReader();
  UpStreamPtr MkvDemuxer(uint32_t trackNumber);
  UpStreamPtr MkvRepairer();

  // ---- video ----
  // The readers take the destination's video options and the frame rate (fps × 1000,
  // snapped; 0 = unknown); gaps is the video gap description for Matroska muxing.
  UpStreamPtr H264Reader(const TAction& action, uint32_t frameRate, const std::string& gaps);
  UpStreamPtr H265Reader(const TAction& action);
  UpStreamPtr Mpeg2Reader(const TAction& action, uint32_t frameRate, const std::string& gaps,
                          bool userDataMode);
  UpStreamPtr Vc1Reader(const TAction& action, uint32_t frameRate, const std::string& gaps);
  UpStreamPtr Vc1BitstreamEditor(const TAction& action);
  UpStreamPtr DiracReader(const TAction& action);
  UpStreamPtr H264Muxer();
  UpStreamPtr Mpeg2Muxer();
  UpStreamPtr Vc1Muxer();
  UpStreamPtr MatroskaMuxer(const std::string& destination);

  // ---- subtitles ----
  UpStreamPtr SupReader(uint32_t* normalCaptions, uint32_t* forcedCaptions);
  UpStreamPtr M2tsPgsReader();
  UpStreamPtr Mpeg2UserDataExtractor();
  UpStreamPtr ClosedCaptionDecoder();

 protected:
  // Builds the node described by `record`: the production factory calls create().
  virtual UpStreamPtr Make(const std::string& record, const std::function<UpStreamPtr()>& create);
};

// The factory the program uses.
TNodeFactory& ProductionNodeFactory();

// A node that a later part of the program builds. passData false: fails at its first
// announcement or data with "The <role> is not available yet."; true: hands everything on
// unchanged (for delayers, empty gap realizers and analysers).
UpStreamPtr CreateStandIn(const std::string& role, bool passData);

// "TAc3Reader(gaps=1, coreOnly=0)": the record of a creation, for tests and logs.
std::string NodeRecord(const std::string& className, const std::vector<std::string>& args = {});

}  // namespace kavrix
