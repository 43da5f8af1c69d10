#pragma once
// The worker threads of a node with two or more upstreams. Upstream 0 is served on
// the sender's own thread; every other upstream has a persistent worker. A delivery
// wakes the workers through one generation counter and waits until the last of them
// has counted down: a barrier per block, without allocation and without locks.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "core/voxUpStream.h"

namespace kavrix {

class TFanOut {
 public:
  struct TBlock {
    bool header;
    const uint8_t* data;
    size_t size;
    int64_t timeStamp;
    bool boundary;
  };

  TFanOut() = default;
  ~TFanOut();  // stops and joins every worker
  TFanOut(const TFanOut&) = delete;
  TFanOut& operator=(const TFanOut&) = delete;

  // Starts one worker per upstream from position 1 on; keyBase | i is the key of
  // position i. False when a thread could not be created (none is left running).
  bool Start(const UpStreamList& upstreams, TKey keyBase);
  // Processes the block in every upstream; the result counts optional upstreams as
  // successful.
  bool Deliver(const TBlock& block);

  // Threads started and not yet joined, for the tests.
  static size_t LiveWorkers();

 private:
  void Run(size_t index, uint32_t seen);
  void Stop();

  UpStreamList upstreams_;
  TKey keyBase_ = 0;
  TBlock pending_{};
  std::vector<std::thread> threads_;
  std::unique_ptr<std::atomic<bool>[]> results_;
  std::atomic<uint32_t> generation_{0};
  std::atomic<uint32_t> remaining_{0};
  std::atomic<bool> stop_{false};
};

}  // namespace kavrix
