#pragma once
// Files written by the program: created anew, written with every byte accounted for,
// repositioned to patch headers. The standard output is one of them.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavrix::platform {

class TOutputFile {
 public:
  enum class TCreate { kOk, kPathMissing, kFailed };

  TOutputFile() = default;
  ~TOutputFile() { Close(); }
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;

  // Creates (or truncates) the named file for reading and writing. The name is passed
  // to the system unchanged.
  TCreate Create(const std::string& name);
  // Uses the process's standard output; Close leaves it open.
  void UseStandardOutput();
  bool IsOpen() const { return fd_ >= 0; }
  // Writes every byte (partial writes are continued, interrupted ones retried).
  bool WriteAll(const uint8_t* data, size_t size);
  bool SeekTo(uint64_t position);
  void Close();

 private:
  int fd_ = -1;
  bool standardOutput_ = false;
};

// Creates one folder (its parent must exist).
bool MakeFolder(const std::string& name);

}  // namespace kavrix::platform
