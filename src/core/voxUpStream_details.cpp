#include "core/voxUpStream_details.h"

#include <algorithm>
#include <array>
#include <bit>
#include <filesystem>
#include <limits>

#include "core/voxUpStream.h"

namespace kavrix {

namespace {

bool IsUndetermined(std::string_view language) {
  if (language.size() != 3) return false;
  auto lower = [](char c) { return char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
  return lower(language[0]) == 'u' && lower(language[1]) == 'n' && lower(language[2]) == 'd';
}

std::string TwoDigits(uint64_t value) {
  std::string s = std::to_string(value);
  return s.size() < 2 ? "0" + s : s;
}

std::string ThreeDigits(uint32_t value) {
  std::string s = std::to_string(value);
  return std::string(s.size() < 3 ? 3 - s.size() : 0, '0') + s;
}

// "24", "23.976": a rate in frames per 1000 s.
std::string FrameRateText(uint32_t frameRate) {
  std::string text = std::to_string(frameRate / 1000);
  if (frameRate % 1000 != 0) text += "." + ThreeDigits(frameRate % 1000);
  return text;
}

std::string DialnormText(uint32_t dialnorm) {
  return dialnorm <= 31 ? ", dialnorm: -" + std::to_string(dialnorm) + "dB"
                        : ", dialnorm: invalid!";
}

std::string KbpsText(uint32_t bitrate) {
  return std::to_string((uint64_t(bitrate) + 500) / 1000) + "kbps";
}

// A description without a single parameter says so.
void MarkUnknownParameters(std::string& description) {
  if (description.find(',') == std::string::npos &&
      description.find("unknown") == std::string::npos)
    description += ", unknown parameters";
}

int32_t ClampDelay(int64_t value) {
  return int32_t(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                     std::numeric_limits<int32_t>::max()));
}

void PutLe64(std::string& out, int64_t value) {
  const uint64_t v = uint64_t(value);
  for (int i = 0; i < 8; ++i) out.push_back(char(uint8_t(v >> (8 * i))));
}

int64_t GetLe64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | uint8_t(p[i]);
  return int64_t(v);
}

}  // namespace

// ---- channel words, rates, play times, file names ----

uint32_t DefaultChannelMask(uint32_t channels) {
  switch (channels) {
    case 1:
      return 0x4;
    case 2:
      return 0x3;
    case 3:
      return 0x7;
    case 4:
      return 0x603;
    case 5:
      return 0x607;
    case 6:
      return 0x60F;
    case 7:
      return 0x70F;
    case 8:
      return 0x63F;
    default:
      return 0xFFFFFFFF;
  }
}

std::string ChannelCountWord(uint32_t channels) {
  switch (channels) {
    case 1:
      return "1.0";
    case 2:
      return "2.0";
    case 6:
      return "5.1";
    case 7:
      return "6.1";
    case 8:
      return "7.1";
    default:
      return std::to_string(channels);
  }
}

std::string ChannelLayoutWord(uint32_t mask) {
  const int front = std::popcount(mask & 0x7u);
  const int surround = std::popcount(mask & 0x730u);
  const int lfe = (mask & 0x8u) ? 1 : 0;
  const int total = std::popcount(mask);
  if (front + surround + lfe != total) return ChannelCountWord(uint32_t(total));
  if (surround == 0) return std::to_string(front) + "." + std::to_string(lfe);
  if (front == 3 && surround >= 2)
    return std::to_string(front + surround) + "." + std::to_string(lfe);
  return std::to_string(front) + "/" + std::to_string(surround) + (lfe ? ".1" : "");
}

std::string ChannelText(uint32_t channels, uint32_t mask) {
  return uint32_t(std::popcount(mask)) == channels ? ChannelLayoutWord(mask)
                                                   : ChannelCountWord(channels);
}

