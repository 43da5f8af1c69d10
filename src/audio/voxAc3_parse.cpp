// AC3 and E-AC3 frame headers, access units, checksums and the dialog-normalization patch.
#include <algorithm>
#include <array>

#include "audio/voxAc3.h"
#include "core/voxBits.h"

namespace kavrix {

namespace {

constexpr uint32_t kAc3Bitrates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                       192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr uint32_t kRates[3] = {48000, 44100, 32000};
constexpr uint32_t kReducedRates[3] = {24000, 22050, 16000};
constexpr uint32_t kBlocks[4] = {1, 2, 3, 6};

struct TLayout {
  uint8_t channels;
  uint32_t mask;
};
constexpr TLayout kLayouts[8] = {{2, 0x4},   {1, 0x4},   {2, 0x3},   {3, 0x7},
                                 {3, 0x103}, {4, 0x107}, {4, 0x603}, {5, 0x607}};
constexpr uint32_t kRearPairMask = 0x30;

void SetLayout(TAc3FrameInfo& f) {
  f.channels = kLayouts[f.acmod].channels + (f.lfe ? 1 : 0);
  f.channelMask = kLayouts[f.acmod].mask | (f.lfe ? 0x8 : 0);
}

// ---- CRC-16 (0x8005, MSB first), eight bytes per step ----

using TCrcTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr TCrcTables MakeCrcTables() {
  TCrcTables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b << 8;
    for (int i = 0; i < 8; ++i) c = (c & 0x8000) ? ((c << 1) ^ 0x8005) : (c << 1);
    t[0][b] = uint16_t(c);
  }
  // t[k][b]: byte b followed by k zero bytes.
  for (int k = 1; k < 8; ++k)
    for (uint32_t b = 0; b < 256; ++b) {
      const uint16_t prev = t[k - 1][b];
      t[k][b] = uint16_t((prev << 8) ^ t[0][prev >> 8]);
    }
  return t;
}
constexpr TCrcTables kCrc = MakeCrcTables();

// Multiplication of polynomials modulo x^16 + x^15 + x^2 + 1.
constexpr uint16_t CrcMul(uint16_t a, uint16_t b) {
  uint32_t r = 0;
  for (int i = 15; i >= 0; --i) {
    r = (r & 0x8000) ? ((r << 1) ^ 0x8005) : (r << 1);
    r &= 0xFFFF;
    if (b & (1u << i)) r ^= a;
  }
  return uint16_t(r);
}

// crc1 factor per 5/8 point: x^-(16 × w58 − 16). 0xC002 is the inverse of x.
constexpr size_t kMaxW58 = kAc3MaxFrameLength / 4 + kAc3MaxFrameLength / 16;
using TInverseTable = std::array<uint16_t, kMaxW58 + 1>;
constexpr TInverseTable MakeInverseTable() {
  TInverseTable t{};
  uint16_t inv16 = 1;  // x^-16
  for (int i = 0; i < 16; ++i) inv16 = CrcMul(inv16, 0xC002);
  uint16_t f = 1;  // w58 = 1 gives x^0
  t[0] = 1;
  for (size_t w = 1; w <= kMaxW58; ++w) {
    t[w] = f;
    f = CrcMul(f, inv16);
  }
  return t;
}
constexpr TInverseTable kCrc1Factor = MakeInverseTable();

// x^k modulo the polynomial; negative k through the inverse of x.
uint16_t ComputeCrcPowX(int64_t k) {
  uint16_t base = k >= 0 ? 2 : 0xC002;
  uint64_t e = uint64_t(k >= 0 ? k : -k);
  uint16_t r = 1;
  while (e > 0) {
    if (e & 1) r = CrcMul(r, base);
    base = CrcMul(base, base);
    e >>= 1;
  }
  return r;
}

// Frames of a stream share their few lengths and dialnorm places: the last powers are kept
// per thread (each node runs on one thread at a time).
uint16_t CrcPowX(int64_t k) {
  struct TEntry {
    int64_t k = INT64_MIN;
    uint16_t value = 0;
  };
  thread_local TEntry cache[4];
  TEntry& e = cache[uint64_t(k) & 3];
  if (e.k != k) e = TEntry{k, ComputeCrcPowX(k)};
  return e.value;
}

// The checksums of a frame follow a change of its bytes first..last (inclusive; before holds
// their old values): CRCs are linear, so the change's own CRC, moved to the checksum's place,
// is added. A frame that arrived with a wrong checksum keeps a wrong one.
void ApplyCrcChange(uint8_t* frame, size_t length, bool eac3, const uint8_t* before, size_t first,
                    size_t last) {
  uint8_t delta[16];
  for (size_t i = first; i <= last; ++i) delta[i - first] = uint8_t(before[i - first] ^ frame[i]);
  const uint16_t c = Ac3Crc16(delta, last - first + 1);
  if (eac3) {
    // The checksum covers bytes 2 up to length - 2 and is the CRC of that range.
    const uint16_t d = CrcMul(c, CrcPowX(8 * (int64_t(length) - 3 - int64_t(last))));
    frame[length - 2] ^= uint8_t(d >> 8);
    frame[length - 1] ^= uint8_t(d);
    return;
  }
  // crc1 = CRC(bytes 4 .. 2 × w58) × x^-(16 × w58 - 16); the powers of x cancel down to
  // x^(8 - 8 × last). crc2 covers only the last 3/8 of the frame and stays.
  const uint16_t d = CrcMul(c, CrcPowX(8 - 8 * int64_t(last)));
  frame[2] ^= uint8_t(d >> 8);
  frame[3] ^= uint8_t(d);
}

// Writes value into n bits at bit position pos (MSB first) of data.
void PutBits(uint8_t* data, size_t pos, int n, uint32_t value) {
  for (int i = n - 1; i >= 0; --i, ++pos) {
    const uint8_t bit = uint8_t(0x80 >> (pos & 7));
    if (value & (1u << i)) {
      data[pos >> 3] |= bit;
    } else {
      data[pos >> 3] &= uint8_t(~bit);
    }
  }
}

uint32_t GetBits(const uint8_t* data, size_t pos, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i, ++pos) v = (v << 1) | ((data[pos >> 3] >> (7 - (pos & 7))) & 1);
  return v;
}

