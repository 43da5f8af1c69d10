#pragma once
// DTS elementary streams: the core frame (DTS, DTS-ES, DTS 96/24), the DTS-HD extension
// substreams that follow a core (High Resolution, Master Audio), and streams of extension
// substreams without a core (Master Audio or High Resolution without core, DTS Express).
//
// This unit holds the two header parsers every DTS node uses, the conversion of a DTS-HD
// speaker mask into a channel mask, the detailed header listing, and two readers:
//   - the DTS reader: core-based streams and .dtshd files (the STRMDATA chunk is unwrapped);
//     it delivers one frame per delivery, core plus extension substreams, without the zero
//     padding some streams carry after each frame;
//   - the DTS-HD reader without core: one extension substream per delivery.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

// Core frame parse results.
enum : int {
  kDtsOk = 0,
  kDtsInvalid = 1,       // no valid core, or the core frame is not complete
  kDtsBadExtension = 2,  // the extension substreams are incomplete or invalid
};
// Extension substream parse results.
enum : int {
  kDtsHdOk = 0,
  kDtsHdNoSync = 1,
  kDtsHdNeedMore = 2,
  kDtsHdInconsistent = 3,
};

constexpr size_t kDtsMinCoreLength = 96;
constexpr size_t kDtsMaxCoreLength = 16384;

// One set of stream values: the core alone, or the whole frame.
struct TDtsValues {
  uint32_t dialnorm = 0;
  uint32_t bitrate = 0;  // bit/s, 0 when unknown
  uint32_t sampleRate = 0;
  uint32_t bits = 0;
  uint32_t channelMask = 0;
  uint32_t channels = 0;
  std::string channelText;
  std::string description;  // "DTS", "DTS-ES-96/24", "DTS Master Audio", ...
};

struct TDtsFrameInfo {
  TDtsValues core;
  TDtsValues frame;         // the core updated by the extension substreams
  bool crc = false;         // the core header carries a CRC
  bool outdatedEs = false;  // DTS-ES information in the outdated form
  bool xxch = false;
  bool xll = false;
  bool extension = false;  // extension substreams follow the core
  bool lfe = false;
  size_t zeroPadding = 0;     // zero bytes after the core and its substreams
  size_t extensionBytes = 0;  // bytes of the extension substreams
  size_t coreLength = 0;      // bytes of the core frame
  uint32_t samplesPerFrame = 0;
};

// What an extension substream header says.
struct TDtsHdInfo {
  size_t size = 0;  // bytes of the whole substream
  size_t headerSize = 0;
  uint32_t index = 0;
  uint32_t samplesPerFrame = 0;  // 0 when no sample rate is known
  uint32_t speakerMask = 0;      // asset 0
  uint32_t dialnorm = 0;         // asset 0
  uint32_t sampleRate = 0;       // highest maximum sample rate of the assets
  uint32_t bits = 0;             // highest bit resolution
  uint32_t channels = 0;         // highest channel count
  bool staticFields = false;
  bool xxch = false;
  bool lbr = false;
  bool xll = false;
};

// Parses the core frame at data and the extension substreams that follow it. listing, when
// given, receives the detailed header listing lines. xchCheck looks for the DTS-ES
// information in its outdated form. The whole core frame must be available.
int ParseDtsCoreFrame(const uint8_t* data, size_t available, TDtsFrameInfo& info,
                      std::vector<std::string>* listing = nullptr, bool xchCheck = false);
// Parses one extension substream header with its asset descriptors.
int ParseDtsHdSubstream(const uint8_t* data, size_t available, TDtsHdInfo& info,
                        std::vector<std::string>* listing = nullptr);
// Only the substream's size (both header forms): kDtsHdOk and *size, or another result.
int PeekDtsHdSubstreamSize(const uint8_t* data, size_t available, size_t* size);
// A DTS-HD speaker activity mask as a channel mask.
uint32_t DtsSpeakerMaskToChannelMask(uint32_t speakerMask);

// Replaces every byte of text read from a stream that is not printable ASCII by "?".
std::string SanitizeStreamText(const uint8_t* data, size_t size);

// Role interface of the DTS reader.
class IDtsReader {
 public:
  virtual ~IDtsReader() = default;
};

// gapList: the caller's gap-list string (may be null; gap detection needs it and a first
// pass). coreOnly: announce the core's layout. headerListing: print the detailed header
// listing of the first frame. strictStart: the data must start with a frame or a .dtshd
// header.
UpStreamPtr CreateDtsReader(std::string* gapList, bool coreOnly, bool headerListing,
                            bool strictStart);
UpStreamPtr CreateDtsNoCoreReader(std::string* gapList, bool headerListing, bool strictStart);

}  // namespace kavrix