std::string KiloHertzWord(uint32_t rate) {
  std::string word = std::to_string(rate / 1000);
  const uint32_t hundreds = rate % 1000 / 100;
  const uint32_t tens = rate % 100 / 10;
  const uint32_t units = rate % 10;
  if (hundreds != 0) {
    word += "." + std::to_string(hundreds);
    // The units digit only follows a printed tens digit: 44101 Hz is "44.1kHz".
    if (tens != 0) {
      word += std::to_string(tens);
      if (units != 0) word += std::to_string(units);
    }
  }
  return word + "kHz";
}

std::string PlayTimeText(uint64_t milliseconds) {
  const uint64_t seconds = (milliseconds + 500) / 1000;
  return std::to_string(seconds / 3600) + ":" + TwoDigits(seconds / 60 % 60) + ":" +
         TwoDigits(seconds % 60);
}

std::string AudioFormatName(std::string_view formatId) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 21> kNames{{
      {"ac3", "AC3"},
      {"eac3", "E-AC3"},
      {"dts", "DTS"},
      {"dtsma", "DTS Master Audio"},
      {"dtshr", "DTS Hi-Res"},
      {"dtsnc", "DTS-HD (no core)"},
      {"dtslbr", "DTS Express"},
      {"flac", "FLAC"},
      {"pcm", "RAW/PCM"},
      {"mlp", "MLP"},
      {"thd", "TrueHD"},
      {"thd/ac3", "TrueHD/AC3"},
      {"wav", "WAV"},
      {"w64", "W64"},
      {"rf64", "RF64"},
      {"dtswav", "DTSWAV"},
      {"ac3wav", "AC3WAV"},
      {"aac", "AAC"},
      {"mp1", "MP1"},
      {"mp2", "MP2"},
      {"mp3", "MP3"},
  }};
  for (const auto& [id, name] : kNames)
    if (id == formatId) return std::string(name);
  return "Unknown audio track";
}

std::string VideoFormatName(std::string_view formatId) {
  if (formatId == format_id::kVc1) return "VC-1";
  if (formatId == format_id::kH264) return "h264/AVC";
  if (formatId == format_id::kH265) return "h265/HEVC";
  if (formatId == format_id::kMpeg2) return "MPEG2";
  return "Unknown video track";
}

uint32_t SnapFrameRate(uint64_t rate) {
  static constexpr uint32_t kStandard[] = {23976, 24000, 24975, 25000, 29970, 30000,
                                           47952, 48000, 50000, 59940, 60000};
  for (uint32_t standard : kStandard) {
    const uint64_t distance = rate > standard ? rate - standard : standard - rate;
    if (distance * 3000 < standard) return standard;
  }
  return uint32_t(std::min<uint64_t>(rate, std::numeric_limits<uint32_t>::max()));
}

uint32_t FrameRateOfDuration(int64_t frameDuration) {
  if (frameDuration <= 0) return 0;
  const uint64_t d = uint64_t(frameDuration);
  return SnapFrameRate((10000000000ull + d / 2) / d);
}

std::string MonoChannelName(uint32_t mask, uint32_t n) {
  static constexpr const char* kSpeakers[18] = {"L",  "R",   "C",  "LFE", "BL",  "BR",
                                                "LC", "RC",  "BC", "SL",  "SR",  "TC",
                                                "TL", "TFC", "TR", "TBL", "TBC", "TBR"};
  uint32_t seen = 0;
  for (uint32_t bit = 0; bit < 32; ++bit) {
    if (!(mask & (1u << bit))) continue;
    if (seen++ == n) return bit < 18 ? kSpeakers[bit] : std::to_string(n);
  }
  return std::to_string(n);
}

std::string MultiMonoFileName(const std::string& destination, uint32_t mask, uint32_t n) {
  // The extension comes from the last path component only ("out.v2/movie" has none).
  std::filesystem::path path(destination);
  path.replace_extension();
  return path.string() + "." + MonoChannelName(mask, n) + ".wav";
}

// ---- audio gap list ----

