// The thread boundary: a node that hands every block to a thread of its own, which delivers
// it to the rest of the chain, so the nodes before the boundary (a decoder) and those after it
// (the PCM processing, the writer) work at the same time. The blocks are copied into a small
// ring of reused buffers; announcements, joins and the end wait until every block queued
// before them was delivered, so the nodes after the boundary see everything in order.
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

namespace {

class TThreadBoundary final : public TUpStream {
 public:
  static constexpr size_t kSlots = 8;

  TThreadBoundary() : TUpStream("thread boundary"), slots_(kSlots) {}
  ~TThreadBoundary() override { Stop(); }

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!Drain()) return false;
    return OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                              frameCount);
  }
  bool OpenVideo(const TVideoAnnouncement& video) override {
    return Drain() && OpenVideoUpstreams(video);
  }
  bool OpenSubtitle(const std::string& formatId) override {
    return Drain() && OpenSubtitleUpstreams(formatId);
  }
  bool OpenContainer(const std::string& formatId, const std::string& scanInfo, uint64_t size,
                     uint64_t size2) override {
    return Drain() && OpenContainerUpstreams(formatId, scanInfo, size, size2);
  }
  void NotifyJoin(uint8_t kind, int64_t gap) override {
    if (Drain()) TUpStream::NotifyJoin(kind, gap);
  }
  void SetValidBits(uint32_t bits, bool forced) override {
    if (Drain()) TUpStream::SetValidBits(bits, forced);
  }

  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override {
    if (!GetOk()) return false;
    if (Upstreams().empty()) return FailNoUpstream();
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return queued_ < kSlots || failed_; });
    if (failed_) return false;
    TSlot& slot = slots_[(head_ + queued_) % kSlots];
    try {
      slot.data.assign(data, data + size);
    } catch (...) {
      guard.unlock();
      return FailMemory();
    }
    slot.header = header;
    slot.timeStamp = timeStamp;
    slot.boundary = boundary;
    ++queued_;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (...) {
        // No thread: deliver here.
        --queued_;
        guard.unlock();
        return DeliverData(header, data, size, timeStamp, boundary) || (SetOk(false), false);
      }
    }
    guard.unlock();
    changed_.notify_all();
    return true;
  }

  bool Finish(TKey) override {
    if (!Drain()) return false;
    return FinishUpstreams();
  }

 private:
  struct TSlot {
    std::vector<uint8_t> data;
    bool header = false;
    int64_t timeStamp = kNoTimeStamp;
    bool boundary = false;
  };

  // Waits until every queued block was delivered; false when a delivery failed.
  bool Drain() {
    if (!GetOk()) return false;
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return (queued_ == 0 && !busy_) || failed_; });
    return !failed_ && GetOk();
  }

  void Run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      changed_.wait(guard, [this] { return queued_ > 0 || stop_; });
      if (stop_) return;  // the node goes: what is still queued is dropped
      TSlot& slot = slots_[head_];
      const bool skip = failed_;
      busy_ = true;
      guard.unlock();
      const bool ok = !skip && DeliverData(slot.header, slot.data.data(), slot.data.size(),
                                           slot.timeStamp, slot.boundary);
      guard.lock();
      busy_ = false;
      if (!ok) {
        failed_ = true;
        SetOk(false);
      }
      head_ = (head_ + 1) % kSlots;
      --queued_;
      changed_.notify_all();
    }
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  std::vector<TSlot> slots_;
  std::mutex lock_;
  std::condition_variable changed_;
  size_t head_ = 0;
  size_t queued_ = 0;
  bool busy_ = false;
  bool failed_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace

UpStreamPtr CreateThreadBoundary() {
  return std::make_shared<TThreadBoundary>();
}

}  // namespace kavrix
