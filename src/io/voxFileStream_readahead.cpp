#include "io/voxFileStream_readahead.h"

namespace kavrix {

TReadAhead::TReadAhead(uint8_t* memory, size_t slotSize, size_t slots, TProduce produce)
    : memory_(memory),
      slotSize_(slotSize),
      slots_(slots == 0 ? 1 : slots),
      produce_(std::move(produce)),
      blocks_(slots_) {
  try {
    thread_ = std::thread([this] { Run(); });
    threaded_ = true;
  } catch (...) {
    threaded_ = false;
  }
}

TReadAhead::~TReadAhead() {
  if (!threaded_) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void TReadAhead::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, [this] { return stop_ || filled_ < slots_; });
    if (stop_) return;
    const size_t slot = (head_ + filled_) % slots_;
    guard.unlock();
    TBlock block = produce_(memory_ + slot * slotSize_);
    block.data = memory_ + slot * slotSize_;
    guard.lock();
    blocks_[slot] = block;
    ++filled_;
    changed_.notify_all();
    if (block.last) return;
  }
}

TReadAhead::TBlock TReadAhead::Next() {
  if (!threaded_) {
    TBlock block = produce_(memory_);
    block.data = memory_;
    return block;
  }
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return filled_ > 0; });
  return blocks_[head_];
}

void TReadAhead::Release() {
  if (!threaded_) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (filled_ == 0) return;
    head_ = (head_ + 1) % slots_;
    --filled_;
  }
  changed_.notify_all();
}

}  // namespace kavrix