void AppendAudioGap(std::string& list, const TAudioGapRecord& record) {
  PutLe64(list, record.position);
  PutLe64(list, record.drift);
}

std::string PackAudioGaps(const std::vector<TAudioGapRecord>& records) {
  std::string list;
  list.reserve(records.size() * kAudioGapRecordSize);
  for (const auto& r : records) AppendAudioGap(list, r);
  return list;
}

std::vector<TAudioGapRecord> UnpackAudioGaps(std::string_view list) {
  std::vector<TAudioGapRecord> records(AudioGapCount(list));
  for (size_t i = 0; i < records.size(); ++i) {
    const char* p = list.data() + i * kAudioGapRecordSize;
    records[i] = TAudioGapRecord{GetLe64(p), GetLe64(p + 8)};
  }
  return records;
}

size_t AudioGapCount(std::string_view list) {
  return list.size() / kAudioGapRecordSize;
}

// ---- audio details ----

void TAudioDetails::SetAudioFormat(const TAudioFormatParams& p) {
  verified_ = p.verified;
  formatId_ = p.formatId;
  displayName_ = p.displayName;
  auxText1_ = p.auxText1;
  auxText2_ = p.auxText2;
  codecPrivate_ = p.codecPrivate;
  auxText3_ = p.auxText3;
  isFloat_ = p.isFloat;
  duration_ = p.duration;
  channels_ = p.channels;
  channelMask_ = p.channelMask != 0 ? p.channelMask : DefaultChannelMask(p.channels);
  channelText_ = !p.channelText.empty() ? p.channelText : ChannelText(channels_, channelMask_);
  containerBits_ = uint32_t((uint64_t(p.bits) + 7) / 8 * 8);
  validBits_ = p.validBits != 0 ? p.validBits : p.bits;
  sampleRate_ = p.sampleRate;
  bitrate_ = p.bitrate;
  dialnorm_ = p.dialnorm;
  auxValue_ = p.auxValue;
  hdcd_ = p.hdcd;
  auxFlag_ = p.auxFlag;
  coreDisplayName_ = p.coreDisplayName;
  coreChannels_ = p.coreChannels;
  coreChannelMask_ = p.coreChannelMask;
  coreChannelText_ = p.coreChannelText;
  if (coreChannels_ != 0) {
    if (coreChannelMask_ == 0) coreChannelMask_ = DefaultChannelMask(coreChannels_);
    if (coreChannelText_.empty()) coreChannelText_ = ChannelText(coreChannels_, coreChannelMask_);
  }
  coreBits_ = p.coreBits;
  coreSampleRate_ = p.coreSampleRate;
  coreBitrate_ = p.coreBitrate;
  coreDialnorm_ = p.coreDialnorm;
  valid_ = true;

  // The listing line.
  const std::string& id = formatId_;
  const bool dtsWithoutBits = id == "dts" || id == "dtshr" || id == "dtslbr";
  std::string d;
  if (displayName_ == format_id::kUnknown) {
    d = AudioFormatName(id);
  } else {
    d = displayName_;
    if (channelText_ != "0") d += ", " + channelText_ + " channels";
    if (duration_ != 0) d += ", " + PlayTimeText(duration_);
    if (p.bits != 0 && !dtsWithoutBits) {
      if (validBits_ != 0 && validBits_ != p.bits)
        d += ", " + std::to_string(validBits_) + "/" + std::to_string(p.bits) + " bits";
      else
        d += ", " + std::to_string(p.bits) + " bits";
      if (hdcd_)
        d += " <HDCD>";
      else if (isFloat_)
        d += " <float>";
    }
    if (bitrate_ != 0 && id != format_id::kThdAc3) d += ", " + KbpsText(bitrate_);
    if (sampleRate_ != 0) d += ", " + KiloHertzWord(sampleRate_);
    d += DialnormText(dialnorm_);
    if (coreChannels_ != 0) {
      // The core goes on a line of its own.
      d += "\r\n(" + coreDisplayName_ + ", " + coreChannelText_ + " channels";
      if (duration_ != 0) d += ", " + PlayTimeText(duration_);
      if (coreBits_ != 0 && !dtsWithoutBits && id != format_id::kDtsMa)
        d += ", " + std::to_string(coreBits_) + " bits";
      if (coreBitrate_ != 0) d += ", " + KbpsText(coreBitrate_);
      if (coreSampleRate_ != 0) d += ", " + KiloHertzWord(coreSampleRate_);
      d += DialnormText(coreDialnorm_) + ")";
    }
  }
  MarkUnknownParameters(d);
  description_ = std::move(d);
}

