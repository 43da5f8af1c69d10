// Writing into an existing file in place.
#include "platform/voxPlatform_patch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kavrix::platform {

bool PatchFile(const std::string& name, uint64_t offset, const uint8_t* data, size_t size) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += size_t(n);
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace kavrix::platform
