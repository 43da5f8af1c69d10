#pragma once
// Format details: what a node knows about the stream it produces. Every node carries one
// audio, one video and one subtitle details record and the container information (with the
// lists of tracks a container parser found). A reader fills the record of its kind; filling
// also composes the one-line description that the track listing shows, for example
// "AC3, 5.1 channels, 1:52:33, 448kbps, 48kHz, dialnorm: -27dB".
//
// The records are read through IAudioFormatDetails, IVideoFormatDetails,
// ISubtitleFormatDetails and IContainerInfo (found on a node with Query<>). Clone() copies one
// record into a new pass-through node, so details survive the chain that produced them.
//
// Uncompressed audio between nodes: one continuous byte stream per connection, cut anywhere
// (a delivery may end inside a sample); interleaved sample frames in the order of the bits set
// in the channel mask, lowest bit first. "pcm" is signed little-endian integers of 8, 16, 24
// or 32 bits in 1, 2, 3 or 4 bytes (8-bit samples are signed too; readers and writers convert
// at the file boundary); "float" is IEEE little-endian 32 or 64 bits with full scale 1.0.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavrix {

// ---- format identifiers ----

namespace format_id {
// Audio.
inline constexpr std::string_view kAc3 = "ac3";
inline constexpr std::string_view kEac3 = "eac3";
inline constexpr std::string_view kDts = "dts";
inline constexpr std::string_view kDtsMa = "dtsma";     // DTS-HD Master Audio
inline constexpr std::string_view kDtsHr = "dtshr";     // DTS-HD High Resolution
inline constexpr std::string_view kDtsNc = "dtsnc";     // DTS-HD without core
inline constexpr std::string_view kDtsLbr = "dtslbr";   // DTS Express
inline constexpr std::string_view kThd = "thd";         // TrueHD
inline constexpr std::string_view kThdAc3 = "thd/ac3";  // TrueHD with embedded AC3
inline constexpr std::string_view kMlp = "mlp";
inline constexpr std::string_view kPcm = "pcm";      // integer samples
inline constexpr std::string_view kFloat = "float";  // floating-point samples
inline constexpr std::string_view kFlac = "flac";
inline constexpr std::string_view kAac = "aac";
inline constexpr std::string_view kMp1 = "mp1";
inline constexpr std::string_view kMp2 = "mp2";
inline constexpr std::string_view kMp3 = "mp3";
inline constexpr std::string_view kWav = "wav";
inline constexpr std::string_view kW64 = "w64";
inline constexpr std::string_view kRf64 = "rf64";
inline constexpr std::string_view kDtsWav = "dtswav";  // DTS in WAV
inline constexpr std::string_view kAc3Wav = "ac3wav";  // AC3 in WAV
// Video.
inline constexpr std::string_view kVc1 = "vc1";
inline constexpr std::string_view kH264 = "h264";
inline constexpr std::string_view kH265 = "h265";
inline constexpr std::string_view kMpeg2 = "mpeg2";
inline constexpr std::string_view kDirac = "dirac";
// Subtitles.
inline constexpr std::string_view kSup = "sup";
inline constexpr std::string_view kDvbSub = "dvbsub";
inline constexpr std::string_view kSrt = "srt";
// Containers.
inline constexpr std::string_view kEvo = "evo";
inline constexpr std::string_view kM2ts = "m2ts";
inline constexpr std::string_view kTs = "ts";
inline constexpr std::string_view kTrp = "trp";
inline constexpr std::string_view kMkv = "mkv";
// Data of undetermined kind; as a display name: "not determined".
inline constexpr std::string_view kUnknown = "?";
}  // namespace format_id

// ---- channel words, rates, play times, file names ----

// The default speaker mask for a channel count (0xFFFFFFFF for counts without one).
uint32_t DefaultChannelMask(uint32_t channels);
// "1.0", "2.0", "5.1", "6.1", "7.1", otherwise the number.
std::string ChannelCountWord(uint32_t channels);
// The layout word of a speaker mask: "2.0", "3.1", "5.1", "7.1", "2/2.1", "3/1", or the count
// word of its bit count when the mask has speakers outside the front, surround and LFE sets.
std::string ChannelLayoutWord(uint32_t mask);
// The layout word when the mask has exactly `channels` bits, else the count word.
std::string ChannelText(uint32_t channels, uint32_t mask);
// "48kHz", "44.1kHz", "22kHz", "88.2kHz".
std::string KiloHertzWord(uint32_t rate);
// Hours:minutes:seconds rounded to the nearest second, hours unpadded ("1:52:33", "0:00:05").
std::string PlayTimeText(uint64_t milliseconds);
// The display name of an audio or video format identifier ("AC3", "h264/AVC"), or
// "Unknown audio track" / "Unknown video track".
std::string AudioFormatName(std::string_view formatId);
std::string VideoFormatName(std::string_view formatId);

