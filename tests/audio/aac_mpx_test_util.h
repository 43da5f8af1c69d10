#pragma once
// Helpers of the AAC and MPEG audio tests: running a reader over blocks, hand-built frames,
// leading tags and the outside reference tool.
#include <gtest/gtest.h>

#include <string>

#include "ac3_test_util.h"
#include "audio/voxAac.h"
#include "audio/voxMPx.h"

namespace kavrix::test {

struct TFramedRun {
  UpStreamPtr reader;
  std::shared_ptr<TUnitSink> sink = std::make_shared<TUnitSink>();
  bool ok = false;
  const IAudioFormatDetails& Details() const { return *Query<IAudioFormatDetails>(reader); }
};

inline TFramedRun RunFramed(UpStreamPtr reader, const Bytes& data, size_t blockSize = 65536) {
  TFramedRun run;
  run.reader = std::move(reader);
  run.reader->SetUpstream(run.sink);
  run.ok = Feed(run.reader, data, blockSize);
  return run;
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline Bytes Times(const Bytes& unit, size_t n) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

// An ID3v2.3 tag of the given total length (at least 11 bytes), its body filled with text.
inline Bytes MakeId3v2(size_t total) {
  const size_t body = total - 10;
  Bytes tag = {'I',
               'D',
               '3',
               3,
               0,
               0,
               uint8_t((body >> 21) & 0x7F),
               uint8_t((body >> 14) & 0x7F),
               uint8_t((body >> 7) & 0x7F),
               uint8_t(body & 0x7F)};
  for (size_t i = 0; i < body; ++i) tag.push_back(uint8_t('a' + i % 26));
  return tag;
}

// A hand-built ADTS frame (no audio): AAC-LC, the sampling-frequency index and channel
// configuration given, buffer fullness (0x7FF: no fixed rate), with or without a CRC.
inline Bytes MakeAdtsFrame(size_t length, uint32_t rateIndex = 3, uint32_t config = 2,
                           bool crc = false, uint32_t fullness = 0x7FF, uint32_t blocks = 0) {
  TBitWriter w;
  w.Put(0xFFF, 12);
  w.Put(0, 1);  // MPEG-4
  w.Put(0, 2);  // layer
  w.Put(crc ? 0 : 1, 1);
  w.Put(1, 2);  // AAC-LC
  w.Put(rateIndex, 4);
  w.Put(0, 1);
  w.Put(config, 3);
  w.Put(0, 4);
  w.Put(uint32_t(length), 13);
  w.Put(fullness, 11);
  w.Put(blocks, 2);
  Bytes frame = w.Take(length);
  for (size_t i = crc ? 9 : 7; i < length; ++i) frame[i] = uint8_t(0x21 + i % 90);
  return frame;
}

// A hand-built MPEG audio frame: versionBits 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5; layerBits
// 3 = I, 2 = II, 1 = III. The payload is filler.
inline Bytes MakeMpegFrame(size_t length, uint32_t versionBits, uint32_t layerBits,
                           uint32_t rateIndex, uint32_t sampleIndex, bool padding = false,
                           uint32_t mode = 0) {
  Bytes frame(length, 0);
  frame[0] = 0xFF;
  frame[1] = uint8_t(0xE0 | versionBits << 3 | layerBits << 1 | 1);
  frame[2] = uint8_t(rateIndex << 4 | sampleIndex << 2 | (padding ? 2 : 0));
  frame[3] = uint8_t(mode << 6);
  for (size_t i = 4; i < length; ++i) frame[i] = uint8_t(0x21 + i % 90);
  return frame;
}

// Runs ffprobe on a file and returns one entry of its first audio stream ("" without it).
inline std::string Probe(const TScratch& scratch, const std::string& path, const std::string& entry,
                         bool countPackets = false) {
  if (!HaveTool("ffprobe")) return "";
  std::string text = Capture(scratch, "ffprobe -v error -select_streams a:0 " +
                                          std::string(countPackets ? "-count_packets " : "") +
                                          "-show_entries stream=" + entry +
                                          " -of default=nw=1:nk=1 '" + path + "'");
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace kavrix::test
