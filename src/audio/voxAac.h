#pragma once
// AAC in ADTS framing: the ADTS header parser, the reader, which cuts the stream into frames
// (one frame, header included, per delivery), and the header stripper for containers that
// store raw AAC with a separate decoder configuration.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/voxUpStream.h"

namespace kavrix {

enum : int {
  kAdtsOk = 0,
  kAdtsInvalid = 1,
};

// What an ADTS header says.
struct TAdtsHeader {
  uint32_t profile = 0;        // object type − 1 (1 = AAC-LC)
  uint32_t rateIndex = 0;      // sampling-frequency index, 0..12
  uint32_t channelConfig = 0;  // 1..7
  uint32_t sampleRate = 0;     // Hz
  uint32_t channels = 0;       // 1..6, or 8 for configuration 7
  size_t length = 0;           // the whole frame, header included
  size_t headerLength = 0;     // 7, or 9 with a CRC
  uint32_t samplesPerFrame = 0;
  uint32_t bitrate = 0;      // bit/s of this frame
  bool noFixedRate = false;  // buffer fullness 0x7FF
  uint8_t config[2] = {};    // the decoder configuration (AudioSpecificConfig)
};

// Parses the ADTS header at data (at least 7 bytes): sync word, layer 0, a valid sampling
// frequency and channel configuration, and a frame length that holds the header.
int ParseAdtsHeader(const uint8_t* data, size_t available, TAdtsHeader* header);

// gapList: the caller's gap-list string (may be null; gap detection needs it and a first
// pass). strict: the data is an AAC file, which must begin with a frame (after leading tags).
UpStreamPtr CreateAacReader(std::string* gapList, bool strict);
UpStreamPtr CreateAacHeaderStripper();

}  // namespace kavrix
