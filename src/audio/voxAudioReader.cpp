#include "audio/voxAudioReader.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

std::atomic<bool> g_firstPass{true};

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kDriftThreshold = 50000;       // 5 ms: smaller changes are jitter
constexpr int64_t kReportTailTicks = 300000000;  // the last 30 s of a stream

int Sign(int64_t v) {
  return (v > 0) - (v < 0);
}

}  // namespace

void SetFirstPass(bool value) {
  g_firstPass.store(value, std::memory_order_release);
}
bool IsFirstPass() {
  return g_firstPass.load(std::memory_order_acquire);
}

int64_t SampleTicks(uint64_t samples, uint32_t rate) {
  if (rate == 0) return 0;
  return int64_t((unsigned __int128)samples * kTicksPerSecond / rate);
}

void TSampleClock::Add(uint64_t samples, uint32_t rate) {
  if (rate == 0) return;
  if (rate != rate_) {
    rate_ = rate;
    remainder_ = 0;
  }
  const unsigned __int128 n = (unsigned __int128)samples * kTicksPerSecond + remainder_;
  ticks_ += int64_t(n / rate);
  remainder_ = uint64_t(n % rate);
}

TAudioReaderBase::TAudioReaderBase(std::string role, TAudioReaderTexts texts, std::string* gapList,
                                   bool noSearch)
    : TUpStream(std::move(role)),
      texts_(std::move(texts)),
      gapList_(gapList),
      noSearch_(noSearch),
      gapDetection_(gapList != nullptr && IsFirstPass()) {}

void TAudioReaderBase::StartReading(uint64_t streamBytes) {
  announced_ = true;
  streamBytes_ = streamBytes;
  minimumFill_ = 4096;
  unitLength_ = 4096;
}

bool TAudioReaderBase::ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t timeStamp,
                                   bool) {
  if (!CheckData(announced_)) return false;
  try {
    if (size > 0) {
      const uint64_t blockStart = bufferBase_ + GetOutputSize(0);
      if (timeStamp != kNoTimeStamp) {
        if (!timeStampsSeen_) firstStampPosition_ = blockStart;
        timeStampsSeen_ = true;
        if (timeStamp != lastBlockTimeStamp_) marks_.push_back({blockStart, timeStamp});
      }
      lastBlockTimeStamp_ = timeStamp;
    }
    if (size > kBridge && headerFound_ && !flushing_) {
      ProcessInPlace(data, size);
    } else {
      if (size > 0 && !AppendOutput(0, data, size)) return FailMemory();
      RunUnits();
      Compact();
    }
  } catch (const std::exception&) {
    return FailMemory();
  }
  return GetOk();
}

// A large block: only its start is copied behind the buffered tail, to complete the unit
// that spans the two; the units after it are parsed and delivered straight from the block,
// and only its own tail is kept for the next one.
void TAudioReaderBase::ProcessInPlace(const uint8_t* data, size_t size) {
  if (!AppendOutput(0, data, kBridge)) {
    FailMemory();
    return;
  }
  RunUnits();
  const size_t unconsumed = GetOutputSize(0) - cursor_;
  if (!GetOk()) return;
  if (unconsumed > kBridge) {
    // The buffered units did not reach into the block: the rest goes the usual way.
    if (!AppendOutput(0, data + kBridge, size - kBridge)) {
      FailMemory();
      return;
    }
    RunUnits();
    Compact();
    return;
  }
  Compact();
  SetOutputSize(0, 0);  // the bytes left there are read from the block itself
  const size_t start = kBridge - unconsumed;
  direct_ = data + start;
  directSize_ = size - start;
  RunUnits();
  KeepLastUnit();
  const uint8_t* rest = direct_ + cursor_;
  const size_t restSize = directSize_ - cursor_;
  bufferBase_ += cursor_;
  cursor_ = 0;
  direct_ = nullptr;
  directSize_ = 0;
  if (restSize > 0 && !AppendOutput(0, rest, restSize)) FailMemory();
}