// Snaps a frame rate (frames per 1000 s) to the first standard rate it is within 1/3000 of.
uint32_t SnapFrameRate(uint64_t rate);
// The snapped frame rate of a frame duration in 100 ns units (0 for a duration <= 0).
uint32_t FrameRateOfDuration(int64_t frameDuration);

// The speaker name of channel n (counting the channels present) of a mask ("L", "SR", ...),
// or the number n for speakers above the top-back-right bit and for n beyond the mask.
std::string MonoChannelName(uint32_t mask, uint32_t n);
// The file of channel n of a multiple-mono destination:
// "<destination without extension>.<channel name>.wav".
std::string MultiMonoFileName(const std::string& destination, uint32_t mask, uint32_t n);

// ---- audio gap list ----

// One record of an audio gap list: where audio runs ahead of or behind its time stamps.
// Both values count 100 ns; the drift is cumulative (positive = audio must be inserted).
struct TAudioGapRecord {
  int64_t position = 0;
  int64_t drift = 0;
  bool operator==(const TAudioGapRecord&) const = default;
};
// The list travels as a byte string of 16-byte little-endian records in ascending order.
constexpr size_t kAudioGapRecordSize = 16;
void AppendAudioGap(std::string& list, const TAudioGapRecord& record);
std::string PackAudioGaps(const std::vector<TAudioGapRecord>& records);
// The whole records of a list (a trailing partial record is ignored).
std::vector<TAudioGapRecord> UnpackAudioGaps(std::string_view list);
size_t AudioGapCount(std::string_view list);

// ---- fill parameters ----

// What a reader knows about an audio stream. Zero / empty means "not known"; the fill fills
// the defaults (mask, valid bits, channel text) and composes the description.
struct TAudioFormatParams {
  bool verified = false;     // the reader parsed the stream itself (not container metadata)
  std::string formatId;      // format_id::k...
  std::string displayName;   // first word of the description; "?" = not determined
  std::string channelText;   // layout word; computed when empty
  std::string auxText1;      // reader-defined
  std::string auxText2;      // reader-defined
  std::string codecPrivate;  // codec configuration bytes
  std::string auxText3;      // reader-defined
  bool isFloat = false;      // floating-point samples
  uint32_t duration = 0;     // ms
  uint32_t channels = 0;
  uint32_t channelMask = 0;  // 0 = the default for the channel count
  uint32_t bits = 0;         // bits per sample (rounded up to whole bytes for storage)
  uint32_t validBits = 0;    // significant bits; 0 = all bits
  uint32_t sampleRate = 0;   // Hz
  uint32_t bitrate = 0;      // bit/s
  uint32_t dialnorm = 0;     // dB below full scale, 0..31; larger is invalid
  uint32_t auxValue = 0;     // reader-defined
  bool hdcd = false;         // the PCM carries HDCD coding
  bool auxFlag = false;      // reader-defined
  // The embedded core stream (AC3 of TrueHD/AC3, DTS core of DTS-HD, AC3 core of E-AC3).
  std::string coreDisplayName;
  std::string coreChannelText;   // computed when empty
  uint32_t coreChannels = 0;     // 0 = no core
  uint32_t coreChannelMask = 0;  // 0 = the default for the core's channel count
  uint32_t coreBits = 0;
  uint32_t coreSampleRate = 0;
  uint32_t coreBitrate = 0;
  uint32_t coreDialnorm = 0;
};

struct TVideoFormatParams {
  bool verified = false;
  std::string formatId;
  std::string displayName;  // "?" = not determined
  std::string codecPrivate;
  std::string videoFlags;  // words describing the stream, e.g. containing "fullrange"
  bool interlaced = false;
  bool pulldown = false;  // the stream carries pulldown flags
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t aspectX = 0;
  uint32_t aspectY = 0;
  uint32_t frameRate = 0;         // frames per 1000 s; 0 = unknown
  uint32_t frameRateDivisor = 0;  // 1000 = none, 1001 for the NTSC rates
  uint32_t chromaFormat = 0;      // 100 monochrome, 420, 422, 444
  uint32_t lumaBits = 0;
  uint32_t chromaBits = 0;
};