// Skips an enable bit and, when it is set, the field behind it.
void SkipOptional(TBitBuffer& b, int n) {
  if (ReadBits(b, 1)) ReadBits(b, n);
}

// Bit position (from the frame start) of dialnorm2 in a 1+1 frame.
size_t Ac3Dialnorm2Position(const uint8_t* frame, size_t length, bool eac3) {
  TBitBuffer b;
  InitBitBuffer(b, frame, length, false);
  if (eac3) {
    ReadBits(b, 32);
    ReadBits(b, 8);      // fscod, numblkscod, acmod, lfeon
    ReadBits(b, 10);     // bsid, dialnorm
    SkipOptional(b, 8);  // compr
  } else {
    ReadBits(b, 32);
    ReadBits(b, 8);      // fscod, frmsizecod
    ReadBits(b, 8);      // bsid, bsmod
    ReadBits(b, 9);      // acmod 0, lfeon, dialnorm
    SkipOptional(b, 8);  // compr
    SkipOptional(b, 8);  // langcod
    SkipOptional(b, 7);  // mixlevel, roomtyp
  }
  return size_t(GetBitCounter(b));
}

}  // namespace

uint16_t Ac3Crc16(const uint8_t* data, size_t size, uint16_t crc) {
  while (size >= 8) {
    const uint8_t x0 = uint8_t(data[0] ^ (crc >> 8));
    const uint8_t x1 = uint8_t(data[1] ^ (crc & 0xFF));
    crc = uint16_t(kCrc[7][x0] ^ kCrc[6][x1] ^ kCrc[5][data[2]] ^ kCrc[4][data[3]] ^
                   kCrc[3][data[4]] ^ kCrc[2][data[5]] ^ kCrc[1][data[6]] ^ kCrc[0][data[7]]);
    data += 8;
    size -= 8;
  }
  while (size-- > 0) crc = uint16_t((crc << 8) ^ kCrc[0][(crc >> 8) ^ *data++]);
  return crc;
}

std::string Ac3ChannelText(uint8_t acmod, bool lfe, bool rearPair) {
  static constexpr const char* kTexts[8] = {"1+1", "1", "2", "3", "2/1", "3/1", "2/2", "5"};
  std::string text = kTexts[acmod & 7];
  if (lfe || text.size() == 1) text += lfe ? ".1" : ".0";
  if (rearPair) {
    if (text[0] == '5') {
      text[0] = '7';
    } else {
      text += "+2.0";
    }
  }
  return text;
}

std::string Ac3FormatSuffix(bool ex, bool headphone, bool surround) {
  if (ex) return " EX";
  if (headphone) return " Headphone";
  if (surround) return " Surround";
  return {};
}

