#include "core/voxUpStream_fanout.h"

#include <system_error>

namespace kavrix {

namespace {
std::atomic<size_t> g_liveWorkers{0};

bool ProcessGuarded(IUpStream& up, TKey key, const TFanOut::TBlock& b) {
  try {
    return up.ProcessData(key, b.header, b.data, b.size, b.timeStamp, b.boundary);
  } catch (...) {
    if (auto* node = dynamic_cast<TUpStream*>(&up)) node->ReportException();
    return false;
  }
}
}  // namespace

size_t TFanOut::LiveWorkers() {
  return g_liveWorkers.load();
}

TFanOut::~TFanOut() {
  Stop();
}

bool TFanOut::Start(const UpStreamList& upstreams, TKey keyBase) {
  upstreams_ = upstreams;
  keyBase_ = keyBase;
  results_ = std::make_unique<std::atomic<bool>[]>(upstreams_.size());
  const uint32_t seen = generation_.load(std::memory_order_relaxed);
  threads_.reserve(upstreams_.size());
  try {
    for (size_t i = 1; i < upstreams_.size(); ++i) {
      threads_.emplace_back([this, i, seen] { Run(i, seen); });
      g_liveWorkers.fetch_add(1);
    }
  } catch (const std::system_error&) {
    Stop();
    return false;
  }
  return true;
}

void TFanOut::Run(size_t index, uint32_t seen) {
  IUpStream& up = *upstreams_[index];
  const TKey key = keyBase_ | index;
  for (;;) {
    generation_.wait(seen, std::memory_order_acquire);
    seen = generation_.load(std::memory_order_acquire);
    if (stop_.load(std::memory_order_acquire)) break;
    results_[index].store(ProcessGuarded(up, key, pending_), std::memory_order_relaxed);
    if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) remaining_.notify_one();
  }
}

bool TFanOut::Deliver(const TBlock& block) {
  pending_ = block;
  remaining_.store(uint32_t(threads_.size()), std::memory_order_relaxed);
  generation_.fetch_add(1, std::memory_order_release);
  generation_.notify_all();

  bool result = ProcessGuarded(*upstreams_[0], keyBase_, block) || upstreams_[0]->GetOptional();

  for (uint32_t left = remaining_.load(std::memory_order_acquire); left != 0;
       left = remaining_.load(std::memory_order_acquire))
    remaining_.wait(left, std::memory_order_acquire);

  for (size_t i = 1; i < upstreams_.size(); ++i)
    result =
        result && (results_[i].load(std::memory_order_relaxed) || upstreams_[i]->GetOptional());
  return result;
}

void TFanOut::Stop() {
  stop_.store(true, std::memory_order_release);
  generation_.fetch_add(1, std::memory_order_release);
  generation_.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) {
      t.join();
      g_liveWorkers.fetch_sub(1);
    }
  }
  threads_.clear();
}

}  // namespace kavrix