struct TSubtitleFormatParams {
  bool verified = false;
  std::string formatId;
  std::string displayName;  // "?" = not determined
  std::string codecPrivate;
};

// ---- the interfaces ----

class IAudioFormatDetails {
 public:
  virtual ~IAudioFormatDetails() = default;
  virtual bool GetValid() const = 0;
  virtual bool GetVerified() const = 0;
  virtual std::string GetFormatId() const = 0;
  virtual std::string GetDisplayName() const = 0;
  virtual std::string GetAuxText1() const = 0;
  virtual std::string GetAuxText2() const = 0;
  virtual std::string GetCodecPrivate() const = 0;
  virtual std::string GetAuxText3() const = 0;
  virtual uint32_t GetDuration() const = 0;  // ms
  virtual bool GetAuxFlag() const = 0;
  virtual bool GetHdcd() const = 0;
  virtual uint32_t GetAuxValue() const = 0;
  virtual std::string GetCoreDisplayName() const = 0;
  virtual std::string GetCoreChannelText() const = 0;
  virtual uint32_t GetCoreBitrate() const = 0;
  virtual uint32_t GetCoreDialnorm() const = 0;
  virtual std::string GetDescription() const = 0;
  virtual std::string GetTrackName() const = 0;
  virtual std::string GetAuxText5() const = 0;
  virtual uint32_t GetSampleRate() const = 0;
  virtual std::string GetChannelText() const = 0;
  virtual uint32_t GetChannels() const = 0;
  virtual uint32_t GetChannelMask() const = 0;
  virtual bool GetIsFloat() const = 0;
  virtual uint32_t GetContainerBits() const = 0;
  virtual uint32_t GetValidBits() const = 0;
  virtual uint32_t GetBitrate() const = 0;
  virtual uint32_t GetDialnorm() const = 0;
  virtual std::string GetLanguage() const = 0;
  virtual uint32_t GetCoreSampleRate() const = 0;
  virtual uint32_t GetCoreChannels() const = 0;
  virtual uint32_t GetCoreChannelMask() const = 0;
  virtual uint32_t GetCoreBits() const = 0;
  virtual void SetTrackName(const std::string& value) = 0;
  virtual void SetCodecPrivate(const std::string& value) = 0;
  virtual void SetAuxText5(const std::string& value) = 0;
  virtual void SetSampleRate(uint32_t value) = 0;
  virtual void SetChannelText(const std::string& value) = 0;
  virtual void SetChannels(uint32_t value) = 0;
  virtual void SetChannelMask(uint32_t value) = 0;
  virtual void SetIsFloat(bool value) = 0;
  virtual void SetContainerBits(uint32_t value) = 0;
  // The details field, not the valid-bitdepth notice that travels along the chain.
  virtual void SetValidBits(uint32_t value) = 0;
  virtual void SetBitrate(uint32_t value) = 0;
  virtual void SetDialnorm(uint32_t value) = 0;
  virtual void SetLanguage(const std::string& value) = 0;  // "und" is ignored
  virtual void SetCoreSampleRate(uint32_t value) = 0;
  virtual void SetCoreChannels(uint32_t value) = 0;
  virtual void SetCoreChannelMask(uint32_t value) = 0;
  virtual void SetCoreBits(uint32_t value) = 0;
  // A new pass-through node carrying a copy of this record.
  virtual std::shared_ptr<IAudioFormatDetails> Clone() const = 0;
};

