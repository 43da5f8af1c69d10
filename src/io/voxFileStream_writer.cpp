#include "io/voxFileStream_writer.h"

namespace kavrix {

TBackgroundWriter::~TBackgroundWriter() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool TBackgroundWriter::Write(const uint8_t* data, size_t size) {
  while (size != 0) {
    if (filling_.capacity() < kPieceSize) filling_.reserve(kPieceSize);
    const size_t take = std::min(size, kPieceSize - std::min(kPieceSize, filling_.size()));
    filling_.insert(filling_.end(), data, data + take);
    data += take;
    size -= take;
    if (filling_.size() >= kPieceSize && !HandOver()) return false;
  }
  return !failed_.load(std::memory_order_acquire);
}

bool TBackgroundWriter::HandOver() {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return !busy_; });
  if (failed_) return false;
  filling_.swap(writing_);
  filling_.clear();
  busy_ = true;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (...) {
      // No thread: write here.
      busy_ = false;
      guard.unlock();
      const bool ok = file_.WriteAll(writing_.data(), writing_.size());
      guard.lock();
      failed_ = !ok;
      return ok;
    }
  }
  guard.unlock();
  changed_.notify_all();
  return true;
}

bool TBackgroundWriter::Drain() {
  {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return !busy_; });
    if (failed_) return false;
  }
  if (filling_.empty()) return true;
  const bool ok = file_.WriteAll(filling_.data(), filling_.size());
  filling_.clear();
  std::lock_guard<std::mutex> guard(lock_);
  if (!ok) failed_ = true;
  return ok;
}

void TBackgroundWriter::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, [this] { return busy_ || stop_; });
    if (busy_) {
      guard.unlock();
      const bool ok = file_.WriteAll(writing_.data(), writing_.size());
      guard.lock();
      if (!ok) failed_ = true;
      busy_ = false;
      changed_.notify_all();
      continue;
    }
    if (stop_) return;
  }
}

}  // namespace kavrix
