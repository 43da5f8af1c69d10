#pragma once
// The machinery the compressed-audio readers share (AC3, DTS, TrueHD, AAC, MPEG audio): the
// stream is cut into access units over a receive buffer that is read through a cursor and
// compacted once per delivery; the first unit is searched for; damage is skipped by
// resynchronising; after a join of two source files a unit identical to the last one
// delivered is dropped (seamless branching); and the container's time stamps are compared
// with the audio's own duration, which yields gap and overlap records.
//
// Time stamps are marked by stream byte position, so consuming data never moves them.
// Durations come from sample counts (samples × 10^7 ÷ rate, in 100 ns units, summed without
// rounding drift), not from bit rates.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

// The driver's first-pass flag: set at start, cleared when a second pass begins. Readers
// detect timing gaps only in a first pass.
void SetFirstPass(bool value);
bool IsFirstPass();

// One access unit found by a reader's parser.
struct TAudioUnit {
  size_t skipped = 0;       // bytes before the unit that belong to no unit
  size_t length = 0;        // bytes of the unit
  uint32_t samples = 0;     // sample frames the unit plays
  uint32_t sampleRate = 0;  // Hz
};

// The texts a reader's base prints; each reader gives its own.
struct TAudioReaderTexts {
  std::string notValid;        // no unit within the search limit
  std::string incompleteLast;  // warning: the last unit is cut off
  std::string noUnits;         // error at the end: no unit was ever found
  std::string seamless;        // notice when an identical unit is dropped after a join
  std::string notClean = "This track is not clean.";
};

// Sums durations of units exactly: 100 ns units plus the remainder in 1/rate steps.
class TSampleClock {
 public:
  void Add(uint64_t samples, uint32_t rate);
  int64_t Ticks() const { return ticks_; }  // 100 ns units

 private:
  int64_t ticks_ = 0;
  uint64_t remainder_ = 0;
  uint32_t rate_ = 0;
};
// samples × 10^7 ÷ rate, truncated (0 for rate 0).
int64_t SampleTicks(uint64_t samples, uint32_t rate);

class TAudioReaderBase : public TUpStream, public IInitialDelay {
 public:
  bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override;
  bool Finish(TKey key) override;
  void NotifyJoin(uint8_t kind, int64_t gap) override;

  bool HasInitialDelay() override { return timeStampsSeen_; }
  int64_t GetInitialDelay() override { return initialDelay_ / 10000; }  // ms

  // The gap records as they stand (for inspection; the caller's string gets them at the end).
  const std::vector<TAudioGapRecord>& GapRecords() const { return records_; }
  uint64_t UnitsDelivered() const { return unitsDelivered_; }

 protected:
  // gapList: the caller's string for the gap list (may be null). noSearch: the data starts
  // with a unit.
  TAudioReaderBase(std::string role, TAudioReaderTexts texts, std::string* gapList, bool noSearch);

  // ---- the format's part ----
  // Parses the unit at data: 0 when complete (fills unit), −1 when more data is needed or no
  // unit can start here, else a positive code of the format. expected = the previous unit's
  // length (0 when none).
  virtual int ParseUnit(const uint8_t* data, size_t size, size_t expected, TAudioUnit& unit) = 0;
  // The first unit is known and stands at data (size bytes buffered): report the format and
  // announce the output. False stops the node (a failure reports itself).
  virtual bool StartStream(const uint8_t* data, size_t size, const TAudioUnit& unit) = 0;
  // The first unit could not be parsed (no search): code is ParseUnit's positive result.
  virtual void FailFirstUnit(int code) = 0;
  // A cheap test whether a unit may start at data (a sync word).
  virtual bool MayStartUnit(const uint8_t* data, size_t size) = 0;
  // Called during the first-unit search at a candidate that did not parse; false stops (the
  // hook reports why).
  virtual bool CheckCandidate(const uint8_t*, size_t) { return true; }

  // Called by OpenAudio overrides: the stream's byte length; resets the reader.
  void StartReading(uint64_t streamBytes);
  uint64_t StreamBytes() const { return streamBytes_; }
  bool GapDetection() const { return gapDetection_; }
  bool Announced() const { return announced_; }

  size_t minimumFill_ = 4096;    // buffered bytes wanted before a parse (not at the end)
  size_t maxUnitGrowth_ = 4096;  // a unit may need this much beyond the previous length
  size_t searchLimit_ = 12288;   // the first unit must start before this stream offset
  bool seamlessCheck_ = true;
  // At the end a drift counts only from 6/10 of a unit on, and never below this (100 ns).
  int64_t minSignificantDrift_ = 0;

 private:
  struct TMark {
    uint64_t position;  // stream byte position of the block's first byte
    int64_t timeStamp;
  };

  void RunUnits();
  bool FindFirstUnit(TAudioUnit& unit);
  bool ParseNextUnit(TAudioUnit& unit);
  bool HandleUnit(const TAudioUnit& unit);
  void TrackDrift(uint64_t unitStart);
  void PruneMarks();
  bool SameAsLastDelivered(const uint8_t* data, size_t size) const;
  void Compact();
  void ProcessInPlace(const uint8_t* data, size_t size);
  void KeepLastUnit();
  // The bytes units are read from: the receive buffer, or a large block read in place.
  const uint8_t* WinData() const { return direct_ ? direct_ : GetOutputBuffer(0); }
  size_t WinSize() const { return direct_ ? directSize_ : GetOutputSize(0); }
  static constexpr size_t kBridge = 65536;  // bytes of a large block copied to the buffer
  void ReportGaps();
  int64_t UnitTicks() const { return SampleTicks(lastSamples_, lastRate_); }

  const TAudioReaderTexts texts_;
  std::string* const gapList_;
  const bool noSearch_;
  const bool gapDetection_;

  bool announced_ = false;
  uint64_t streamBytes_ = 0;
  // Receive buffer: output buffer 0, or the block read in place; bytes before cursor_ are
  // consumed.
  size_t cursor_ = 0;
  const uint8_t* direct_ = nullptr;
  size_t directSize_ = 0;
  uint64_t bufferBase_ = 0;  // stream position of the buffer's first byte
  uint64_t searched_ = 0;    // bytes dropped while searching the first unit

  bool headerFound_ = false;
  bool timeStampsSeen_ = false;
  bool flushing_ = false;
  bool notCleanShown_ = false;
  bool seamlessShown_ = false;
  int64_t lastBlockTimeStamp_ = kNoTimeStamp;
  std::deque<TMark> marks_;

  size_t unitLength_ = 0;
  uint32_t lastSamples_ = 0;
  uint32_t lastRate_ = 0;
  uint64_t unitsDelivered_ = 0;
  uint64_t unitsSeen_ = 0;
  TSampleClock delivered_;  // duration of the units delivered (and damaged units counted)
  TSampleClock seen_;
  int64_t damagedTicks_ = 0;
  bool initialOffsetSet_ = false;
  int64_t initialOffset_ = 0;
  uint64_t damaged_ = 0;
  int64_t initialDelay_ = 0;                  // 100 ns units
  uint64_t firstStampPosition_ = UINT64_MAX;  // stream position of the first time stamp

  // The last unit delivered: its stream position and length, and a copy once compaction
  // drops it from the buffer.
  uint64_t lastUnitPosition_ = 0;
  size_t lastUnitLength_ = 0;
  std::vector<uint8_t> lastUnit_;
  bool lastUnitCopied_ = false;

  bool joinArmed_ = false;
  int64_t joinCountdown_ = 0;

  std::vector<TAudioGapRecord> records_;
};

}  // namespace kavrix