class IVideoFormatDetails {
 public:
  virtual ~IVideoFormatDetails() = default;
  virtual bool GetValid() const = 0;
  virtual bool GetVerified() const = 0;
  virtual std::string GetFormatId() const = 0;
  virtual std::string GetDisplayName() const = 0;
  virtual std::string GetTrackName() const = 0;
  virtual std::string GetCodecPrivate() const = 0;
  virtual std::string GetVideoFlags() const = 0;
  virtual bool GetInterlaced() const = 0;
  virtual bool GetPulldown() const = 0;
  virtual uint32_t GetWidth() const = 0;
  virtual uint32_t GetHeight() const = 0;
  virtual uint32_t GetAspectX() const = 0;
  virtual uint32_t GetAspectY() const = 0;
  virtual uint32_t GetFrameRate() const = 0;
  virtual uint32_t GetFrameRateDivisor() const = 0;
  virtual uint32_t GetChromaFormat() const = 0;
  virtual uint32_t GetLumaBits() const = 0;
  virtual uint32_t GetChromaBits() const = 0;
  virtual uint32_t GetVideoCount1() const = 0;  // frames
  virtual uint32_t GetVideoCount2() const = 0;
  virtual std::string GetGapList() const = 0;  // the video reader's gap records
  virtual std::string GetLanguage() const = 0;
  virtual uint32_t GetAuxValue() const = 0;
  virtual std::string GetDescription() const = 0;
  virtual void SetDisplayName(const std::string& value) = 0;
  virtual void SetTrackName(const std::string& value) = 0;
  virtual void SetCodecPrivate(const std::string& value) = 0;
  virtual void SetLanguage(const std::string& value) = 0;  // "und" is ignored
  virtual void SetAuxValue(uint32_t value) = 0;
  virtual void SetDescription(const std::string& value) = 0;
  virtual std::shared_ptr<IVideoFormatDetails> Clone() const = 0;
};

class ISubtitleFormatDetails {
 public:
  virtual ~ISubtitleFormatDetails() = default;
  virtual bool GetValid() const = 0;
  virtual bool GetVerified() const = 0;
  virtual std::string GetFormatId() const = 0;
  virtual std::string GetDisplayName() const = 0;
  virtual std::string GetTrackName() const = 0;
  virtual std::string GetCodecPrivate() const = 0;
  virtual std::string GetDescription() const = 0;
  virtual std::string GetLanguage() const = 0;
  virtual void SetTrackName(const std::string& value) = 0;
  virtual void SetCodecPrivate(const std::string& value) = 0;
  virtual void SetLanguage(const std::string& value) = 0;  // "und" is ignored
  virtual std::shared_ptr<ISubtitleFormatDetails> Clone() const = 0;
};

// One entry of a container's track list as the getters report it.
struct TTrackEntryBase {
  uint32_t id = 0;    // e.g. the PID
  int32_t delay = 0;  // ms relative to the track time offset; 0 when the track has none
  bool hasDelay = false;
};
struct TVideoTrackEntry : TTrackEntryBase {
  uint32_t frameRate = 0;  // frames per 1000 s, snapped; 0 when unknown
  std::shared_ptr<IVideoFormatDetails> node;
};
struct TAudioTrackEntry : TTrackEntryBase {
  std::shared_ptr<IAudioFormatDetails> node;
};
struct TSubtitleTrackEntry : TTrackEntryBase {
  std::shared_ptr<ISubtitleFormatDetails> node;
};

class IContainerInfo {
 public:
  virtual ~IContainerInfo() = default;
  virtual bool HasContainerInfo() = 0;
  virtual std::string GetContainerId() const = 0;
  virtual std::string GetContainerName() const = 0;
  virtual uint32_t GetDuration() const = 0;        // ms
  virtual uint32_t GetContainerValue() const = 0;  // the low 32 bits of the value
  virtual uint64_t GetContainerValue64() const = 0;
  virtual std::string GetContainerText1() const = 0;
  virtual std::string GetContainerText2() const = 0;
  virtual std::string GetContainerText3() const = 0;
  virtual uint64_t GetDamagePosition() const = 0;  // bytes; 0 = none
  // "M2TS, 1 video track, 3 audio tracks, 2 subtitle tracks, 1:52:33".
  virtual std::string GetContainerDescription() const = 0;
  virtual size_t GetVideoTrackCount() const = 0;
  virtual bool GetVideoTrack(size_t index, TVideoTrackEntry& entry) const = 0;
  virtual size_t GetAudioTrackCount() const = 0;
  virtual bool GetAudioTrack(size_t index, TAudioTrackEntry& entry) const = 0;
  virtual size_t GetSubtitleTrackCount() const = 0;
  virtual bool GetSubtitleTrack(size_t index, TSubtitleTrackEntry& entry) const = 0;
  virtual int32_t GetTrackTimeOffset() const = 0;
  // Stores the offset and subtracts it from every stored track delay.
  virtual void SetTrackTimeOffset(int32_t offset) = 0;
};

