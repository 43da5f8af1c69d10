#pragma once
// The source file set: one or more files read as one continuous byte stream, optionally
// without bytes at the start and the end. Opening examines the head and tail of every file
// (EVO/VOB program streams, TS/M2TS transport streams: time stamps, programme tables);
// the run announces the container and pushes the bytes to the upstreams.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "containers/voxTs_psi.h"
#include "core/voxUpStream.h"
#include "platform/voxPlatform_file.h"

namespace kavrix {

// Direct, seekable reading for the analysis.
class ISourceFiles {
 public:
  virtual ~ISourceFiles() = default;
  virtual uint64_t GetSize() = 0;      // bytes of the set
  virtual uint64_t GetPosition() = 0;  // bytes read so far
  // 0 <= position <= size; false (position unchanged) otherwise.
  virtual bool Seek(uint64_t position) = 0;
  // Reads up to count bytes; count becomes the number read. A read stops early where one
  // file ends and the next begins.
  virtual bool ReadData(uint8_t* buffer, size_t& count) = 0;
  // Reading stops when the list is not empty and every flag in it is set.
  virtual void SetStopFlags(std::vector<const std::atomic<bool>*> flags) = 0;
};

struct TSourceMessage {
  int kind;
  std::string text;
};

class TSourceFiles final : public TUpStream, public ISourceFiles {
 public:
  static constexpr size_t kBufferSize = 31457280;    // scans and reading share it
  static constexpr size_t kHeadScanSize = 10485760;  // examined at each file's start
  static constexpr size_t kContainerReadSize = 1048576;
  static constexpr size_t kDataReadSize = 262144;  // also the largest delivered piece
  static constexpr uint64_t kDropLimit = 5242880;
  static constexpr size_t kReadAheadSlots =
      4;  // blocks read ahead during the run  // changed parts smaller than this are dropped

  TSourceFiles(std::vector<std::string> files, uint64_t skipStart, uint64_t cutEnd,
               uint64_t readLimit, bool playlist, uint32_t frameRateNum, uint32_t frameRateDen);
  ~TSourceFiles() override;

  // Opens and scans the files (called once by CreateSourceFiles).
  void Open();

  // The run: announcements, the read loop, the end of the data.
  bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override;
  bool Finish(TKey key) override;
  void ShowMessage(int kind, const std::string& text, bool important = false) override;

  uint64_t GetSize() override { return totalSize_; }
  uint64_t GetPosition() override { return position_; }
  bool Seek(uint64_t position) override;
  bool ReadData(uint8_t* buffer, size_t& count) override;
  void SetStopFlags(std::vector<const std::atomic<bool>*> flags) override;

  // What opening found.
  bool IsEvo() const { return isEvo_; }
  bool IsTs() const { return isTs_; }
  uint32_t PacketSize() const { return packetSize_; }  // 188 or 192 for TS sets, else 0
  uint64_t Length() const { return lengthUnknown_ ? 0 : length_; }  // 90 kHz ticks or bytes
  bool LengthUnknown() const { return lengthUnknown_; }
  const std::string& ScanInfo() const { return scanInfo_; }
  std::string ContainerId() const { return isEvo_ ? "evo" : isTs_ ? "m2ts" : "?"; }
  size_t FileCount() const { return files_.size(); }
  uint64_t UsableSize(size_t i) const { return i < files_.size() ? files_[i].usable : 0; }
  // Low 32 bits of the 90 kHz time stamps; -1 = none.
  int64_t FirstTimeStamp(size_t i) const { return i < files_.size() ? files_[i].first : -1; }
  int64_t LastTimeStamp(size_t i) const { return i < files_.size() ? files_[i].last : -1; }
  const ts::TPsiTable& PidTable() const { return *pidTable_; }
  // Every message the node showed, in order.
  const std::vector<TSourceMessage>& Messages() const { return messages_; }

 private:
  struct TFile {
    std::string name;
    platform::TReadOnlyFile handle;
    uint64_t usable = 0;  // after SkipStart (first file) and CutEnd
    int64_t first = -1;
    int64_t last = -1;
  };
  // Time stamps and findings of one walk over scan data.
  struct TWalk {
    int64_t firstAny = -1, firstVideo = -1, lastAny = -1, lastVideo = -1;
    uint64_t navigationLength = 0;
    bool foreignCode = false;   // a start code that does not belong to the container
    bool inconsistent = false;  // a PID changed its kind or type
  };

  void OpenFiles();
  uint64_t FileOffset(size_t i) const { return i == 0 ? skipStart_ : 0; }
  bool ReadForScan(size_t i, uint64_t offset, size_t count);  // into buffer_
  void ScanEvo(size_t i);
  void ScanTs(size_t i);
  void WalkEvo(const uint8_t* data, size_t size, bool head, TWalk& walk);
  void WalkTsHead(const uint8_t* data, size_t size, TWalk& walk);
  void WalkTsTail(const uint8_t* data, size_t size, TWalk& walk);
  void NoteTimeStamps(size_t i, const TWalk& head, const TWalk& tail);
  bool OnPmtEntry(const ts::TEsEntry& entry);
  void HandleInconsistency(size_t i);
  void DropFilesFrom(size_t i);
  uint32_t JoinTolerance() const;
  bool StopRequested() const;
  bool Run(int64_t timeStamp, bool boundary);

  std::vector<TFile> files_;
  uint64_t skipStart_;
  uint64_t cutEnd_;
  uint64_t readLimit_;
  bool playlist_;
  uint32_t frameRateNum_, frameRateDen_;

  uint8_t* buffer_ = nullptr;
  size_t fileIndex_ = 0;
  uint64_t filePosition_ = 0;
  uint64_t totalSize_ = 0;
  uint64_t length_ = 0;
  bool lengthUnknown_ = false;
  uint64_t position_ = 0;
  bool isEvo_ = false, isTs_ = false;
  uint32_t packetSize_ = 0;
  bool joinPending_ = false;
  std::unique_ptr<ts::TPsiTable> pidTable_;
  std::string scanInfo_;
  std::vector<const std::atomic<bool>*> stopFlags_;
  std::mutex messagesLock_;
  std::vector<TSourceMessage> messages_;

  // Scan state of the file being opened.
  size_t scanFile_ = 0;
  bool scanInconsistent_ = false;
};

// Packet size of transport stream data: 188, 192, or 0 when it is not a transport stream
// or the data cannot tell (both spacings fit all the way).
uint32_t DetectPacketSize(const uint8_t* data, size_t size);

UpStreamPtr CreateSourceFiles(const std::vector<std::string>& files, uint64_t skipStart,
                              uint64_t cutEnd, uint64_t readLimit, bool playlist,
                              uint32_t frameRateNum, uint32_t frameRateDen);

}  // namespace kavrix
