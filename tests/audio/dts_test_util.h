#pragma once
// Helpers of the DTS tests: hand-built DTS core frames (DTS-ES, 96/24, CRC, odd lengths) and
// DTS-HD extension substreams with asset descriptors, assembled from the format's bit layout,
// and the streams made of them (padded, wrapped in a .dtshd file).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ac3_test_util.h"
#include "audio/voxDts.h"

namespace kavrix::test {

// A bit string that can be appended to another (descriptors sit at any bit position).
class TBits {
 public:
  void Put(uint64_t value, int n) {
    for (int i = n - 1; i >= 0; --i) bits_.push_back(uint8_t((value >> i) & 1));
  }
  void Append(const TBits& other) {
    bits_.insert(bits_.end(), other.bits_.begin(), other.bits_.end());
  }
  void AlignByte() {
    while (bits_.size() % 8) bits_.push_back(0);
  }
  size_t Size() const { return bits_.size(); }
  Bytes ToBytes() const {
    Bytes out((bits_.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits_.size(); ++i)
      if (bits_[i]) out[i / 8] |= uint8_t(0x80 >> (i % 8));
    return out;
  }

 private:
  std::vector<uint8_t> bits_;
};

struct TCoreSpec {
  uint32_t nblks = 15;    // 512 samples
  uint32_t fsize = 2011;  // 2012-byte frame
  uint32_t amode = 9;     // 3/2
  uint32_t sfreq = 13;    // 48 kHz
  uint32_t rate = 24;
  bool hdcd = false;
  uint32_t extId = 0;
  bool extAudio = false;
  uint32_t lff = 2;
  bool cpf = false;
  uint32_t vernum = 7;
  uint32_t chist = 0;
  uint32_t pcmr = 0;
  uint32_t dialnorm = 0;
  uint8_t fill = 0x11;  // audio bytes (never zero, so the frame has no padding of its own)
};

inline Bytes MakeDtsCore(const TCoreSpec& s) {
  TBits b;
  b.Put(0x7FFE8001, 32);
  b.Put(1, 1);   // FTYPE
  b.Put(31, 5);  // SHORT
  b.Put(s.cpf, 1);
  b.Put(s.nblks, 7);
  b.Put(s.fsize, 14);
  b.Put(s.amode, 6);
  b.Put(s.sfreq, 4);
  b.Put(s.rate, 5);
  b.Put(0, 4);  // fixed bit, DYNF, TIMEF, AUXF
  b.Put(s.hdcd, 1);
  b.Put(s.extId, 3);
  b.Put(s.extAudio, 1);
  b.Put(0, 1);  // ASPF
  b.Put(s.lff, 2);
  b.Put(0, 1);  // HFLAG
  if (s.cpf) b.Put(0xABCD, 16);
  b.Put(0, 1);  // FILTS
  b.Put(s.vernum, 4);
  b.Put(s.chist, 2);
  b.Put(s.pcmr, 3);
  b.Put(0, 2);  // SUMF, SUMS
  b.Put(s.dialnorm, 4);
  Bytes frame = b.ToBytes();
  frame.resize(size_t(s.fsize) + 1, s.fill);
  return frame;
}

// Places the XCh sync and its 10-bit size at the even offset that the repaired form (size
// counted after the sync word) or the outdated form (counted from it) gives.
inline void PutXch(Bytes& frame, size_t size, bool outdated) {
  size_t o = frame.size() - size - (outdated ? 0 : 1);
  o &= ~size_t(1);
  if (outdated)
    size = frame.size() - o;
  else
    size = frame.size() - o - 1;
  frame[o] = frame[o + 1] = frame[o + 2] = frame[o + 3] = 0x5A;
  frame[o + 4] = uint8_t(size >> 2);
  frame[o + 5] = uint8_t((size & 3) << 6);
}

struct TAssetSpec {
  uint32_t payloadSync = 0x41A29547;  // XLL; 0x0A801921 LBR; 0x655E315E XBR
  size_t payloadSize = 600;
  uint32_t channels = 6;
  uint32_t speakerMask = 0x000F;  // C, L R, Ls Rs, LFE
  uint32_t rateIndex = 12;        // 48 kHz
  uint32_t bits = 24;
  uint32_t dialnorm = 0;
  bool hasDialnorm = false;
  int codingMode = 0;
  uint32_t components = 0x200;  // coding mode 0: XLL
  std::string infoText;
};

struct TSubstreamSpec {
  uint32_t index = 0;
  bool blownUp = false;
  bool staticFields = true;
  uint32_t durationCode = 0;  // +1 frames of the base length
  std::vector<TAssetSpec> assets = {TAssetSpec{}};
};

inline TBits AssetDescriptor(const TSubstreamSpec& s, const TAssetSpec& a, uint32_t index) {
  TBits b;
  b.Put(index, 3);
  if (s.staticFields) {
    b.Put(0, 1);  // type descriptor
    b.Put(0, 1);  // language
    b.Put(!a.infoText.empty(), 1);
    if (!a.infoText.empty()) {
      b.Put(a.infoText.size() - 1, 10);
      for (char c : a.infoText) b.Put(uint8_t(c), 8);
    }
    b.Put(a.bits - 1, 5);
    b.Put(a.rateIndex, 4);
    b.Put(a.channels - 1, 8);
    b.Put(1, 1);  // one speaker per channel
    if (a.channels > 2) b.Put(0, 1);
    if (a.channels > 6) b.Put(0, 1);
    b.Put(a.speakerMask != 0, 1);
    if (a.speakerMask != 0) {
      b.Put(3, 2);  // 16-bit masks
      b.Put(a.speakerMask, 16);
      b.Put(0, 3);  // no remap sets
    }
  }
  b.Put(0, 1);  // DRC
  b.Put(a.hasDialnorm, 1);
  if (a.hasDialnorm) b.Put(a.dialnorm, 5);
  b.Put(uint32_t(a.codingMode), 2);
  if (a.codingMode == 0) b.Put(a.components, 12);
  TBits d;
  const size_t bytes = (9 + b.Size() + 7) / 8;
  d.Put(bytes - 1, 9);
  d.Append(b);
  d.AlignByte();
  return d;
}

inline Bytes MakeDtsHdSubstream(const TSubstreamSpec& s) {
  size_t headerSize = 0, fullSize = 0;
  for (int pass = 0; pass < 2; ++pass) {
    TBits h;
    h.Put(0x64582025, 32);
    h.Put(0, 8);
    h.Put(s.index, 2);
    h.Put(s.blownUp, 1);
    h.Put(headerSize ? headerSize - 1 : 0, s.blownUp ? 12 : 8);
    h.Put(fullSize ? fullSize - 1 : 0, s.blownUp ? 20 : 16);
    h.Put(s.staticFields, 1);
    if (s.staticFields) {
      h.Put(2, 2);  // 1/48000
      h.Put(s.durationCode, 3);
      h.Put(0, 1);  // no time stamp
      h.Put(0, 3);  // one presentation
      h.Put(s.assets.size() - 1, 3);
      h.Put(1, s.index + 1);  // active substream 0
      h.Put(1, 8);            // its asset 0
      h.Put(0, 1);            // no mix metadata
    }
    for (const auto& a : s.assets) h.Put(a.payloadSize - 1, s.blownUp ? 20 : 16);
    for (size_t i = 0; i < s.assets.size(); ++i)
      h.Append(AssetDescriptor(s, s.assets[i], uint32_t(i)));
    h.AlignByte();
    h.Put(0, 16);  // header CRC (not checked)
    Bytes header = h.ToBytes();
    headerSize = header.size();
    fullSize = headerSize;
    for (const auto& a : s.assets) fullSize += a.payloadSize;
    if (pass == 1) {
      for (const auto& a : s.assets) {
        Bytes payload(a.payloadSize, 0x22);
        for (int i = 0; i < 4; ++i) payload[size_t(i)] = uint8_t(a.payloadSync >> (24 - 8 * i));
        header.insert(header.end(), payload.begin(), payload.end());
      }
      return header;
    }
  }
  return {};
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// count frames, each followed by padding zero bytes.
inline Bytes Repeat(const Bytes& frame, size_t count, size_t padding = 0) {
  Bytes out;
  for (size_t i = 0; i < count; ++i) {
    out.insert(out.end(), frame.begin(), frame.end());
    out.insert(out.end(), padding, 0);
  }
  return out;
}

// A .dtshd file: header chunk, one more chunk, the stream data, and a chunk after it.
inline Bytes WrapDtsHd(const Bytes& stream) {
  auto chunk = [](const char* id, const Bytes& payload) {
    Bytes c(id, id + 8);
    for (int i = 7; i >= 0; --i) c.push_back(uint8_t(uint64_t(payload.size()) >> (8 * i)));
    c.insert(c.end(), payload.begin(), payload.end());
    return c;
  };
  return Concat({chunk("DTSHDHDR", Bytes(24, 1)), chunk("FILEINFO", Bytes{'S', 'T', 'R', 'M'}),
                 chunk("STRMDATA", stream), chunk("TIMECODE", Bytes(16, 0x7F))});
}

// The details of a reader after a whole run over data in blocks.
struct TDtsRun {
  UpStreamPtr reader;
  std::shared_ptr<TUnitSink> sink = std::make_shared<TUnitSink>();
  bool ok = false;
  const IAudioFormatDetails& Details() const { return *Query<IAudioFormatDetails>(reader); }
};

inline TDtsRun RunDts(UpStreamPtr reader, const Bytes& data, size_t blockSize = 65536) {
  TDtsRun run;
  run.reader = std::move(reader);
  run.reader->SetUpstream(run.sink);
  run.ok = Feed(run.reader, data, blockSize);
  return run;
}

}  // namespace kavrix::test
