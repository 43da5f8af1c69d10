// DTS header parsing: the core frame, the DTS-HD extension substream with its asset
// descriptors, the speaker mask conversion and the detailed header listing.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "audio/voxDts.h"

namespace kavrix {

namespace {

// Reads bits MSB first from a byte range that it never leaves; running past the end sets
// the dry flag and yields zeros. Unlike the shared bit reader it can be positioned, which
// the asset descriptors (each skipped by its declared size) need.
class TBitCursor {
 public:
  TBitCursor(const uint8_t* data, size_t size) : data_(data), bits_(uint64_t(size) * 8) {}
  uint32_t Read(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      v <<= 1;
      if (pos_ >= bits_) {
        dry_ = true;
        continue;
      }
      v |= (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
      ++pos_;
    }
    return v;
  }
  void Skip(uint64_t n) {
    if (bits_ - std::min(pos_, bits_) < n) {
      dry_ = true;
      pos_ = bits_;
    } else {
      pos_ += n;
    }
  }
  uint64_t Position() const { return pos_; }
  void Seek(uint64_t pos) {
    if (pos > bits_) {
      dry_ = true;
      pos_ = bits_;
    } else {
      pos_ = pos;
    }
  }
  bool Dry() const { return dry_; }

 private:
  const uint8_t* data_;
  uint64_t bits_;
  uint64_t pos_ = 0;
  bool dry_ = false;
};

bool IsCoreSync(const uint8_t* p) {
  return p[0] == 0x7F && p[1] == 0xFE && p[2] == 0x80 && p[3] == 0x01;
}
bool IsHdSync(const uint8_t* p) {
  return p[0] == 0x64 && p[1] == 0x58 && p[2] == 0x20 && p[3] == 0x25;
}
uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint32_t Popcount(uint32_t v) {
  return uint32_t(__builtin_popcount(v));
}

std::string Hex(uint64_t v, int digits = 0) {
  char b[32];
  std::snprintf(b, sizeof b, "%0*llX", digits, (unsigned long long)v);
  return b;
}

// "  - frameSize            " style labels: the name padded to a fixed width.
std::string Line(const char* indent, const std::string& name, const std::string& value) {
  std::string s = std::string(indent) + name;
  const size_t width = std::strlen(indent) + 21;
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s + value;
}

constexpr uint32_t kCoreRates[16] = {0,     8000, 16000, 32000, 0,     0,     11025, 22050,
                                     44100, 0,    0,     12000, 24000, 48000, 0,     0};

struct TAmode {
  const char* text;
  uint32_t channels;
  uint32_t mask;
};
constexpr TAmode kAmodes[16] = {
    {"1", 1, 0x4},     {"1+1", 2, 0x4},   {"2", 2, 0x3},     {"2-2", 2, 0x3},
    {"2", 2, 0x3},     {"3", 3, 0x7},     {"2/1", 3, 0x103}, {"3/1", 4, 0x107},
    {"2/2", 4, 0x603}, {"5", 5, 0x607},   {"4/2", 6, 0x6C3}, {"4/2", 6, 0xE07},
    {"3/3", 6, 0x707}, {"5/2", 7, 0x6C7}, {"4/4", 8, 0x6F3}, {"5/3", 8, 0x7C7}};

constexpr uint32_t kHdRates[16] = {8000,   16000,  32000, 64000, 128000, 22050, 44100,  88200,
                                   176400, 352800, 12000, 24000, 48000,  96000, 192000, 384000};

// Channels each speaker activity bit stands for, and its name.
constexpr uint32_t kSpeakerChannels[16] = {1, 2, 2, 1, 1, 2, 2, 1, 1, 2, 2, 2, 1, 2, 1, 2};
constexpr const char* kSpeakerNames[16] = {
    "C",  "L R",   "Ls Rs", "LFE",     "Cs",   "Lh Rh",   "Lsr Rsr", "Ch",
    "Oh", "Cl Cr", "Lw Rw", "Lss Rss", "LFE2", "Lhs Rhs", "Chr",     "Lhr Rhr"};
constexpr const char* kContentTypes[16] = {"Music",
                                           "Effects",
                                           "Dialog",
                                           "Commentary",
                                           "Visually Impaired",
                                           "Hearing Impaired",
                                           "Isolated Music Object",
                                           "Music and Effects",
                                           "Dialog and Commentary",
                                           "Effects and Commentary",
                                           "Isolcated Music Object and Commentary",
                                           "Isolated Music Object and Effects",
                                           "Karaoke",
                                           "Music, Effects, Dialog",
                                           "Complete Audio Presentation",
                                           "?"};

uint32_t SpeakerChannels(uint32_t mask) {
  uint32_t n = 0;
  for (int i = 0; i < 16; ++i)
    if (mask & (1u << i)) n += kSpeakerChannels[i];
  return n;
}

uint32_t SamplesPerFrameBase(uint32_t rate) {
  switch (rate) {
    case 8000:
    case 12000:
      return 128;
    case 16000:
    case 22050:
    case 24000:
      return 256;
    case 32000:
    case 44100:
    case 48000:
      return 512;
    case 64000:
    case 88200:
    case 96000:
      return 1024;
    case 128000:
    case 176400:
    case 192000:
      return 2048;
    case 352800:
    case 384000:
      return 4096;
    default:
      return 0;
  }
}

uint32_t RateOf(uint64_t sampleRate, uint64_t bytes, uint64_t samples) {
  if (samples == 0) return 0;
  const uint64_t r = sampleRate * bytes * 8 / samples;
  return r > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(r);
}

std::string ComponentText(uint32_t mask) {
  static const char* const kNames[11] = {"Core", "XXCh", "X96k", "XCh", "Core", "XBR",
                                         "XXCh", "X96",  "XSA",  "XLL", "AUX"};
  std::string core, ext;
  for (int i = 0; i < 4; ++i)
    if (mask & (1u << i)) core += std::string("+") + kNames[i];
  for (int i = 4; i < 11; ++i)
    if (mask & (1u << i)) ext += std::string("+") + kNames[i];
  return (core.empty() ? "-" : core.substr(1)) + "|" + (ext.empty() ? "-" : ext.substr(1));
}

std::string PayloadTypeText(uint32_t sync) {
  switch (sync) {
    case 0x47004A03:
      return "XXCh";
    case 0x0A801921:
      return "XSA";
    case 0x41A29547:
      return "XLL";
    case 0x5A5A5A5A:
      return "XCh";
    case 0x655E315E:
      return "XBR";
    case 0x02B09261:
      return "$02B09261";
    case 0x1D95F262:
      return "X96";
    default:
      return "$" + Hex(sync, 8) + " (unknown)";
  }
}

std::string ListText(const std::vector<uint32_t>& values) {
  std::string s;
  for (size_t i = 0; i < values.size(); ++i) s += (i ? ", " : "") + Hex(values[i]);
  return s;
}

}  // namespace

std::string SanitizeStreamText(const uint8_t* data, size_t size) {
  std::string s;
  s.reserve(size);
  for (size_t i = 0; i < size; ++i) s += (data[i] >= 0x20 && data[i] < 0x7F) ? char(data[i]) : '?';
  return s;
}

uint32_t DtsSpeakerMaskToChannelMask(uint32_t m) {
  uint32_t mask = 0;
  if (m & 0x1) mask |= 0x4;
  if (m & 0x2) mask |= 0x3;
  const uint32_t pairs = Popcount(
      m & ((1u << 2) | (1u << 5) | (1u << 6) | (1u << 10) | (1u << 11) | (1u << 13) | (1u << 15)));
  static const uint32_t kPairMasks[6] = {0, 0x600, 0x630, 0x5630, 0x2D630, 0x2D6F0};
  mask |= kPairMasks[std::min<uint32_t>(pairs, 5)];
  if (m & ((1u << 3) | (1u << 12))) mask |= 0x8;
  if (m & (1u << 4)) mask |= 0x100;
  if (m & (1u << 7)) mask |= 0x800;
  if (m & (1u << 8)) mask |= 0x2000;
  if (m & (1u << 9)) mask |= 0xC0;
  if (m & (1u << 14)) mask |= 0x10000;
  return mask;
}

int PeekDtsHdSubstreamSize(const uint8_t* data, size_t available, size_t* size) {
  if (available < 4) return kDtsHdNeedMore;
  if (!IsHdSync(data)) return kDtsHdNoSync;
  if (available < 10) return kDtsHdNeedMore;
  TBitCursor b(data + 4, 6);
  b.Read(8 + 2);
  const bool blownUp = b.Read(1) != 0;
  const size_t header = size_t(b.Read(blownUp ? 12 : 8)) + 1;
  const size_t full = size_t(b.Read(blownUp ? 20 : 16)) + 1;
  // A header shorter than its own size fields cannot be one.
  if (header < (blownUp ? 10u : 9u) || header > full) return kDtsHdInconsistent;
  if (size) *size = full;
  return kDtsHdOk;
}

int ParseDtsHdSubstream(const uint8_t* data, size_t available, TDtsHdInfo& info,
                        std::vector<std::string>* listing) {
  info = TDtsHdInfo{};
  size_t full = 0;
  const int peek = PeekDtsHdSubstreamSize(data, available, &full);
  if (peek != kDtsHdOk) return peek;
  if (full > available) return kDtsHdNeedMore;

  TBitCursor b(data, full);
  b.Read(32);
  b.Read(8);  // user bits
  info.index = b.Read(2);
  const bool blownUp = b.Read(1) != 0;
  info.headerSize = size_t(b.Read(blownUp ? 12 : 8)) + 1;
  info.size = size_t(b.Read(blownUp ? 20 : 16)) + 1;
  if (info.headerSize > info.size) return kDtsHdInconsistent;
  // The header's own fields never reach past the header.
  b = TBitCursor(data, info.headerSize);
  b.Seek(32 + 8 + 2 + 1 + (blownUp ? 32 : 24));

  std::vector<std::string> lines;
  const bool list = listing != nullptr;
  if (list) {
    lines.push_back("+ DTS-HD");
    if (info.index > 0) lines.push_back(Line("  - ", "index", std::to_string(info.index)));
    if (blownUp) lines.push_back(Line("  - ", "blownUpHeader", "+"));
    lines.push_back(Line("  - ", "fullSize", std::to_string(info.size)));
    lines.push_back(Line("  - ", "headerSize", std::to_string(info.headerSize)));
  }

  info.staticFields = b.Read(1) != 0;
  uint32_t refClock = 3, durationCode = 0, presentations = 1, assets = 1;
  bool mixMetadata = false;
  if (info.staticFields) {
    refClock = b.Read(2);
    durationCode = b.Read(3);
    uint64_t timeStamp = 0;
    const bool hasTimeStamp = b.Read(1) != 0;
    if (hasTimeStamp) timeStamp = uint64_t(b.Read(32)) << 4 | b.Read(4);
    presentations = b.Read(3) + 1;
    assets = b.Read(3) + 1;
    std::vector<uint32_t> substreamMasks(presentations);
    std::vector<std::vector<uint32_t>> assetMasks(presentations);
    for (uint32_t p = 0; p < presentations; ++p) substreamMasks[p] = b.Read(int(info.index) + 1);
    for (uint32_t p = 0; p < presentations; ++p)
      for (uint32_t s = 0; s <= info.index; ++s)
        if (substreamMasks[p] & (1u << s)) assetMasks[p].push_back(b.Read(8));
    mixMetadata = b.Read(1) != 0;
    uint32_t adjLevel = 0;
    std::vector<uint32_t> mixOutMasks;
    if (mixMetadata) {
      adjLevel = b.Read(2);
      const int width = int(b.Read(2)) * 4 + 4;
      const uint32_t configs = b.Read(2) + 1;
      for (uint32_t c = 0; c < configs; ++c) mixOutMasks.push_back(b.Read(width));
    }
    if (list) {
      static const char* const kClocks[3] = {"1/32000", "1/44100", "1/48000"};
      lines.push_back(
          Line("  - ", "refClockCode",
               refClock < 3 ? kClocks[refClock] : std::to_string(refClock) + " (out of range)"));
      lines.push_back(Line("  - ", "frameDurationCode", std::to_string(durationCode + 1)));
      if (hasTimeStamp) lines.push_back(Line("  - ", "timeStamp", "$" + Hex(timeStamp)));
      std::string masks = "[" + ListText(substreamMasks) + "], [";
      for (uint32_t p = 0; p < presentations; ++p)
        masks += (p ? ", [" : "[") + ListText(assetMasks[p]) + "]";
      lines.push_back(Line("  - ", "activeMasks", masks + "]"));
      if (mixMetadata) {
        lines.push_back(Line("  - ", "mixMetadataAdjLevel", std::to_string(adjLevel)));
        lines.push_back(Line("  - ", "mixOutChMask", "[" + ListText(mixOutMasks) + "]"));
      }
    }
  }
  if (refClock > 3) return kDtsHdInconsistent;

  std::vector<size_t> assetSizes(assets);
  uint64_t total = info.headerSize;
  for (uint32_t a = 0; a < assets; ++a) {
    assetSizes[a] = size_t(b.Read(blownUp ? 20 : 16)) + 1;
    total += assetSizes[a];
  }
  if (b.Dry()) return kDtsHdInconsistent;
  if (total != info.size) return kDtsHdInconsistent;

  uint32_t highestRate = 0;
  size_t payload = info.headerSize;
  for (uint32_t a = 0; a < assets; ++a) {
    const uint64_t start = b.Position();
    const uint32_t descriptorSize = b.Read(9) + 1;
    const uint32_t assetIndex = b.Read(3);
    uint32_t contentType = 0, bitResolution = 0, rateIndex = 0, channels = 0, speakerMask = 0;
    uint32_t dialnorm = 0;
    bool hasType = false, hasLanguage = false, hasInfo = false, hasDialnorm = false;
    uint32_t language = 0;
    std::string infoText;
    bool embeddedStereo = false;
    if (info.staticFields) {
      hasType = b.Read(1) != 0;
      if (hasType) contentType = b.Read(4);
      hasLanguage = b.Read(1) != 0;
      if (hasLanguage) language = b.Read(24);
      hasInfo = b.Read(1) != 0;
      if (hasInfo) {
        const uint32_t n = b.Read(10) + 1;
        std::vector<uint8_t> text;
        for (uint32_t i = 0; i < n && !b.Dry(); ++i) text.push_back(uint8_t(b.Read(8)));
        infoText = SanitizeStreamText(text.data(), text.size());
      }
      bitResolution = b.Read(5) + 1;
      rateIndex = b.Read(4);
      channels = b.Read(8) + 1;
      if (b.Read(1)) {  // one speaker per channel
        if (channels > 2) embeddedStereo = b.Read(1) != 0;
        if (channels > 6) b.Read(1);  // embedded 6-channel flag
        if (b.Read(1)) {
          const int width = int(b.Read(2)) * 4 + 4;
          speakerMask = b.Read(width);
          const uint32_t remapSets = b.Read(3);
          std::vector<uint32_t> layouts(remapSets);
          for (uint32_t s = 0; s < remapSets; ++s) layouts[s] = b.Read(width);
          for (uint32_t s = 0; s < remapSets && !b.Dry(); ++s) {
            const uint32_t speakers = SpeakerChannels(layouts[s]);
            const int decoded = int(b.Read(5)) + 1;
            for (uint32_t k = 0; k < speakers && !b.Dry(); ++k)
              b.Skip(uint64_t(Popcount(b.Read(decoded))) * 5);
          }
        }
      } else {
        b.Read(3);  // representation type
      }
    }
    const bool drc = b.Read(1) != 0;
    if (drc) b.Read(8);
    hasDialnorm = b.Read(1) != 0;
    if (hasDialnorm) dialnorm = b.Read(5);
    if (drc && embeddedStereo) b.Read(8);
    uint32_t components = 0;
    bool hasComponents = false;
    if (mixMetadata && b.Read(1)) {
      b.Read(1 + 6);
      const uint32_t control = b.Read(2);
      b.Read(control < 3 ? 3 : 8);
      b.Read(1);
    } else {
      switch (b.Read(2)) {
        case 0:
          components = b.Read(12);
          break;
        case 1:
          components = 0x201;
          break;
        case 2:
          components = 0x100;
          break;
        default:
          components = 0x400;
          break;
      }
      hasComponents = components != 0;
    }
    if (b.Dry()) return kDtsHdInconsistent;
    b.Seek(start + uint64_t(descriptorSize) * 8);

    // The asset's payload starts with the sync word of its first component.
    uint32_t sync = 0;
    if (payload + 4 <= info.size) sync = Be32(data + payload);
    payload += assetSizes[a];
    if (sync == 0x0A801921) info.lbr = true;
    if (sync == 0x41A29547 || (components & 0x200)) info.xll = true;
    if (sync == 0x47004A03 || (components & 0x042)) info.xxch = true;

    const uint32_t rate = info.staticFields ? kHdRates[rateIndex] : 0;
    highestRate = std::max(highestRate, rate);
    info.bits = std::max(info.bits, info.staticFields ? bitResolution : 0);
    info.channels = std::max(info.channels, channels);
    if (a == 0) {
      info.speakerMask = speakerMask;
      info.dialnorm = dialnorm;
    }

    if (list) {
      lines.push_back("  + Asset [" + std::to_string(a) + "]");
      if (assetIndex != a) lines.push_back(Line("    - ", "index", std::to_string(assetIndex)));
      lines.push_back(Line("    - ", "fullSize", std::to_string(assetSizes[a])));
      lines.push_back(Line("    - ", "headerSize", std::to_string(descriptorSize)));
      if (hasComponents) {
        const std::string t = ComponentText(components);
        const size_t bar = t.find('|');
        lines.push_back(Line("    - ", "corePackets", t.substr(0, bar)));
        lines.push_back(Line("    - ", "extSubStrPackets", t.substr(bar + 1)));
      } else {
        lines.push_back(Line("    - ", "type", PayloadTypeText(sync)));
      }
      if (info.staticFields) {
        if (hasType)
          lines.push_back(Line("    - ", "contentTypeDescr",
                               contentType < 15 ? kContentTypes[contentType]
                                                : std::to_string(contentType) + " (out of range)"));
        if (hasLanguage) {
          const uint8_t l[3] = {uint8_t(language >> 16), uint8_t(language >> 8), uint8_t(language)};
          lines.push_back(Line("    - ", "languageDescr", SanitizeStreamText(l, 3)));
        }
        if (hasInfo) lines.push_back(Line("    - ", "infoText", "\"" + infoText + "\""));
        lines.push_back(Line("    - ", "bitResolution", std::to_string(bitResolution)));
        lines.push_back(Line("    - ", "maxSampleRate", std::to_string(rate)));
        lines.push_back(Line("    - ", "totalNumChannels", std::to_string(channels)));
        if (hasDialnorm && dialnorm >= 1)
          lines.push_back(Line("    - ", "dialNorm", "-" + std::to_string(dialnorm) + "dB"));
        if (speakerMask != 0) {
          std::string names;
          for (int i = 0; i < 16; ++i)
            if (speakerMask & (1u << i))
              names += (names.empty() ? "" : " ") + std::string(kSpeakerNames[i]);
          lines.push_back(
              Line("    - ", "activeSpeakers", names + " ($" + Hex(speakerMask, 4) + ")"));
        }
      }
    }
  }
  info.sampleRate = highestRate;
  info.samplesPerFrame = (durationCode + 1) * SamplesPerFrameBase(highestRate);
  if (list) listing->insert(listing->end(), lines.begin(), lines.end());
  return kDtsHdOk;
}

int ParseDtsCoreFrame(const uint8_t* data, size_t available, TDtsFrameInfo& info,
                      std::vector<std::string>* listing, bool xchCheck) {
  info = TDtsFrameInfo{};
  if (available < kDtsMinCoreLength || !IsCoreSync(data)) return kDtsInvalid;
  const uint8_t* p = data;
  info.crc = (p[4] & 0x02) != 0;
  const uint32_t nblks = uint32_t(p[4] & 1) << 6 | p[5] >> 2;
  const uint32_t fsize = uint32_t(p[5] & 3) << 12 | uint32_t(p[6]) << 4 | p[7] >> 4;
  const uint32_t amode = uint32_t(p[7] & 0x0F) << 2 | p[8] >> 6;
  const uint32_t sfreq = (p[8] >> 2) & 0x0F;
  const uint32_t rate = uint32_t(p[8] & 3) << 3 | p[9] >> 5;
  const bool hdcd = (p[9] & 1) != 0;
  const uint32_t extId = p[10] >> 5;
  const bool extAudio = (p[10] & 0x10) != 0;
  const uint32_t lff = (p[10] >> 1) & 3;
  const uint8_t* q = p + (info.crc ? 2 : 0);
  const uint32_t vernum = (q[11] >> 3) & 0x0F;
  const uint32_t chist = (q[11] >> 1) & 3;
  const uint32_t pcmr = uint32_t(q[11] & 1) << 2 | q[12] >> 6;
  const uint32_t dialnorm = (q[12] & 0x0F) + (vernum == 6 ? 16 : 0);

  const size_t length = size_t(fsize) + 1;
  if (kCoreRates[sfreq] == 0 || fsize < 95 || length > available || amode > 15 || lff == 3 ||
      pcmr == 4 || pcmr == 7)
    return kDtsInvalid;

  TDtsValues& c = info.core;
  info.lfe = lff != 0;
  info.coreLength = length;
  const TAmode& layout = kAmodes[amode];
  c.channels = layout.channels + (info.lfe ? 1 : 0);
  c.channelMask = layout.mask | (info.lfe ? 0x8 : 0);
  c.channelText = layout.text;
  if (info.lfe || c.channelText.size() == 1) c.channelText += info.lfe ? ".1" : ".0";
  c.sampleRate = kCoreRates[sfreq];
  info.samplesPerFrame = (nblks + 1) * 32;
  c.bitrate = rate > 29 ? 0 : RateOf(c.sampleRate, length, info.samplesPerFrame);
  static const uint32_t kBits[8] = {16, 16, 20, 20, 0, 24, 24, 0};
  c.bits = kBits[pcmr];
  const bool es = (pcmr & 1) != 0;
  c.description = es ? "DTS-ES" : "DTS";
  c.dialnorm = dialnorm;

  // DTS-ES adds a back centre channel to a 5.x layout (discrete through XCh, or matrixed: the
  // ES flag without an extension).
  auto xchStep = [&c, &info] {
    if ((c.channelMask & ~0x8u) != 0x607) return;
    ++c.channels;
    c.channelMask |= 0x100;
    c.channelText = info.lfe ? "6.1" : "6.0";
  };
  std::string extText;
  if (extAudio) {
    switch (extId) {
      case 2:
      case 3:
        c.sampleRate = 96000;
        info.samplesPerFrame *= 2;
        c.description += "-96/24";
        if (extId == 3) xchStep();
        extText = extId == 2 ? "X96k" : "XCh + X96k";
        break;
      case 0:
      case 6:
        if (extId == 6) info.xxch = true;
        xchStep();
        extText = extId == 0 ? "XCh" : "XXCh";
        break;
      default:
        c.description += " with unknown extension (" + std::to_string(extId) + ")";
        extText = std::to_string(extId) + " (unknown)";
        break;
    }
  } else if (es) {
    xchStep();
  }

  // The outdated form of the ES information: the XCh size counts from the sync word instead
  // of the byte after it. Only offsets at least 94 bytes before the end can hold it.
  if (xchCheck && extAudio && (extId == 0 || extId == 3) && length > 190) {
    for (size_t o = 96; o + 94 <= length; o += 2) {
      if (p[o] != 0x5A || p[o + 1] != 0x5A || p[o + 2] != 0x5A || p[o + 3] != 0x5A) continue;
      const size_t size = size_t(p[o + 4]) * 4 + (p[o + 5] >> 6);
      if (size <= 93) continue;
      if (length - o == size) {
        info.outdatedEs = true;
        break;
      }
      if (length - o == size + 1) break;
    }
  }

  if (listing) {
    std::vector<std::string>& l = *listing;
    l.push_back("+ DTS-Core");
    l.push_back(Line("  - ", "frameSize", std::to_string(length)));
    l.push_back(Line("  - ", "DTS-ES", es ? "+" : "-"));
    l.push_back(Line("  - ", "channelNo", std::to_string(c.channels - (info.lfe ? 1 : 0))));
    l.push_back(Line("  - ", "lfe", info.lfe ? "1" : "0"));
    l.push_back(Line("  - ", "channelDescr", c.channelText));
    l.push_back(Line("  - ", "samplingRate", std::to_string(c.sampleRate)));
    l.push_back(Line("  - ", "bitDepth", std::to_string(c.bits)));
    l.push_back(Line("  - ", "bitrate", std::to_string(c.bitrate)));
    if (c.dialnorm != 0) l.push_back(Line("  - ", "dialNorm", std::to_string(c.dialnorm)));
    if (extAudio) l.push_back(Line("  - ", "extAudio", extText));
    l.push_back(Line("  - ", "samplesPerFrame", std::to_string(info.samplesPerFrame)));
    if (info.crc) l.push_back(Line("  - ", "hasCrc", "+"));
    if (hdcd) l.push_back(Line("  - ", "hdcd", "+"));
    if (chist != 0) l.push_back(Line("  - ", "copyHistory", std::to_string(chist)));
  }

  info.frame = c;
  TDtsValues& f = info.frame;
  size_t off = length;
  if (available >= off + 4 && IsHdSync(p + off)) {
    while (available >= off + 8 && IsHdSync(p + off)) {
      TDtsHdInfo hd;
      const int r = ParseDtsHdSubstream(p + off, available - off, hd, listing);
      if (r == kDtsHdNeedMore) {
        size_t size = 0;
        if (PeekDtsHdSubstreamSize(p + off, available - off, &size) == kDtsHdOk)
          info.extensionBytes += size;
        return kDtsBadExtension;
      }
      if (r != kDtsHdOk) return kDtsInvalid;
      info.extension = true;
      info.extensionBytes += hd.size;
      off += hd.size;
      f.dialnorm = hd.dialnorm;
      info.xxch = info.xxch || hd.xxch;
      info.xll = info.xll || hd.xll;
      // A substream without a sample rate keeps the core's timing.
      if (hd.samplesPerFrame != 0) info.samplesPerFrame = hd.samplesPerFrame;
      if (hd.channels > f.channels) {
        f.channels = hd.channels;
        f.channelText = ChannelCountWord(hd.channels);
        if (hd.channels == 8 && hd.speakerMask != 0 && hd.speakerMask != 0x84B &&
            hd.speakerMask != 0x40F)
          f.channelText = "7.1 (strange setup)";
        if (hd.speakerMask != 0) {
          f.channelMask = DtsSpeakerMaskToChannelMask(hd.speakerMask);
        } else if (hd.channels == 7 && f.channelMask == 0x60F) {
          f.channelMask = 0x70F;
        } else if (hd.channels == 8 && (f.channelMask == 0x60F || f.channelMask == 0x70F)) {
          f.channelMask = 0x63F;
        }
      }
      if (hd.samplesPerFrame != 0) f.sampleRate = std::max(f.sampleRate, hd.sampleRate);
      f.bits = std::max(f.bits, hd.bits);
    }
  }

  // Zero padding after the frame.
  size_t zeros = 0;
  while (off + zeros < available && p[off + zeros] == 0) ++zeros;
  info.zeroPadding = zeros;

  if (info.extension) {
    // After the substreams (and their padding): the end of the data or the next core.
    const size_t next = off + zeros;
    if (next != available && (available < next + 4 || !IsCoreSync(p + next)))
      return kDtsBadExtension;
    if (info.xll) {
      f.description = "DTS Master Audio";
      f.bitrate = 0;
    } else {
      f.description = "DTS Hi-Res";
      f.bitrate = RateOf(f.sampleRate, length + info.extensionBytes, info.samplesPerFrame);
    }
  } else if (zeros == 0 && available >= length + 3 && IsCoreSync(p + length - 1)) {
    // A core frame that declares one byte more than it has.
    info.coreLength = length - 1;
    c.bitrate = rate > 29 ? 0 : RateOf(kCoreRates[sfreq], length - 1, (nblks + 1) * 32);
    f.bitrate = c.bitrate;
  }
  return kDtsOk;
}

}  // namespace kavrix