// ---- the records ----

// Each record kind is a base of its own, so that the operations the interfaces share by name
// (GetFormatId, GetLanguage, GetDuration, Clone, ...) stay separate.

class TAudioDetails : public IAudioFormatDetails {
 public:
  // Fills the record: default mask, valid bits and channel text, then the description.
  void SetAudioFormat(const TAudioFormatParams& params);

  bool GetValid() const override { return valid_; }
  bool GetVerified() const override { return verified_; }
  std::string GetFormatId() const override { return formatId_; }
  std::string GetDisplayName() const override { return displayName_; }
  std::string GetAuxText1() const override { return auxText1_; }
  std::string GetAuxText2() const override { return auxText2_; }
  std::string GetCodecPrivate() const override { return codecPrivate_; }
  std::string GetAuxText3() const override { return auxText3_; }
  uint32_t GetDuration() const override { return duration_; }
  bool GetAuxFlag() const override { return auxFlag_; }
  bool GetHdcd() const override { return hdcd_; }
  uint32_t GetAuxValue() const override { return auxValue_; }
  std::string GetCoreDisplayName() const override { return coreDisplayName_; }
  std::string GetCoreChannelText() const override { return coreChannelText_; }
  uint32_t GetCoreBitrate() const override { return coreBitrate_; }
  uint32_t GetCoreDialnorm() const override { return coreDialnorm_; }
  std::string GetDescription() const override { return description_; }
  std::string GetTrackName() const override { return trackName_; }
  std::string GetAuxText5() const override { return auxText5_; }
  uint32_t GetSampleRate() const override { return sampleRate_; }
  std::string GetChannelText() const override { return channelText_; }
  uint32_t GetChannels() const override { return channels_; }
  uint32_t GetChannelMask() const override { return channelMask_; }
  bool GetIsFloat() const override { return isFloat_; }
  uint32_t GetContainerBits() const override { return containerBits_; }
  uint32_t GetValidBits() const override { return validBits_; }
  uint32_t GetBitrate() const override { return bitrate_; }
  uint32_t GetDialnorm() const override { return dialnorm_; }
  std::string GetLanguage() const override { return language_; }
  uint32_t GetCoreSampleRate() const override { return coreSampleRate_; }
  uint32_t GetCoreChannels() const override { return coreChannels_; }
  uint32_t GetCoreChannelMask() const override { return coreChannelMask_; }
  uint32_t GetCoreBits() const override { return coreBits_; }
  void SetTrackName(const std::string& value) override { trackName_ = value; }
  void SetCodecPrivate(const std::string& value) override { codecPrivate_ = value; }
  void SetAuxText5(const std::string& value) override { auxText5_ = value; }
  void SetSampleRate(uint32_t value) override { sampleRate_ = value; }
  void SetChannelText(const std::string& value) override { channelText_ = value; }
  void SetChannels(uint32_t value) override { channels_ = value; }
  void SetChannelMask(uint32_t value) override { channelMask_ = value; }
  void SetIsFloat(bool value) override { isFloat_ = value; }
  void SetContainerBits(uint32_t value) override { containerBits_ = value; }
  void SetValidBits(uint32_t value) override { validBits_ = value; }
  void SetBitrate(uint32_t value) override { bitrate_ = value; }
  void SetDialnorm(uint32_t value) override { dialnorm_ = value; }
  void SetLanguage(const std::string& value) override;
  void SetCoreSampleRate(uint32_t value) override { coreSampleRate_ = value; }
  void SetCoreChannels(uint32_t value) override { coreChannels_ = value; }
  void SetCoreChannelMask(uint32_t value) override { coreChannelMask_ = value; }
  void SetCoreBits(uint32_t value) override { coreBits_ = value; }
  std::shared_ptr<IAudioFormatDetails> Clone() const override;

 protected:
  TAudioDetails() = default;
  TAudioDetails(const TAudioDetails&) = default;
  TAudioDetails& operator=(const TAudioDetails&) = default;

