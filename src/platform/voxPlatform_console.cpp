#include "platform/voxPlatform_console.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kavrix::platform {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool IsTerminal(int fd) {
  return ::isatty(fd) == 1;
}

bool ColourWanted(int fd) {
  if (!IsTerminal(fd)) return false;
  if (std::getenv("NO_COLOR") != nullptr) return false;
  const char* term = std::getenv("TERM");
  if (term == nullptr || *term == 0 || std::strcmp(term, "dumb") == 0) return false;
  return true;
}

std::string GetEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

}  // namespace kavrix::platform