int ParseAc3Bsi(const uint8_t* data, size_t available, TAc3FrameInfo* info, bool wantFlags) {
  if (available <= 7) return kAc3NeedMore;
  if (data[0] != 0x0B || data[1] != 0x77) return kAc3Invalid;
  const uint8_t bsid = data[5] >> 3;
  if (bsid >= 11 && bsid <= 16) return kAc3EnhancedBsid;
  if (bsid > 8) return kAc3Invalid;
  const uint32_t fscod = data[4] >> 6;
  const uint32_t frmsizecod = data[4] & 0x3F;
  if (fscod == 3 || frmsizecod / 2 >= 19) return kAc3Invalid;
  TAc3FrameInfo f;
  f.bsid = bsid;
  f.sampleRate = kRates[fscod];
  f.bitrate = kAc3Bitrates[frmsizecod / 2] * 1000;
  f.samples = 1536;
  uint32_t length = uint32_t(uint64_t(f.bitrate) * 192 / f.sampleRate);
  if (fscod == 1) length = (length & ~1u) + ((frmsizecod & 1) ? 2 : 0);
  f.length = length;
  // bytes 6-7: acmod, the optional mix fields, lfeon, dialnorm.
  const uint32_t w = (uint32_t(data[6]) << 8) | data[7];
  f.acmod = uint8_t(w >> 13);
  int pos = 7;
  if ((f.acmod & 1) && f.acmod != 1) pos -= 2;
  if (f.acmod & 4) pos -= 2;
  const bool hasDsurmod = f.acmod == 2;
  if (hasDsurmod) pos -= 2;
  f.dialnorm = (w >> pos) & 31;
  f.lfe = (w >> (pos + 5)) & 1;
  SetLayout(f);
  if (info) {
    *info = f;
  }
  if (available < length) return kAc3NeedMore;
  if (wantFlags && info) {
    if (hasDsurmod) info->surround = ((w >> (pos + 6)) & 3) == 2;
    if (bsid == 6) {
      TBitBuffer b;
      InitBitBuffer(b, data + 6, length - 6, false);
      ReadBits(b, 16 - pos);  // acmod .. dialnorm
      SkipOptional(b, 8);     // compr
      SkipOptional(b, 8);     // langcod
      SkipOptional(b, 7);     // mixlevel, roomtyp
      if (f.acmod == 0) {
        ReadBits(b, 5);
        SkipOptional(b, 8);
        SkipOptional(b, 8);
        SkipOptional(b, 7);
      }
      ReadBits(b, 2);       // copyrightb, origbs
      SkipOptional(b, 14);  // dmixmod and the Lt/Rt, Lo/Ro levels
      if (ReadBits(b, 1)) {
        info->ex = ReadBits(b, 2) == 2;
        info->headphone = ReadBits(b, 2) == 2;
      }
    }
  }
  return kAc3Ok;
}

void ReadEac3MetadataFlags(const uint8_t* frame, size_t length, bool& ex, bool& headphone,
                           bool& surround) {
  ex = headphone = surround = false;
  if (length < kEac3MinFrameLength) return;
  TBitBuffer b;
  InitBitBuffer(b, frame + 4, length - 4, false);
  uint32_t blocks = 6;
  if (ReadBits(b, 2) == 3) {
    ReadBits(b, 2);
  } else {
    blocks = kBlocks[ReadBits(b, 2)];
  }
  const uint32_t acmod = ReadBits(b, 3);
  const bool lfe = ReadBits(b, 1) != 0;
  ReadBits(b, 10);  // bsid, dialnorm
  SkipOptional(b, 8);
  if (acmod == 0) {
    ReadBits(b, 5);
    SkipOptional(b, 8);
  }
  if (ReadBits(b, 1)) {  // mixmdate
    if (acmod > 2) ReadBits(b, 2);
    if ((acmod & 1) && acmod > 2) ReadBits(b, 6);
    if (acmod >= 4) ReadBits(b, 6);
    if (lfe) SkipOptional(b, 5);
    SkipOptional(b, 6);                  // pgmscl
    if (acmod == 0) SkipOptional(b, 6);  // pgmscl2
    SkipOptional(b, 6);                  // extpgmscl
    switch (ReadBits(b, 2)) {            // mixdef
      case 1:
        ReadBits(b, 5);
        break;
      case 2:
        ReadBits(b, 12);
        break;
      case 3: {
        const uint32_t bytes = ReadBits(b, 5) + 2;
        for (uint32_t i = 0; i < bytes; ++i) ReadBits(b, 8);
        break;
      }
      default:
        break;
    }
    if (acmod < 2) {
      SkipOptional(b, 14);
      if (acmod == 0) SkipOptional(b, 14);
    }
    if (ReadBits(b, 1)) {  // frmmixcfginfoe
      if (blocks == 1) {
        ReadBits(b, 5);
      } else {
        for (uint32_t i = 0; i < blocks; ++i) SkipOptional(b, 5);
      }
    }
  }
  if (!ReadBits(b, 1)) return;  // infomdate
  ReadBits(b, 5);               // bsmod, copyrightb, origbs
  if (acmod == 2) {
    surround = ReadBits(b, 2) == 2;
    headphone = ReadBits(b, 2) == 2;
  }
  if (acmod >= 6) ex = ReadBits(b, 2) == 2;
}