// The last unit delivered is about to leave the window: keep a copy for the seamless check.
void TAudioReaderBase::KeepLastUnit() {
  if (seamlessCheck_ && lastUnitLength_ > 0 && !lastUnitCopied_ &&
      lastUnitPosition_ >= bufferBase_ && lastUnitPosition_ - bufferBase_ < WinSize()) {
    const uint8_t* p = WinData() + (lastUnitPosition_ - bufferBase_);
    lastUnit_.assign(p, p + lastUnitLength_);
    lastUnitCopied_ = true;
  }
}

void TAudioReaderBase::Compact() {
  if (cursor_ == 0) return;
  KeepLastUnit();
  ConsumeOutput(0, cursor_);
  bufferBase_ += cursor_;
  cursor_ = 0;
}

void TAudioReaderBase::RunUnits() {
  while (GetOk()) {
    const size_t fill = WinSize();
    const size_t avail = fill - cursor_;
    if (avail == 0) break;
    if (!flushing_ && avail < minimumFill_ + 8) break;
    TAudioUnit unit;
    if (!headerFound_) {
      if (!FindFirstUnit(unit)) break;
    } else if (!ParseNextUnit(unit)) {
      break;
    }
    if (!HandleUnit(unit)) break;
  }
}

// The first unit: search (unless told the data starts with one), report and announce.
bool TAudioReaderBase::FindFirstUnit(TAudioUnit& unit) {
  const uint8_t* p = WinData() + cursor_;
  const size_t avail = WinSize() - cursor_;
  if (!noSearch_) {
    const uint64_t limit = searchLimit_ > searched_ ? searchLimit_ - searched_ : 0;
    size_t o = 0;
    bool found = false;
    bool wait = false;
    for (; o < avail && o < limit; ++o) {
      if (!MayStartUnit(p + o, avail - o)) continue;
      const int r = ParseUnit(p + o, avail - o, 0, unit);
      if (r == 0) {
        found = true;
        break;
      }
      if (!CheckCandidate(p + o, avail - o)) return false;
      if (r < 0 && !flushing_) {
        wait = true;
        break;
      }
    }
    if (!found) {
      if (!wait && o >= limit) {
        Fail(texts_.notValid);
        return false;
      }
      if (flushing_) {
        cursor_ += avail;
        return false;
      }
      // Nothing before o can start a unit; the last byte may be the start of a sync word.
      const size_t drop = (!wait && o == avail && o > 0) ? o - 1 : o;
      cursor_ += drop;
      searched_ += drop;
      return false;
    }
    cursor_ += o;
    searched_ += o;
  } else {
    const int r = ParseUnit(p, avail, 0, unit);
    if (r < 0) {
      if (flushing_) cursor_ += avail;
      return false;
    }
    if (r > 0) {
      FailFirstUnit(r);
      SetOk(false);
      return false;
    }
  }
  cursor_ += unit.skipped;
  const size_t rest = WinSize() - cursor_;
  if (!flushing_ && rest < unit.length + 2) return false;  // the search finds it again
  headerFound_ = true;
  if (!StartStream(WinData() + cursor_, rest, unit)) {
    SetOk(false);
    return false;
  }
  return true;
}

