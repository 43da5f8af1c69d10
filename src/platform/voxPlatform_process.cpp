#include "platform/voxPlatform_process.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "platform/voxPlatform_console.h"
#include "platform/voxPlatform_paths.h"

extern char** environ;

namespace kavrix::platform {

namespace {

std::mutex g_hookLock;
TClockHook g_clock;
TPriorityHook g_priority;
TShutdownHook g_shutdown;
TSoundHook g_sound;

template <class H>
H Swap(H& slot, H hook) {
  std::lock_guard<std::mutex> guard(g_hookLock);
  H previous = std::move(slot);
  slot = std::move(hook);
  return previous;
}

template <class H>
H Get(const H& slot) {
  std::lock_guard<std::mutex> guard(g_hookLock);
  return slot;
}

// Linux I/O priority values (linux/ioprio.h is not in every header set).
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassIdle = 3;

void DefaultShutdown() {
  if (RunProgram({"systemctl", "poweroff"}) == 0) return;
  RunProgram({"shutdown", "-P", "now"});
}

void DefaultPlaySound(const std::string& path) {
  if (path.empty() || !FileExists(path)) return;
  if (!FindOnPath("pw-play").empty()) {
    RunProgram({"pw-play", path});
  } else if (!FindOnPath("paplay").empty()) {
    RunProgram({"paplay", path});
  } else if (!FindOnPath("aplay").empty()) {
    RunProgram({"aplay", "-q", path});
  }
}

}  // namespace

uint64_t NowMilliseconds() {
  if (TClockHook hook = Get(g_clock)) return hook();
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TClockHook SetClockHook(TClockHook hook) {
  return Swap(g_clock, std::move(hook));
}

std::string FindOnPath(const std::string& program) {
  if (program.empty()) return std::string();
  if (program.find('/') != std::string::npos) {
    return ::access(program.c_str(), X_OK) == 0 ? program : std::string();
  }
  const std::string path = GetEnvironment("PATH");
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = (end > start) ? path.substr(start, end - start) : std::string(".");
    candidate.push_back('/');
    candidate.append(program);
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

int RunProgram(const std::vector<std::string>& args) {
  if (args.empty()) return -1;
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ApplyLowPriority() {
  ::setpriority(PRIO_PROCESS, 0, 19);
  ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle << kIoprioClassShift);
}

void SetLowPriority() {
  if (TPriorityHook hook = Get(g_priority)) {
    hook();
    return;
  }
  ApplyLowPriority();
}

TPriorityHook SetPriorityHook(TPriorityHook hook) {
  return Swap(g_priority, std::move(hook));
}

int GetNiceValue() {
  errno = 0;
  return ::getpriority(PRIO_PROCESS, 0);
}

int GetIoPriorityClass() {
  const long value = ::syscall(SYS_ioprio_get, kIoprioWhoProcess, 0);
  if (value < 0) return -1;
  return static_cast<int>(value >> kIoprioClassShift);
}

void RequestShutdown() {
  if (TShutdownHook hook = Get(g_shutdown)) {
    hook();
    return;
  }
  DefaultShutdown();
}

TShutdownHook SetShutdownHook(TShutdownHook hook) {
  return Swap(g_shutdown, std::move(hook));
}

void PlaySoundFile(const std::string& path) {
  if (TSoundHook hook = Get(g_sound)) {
    hook(path);
    return;
  }
  DefaultPlaySound(path);
}

TSoundHook SetSoundHook(TSoundHook hook) {
  return Swap(g_sound, std::move(hook));
}

}  // namespace kavrix::platform
