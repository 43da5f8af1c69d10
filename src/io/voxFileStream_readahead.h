#pragma once
// Reading ahead: a thread of its own reads the next blocks of the source into a ring of slots
// while the chain works on the block before them. Blocks are handed out in order; a slot is
// reused only after the consumer released the block in it. Without a thread (it could not be
// started) every block is read when it is asked for.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kavrix {

class TReadAhead {
 public:
  struct TBlock {
    const uint8_t* data = nullptr;
    size_t count = 0;
    bool ok = true;     // false: reading failed (with last)
    bool last = false;  // nothing follows; data is empty
    bool join = false;  // the block ends where the next source file begins
    size_t fileIndex = 0;
    uint64_t position = 0;  // source position after the block
  };
  // Fills the slot and describes it. Called on the reading thread only.
  using TProduce = std::function<TBlock(uint8_t* slot)>;

  TReadAhead(uint8_t* memory, size_t slotSize, size_t slots, TProduce produce);
  ~TReadAhead();  // stops the reading and waits for the thread
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;

  // The next block, waiting for it when needed. After a block with `last` nothing follows.
  TBlock Next();
  // The block Next() handed out is done with; its slot may be filled again.
  void Release();

 private:
  void Run();

  uint8_t* const memory_;
  const size_t slotSize_;
  const size_t slots_;
  const TProduce produce_;
  std::vector<TBlock> blocks_;
  std::mutex lock_;
  std::condition_variable changed_;
  size_t head_ = 0;    // slot of the next block to hand out
  size_t filled_ = 0;  // slots holding blocks not released yet
  bool stop_ = false;
  bool threaded_ = false;
  std::thread thread_;
};

}  // namespace kavrix