int ParseAc3Frame(const uint8_t* data, size_t available, TAc3FrameInfo* info, bool wantFlags) {
  if (available <= 7) return kAc3NeedMore;
  if (data[0] != 0x0B || data[1] != 0x77) return kAc3Invalid;
  const uint8_t bsid = data[5] >> 3;
  if (bsid <= 8) return ParseAc3Bsi(data, available, info, wantFlags);
  if (bsid < 11 || bsid > 16) return kAc3Invalid;

  TAc3FrameInfo f;
  f.eac3 = true;
  f.bsid = bsid;
  f.strmtyp = data[2] >> 6;
  f.substreamId = (data[2] >> 3) & 7;
  f.length = ((uint32_t(data[2] & 7) << 8) | data[3]) * 2 + 2;
  if (f.strmtyp == 3 || f.length < kEac3MinFrameLength) return kAc3Invalid;
  if (f.strmtyp == 1) {
    if (info) *info = f;
    if (available < f.length) return kAc3NeedMore;
    if (f.substreamId == 0) {
      // Does the channel map carry the rear-surround pair (Lrs/Rrs, bit 6 of the map)?
      TBitBuffer b;
      InitBitBuffer(b, data + 4, f.length - 4, false);
      if (ReadBits(b, 2) == 3) {
        ReadBits(b, 2);
      } else {
        ReadBits(b, 2);
      }
      const uint32_t acmod = ReadBits(b, 3);
      ReadBits(b, 11);
      SkipOptional(b, 8);
      if (acmod == 0) {
        ReadBits(b, 5);
        SkipOptional(b, 8);
      }
      if (ReadBits(b, 1)) f.rearPair = (ReadBits(b, 16) & 0x200) != 0;
      if (info) info->rearPair = f.rearPair;
    }
    return kAc3Ok;
  }
  const uint32_t fscod = data[4] >> 6;
  uint32_t blocks = 6;
  if (fscod == 3) {
    const uint32_t fscod2 = (data[4] >> 4) & 3;
    if (fscod2 == 3) return kAc3BadRate;
    f.sampleRate = kReducedRates[fscod2];
  } else {
    f.sampleRate = kRates[fscod];
    blocks = kBlocks[(data[4] >> 4) & 3];
  }
  f.samples = blocks * 256;
  f.acmod = (data[4] >> 1) & 7;
  f.lfe = data[4] & 1;
  f.dialnorm = ((data[5] & 7u) << 2) | (data[6] >> 6);
  f.bitrate = uint32_t(uint64_t(f.length) * 8 * f.sampleRate / f.samples);
  SetLayout(f);
  if (info) *info = f;
  if (available < f.length) return kAc3NeedMore;
  if (wantFlags && info)
    ReadEac3MetadataFlags(data, f.length, info->ex, info->headphone, info->surround);
  return kAc3Ok;
}

int ParseAc3AccessUnit(const uint8_t* data, size_t available, size_t expected, TAc3UnitInfo& info,
                       bool wantFlags) {
  info = TAc3UnitInfo{};
  size_t pos = 0;
  size_t start = 0;
  bool found = false;
  for (;;) {
    TAc3FrameInfo f;
    const int r = ParseAc3Frame(data + pos, available - pos, &f, wantFlags && !found);
    if (r == kAc3NeedMore) {
      if (!found) return info.result = kAc3UnitIncomplete;
      const uint8_t* q = data + pos;
      const size_t rest = available - pos;
      const size_t length = pos - start;
      const bool nextStarts = rest >= 6 && q[0] == 0x0B && q[1] == 0x77 &&
                              ((q[5] >> 3) < 9 || (q[2] < 0x40 && (q[2] & 0x38) == 0));
      if (nextStarts || (rest == 0 && length == expected)) break;
      return info.result = kAc3UnitIncomplete;
    }
    if (r != kAc3Ok) return info.result = r;
    const bool unitStart = !f.eac3 || (f.strmtyp == 0 && f.substreamId == 0);
    if (unitStart) {
      if (found) break;
      found = true;
      start = pos;
      info.core = f;
      info.firstFrameLength = f.length;
      info.firstIsEac3 = f.eac3;
      info.dialnorm = f.dialnorm;
      info.sampleRate = f.sampleRate;
      info.channelMask = f.channelMask;
      info.channels = f.channels;
      info.lfe = f.lfe;
    } else if (!found) {
      info.skipped += f.length;
    } else if (f.strmtyp == 1 && f.substreamId == 0 && f.rearPair && !info.rearPair) {
      info.rearPair = true;
      info.channels += 2;
      info.channelMask |= kRearPairMask;
    }
    if (found && f.eac3) info.anyEac3 = true;
    pos += f.length;
  }
  info.length = pos - start;
  info.bitrate =
      uint32_t(uint64_t(info.core.bitrate) * info.length / std::max<uint32_t>(info.core.length, 1));
  return info.result = kAc3Ok;
}

