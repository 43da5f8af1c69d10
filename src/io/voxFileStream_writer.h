#pragma once
// Writes a file's bytes on a thread of its own, so the chain goes on producing while the
// system copies the previous piece into the file. The bytes are copied into one of two
// buffers; a full buffer is handed to the writing thread while the other fills up.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/voxPlatform_output.h"

namespace kavrix {

class TBackgroundWriter {
 public:
  // Bytes gathered before a piece goes to the writing thread.
  static constexpr size_t kPieceSize = 1048576;

  explicit TBackgroundWriter(platform::TOutputFile& file) : file_(file) {}
  ~TBackgroundWriter();
  TBackgroundWriter(const TBackgroundWriter&) = delete;
  TBackgroundWriter& operator=(const TBackgroundWriter&) = delete;

  // Takes a copy of the bytes; they reach the file in order. False once a write failed.
  bool Write(const uint8_t* data, size_t size);
  // Returns when every byte taken is in the file (the file may then be repositioned or
  // closed). False when a write failed.
  bool Drain();

 private:
  bool HandOver();  // the filled buffer to the thread
  void Run();

  platform::TOutputFile& file_;
  std::vector<uint8_t> filling_;  // the producer's
  std::vector<uint8_t> writing_;  // the thread's while busy_
  std::mutex lock_;
  std::condition_variable changed_;
  bool busy_ = false;
  bool stop_ = false;
  std::atomic<bool> failed_{false};  // read without the lock on every write
  std::thread thread_;
};

}  // namespace kavrix