 private:
  bool valid_ = false;
  bool verified_ = false;
  std::string formatId_;
  std::string displayName_;
  uint32_t duration_ = 0;
  uint32_t channels_ = 0;
  std::string channelText_;
  std::string auxText1_;
  std::string auxText2_;
  std::string codecPrivate_;
  std::string auxText3_;
  std::string auxText5_;
  uint32_t channelMask_ = 0;
  bool isFloat_ = false;
  uint32_t containerBits_ = 0;
  uint32_t validBits_ = 0;
  uint32_t sampleRate_ = 0;
  bool auxFlag_ = false;
  bool hdcd_ = false;
  uint32_t bitrate_ = 0;
  uint32_t dialnorm_ = 0;
  uint32_t auxValue_ = 0;
  std::string language_;
  uint32_t coreBitrate_ = 0;
  uint32_t coreDialnorm_ = 0;
  uint32_t coreSampleRate_ = 0;
  uint32_t coreChannels_ = 0;
  uint32_t coreChannelMask_ = 0;
  uint32_t coreBits_ = 0;
  std::string coreDisplayName_;
  std::string coreChannelText_;
  std::string trackName_;
  std::string description_;
};

class TVideoDetails : public IVideoFormatDetails {
 public:
  void SetVideoFormat(const TVideoFormatParams& params);  // also composes the description
  void SetVideoCounts(uint32_t count1, uint32_t count2) {
    count1_ = count1;
    count2_ = count2;
  }
  void SetGapList(const std::string& data) { gapList_ = data; }

  bool GetValid() const override { return valid_; }
  bool GetVerified() const override { return format_.verified; }
  std::string GetFormatId() const override { return format_.formatId; }
  std::string GetDisplayName() const override { return format_.displayName; }
  std::string GetTrackName() const override { return trackName_; }
  std::string GetCodecPrivate() const override { return format_.codecPrivate; }
  std::string GetVideoFlags() const override { return format_.videoFlags; }
  bool GetInterlaced() const override { return format_.interlaced; }
  bool GetPulldown() const override { return format_.pulldown; }
  uint32_t GetWidth() const override { return format_.width; }
  uint32_t GetHeight() const override { return format_.height; }
  uint32_t GetAspectX() const override { return format_.aspectX; }
  uint32_t GetAspectY() const override { return format_.aspectY; }
  uint32_t GetFrameRate() const override { return format_.frameRate; }
  uint32_t GetFrameRateDivisor() const override { return format_.frameRateDivisor; }
  uint32_t GetChromaFormat() const override { return format_.chromaFormat; }
  uint32_t GetLumaBits() const override { return format_.lumaBits; }
  uint32_t GetChromaBits() const override { return format_.chromaBits; }
  uint32_t GetVideoCount1() const override { return count1_; }
  uint32_t GetVideoCount2() const override { return count2_; }
  std::string GetGapList() const override { return gapList_; }
  std::string GetLanguage() const override { return language_; }
  uint32_t GetAuxValue() const override { return auxValue_; }
  std::string GetDescription() const override { return description_; }
  void SetDisplayName(const std::string& value) override { format_.displayName = value; }
  void SetTrackName(const std::string& value) override { trackName_ = value; }
  void SetCodecPrivate(const std::string& value) override { format_.codecPrivate = value; }
  void SetLanguage(const std::string& value) override;
  void SetAuxValue(uint32_t value) override { auxValue_ = value; }
  void SetDescription(const std::string& value) override { description_ = value; }
  std::shared_ptr<IVideoFormatDetails> Clone() const override;

 protected:
  TVideoDetails() = default;
  TVideoDetails(const TVideoDetails&) = default;
  TVideoDetails& operator=(const TVideoDetails&) = default;

 private:
  bool valid_ = false;
  TVideoFormatParams format_;
  uint32_t count1_ = 0;
  uint32_t count2_ = 0;
  std::string gapList_;
  std::string trackName_;
  std::string language_;
  uint32_t auxValue_ = 0;
  std::string description_;
};

class TSubtitleDetails : public ISubtitleFormatDetails {
 public:
  void SetSubtitleFormat(const TSubtitleFormatParams& params);  // also the description

  bool GetValid() const override { return valid_; }
  bool GetVerified() const override { return format_.verified; }
  std::string GetFormatId() const override { return format_.formatId; }
  std::string GetDisplayName() const override { return format_.displayName; }
  std::string GetTrackName() const override { return trackName_; }
  std::string GetCodecPrivate() const override { return format_.codecPrivate; }
  std::string GetDescription() const override { return description_; }
  std::string GetLanguage() const override { return language_; }
  void SetTrackName(const std::string& value) override { trackName_ = value; }
  void SetCodecPrivate(const std::string& value) override { format_.codecPrivate = value; }
  void SetLanguage(const std::string& value) override;
  std::shared_ptr<ISubtitleFormatDetails> Clone() const override;

