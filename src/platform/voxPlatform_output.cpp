#include "platform/voxPlatform_output.h"

#include "platform/voxPlatform_console.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace kavrix::platform {

TOutputFile::TCreate TOutputFile::Create(const std::string& name) {
  Close();
  int fd;
  do {
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT ? TCreate::kPathMissing : TCreate::kFailed;
  fd_ = fd;
  standardOutput_ = false;
  return TCreate::kOk;
}

void TOutputFile::UseStandardOutput() {
  Close();
  fd_ = STDOUT_FILENO;
  standardOutput_ = true;
}

bool TOutputFile::WriteAll(const uint8_t* data, size_t size) {
  return fd_ >= 0 && platform::WriteAll(fd_, reinterpret_cast<const char*>(data), size);
}

bool TOutputFile::SeekTo(uint64_t position) {
  if (fd_ < 0 || standardOutput_ || position > uint64_t(INT64_MAX)) return false;
  return ::lseek(fd_, off_t(position), SEEK_SET) == off_t(position);
}

void TOutputFile::Close() {
  if (fd_ >= 0 && !standardOutput_) ::close(fd_);
  fd_ = -1;
  standardOutput_ = false;
}

bool MakeFolder(const std::string& name) {
  return ::mkdir(name.c_str(), 0777) == 0;
}

}  // namespace kavrix::platform