// A later unit; on damage, resynchronise.
bool TAudioReaderBase::ParseNextUnit(TAudioUnit& unit) {
  const uint8_t* p = WinData() + cursor_;
  const size_t avail = WinSize() - cursor_;
  const int r = ParseUnit(p, avail, unitLength_, unit);
  if (r == 0) {
    cursor_ += unit.skipped;
    return true;
  }
  if (flushing_ && (r < 0 || avail < unitLength_)) {
    ShowMessage(kMsgWarning, texts_.incompleteLast);
    cursor_ += avail;
    return false;
  }
  // A unit longer than the minimum fill (several substreams) needs more data, not a resync.
  if (r < 0 && !flushing_ && avail < unitLength_ + maxUnitGrowth_ + 8) return false;

  if (gapDetection_ && !notCleanShown_) {
    ShowMessage(kMsgWarning, texts_.notClean);
    notCleanShown_ = true;
  }
  size_t o = 0;
  bool found = false;
  while (o + unitLength_ + 2 < avail) {
    if (MayStartUnit(p + o, avail - o)) {
      if (ParseUnit(p + o, avail - o, unitLength_, unit) == 0) {
        found = true;
        break;
      }
      if (MayStartUnit(p + o + unitLength_, avail - o - unitLength_)) {
        o += unitLength_;
        ++damaged_;
        continue;
      }
    }
    ++o;
  }
  if (!found) {
    // Nothing before o starts a unit: drop it and wait (at the end there is nothing to wait
    // for, and the rest is cut off).
    if (flushing_) {
      ShowMessage(kMsgWarning, texts_.incompleteLast);
      cursor_ += avail;
    } else {
      cursor_ += o;
    }
    return false;
  }
  cursor_ += o + unit.skipped;
  // The audio lost is the span skipped, in units (a unit before the damage goes with it,
  // since a unit is only accepted when a good one follows).
  if (o > 0) damaged_ = std::max<uint64_t>(damaged_, (o + unitLength_ / 2) / unitLength_);
  if (damaged_ > 0 && !timeStampsSeen_ && gapDetection_) {
    const int64_t lost = int64_t(damaged_) * UnitTicks();
    unitsDelivered_ += damaged_;
    damagedTicks_ += lost;
    const int64_t lastDrift = records_.empty() ? 0 : records_.back().drift;
    records_.push_back({delivered_.Ticks() + damagedTicks_, lastDrift + lost});
  }
  damaged_ = 0;
  return true;
}

bool TAudioReaderBase::SameAsLastDelivered(const uint8_t* data, size_t size) const {
  if (size != lastUnitLength_ || size == 0) return false;
  if (!lastUnitCopied_ && lastUnitPosition_ >= bufferBase_)
    return std::memcmp(data, WinData() + (lastUnitPosition_ - bufferBase_), size) == 0;
  return lastUnit_.size() == size && std::memcmp(data, lastUnit_.data(), size) == 0;
}

bool TAudioReaderBase::HandleUnit(const TAudioUnit& unit) {
  const uint8_t* p = WinData() + cursor_;
  const uint64_t unitStart = bufferBase_ + cursor_;
  unitLength_ = unit.length;
  lastSamples_ = unit.samples;
  lastRate_ = unit.sampleRate;

  // Seamless branching: the first unit after a join repeats the last one before it.
  if (joinArmed_ && SameAsLastDelivered(p, unit.length)) {
    if (!seamlessShown_) {
      ShowMessage(kMsgNormal, texts_.seamless);
      seamlessShown_ = true;
    }
    cursor_ += unit.length;
    joinArmed_ = false;
    PruneMarks();
    return true;
  }

  ++unitsSeen_;
  seen_.Add(unit.samples, unit.sampleRate);
  if (unitStart < firstStampPosition_) initialDelay_ -= SampleTicks(unit.samples, unit.sampleRate);
  if (gapDetection_) TrackDrift(unitStart);

  if (!DeliverData(false, p, unit.length, kNoTimeStamp, false)) {
    SetOk(false);
    return false;
  }
  ++unitsDelivered_;
  delivered_.Add(unit.samples, unit.sampleRate);
  lastUnitPosition_ = unitStart;
  lastUnitLength_ = unit.length;
  lastUnitCopied_ = false;
  cursor_ += unit.length;
  PruneMarks();

  if (joinArmed_) {
    joinCountdown_ -= int64_t(unit.length);
    if (joinCountdown_ < 0) joinArmed_ = false;
  }
  return true;
}

