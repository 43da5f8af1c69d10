#pragma once
// Helpers of the AC3 tests: fixture files, a recording sink, running a node over blocks,
// captured console messages, outside reference tools, and hand-built frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "audio/voxAc3.h"
#include "core/voxUpStream.h"
#include "core/voxUpStream_console.h"
#include "test_support.h"

namespace kavrix::test {

inline std::string AudioFixture(const std::string& name) {
  return FixturePath("audio/" + name);
}
inline Bytes Fixture(const std::string& name) {
  return ReadBytes(AudioFixture(name));
}
// Runs a shell command in the scratch folder's file "out" and returns what it printed
// (stdout and stderr).
inline std::string Capture(const TScratch& scratch, const std::string& command) {
  const std::string out = scratch.Path("captured.txt");
  std::ignore = std::system(("(" + command + ") > '" + out + "' 2>&1").c_str());
  const Bytes text = ReadBytes(out);
  return std::string(text.begin(), text.end());
}
inline bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " > /dev/null 2>&1").c_str()) == 0;
}

// A sink that keeps every delivery and the announcement.
class TUnitSink : public TUpStream {
 public:
  TUnitSink() : TUpStream("unit sink") {}
  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t mask, uint32_t bits,
                 uint32_t rate, bool, uint64_t) override {
    formatId_ = formatId;
    channels_ = channels;
    mask_ = mask;
    bits_ = bits;
    rate_ = rate;
    ++opened_;
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t timeStamp, bool) override {
    units_.emplace_back(data, data + size);
    timeStamps_.push_back(timeStamp);
    return true;
  }
  bool Finish(TKey) override {
    ++finished_;
    return true;
  }
  void NotifyJoin(uint8_t, int64_t) override { ++joins_; }
  Bytes Joined() const {
    Bytes all;
    for (const auto& u : units_) all.insert(all.end(), u.begin(), u.end());
    return all;
  }
  std::string formatId_;
  uint32_t channels_ = 0, mask_ = 0, bits_ = 0, rate_ = 0;
  int opened_ = 0, finished_ = 0, joins_ = 0;
  std::vector<Bytes> units_;
  std::vector<int64_t> timeStamps_;
};

// Collects console messages while alive.
// Console messages captured while alive.
class TMessages : public TConsoleCapture {
 public:
  bool Has(const std::string& s) const { return Text().find(s) != std::string::npos; }
  size_t Count(const std::string& s) const {
    size_t n = 0;
    for (size_t p = Text().find(s); p != std::string::npos; p = Text().find(s, p + 1)) ++n;
    return n;
  }
};

// One block of input with its time stamp.
struct TBlock {
  Bytes data;
  int64_t timeStamp = kNoTimeStamp;
};

// Announces the data as the source does ("?", byte count) and feeds it in blocks of the
// given size; returns the result of Finish (false as soon as anything fails).
inline bool Feed(const UpStreamPtr& node, const Bytes& data, size_t blockSize = 65536,
                 const std::string& formatId = "?") {
  if (!node->OpenAudio(formatId, 1, 1, 8, 48000, false, data.size())) return false;
  for (size_t pos = 0; pos < data.size(); pos += blockSize) {
    const size_t n = std::min(blockSize, data.size() - pos);
    if (!node->ProcessData(0, false, data.data() + pos, n, kNoTimeStamp, false)) return false;
  }
  return node->Finish(0);
}

// The frames of an (E-)AC3 stream as they stand (lengths from the headers).
inline std::vector<Bytes> SplitFrames(const Bytes& stream) {
  std::vector<Bytes> frames;
  size_t pos = 0;
  while (pos < stream.size()) {
    TAc3FrameInfo f;
    if (ParseAc3Frame(stream.data() + pos, stream.size() - pos, &f) != kAc3Ok) break;
    frames.emplace_back(stream.begin() + long(pos), stream.begin() + long(pos + f.length));
    pos += f.length;
  }
  return frames;
}

