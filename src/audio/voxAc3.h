#pragma once
// Dolby Digital (AC3) and Dolby Digital Plus (E-AC3) elementary streams: the frame-header
// parser every other unit uses for these formats, the checksums and the dialog-normalization
// patch, and three nodes:
//   - the (E-)AC3 reader, which cuts the byte stream into access units, reports the format,
//     resynchronises over damage, drops a duplicated unit at a seamless-branching join and
//     measures timing gaps against the container's time stamps;
//   - the dialnorm remover, which sets every frame's dialog normalization to 31 (no
//     attenuation) and recomputes the checksums;
//   - the E-AC3 core extractor, which keeps only the first frame of every access unit.
//
// An access unit is one AC3 frame, or one E-AC3 independent substream-0 frame together with
// every frame that follows it up to the next AC3 or independent substream-0 frame. Every node
// here passes its output on one access unit per delivery.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/voxUpStream.h"

namespace kavrix {

// Frame parse results.
enum : int {
  kAc3Ok = 0,
  kAc3Invalid = 1,       // no sync word, or an invalid bsid, frame-size code or rate
  kAc3EnhancedBsid = 2,  // an E-AC3 bsid met by the plain AC3 branch
  kAc3NeedMore = 3,      // fewer bytes than the header or the frame needs
  kAc3BadRate = 4,       // E-AC3 header with fscod 3 and fscod2 3
};
// Access-unit parse: a complete unit, or more data needed (the frame codes otherwise).
constexpr int kAc3UnitIncomplete = -1;

// The longest frame of either kind (AC3: 640 kbit/s at 32 kHz is 3840 bytes; E-AC3: 2048
// words).
constexpr size_t kAc3MaxFrameLength = 4096;
// E-AC3 frames shorter than this cannot hold the header fields read here and are refused.
constexpr size_t kEac3MinFrameLength = 16;

// What one frame header says. For a dependent E-AC3 frame only strmtyp, substreamId, length
// and rearPair are filled.
struct TAc3FrameInfo {
  bool eac3 = false;
  uint8_t bsid = 0;
  uint8_t strmtyp = 0;  // E-AC3: 0 independent, 1 dependent, 2 converted AC3
  uint8_t substreamId = 0;
  uint8_t acmod = 0;
  bool lfe = false;
  bool rearPair = false;  // dependent substream 0 adding the rear-surround pair
  uint32_t length = 0;    // bytes; also set with kAc3NeedMore once the header was readable
  uint32_t sampleRate = 0;
  uint32_t bitrate = 0;   // bit/s
  uint32_t samples = 0;   // sample frames per frame: 1536, or blocks × 256
  uint32_t dialnorm = 0;  // 0..31, −dialnorm dB
  uint32_t channels = 0;
  uint32_t channelMask = 0;
  // Only parsed when asked for.
  bool ex = false;
  bool headphone = false;
  bool surround = false;
};

// Parses the frame at data (available bytes). wantFlags also finds EX, Headphone and Surround.
int ParseAc3Frame(const uint8_t* data, size_t available, TAc3FrameInfo* info,
                  bool wantFlags = false);
// The plain AC3 branch (bsid 0..8); E-AC3 bsids give kAc3EnhancedBsid.
int ParseAc3Bsi(const uint8_t* data, size_t available, TAc3FrameInfo* info, bool wantFlags = false);

// The layout text of an acmod: "1+1", "1.0", "2.0", "3/1", "5.1", ...; the rear pair turns
// "5.1" into "7.1" and appends "+2.0" to the others.
std::string Ac3ChannelText(uint8_t acmod, bool lfe, bool rearPair = false);
// " EX", " Headphone", " Surround" or nothing.
std::string Ac3FormatSuffix(bool ex, bool headphone, bool surround);

struct TAc3UnitInfo {
  int result = kAc3UnitIncomplete;
  uint32_t firstFrameLength = 0;
  TAc3FrameInfo core;  // the first (core) frame, with its flags when they were asked for
  // The whole unit: the core plus a dependent rear pair.
  uint32_t dialnorm = 0;
  uint32_t sampleRate = 0;
  uint32_t bitrate = 0;  // core bit rate scaled to the unit length
  uint32_t channelMask = 0;
  uint32_t channels = 0;
  bool lfe = false;
  bool rearPair = false;
  size_t skipped = 0;  // bytes of frames before the unit
  size_t length = 0;   // unit bytes
  bool firstIsEac3 = false;
  bool anyEac3 = false;
  std::string CoreChannelText() const { return Ac3ChannelText(core.acmod, core.lfe); }
  std::string ChannelText() const { return Ac3ChannelText(core.acmod, core.lfe, rearPair); }
};

// Walks the frames at data: 0 for a complete unit, −1 when more data is needed, or the
// frame parser's code 1, 2 or 4. expected is the previous unit's length (0 when none): a unit
// that ends exactly at the end of the data counts as complete only with that length.
int ParseAc3AccessUnit(const uint8_t* data, size_t available, size_t expected, TAc3UnitInfo& info,
                       bool wantFlags = false);

// CRC-16, polynomial 0x8005, MSB first, no reflection, no final XOR; crc continues a previous
// run (0 to start).
uint16_t Ac3Crc16(const uint8_t* data, size_t size, uint16_t crc = 0);
// Recomputes the checksums of one frame of the given length (AC3 crc1 and crc2, or the E-AC3
// checksum). The frame must have been parsed successfully.
void UpdateAc3Crcs(uint8_t* frame, size_t length, bool eac3);

// Sets the dialog normalization of the frame at the front of data to 31 (also the second
// mono channel's of a 1+1 frame) and carries its checksums along with the change (a frame
// that arrived damaged stays detectably damaged); a frame already at 31 stays unchanged. Returns
// the frame parser's code; *frameLength gets the frame's length.
int PatchAc3Dialnorm(uint8_t* data, size_t available, size_t* frameLength = nullptr);
// Patches every frame of one access unit in order; stops after the second AC3-or-independent
// frame, at the end of the data or at the first frame that does not parse. Returns the number
// of frames patched.
size_t PatchAc3UnitDialnorm(uint8_t* data, size_t size);

// EX, Headphone and Surround of an independent E-AC3 frame, from its metadata.
void ReadEac3MetadataFlags(const uint8_t* frame, size_t length, bool& ex, bool& headphone,
                           bool& surround);

// Role interface of the (E-)AC3 reader.
class IAc3Reader {
 public:
  virtual ~IAc3Reader() = default;
};

// gapList: the caller's gap-list string (may be null; gap detection needs it and a first
// pass). coreOnly: announce the first substream's layout instead of the whole unit's.
// noSearch: the data is known to start with a frame.
UpStreamPtr CreateAc3Reader(std::string* gapList, bool coreOnly, bool noSearch);
UpStreamPtr CreateAc3DialnormRemover();
UpStreamPtr CreateEac3CoreExtractor();

}  // namespace kavrix