// Compares the container's time stamp of the unit with the audio delivered so far.
void TAudioReaderBase::TrackDrift(uint64_t unitStart) {
  if (marks_.empty() || marks_.front().position > unitStart) return;
  const int64_t timeStamp = marks_.front().timeStamp;
  while (!marks_.empty() && marks_.front().position <= unitStart) marks_.pop_front();
  const int64_t done = delivered_.Ticks() + damagedTicks_;
  if (!initialOffsetSet_) {
    initialOffsetSet_ = true;
    initialOffset_ = timeStamp - done;
  }
  const int64_t drift = timeStamp - initialOffset_ - done;
  int64_t lastDrift = records_.empty() ? 0 : records_.back().drift;
  if (drift == 0 || Sign(drift) != Sign(lastDrift)) {
    records_.clear();
    lastDrift = 0;
  }
  if (drift - lastDrift < kDriftThreshold && lastDrift - drift < kDriftThreshold) return;
  if ((drift > 0 && drift > lastDrift) || (drift < 0 && drift < lastDrift)) {
    records_.push_back({timeStamp - initialOffset_, drift});
    return;
  }
  // Back toward zero: the earliest record at or beyond the new drift takes it; later ones go.
  auto beyond = [drift](int64_t d) { return drift > 0 ? d >= drift : d <= drift; };
  for (size_t i = records_.size(); i-- > 0;) {
    if (beyond(records_[i].drift) && (i == 0 || !beyond(records_[i - 1].drift))) {
      records_[i].drift = drift;
      records_.resize(i + 1);
      return;
    }
  }
}

// Marks before the cursor go, except the last one (it still holds for the next unit).
void TAudioReaderBase::PruneMarks() {
  const uint64_t start = bufferBase_ + cursor_;
  while (marks_.size() >= 2 && marks_[1].position <= start) marks_.pop_front();
}

void TAudioReaderBase::NotifyJoin(uint8_t kind, int64_t gap) {
  if (!GetOk()) return;
  NotifyJoinUpstreams(kind, gap);
  if (!seamlessCheck_) return;
  joinArmed_ = true;
  joinCountdown_ = int64_t(WinSize() - cursor_);
}

bool TAudioReaderBase::Finish(TKey key) {
  if (!GetOk()) return false;
  flushing_ = true;
  if (!ProcessData(key, false, nullptr, 0, kNoTimeStamp, false)) return false;
  if (!headerFound_) return Fail(texts_.noUnits);
  const bool finished = FinishUpstreams();
  if (!finished) {
    SetOk(false);
    return false;
  }
  try {
    if (gapDetection_) ReportGaps();
  } catch (const std::exception&) {
    return FailMemory();
  }
  return GetOk();
}

// Keeps the records that matter, reports them and hands them to the caller.
void TAudioReaderBase::ReportGaps() {
  if (!records_.empty()) {
    const int64_t duration = seen_.Ticks();
    const int64_t unitTicks = UnitTicks();
    const int64_t significant = std::max(unitTicks * 6 / 10, minSignificantDrift_);
    bool kept = false;
    for (size_t i = records_.size(); i-- > 0;) {
      if (timeStampsSeen_ && duration - records_[i].position <= kReportTailTicks) continue;
      const int64_t d = records_[i].drift;
      if (d >= significant || d <= -significant) {
        records_.resize(i + 1);
        kept = true;
      }
      break;
    }
    if (!kept) records_.clear();
  }
  if (!records_.empty()) {
    int64_t delaySum = 0;
    for (int32_t d : Delays()) delaySum += d;
    int64_t previous = 0;
    for (auto& r : records_) {
      r.position += delaySum * 10000;
      const int64_t g = r.drift - previous;
      previous = r.drift;
      const int64_t ms = (r.position + 5000) / 10000;
      const std::string at = PlayTimeText(uint64_t(std::max<int64_t>(ms, 0)));
      if (g <= 0) {
        ShowMessage(kMsgWarning, "Audio overlaps for " + std::to_string((5000 - g) / 10000) +
                                     "ms at playtime " + at + ".");
      } else {
        ShowMessage(kMsgWarning, "Audio has a gap of " + std::to_string((g + 5000) / 10000) +
                                     "ms at playtime " + at + ".");
      }
    }
  }
  if (gapList_) *gapList_ = PackAudioGaps(records_);
}

}  // namespace kavrix