// Turns an independent E-AC3 stereo frame into a dependent substream-0 frame that carries
// the rear-surround pair (Lrs/Rrs) and fixes its checksum.
inline Bytes MakeRearPairFrame(Bytes frame) {
  frame[2] = uint8_t((frame[2] & 0x07) | 0x40);  // strmtyp 1
  frame[6] = uint8_t((frame[6] & 0xE0) | 0x10);  // compre clear, chanmape set
  frame[7] = 0x20;                               // chanmap: Lrs/Rrs only
  frame[8] &= 0x0F;
  UpdateAc3Crcs(frame.data(), frame.size(), true);
  return frame;
}

// A 7.1 E-AC3 stream: every 5.1 frame followed by a dependent rear-pair frame.
inline Bytes MakeEac3SevenOne(const Bytes& core51, const Bytes& stereo) {
  const auto a = SplitFrames(core51);
  const auto b = SplitFrames(stereo);
  Bytes out;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    out.insert(out.end(), a[i].begin(), a[i].end());
    const Bytes dep = MakeRearPairFrame(b[i]);
    out.insert(out.end(), dep.begin(), dep.end());
  }
  return out;
}

// Writes bits MSB first (for hand-built headers).
class TBitWriter {
 public:
  void Put(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      if (bit_ == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= uint8_t(0x80 >> bit_);
      bit_ = (bit_ + 1) & 7;
    }
  }
  Bytes Take(size_t length) {
    bytes_.resize(length, 0);
    return bytes_;
  }

 private:
  Bytes bytes_;
  int bit_ = 0;
};

// A hand-built independent E-AC3 frame (length bytes, even): the header fields the parser
// reads, no audio. fscod 3 selects a reduced rate through fscod2 (numblk).
inline Bytes MakeEac3Frame(size_t length, uint32_t fscod, uint32_t numblk, uint32_t acmod, bool lfe,
                           uint32_t dialnorm, uint32_t strmtyp = 0) {
  TBitWriter w;
  w.Put(0x0B77, 16);
  w.Put(strmtyp, 2);
  w.Put(0, 3);  // substreamid
  w.Put(uint32_t(length / 2 - 1), 11);
  w.Put(fscod, 2);
  w.Put(numblk, 2);
  w.Put(acmod, 3);
  w.Put(lfe, 1);
  w.Put(16, 5);  // bsid
  w.Put(dialnorm, 5);
  w.Put(0, 1);  // compre
  if (acmod == 0) {
    w.Put(dialnorm, 5);  // dialnorm2
    w.Put(0, 1);
  }
  Bytes frame = w.Take(length);
  UpdateAc3Crcs(frame.data(), frame.size(), true);
  return frame;
}

// A hand-built AC3 frame (no audio): 48 kHz, the given rate index, acmod and dialnorm.
inline Bytes MakeAc3Frame(uint32_t frmsizecod, uint32_t acmod, bool lfe, uint32_t dialnorm,
                          uint32_t bsid = 8) {
  TBitWriter w;
  w.Put(0x0B77, 16);
  w.Put(0, 16);  // crc1
  w.Put(0, 2);   // 48 kHz
  w.Put(frmsizecod, 6);
  w.Put(bsid, 5);
  w.Put(0, 3);
  w.Put(acmod, 3);
  if ((acmod & 1) && acmod != 1) w.Put(1, 2);
  if (acmod & 4) w.Put(1, 2);
  if (acmod == 2) w.Put(0, 2);
  w.Put(lfe, 1);
  w.Put(dialnorm, 5);
  w.Put(0, 3);  // compre, langcode, audprodie
  if (acmod == 0) {
    w.Put(dialnorm, 5);  // dialnorm2
    w.Put(0, 3);
  }
  static const uint32_t kRates[] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                    192, 224, 256, 320, 384, 448, 512, 576, 640};
  Bytes frame = w.Take(kRates[frmsizecod / 2] * 1000 * 192 / 48000);
  UpdateAc3Crcs(frame.data(), frame.size(), false);
  return frame;
}

// Both AC3 checksums (or the E-AC3 one) hold.
inline bool CrcsHold(const uint8_t* frame, size_t length, bool eac3) {
  if (eac3) return Ac3Crc16(frame + 2, length - 2) == 0;
  const size_t w58 = length / 4 + length / 16;
  return Ac3Crc16(frame + 2, 2 * w58 - 2) == 0 && Ac3Crc16(frame + 2, length - 2) == 0;
}

}  // namespace kavrix::test