 protected:
  TSubtitleDetails() = default;
  TSubtitleDetails(const TSubtitleDetails&) = default;
  TSubtitleDetails& operator=(const TSubtitleDetails&) = default;

 private:
  bool valid_ = false;
  TSubtitleFormatParams format_;
  std::string language_;
  std::string trackName_;
  std::string description_;
};

class TContainerDetails : public IContainerInfo {
 public:
  // Sets the container's identity; from then on HasContainerInfo() is true.
  void SetContainerInfo(const std::string& id, const std::string& name, uint32_t duration,
                        uint64_t value);
  void SetContainerValue64(uint64_t value) { value_ = value; }
  void SetContainerTexts(const std::string& text1, const std::string& text2,
                         const std::string& text3);
  void SetDamagePosition(uint64_t position) { damagePosition_ = position; }
  // The track lists, sorted by Id (equal Ids keep their order of arrival). Each entry keeps
  // its own copy of the given details. The delay (ms; none = no delay) is reduced by the
  // track time offset.
  void AddVideoTrack(uint32_t id, const IVideoFormatDetails& details, int64_t frameDuration,
                     std::optional<int32_t> delay);
  void AddAudioTrack(uint32_t id, const IAudioFormatDetails& details, std::optional<int32_t> delay);
  void AddSubtitleTrack(uint32_t id, const ISubtitleFormatDetails& details,
                        std::optional<int32_t> delay);

  bool HasContainerInfo() override { return hasContainerInfo_; }
  std::string GetContainerId() const override { return id_; }
  std::string GetContainerName() const override { return name_; }
  uint32_t GetDuration() const override { return duration_; }
  uint32_t GetContainerValue() const override { return uint32_t(value_); }
  uint64_t GetContainerValue64() const override { return value_; }
  std::string GetContainerText1() const override { return text1_; }
  std::string GetContainerText2() const override { return text2_; }
  std::string GetContainerText3() const override { return text3_; }
  uint64_t GetDamagePosition() const override { return damagePosition_; }
  std::string GetContainerDescription() const override;
  size_t GetVideoTrackCount() const override { return videoTracks_.size(); }
  bool GetVideoTrack(size_t index, TVideoTrackEntry& entry) const override;
  size_t GetAudioTrackCount() const override { return audioTracks_.size(); }
  bool GetAudioTrack(size_t index, TAudioTrackEntry& entry) const override;
  size_t GetSubtitleTrackCount() const override { return subtitleTracks_.size(); }
  bool GetSubtitleTrack(size_t index, TSubtitleTrackEntry& entry) const override;
  int32_t GetTrackTimeOffset() const override { return trackTimeOffset_; }
  void SetTrackTimeOffset(int32_t offset) override;

 protected:
  TContainerDetails() = default;

 private:
  template <class Node>
  struct TTrack {
    uint32_t id = 0;
    std::optional<int32_t> delay;  // ms; none = the track has no delay
    int64_t frameDuration = 0;     // video only, 100 ns units
    std::shared_ptr<Node> node;
  };
  template <class Node>
  void Insert(std::vector<TTrack<Node>>& list, TTrack<Node> track);
  template <class Node, class Entry>
  static bool Report(const std::vector<TTrack<Node>>& list, size_t index, Entry& entry);

  bool hasContainerInfo_ = false;
  std::string id_;
  std::string name_;
  uint32_t duration_ = 0;
  uint64_t value_ = 0;
  std::string text1_;
  std::string text2_;
  std::string text3_;
  uint64_t damagePosition_ = 0;
  int32_t trackTimeOffset_ = 0;
  std::vector<TTrack<IVideoFormatDetails>> videoTracks_;
  std::vector<TTrack<IAudioFormatDetails>> audioTracks_;
  std::vector<TTrack<ISubtitleFormatDetails>> subtitleTracks_;
};

// All four records: every node (TUpStream) is one of these.
class TFormatDetails : public TAudioDetails,
                       public TVideoDetails,
                       public TSubtitleDetails,
                       public TContainerDetails {
 protected:
  TFormatDetails() = default;
};

}  // namespace kavrix
