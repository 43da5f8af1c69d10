#pragma once
// Read-only access to source files: open, size, positioned reads, access hints.
// Everything here takes 64-bit sizes and offsets.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavrix::platform {

// Reads up to count bytes at offset; returns the byte count (0 at the end), or -1 on an
// error. Retries by itself when a signal interrupts the read.
using TPreadFunction = int64_t (*)(int fd, uint8_t* buffer, size_t count, uint64_t offset);

int64_t PreadFull(int fd, uint8_t* buffer, size_t count, uint64_t offset);

// The read function every TReadOnlyFile uses; tests replace it to inject read errors.
// Returns the previous one.
TPreadFunction SetPreadFunction(TPreadFunction function);

// A file opened for reading; closed when the object goes.
class TReadOnlyFile {
 public:
  TReadOnlyFile() = default;
  ~TReadOnlyFile() { Close(); }
  TReadOnlyFile(const TReadOnlyFile&) = delete;
  TReadOnlyFile& operator=(const TReadOnlyFile&) = delete;
  TReadOnlyFile(TReadOnlyFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TReadOnlyFile& operator=(TReadOnlyFile&& other) noexcept;

  // The name is passed to the system unchanged (a byte string).
  bool Open(const std::string& name);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // Size in bytes; false when it cannot be taken.
  bool GetSize(uint64_t& size) const;
  // Up to count bytes at offset; the byte count (0 at the end) or -1 on an error.
  int64_t ReadAt(uint8_t* buffer, size_t count, uint64_t offset) const;
  // Tells the system that the file will be read from start to end.
  void AdviseSequential() const;

 private:
  int fd_ = -1;
};

}  // namespace kavrix::platform
