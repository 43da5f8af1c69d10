#pragma once
// MPEG audio ("MPx"): MPEG-1, MPEG-2 and MPEG-2.5, layers I, II and III. The frame header
// parser and the reader, which cuts the stream into frames (one per delivery) behind leading
// tags and reports the stream's format, with the duration from a VBR header when the first
// frame carries one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/voxUpStream.h"

namespace kavrix {

enum : int {
  kMpegAudioOk = 0,
  kMpegAudioInvalid = 1,
  kMpegAudioFree = 2,  // a valid header of the "free" bit rate (no frame length)
};

enum : uint32_t {
  kMpeg1 = 1,
  kMpeg2 = 2,
  kMpeg25 = 3,  // MPEG-2.5
};

struct TMpegAudioHeader {
  uint32_t version = 0;  // kMpeg1, kMpeg2, kMpeg25
  uint32_t layer = 0;    // 1, 2, 3
  uint32_t bitrate = 0;  // bit/s; 0 for the free bit rate
  uint32_t sampleRate = 0;
  uint32_t samplesPerFrame = 0;
  size_t length = 0;  // bytes of the frame, header included
  uint32_t channelMode = 0;
  uint32_t channels = 0;
  std::string channelText;  // "2.0", "1+1", "1.0"
};

// Parses the 4-byte frame header at data.
int ParseMpegAudioHeader(const uint8_t* data, size_t available, TMpegAudioHeader* header);

// Role interface of the MPx reader.
class IMPxReader {
 public:
  virtual ~IMPxReader() = default;
};

// gapList: the caller's gap-list string (may be null; gap detection needs it and a first
// pass). strict: the data is an MPEG audio file, which must begin with a frame (after leading
// tags).
UpStreamPtr CreateMPxReader(std::string* gapList, bool strict);

}  // namespace kavrix
