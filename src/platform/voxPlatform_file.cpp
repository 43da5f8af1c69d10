#include "platform/voxPlatform_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace kavrix::platform {

namespace {
std::atomic<TPreadFunction> g_pread{&PreadFull};
}

int64_t PreadFull(int fd, uint8_t* buffer, size_t count, uint64_t offset) {
  // One call may return less than asked (large requests are split by the kernel); keep
  // reading until the request is met, the file ends or an error occurs.
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

TPreadFunction SetPreadFunction(TPreadFunction function) {
  return g_pread.exchange(function ? function : &PreadFull);
}

TReadOnlyFile& TReadOnlyFile::operator=(TReadOnlyFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool TReadOnlyFile::Open(const std::string& name) {
  Close();
  do {
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) return false;
  struct stat st;
  if (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
    Close();
    return false;
  }
  return true;
}

void TReadOnlyFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TReadOnlyFile::GetSize(uint64_t& size) const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size < 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

int64_t TReadOnlyFile::ReadAt(uint8_t* buffer, size_t count, uint64_t offset) const {
  if (fd_ < 0) return -1;
  return g_pread.load()(fd_, buffer, count, offset);
}

void TReadOnlyFile::AdviseSequential() const {
  if (fd_ >= 0) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

}  // namespace kavrix::platform
