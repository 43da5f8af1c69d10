#include "platform/voxPlatform_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/voxPlatform_console.h"

namespace kavrix::platform {

namespace {

std::mutex g_hookLock;
TFolderHook g_stateHook;
TFolderHook g_configHook;
TFolderHook g_exeHook;

TFolderHook& HookFor(TFolder folder) {
  switch (folder) {
    case TFolder::State:
      return g_stateHook;
    case TFolder::Config:
      return g_configHook;
    case TFolder::Executable:
      break;
  }
  return g_exeHook;
}

TFolderHook CurrentHook(TFolder folder) {
  std::lock_guard<std::mutex> guard(g_hookLock);
  return HookFor(folder);
}

// An XDG base folder: the variable when it holds an absolute path (relative values are
// ignored, as the base-directory rules say), else $HOME/<fallback>.
std::string XdgFolder(const char* variable, const char* fallback) {
  std::string base = GetEnvironment(variable);
  if (base.empty() || base[0] != '/') {
    const std::string home = GetEnvironment("HOME");
    if (home.empty()) return std::string();
    base = home + "/" + fallback;
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/kavrix";
}

std::string DefaultExecutableFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::string();
  return exe.parent_path().string();
}

}  // namespace

TFolderHook SetFolderHook(TFolder folder, TFolderHook hook) {
  std::lock_guard<std::mutex> guard(g_hookLock);
  TFolderHook previous = std::move(HookFor(folder));
  HookFor(folder) = std::move(hook);
  return previous;
}

std::string GetStateFolder() {
  if (TFolderHook hook = CurrentHook(TFolder::State)) return hook();
  return XdgFolder("XDG_STATE_HOME", ".local/state");
}

std::string GetConfigFolder() {
  if (TFolderHook hook = CurrentHook(TFolder::Config)) return hook();
  return XdgFolder("XDG_CONFIG_HOME", ".config");
}

std::string GetExecutableFolder() {
  if (TFolderHook hook = CurrentHook(TFolder::Executable)) return hook();
  return DefaultExecutableFolder();
}

bool CreateFolders(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TPathKind GetPathKind(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return TPathKind::kNone;
  if (S_ISREG(st.st_mode)) return TPathKind::kFile;
  if (S_ISDIR(st.st_mode)) return TPathKind::kFolder;
  return TPathKind::kOther;
}

bool IsSameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  std::error_code ec;
  const std::filesystem::path pa = std::filesystem::absolute(a, ec).lexically_normal();
  if (ec) return a == b;
  const std::filesystem::path pb = std::filesystem::absolute(b, ec).lexically_normal();
  if (ec) return a == b;
  return pa == pb;
}

bool WriteWholeFile(const char* path, const char* data, size_t size) {
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, data, size);
  return (::close(fd) == 0) && ok;
}

}  // namespace kavrix::platform