void UpdateAc3Crcs(uint8_t* frame, size_t length, bool eac3) {
  if (length < 8) return;
  if (eac3) {
    const uint16_t crc = Ac3Crc16(frame + 2, length - 4);
    frame[length - 2] = uint8_t(crc >> 8);
    frame[length - 1] = uint8_t(crc);
    return;
  }
  const size_t w58 = length / 4 + length / 16;
  if (w58 > kMaxW58 || 2 * w58 + 2 > length) return;
  const uint16_t c = Ac3Crc16(frame + 4, 2 * w58 - 4);
  const uint16_t crc1 = CrcMul(c, kCrc1Factor[w58]);
  frame[2] = uint8_t(crc1 >> 8);
  frame[3] = uint8_t(crc1);
  const uint16_t crc2 = Ac3Crc16(frame + 2 * w58, length - 2 - 2 * w58);
  frame[length - 2] = uint8_t(crc2 >> 8);
  frame[length - 1] = uint8_t(crc2);
}

int PatchAc3Dialnorm(uint8_t* data, size_t available, size_t* frameLength) {
  TAc3FrameInfo f;
  const int r = ParseAc3Frame(data, available, &f);
  if (frameLength) *frameLength = r == kAc3Ok ? f.length : 0;
  if (r != kAc3Ok) return r;
  // The dialnorm fields lie within the first 16 bytes of every frame.
  uint8_t before[16];
  std::copy(data, data + 16, before);
  bool changed = false;
  if (f.eac3) {
    if ((data[5] & 0x07) != 0x07 || (data[6] & 0xC0) != 0xC0) {
      data[5] |= 0x07;
      data[6] |= 0xC0;
      changed = true;
    }
  } else {
    uint32_t w = (uint32_t(data[6]) << 8) | data[7];
    int pos = 7;
    if ((f.acmod & 1) && f.acmod != 1) pos -= 2;
    if (f.acmod & 4) pos -= 2;
    if (f.acmod == 2) pos -= 2;
    if (((w >> pos) & 31) != 31) {
      w |= 31u << pos;
      data[6] = uint8_t(w >> 8);
      data[7] = uint8_t(w);
      changed = true;
    }
  }
  // A 1+1 frame has a second dialog normalization for its second mono channel.
  bool mono2 = f.strmtyp != 1 && f.acmod == 0;
  if (mono2) {
    const size_t bit = Ac3Dialnorm2Position(data, f.length, f.eac3);
    if (bit + 5 <= 16 * 8 && GetBits(data, bit, 5) != 31) {
      PutBits(data, bit, 5, 31);
      changed = true;
    }
  }
  if (changed) {
    size_t first = 16, last = 0;
    for (size_t i = 0; i < 16; ++i) {
      if (before[i] != data[i]) {
        first = std::min(first, i);
        last = i;
      }
    }
    ApplyCrcChange(data, f.length, f.eac3, before + first, first, last);
  }
  return kAc3Ok;
}

size_t PatchAc3UnitDialnorm(uint8_t* data, size_t size) {
  size_t pos = 0;
  size_t frames = 0;
  int starts = 0;
  while (pos < size) {
    TAc3FrameInfo f;
    if (ParseAc3Frame(data + pos, size - pos, &f) != kAc3Ok) break;
    size_t length = 0;
    PatchAc3Dialnorm(data + pos, size - pos, &length);
    ++frames;
    pos += length;
    if ((!f.eac3 || f.strmtyp != 1) && ++starts == 2) break;
  }
  return frames;
}

}  // namespace kavrix