void TAudioDetails::SetLanguage(const std::string& value) {
  if (!IsUndetermined(value)) language_ = value;
}

std::shared_ptr<IAudioFormatDetails> TAudioDetails::Clone() const {
  auto copy = std::make_shared<TPassThrough>();
  static_cast<TAudioDetails&>(*copy) = *this;
  return copy;
}

// ---- video details ----

void TVideoDetails::SetVideoFormat(const TVideoFormatParams& p) {
  format_ = p;
  valid_ = true;

  std::string d;
  if (p.displayName == format_id::kUnknown) {
    d = VideoFormatName(p.formatId);
  } else {
    d = p.displayName;
    if (p.width != 0) {
      d += ", ";
      const char* scan = p.interlaced ? "i" : "p";
      const uint32_t w = p.width, h = p.height;
      const bool standard = (w == 3840 && h == 2160) || (w == 1920 && h == 1080) ||
                            (w == 720 && h == 480) || (w == 720 && h == 576) ||
                            (w == 1280 && h == 720);
      if (standard) {
        // Standard sizes: the frame rate follows the scan letter ("1080p24").
        d += std::to_string(h) + scan;
        if (p.frameRate != 0) d += FrameRateText(p.frameRate);
      } else {
        d += std::to_string(w) + "x" + std::to_string(h);
        if (p.frameRate != 0) d += " " + FrameRateText(p.frameRate);
        d += scan;
      }
      if (p.frameRate != 0 && p.frameRateDivisor != 0 && p.frameRateDivisor != 1000)
        d += " /" + std::to_string(p.frameRateDivisor / 1000) + "." +
             ThreeDigits(p.frameRateDivisor % 1000);
      if (p.aspectX > 1 || p.aspectY > 1)
        d += " (" + std::to_string(p.aspectX) + ":" + std::to_string(p.aspectY) + ")";
      if (p.pulldown) d += " with pulldown flags";
      if (p.chromaFormat == 100)
        d += ", monochrome";
      else if (p.chromaFormat == 422)
        d += ", 4:2:2";
      else if (p.chromaFormat == 444)
        d += ", 4:4:4";
      const uint32_t bits = std::max(p.lumaBits, p.chromaBits);
      if (bits != 0 && bits != 8) d += ", " + std::to_string(bits) + " bits";
    }
  }
  MarkUnknownParameters(d);
  description_ = std::move(d);
}

void TVideoDetails::SetLanguage(const std::string& value) {
  if (!IsUndetermined(value)) language_ = value;
}

std::shared_ptr<IVideoFormatDetails> TVideoDetails::Clone() const {
  auto copy = std::make_shared<TPassThrough>();
  static_cast<TVideoDetails&>(*copy) = *this;
  return copy;
}

// ---- subtitle details ----

void TSubtitleDetails::SetSubtitleFormat(const TSubtitleFormatParams& p) {
  format_ = p;
  valid_ = true;
  description_ =
      p.displayName == format_id::kUnknown ? "Subtitle, unknown parameters" : p.displayName;
}

void TSubtitleDetails::SetLanguage(const std::string& value) {
  if (!IsUndetermined(value)) language_ = value;
}

