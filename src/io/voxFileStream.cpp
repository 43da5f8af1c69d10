// The source file set: opening, reading, seeking and the run.
#include "io/voxFileStream.h"

#include <algorithm>
#include <new>

#include "core/voxUpStream_console.h"
#include "io/voxFileStream_readahead.h"

namespace kavrix {

TSourceFiles::TSourceFiles(std::vector<std::string> files, uint64_t skipStart, uint64_t cutEnd,
                           uint64_t readLimit, bool playlist, uint32_t frameRateNum,
                           uint32_t frameRateDen)
    : TUpStream("source file"),
      skipStart_(skipStart),
      cutEnd_(cutEnd),
      readLimit_(readLimit),
      playlist_(playlist),
      frameRateNum_(frameRateNum),
      frameRateDen_(frameRateDen),
      pidTable_(std::make_unique<ts::TPsiTable>()) {
  files_.resize(files.size());
  for (size_t i = 0; i < files.size(); ++i) files_[i].name = std::move(files[i]);
}

TSourceFiles::~TSourceFiles() {
  delete[] buffer_;
}

void TSourceFiles::ShowMessage(int kind, const std::string& text, bool important) {
  {
    std::lock_guard<std::mutex> guard(messagesLock_);  // the reading thread reports too
    messages_.push_back({kind, text});
  }
  TUpStream::ShowMessage(kind, text, important);
}

void TSourceFiles::Open() {
  try {
    OpenFiles();
  } catch (const std::bad_alloc&) {
    FailMemory();
  }
}

void TSourceFiles::OpenFiles() {
  if (files_.empty()) {
    SetOk(false);
    return;
  }
  buffer_ = new (std::nothrow) uint8_t[kBufferSize];
  if (!buffer_) {
    FailMemory();
    return;
  }
  pidTable_->SetEntryCallback([this](const ts::TEsEntry& entry) { return OnPmtEntry(entry); });

  for (size_t i = 0; i < files_.size(); ++i) {
    TFile& f = files_[i];
    uint64_t size = 0;
    if (!f.handle.Open(f.name) || !f.handle.GetSize(size)) {
      Fail("The source file \"" + f.name + "\" could not be opened.");
      return;
    }
    f.handle.AdviseSequential();
    if (i == 0) {
      // A first file smaller than the skip contributes nothing, and nothing is skipped
      // in the files after it.
      if (size >= skipStart_) {
        f.usable = size - skipStart_;
      } else {
        skipStart_ = 0;
        f.usable = 0;
      }
    } else {
      f.usable = size;
    }
    totalSize_ += f.usable;
  }

  isEvo_ = isTs_ = true;
  for (size_t i = 0; i < files_.size() && GetOk(); ++i) {
    if (isEvo_) ScanEvo(i);
    if (GetOk() && isTs_) ScanTs(i);
  }
  if (!GetOk()) return;
  if (!isTs_) packetSize_ = 0;

  // The cut at the end may reach back over several files.
  uint64_t cut = std::min(cutEnd_, totalSize_);
  cutEnd_ = cut;
  for (size_t i = files_.size(); i-- > 0 && cut > 0;) {
    const uint64_t part = std::min(cut, files_[i].usable);
    files_[i].usable -= part;
    cut -= part;
  }
  totalSize_ -= cutEnd_;
  // Plain data is measured in bytes: what will be read.
  if (!isEvo_ && !isTs_) {
    length_ = totalSize_;
    lengthUnknown_ = false;
  }

  if (isTs_) scanInfo_ = pidTable_->BuildPidTrackTable();
}

void TSourceFiles::SetStopFlags(std::vector<const std::atomic<bool>*> flags) {
  stopFlags_ = std::move(flags);
}

bool TSourceFiles::StopRequested() const {
  if (stopFlags_.empty()) return false;
  for (const std::atomic<bool>* flag : stopFlags_)
    if (!flag || !flag->load(std::memory_order_acquire)) return false;
  return true;
}

bool TSourceFiles::Seek(uint64_t position) {
  if (position > totalSize_ || files_.empty()) return false;
  if (position == position_) return true;
  // Walk the files; the walk stops at the last file, so the end of the set (and empty
  // files at the end) leave the position inside the last file.
  size_t index = 0;
  uint64_t rest = position;
  while (index + 1 < files_.size() && rest >= files_[index].usable) {
    rest -= files_[index].usable;
    ++index;
  }
  fileIndex_ = index;
  filePosition_ = rest;
  position_ = position;
  joinPending_ = false;
  return true;
}

bool TSourceFiles::ReadData(uint8_t* buffer, size_t& count) {
  if (files_.empty() || (!buffer && count > 0)) {
    count = 0;
    return false;
  }
  uint64_t remaining = std::min<uint64_t>(count, totalSize_ - position_);
  count = 0;
  while (remaining > 0) {
    TFile& file = files_[fileIndex_];
    if (filePosition_ >= file.usable) {
      if (fileIndex_ + 1 >= files_.size()) break;
      // Crossing into the next file ends this request; the caller reports the join.
      ++fileIndex_;
      filePosition_ = 0;
      joinPending_ = true;
      break;
    }
    // Never beyond the usable part of this file, even if the file has grown meanwhile.
    const size_t want = static_cast<size_t>(std::min(remaining, file.usable - filePosition_));
    int64_t got = -1;
    int attempt = 0;
    for (; attempt < 3; ++attempt) {
      got = file.handle.ReadAt(buffer + count, want, FileOffset(fileIndex_) + filePosition_);
      if (got > 0) break;
    }
    if (got <= 0) return false;
    if (attempt > 0) ShowMessage(kMsgWarning, "Worked around a read error.");
    const uint64_t n = static_cast<uint64_t>(got);
    count += static_cast<size_t>(n);
    remaining -= n;
    filePosition_ += n;
    position_ += n;
  }
  return true;
}

bool TSourceFiles::Run(int64_t timeStamp, bool boundary) {
  const std::string container = ContainerId();
  for (const UpStreamPtr& up : Upstreams())
    up->OpenContainer(container, scanInfo_, totalSize_, Length());
  if (container == "?" && !OpenContainerUpstreams(container, scanInfo_, totalSize_, Length())) {
    SetOk(false);
    return false;
  }
  if (!OpenAudioUpstreams("?", 1, 1, 8, 48000, false, totalSize_)) {
    SetOk(false);
    return false;
  }
  const uint64_t end = readLimit_ > 0 && readLimit_ < totalSize_ ? readLimit_ : totalSize_;
  const size_t blockSize = container == "?" ? kDataReadSize : kContainerReadSize;
  const uint64_t start = position_;
  uint64_t delivered = position_;
  {
    // The next blocks are read on a thread of their own while the chain works on this one.
    // Only that thread touches the read state until the reading has stopped.
    TReadAhead reading(buffer_, blockSize, kReadAheadSlots, [this, end, blockSize](uint8_t* slot) {
      TReadAhead::TBlock block;
      if (position_ >= end) {
        block.last = true;
        return block;
      }
      size_t count = static_cast<size_t>(std::min<uint64_t>(end - position_, blockSize));
      if (!ReadData(slot, count) || (count == 0 && !joinPending_)) {
        block.ok = false;
        block.last = true;
        return block;
      }
      block.count = count;
      block.join = joinPending_;
      joinPending_ = false;
      block.fileIndex = fileIndex_;
      block.position = position_;
      return block;
    });
    while (GetOk()) {
      if (StopRequested()) {
        Silence(true);
        break;
      }
      const TReadAhead::TBlock block = reading.Next();
      if (block.last) {
        if (!block.ok) Fail("Reading the source file failed.");
        break;
      }
      for (size_t done = 0; done < block.count && GetOk();) {
        const size_t piece = std::min(block.count - done, kDataReadSize);
        if (!DeliverData(false, block.data + done, piece, timeStamp, boundary)) SetOk(false);
        done += piece;
      }
      reading.Release();
      delivered = block.position;
      ShowProgress(static_cast<int64_t>(end), static_cast<int64_t>(block.position));
      if (block.join && GetOk()) {
        const TFile& now = files_[block.fileIndex];
        const TFile& before = files_[block.fileIndex - 1];
        if (now.first >= 0 && before.last >= 0) {
          const int64_t gap =
              ts::PtsDiff(static_cast<uint32_t>(now.first), static_cast<uint32_t>(before.last));
          NotifyJoinUpstreams(1, gap);
          NotifyJoinUpstreams(0, gap);
        }
      }
    }
  }
  // The position is that of the data the chain received, not of what was read ahead.
  if (position_ != delivered && delivered >= start) Seek(delivered);
  // A failed run leaves its upstreams unfinished: nothing half-written is completed.
  if (GetOk()) SetOk(FinishUpstreams());
  return GetOk();
}

bool TSourceFiles::ProcessData(TKey, bool, const uint8_t*, size_t, int64_t timeStamp,
                               bool boundary) {
  if (!GetOk()) return false;
  if (Upstreams().empty()) return FailNoUpstream();
  try {
    return Run(timeStamp, boundary);
  } catch (const std::bad_alloc&) {
    return FailMemory();
  } catch (...) {
    return Fail("Reading the source file failed.");
  }
}

bool TSourceFiles::Finish(TKey) {
  const bool result = GetOk() && FinishUpstreams();
  ClearProgress();
  return result;
}

UpStreamPtr CreateSourceFiles(const std::vector<std::string>& files, uint64_t skipStart,
                              uint64_t cutEnd, uint64_t readLimit, bool playlist,
                              uint32_t frameRateNum, uint32_t frameRateDen) {
  auto node = std::make_shared<TSourceFiles>(files, skipStart, cutEnd, readLimit, playlist,
                                             frameRateNum, frameRateDen);
  node->Open();
  return node;
}

}  // namespace kavrix
