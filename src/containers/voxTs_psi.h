#pragma once
// Transport stream building blocks shared by the source file set and the transport stream
// nodes: packet headers, PAT/PMT section assembly, the descriptor walk, stream-type
// classification and PES headers. Every reader here checks each length against the bytes
// it was given; nothing reads outside the packet, section or payload.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kavrix::ts {

constexpr size_t kTsPacketSize = 188;
constexpr size_t kM2tsPacketSize = 192;
constexpr uint8_t kSyncByte = 0x47;
constexpr size_t kPidCount = 8192;
constexpr size_t kSectionBufferSize = 1024;
constexpr size_t kPidTrackTableSize = kPidCount * 8;  // 65,536 bytes

enum class TStreamKind : uint8_t {
  None = 0,
  Pmt = 1,
  Video = 2,
  Audio = 3,
  Subtitle = 4,
  Undetermined = 5
};

// "PMT", "video", "audio", "subtitle" as the type-change messages spell them.
const char* KindName(TStreamKind kind);

// "$81": a stream type as the messages write it.
std::string StreamTypeText(uint8_t streamType);

// Four-character registration identifier, big-endian ("HDMV" = 0x48444D56); 0 = none.
constexpr uint32_t FourCc(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
         (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

struct TClassification {
  TStreamKind kind = TStreamKind::None;  // None: the stream is ignored
  const char* formatId = "";
  const char* displayName = "";
  const char* logSuffix = "";
};

// What a (final) stream type and registration identifier stand for.
TClassification ClassifyStreamType(uint8_t streamType, uint32_t registration);

// ---- Packets ----

struct TPacketHeader {
  uint16_t pid = 0;
  bool transportError = false;
  bool payloadUnitStart = false;
  uint8_t scrambling = 0;
  bool hasAdaptation = false;
  bool hasPayload = false;
  uint8_t continuity = 0;
  bool discontinuity = false;     // adaptation field length > 0 and its indicator set
  bool adaptationTooBig = false;  // payload bit set but the payload would start past the packet
  size_t payloadOffset = 4;       // within the 188-byte packet; valid when hasPayload
};

// Parses the 4-byte header and the adaptation field length of one 188-byte packet.
// False when the sync byte is missing.
bool ParsePacketHeader(const uint8_t* packet, TPacketHeader& header);

// ---- PES headers ----

struct TPesHeader {
  uint8_t streamId = 0;
  uint16_t packetLength = 0;  // bytes after the length field, 0 = unbounded (video)
  bool hasPts = false;
  uint64_t pts33 = 0;  // the 33-bit 90 kHz time stamp
  uint32_t pts32 = 0;  // its low 32 bits
};

// Stream ids of PES packets that carry audio or video in transport streams:
// 0xBD, 0xC0-0xEF, 0xFD.
bool IsTsMediaStreamId(uint8_t streamId);

enum class TPesResult { Ok, NotPes, TooShort };

// Parses a PES header at data (which must begin with 00 00 01 and the stream id).
// The time stamp is read only when the flags say so and its five bytes lie in the data.
TPesResult ParsePesHeader(const uint8_t* data, size_t size, TPesHeader& header);

// A payload that starts a unit: skips leading zero bytes (keeping the two of the start
// code) and parses the PES header behind them. NotPes for any other start code.
TPesResult ParseUnitStart(const uint8_t* payload, size_t size, TPesHeader& header);

// 90 kHz time stamps kept as their low 32 bits: differences are taken around the wrap.
inline int32_t PtsDiff(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b);
}

// ---- Program tables ----

// One elementary stream entry of a PMT after its descriptors were applied.
struct TEsEntry {
  uint16_t pmtPid = 0;
  uint16_t pid = 0;
  uint8_t originalType = 0;        // as the PMT gives it
  uint8_t streamType = 0;          // after descriptor overrides (0xFF = discarded)
  std::array<char, 3> language{};  // raw bytes; zero when none
  uint32_t registration = 0;       // from the last registration descriptor
  std::string descriptorText;      // ", \"AC-3\", deu" and so on, for a PID log
};

// Applies the descriptors of one ES_info block to entry (stream type changes, language,
// registration) and appends their log texts.
void ApplyDescriptors(const uint8_t* data, size_t size, TEsEntry& entry);

// Damage found while assembling tables.
enum class TPsiWarning : uint8_t { PointerFieldTooBig, EsInfoTooBig, IncorrectTableId };

// Gathers one section across packets into a buffer of 1024 bytes (allocated on first use).
class TSectionAssembler {
 public:
  void Reset() { outstanding_ = gathered_ = 0; }
  // Starts a section whose remaining bytes (after the part already parsed) are count.
  bool Start(size_t count);  // false when the buffer cannot be obtained
  // Copies min(outstanding, size) bytes; true when the section became complete by them.
  bool Append(const uint8_t* data, size_t size);
  bool Active() const { return outstanding_ > 0; }
  const uint8_t* Data() const { return buffer_.get(); }
  size_t Gathered() const { return gathered_; }
  bool Allocated() const { return buffer_ != nullptr; }

 private:
  std::unique_ptr<uint8_t[]> buffer_;
  uint16_t outstanding_ = 0;
  uint16_t gathered_ = 0;
};

// Per-PID state shared by the TS readers.
struct TPidEntry {
  TStreamKind kind = TStreamKind::None;
  uint8_t streamType = 0;
  std::array<char, 3> language{};
  uint32_t registration = 0;
  uint8_t lastContinuity = 255;  // 255 = none seen yet
  bool started = false;          // a packet with PUSI was seen
  TSectionAssembler section;     // PMT PIDs only
};

// The PAT and PMTs of a transport stream and the state of all 8192 PIDs. Packets are fed
// one by one; complete PMT sections are reported entry by entry to the callback.
class TPsiTable {
 public:
  // Return false to stop reading the rest of the section.
  using TEntryCallback = std::function<bool(const TEsEntry& entry)>;
  using TWarningCallback = std::function<void(TPsiWarning warning, uint16_t pid)>;

  TPsiTable();
  TPidEntry& operator[](uint16_t pid) { return pids_[pid & 0x1FFF]; }
  const TPidEntry& operator[](uint16_t pid) const { return pids_[pid & 0x1FFF]; }

  void SetEntryCallback(TEntryCallback callback) { onEntry_ = std::move(callback); }
  void SetWarningCallback(TWarningCallback callback) { onWarning_ = std::move(callback); }

  // PID 0: gathers the PAT; every program's PMT PID gets kind PMT.
  void ProcessPat(const uint8_t* packet, const TPacketHeader& header);
  // A PID of kind PMT: gathers its section and reports the entries of complete ones.
  // False when the entry callback asked to stop.
  bool ProcessPmt(const uint8_t* packet, const TPacketHeader& header);

  // Forgets partly gathered sections (the data that follows does not continue them).
  void ResetSections();

  // Reads a complete PMT elementary-stream loop (CRC already removed).
  bool ReadEsLoop(uint16_t pmtPid, const uint8_t* data, size_t size);

  // The 65,536-byte table of stream type, language and registration per PID, for the PIDs
  // of kind video, audio and subtitle.
  std::string BuildPidTrackTable() const;

 private:
  void Warn(TPsiWarning warning, uint16_t pid) {
    if (onWarning_) onWarning_(warning, pid);
  }
  std::unique_ptr<TPidEntry[]> pids_;
  TSectionAssembler pat_;
  TEntryCallback onEntry_;
  TWarningCallback onWarning_;
};

}  // namespace kavrix::ts