std::shared_ptr<ISubtitleFormatDetails> TSubtitleDetails::Clone() const {
  auto copy = std::make_shared<TPassThrough>();
  static_cast<TSubtitleDetails&>(*copy) = *this;
  return copy;
}

// ---- container information ----

void TContainerDetails::SetContainerInfo(const std::string& id, const std::string& name,
                                         uint32_t duration, uint64_t value) {
  hasContainerInfo_ = true;
  id_ = id;
  name_ = name;
  duration_ = duration;
  value_ = value;
}

void TContainerDetails::SetContainerTexts(const std::string& text1, const std::string& text2,
                                          const std::string& text3) {
  text1_ = text1;
  text2_ = text2;
  text3_ = text3;
}

std::string TContainerDetails::GetContainerDescription() const {
  std::string d = name_;
  auto count = [&d](size_t n, const char* what) {
    if (n == 0) return;
    d += ", " + std::to_string(n) + what + (n > 1 ? "s" : "");
  };
  count(videoTracks_.size(), " video track");
  count(audioTracks_.size(), " audio track");
  count(subtitleTracks_.size(), " subtitle track");
  if (duration_ != 0) d += ", " + PlayTimeText(duration_);
  return d;
}

template <class Node>
void TContainerDetails::Insert(std::vector<TTrack<Node>>& list, TTrack<Node> track) {
  if (track.delay) track.delay = ClampDelay(int64_t(*track.delay) - trackTimeOffset_);
  // Before the first entry with a larger Id: equal Ids keep their order of arrival.
  auto at = std::upper_bound(list.begin(), list.end(), track.id,
                             [](uint32_t id, const TTrack<Node>& t) { return id < t.id; });
  list.insert(at, std::move(track));
}

void TContainerDetails::AddVideoTrack(uint32_t id, const IVideoFormatDetails& details,
                                      int64_t frameDuration, std::optional<int32_t> delay) {
  Insert(videoTracks_, TTrack<IVideoFormatDetails>{id, delay, frameDuration, details.Clone()});
}

void TContainerDetails::AddAudioTrack(uint32_t id, const IAudioFormatDetails& details,
                                      std::optional<int32_t> delay) {
  Insert(audioTracks_, TTrack<IAudioFormatDetails>{id, delay, 0, details.Clone()});
}

void TContainerDetails::AddSubtitleTrack(uint32_t id, const ISubtitleFormatDetails& details,
                                         std::optional<int32_t> delay) {
  Insert(subtitleTracks_, TTrack<ISubtitleFormatDetails>{id, delay, 0, details.Clone()});
}

void TContainerDetails::SetTrackTimeOffset(int32_t offset) {
  trackTimeOffset_ = offset;
  auto shift = [offset](auto& list) {
    for (auto& t : list)
      if (t.delay) t.delay = ClampDelay(int64_t(*t.delay) - offset);
  };
  shift(videoTracks_);
  shift(audioTracks_);
  shift(subtitleTracks_);
}

template <class Node, class Entry>
bool TContainerDetails::Report(const std::vector<TTrack<Node>>& list, size_t index, Entry& entry) {
  if (index >= list.size()) return false;
  const TTrack<Node>& t = list[index];
  entry.id = t.id;
  entry.hasDelay = t.delay.has_value();
  entry.delay = t.delay.value_or(0);
  entry.node = t.node;
  return true;
}

bool TContainerDetails::GetVideoTrack(size_t index, TVideoTrackEntry& entry) const {
  if (!Report(videoTracks_, index, entry)) return false;
  entry.frameRate = FrameRateOfDuration(videoTracks_[index].frameDuration);
  return true;
}

bool TContainerDetails::GetAudioTrack(size_t index, TAudioTrackEntry& entry) const {
  return Report(audioTracks_, index, entry);
}

bool TContainerDetails::GetSubtitleTrack(size_t index, TSubtitleTrackEntry& entry) const {
  return Report(subtitleTracks_, index, entry);
}

}  // namespace kavrix
