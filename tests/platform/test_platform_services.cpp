// Platform services: console writes, folders, file identity, outside programs, priority,
// hooks and the crash reaction.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/voxPlatform_console.h"
#include "platform/voxPlatform_crash.h"
#include "platform/voxPlatform_paths.h"
#include "platform/voxPlatform_process.h"

namespace kavrix::platform {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "kvplatXXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the test's duration.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvGuard() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(PlatformConsole, WriteAllDeliversLargeWritesThroughAPipeAndFailsOnAClosedOne) {
  IgnoreBrokenPipe();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string data(1 << 20, 'k');  // far more than a pipe holds: partial writes
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) received.append(buffer, n);
  });
  EXPECT_TRUE(WriteAll(fds[1], data.data(), data.size()));
  ::close(fds[1]);
  reader.join();
  EXPECT_EQ(received, data);

  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  EXPECT_FALSE(WriteAll(fds[1], "x", 1));  // EPIPE, not a signal
  ::close(fds[1]);
}

TEST(PlatformConsole, ColourNeedsATerminalAndRespectsTermAndNoColor) {
  // The test's standard output is not a terminal under ctest; /dev/null never is.
  const int fd = ::open("/dev/null", O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(IsTerminal(fd));
  EXPECT_FALSE(ColourWanted(fd));
  ::close(fd);
  EnvGuard term("TERM", "dumb");
  EXPECT_FALSE(ColourWanted(kStdOut));
}

TEST(PlatformPaths, FoldersFollowXdgVariablesAndHooks) {
  {
    EnvGuard state("XDG_STATE_HOME", "/xdg/state/");
    EnvGuard config("XDG_CONFIG_HOME", "/xdg/config");
    EXPECT_EQ(GetStateFolder(), "/xdg/state/kavrix");
    EXPECT_EQ(GetConfigFolder(), "/xdg/config/kavrix");
  }
  {
    EnvGuard home("HOME", "/home/tester");
    EnvGuard state("XDG_STATE_HOME", "relative/ignored");
    EnvGuard config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(GetStateFolder(), "/home/tester/.local/state/kavrix");
    EXPECT_EQ(GetConfigFolder(), "/home/tester/.config/kavrix");
  }
  {
    EnvGuard home("HOME", nullptr);
    EnvGuard state("XDG_STATE_HOME", nullptr);
    EXPECT_EQ(GetStateFolder(), "");
  }
  SetFolderHook(TFolder::State, [] { return std::string("/hooked"); });
  EXPECT_EQ(GetStateFolder(), "/hooked");
  SetFolderHook(TFolder::State, nullptr);
  // The executable's folder is the test program's.
  EXPECT_EQ(GetExecutableFolder(), fs::canonical("/proc/self/exe").parent_path().string());
}

TEST(PlatformPaths, SameFileByIdentityOrByNormalisedPath) {
  TempFolder dir;
  const std::string a = dir / "a.thd";
  std::ofstream(a) << "data";
  fs::create_directory(dir / "sub");
  fs::create_symlink(a, dir / "link.thd");
  fs::create_hard_link(a, dir / "hard.thd");
  std::ofstream(dir / "A.THD") << "other";

  EXPECT_TRUE(IsSameFile(a, dir / "sub/../a.thd"));
  EXPECT_TRUE(IsSameFile(a, dir / "./a.thd"));
  EXPECT_TRUE(IsSameFile(a, dir / "link.thd"));
  EXPECT_TRUE(IsSameFile(a, dir / "hard.thd"));
  EXPECT_FALSE(IsSameFile(a, dir / "A.THD"));  // names are case-sensitive
  // One side missing: the normalised absolute paths decide.
  EXPECT_TRUE(IsSameFile(dir / "new.flac", dir / "sub/../new.flac"));
  EXPECT_FALSE(IsSameFile(dir / "new.flac", dir / "New.flac"));
  EXPECT_FALSE(IsSameFile(a, dir / "b.thd"));
}

TEST(PlatformPaths, WriteWholeFileCreatesTruncatesAndFailsQuietly) {
  TempFolder dir;
  const std::string name = dir / "log.txt";
  ASSERT_TRUE(WriteWholeFile(name.c_str(), "first version\n", 14));
  ASSERT_TRUE(WriteWholeFile(name.c_str(), "second\n", 7));
  EXPECT_EQ(ReadFile(name), "second\n");
  const fs::perms perms = fs::status(name).permissions();
  EXPECT_EQ(perms & (fs::perms::owner_read | fs::perms::owner_write),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(perms & (fs::perms::owner_exec | fs::perms::group_write | fs::perms::others_write),
            fs::perms::none);
  const std::string missing = dir / "no/such/folder/x.txt";
  EXPECT_FALSE(WriteWholeFile(missing.c_str(), "x", 1));
  EXPECT_TRUE(CreateFolders(dir / "made/deep"));
  EXPECT_TRUE(fs::is_directory(dir / "made/deep"));
  EXPECT_TRUE(FileExists(name));
  EXPECT_FALSE(FileExists(dir / "made"));
}

TEST(PlatformProcess, RunProgramReportsExitStatus) {
  EXPECT_FALSE(FindOnPath("sh").empty());
  EXPECT_EQ(FindOnPath("kavrix-no-such-program"), "");
  EXPECT_EQ(RunProgram({"true"}), 0);
  EXPECT_EQ(RunProgram({"sh", "-c", "exit 7"}), 7);
  EXPECT_EQ(RunProgram({"kavrix-no-such-program"}), -1);
  EXPECT_EQ(RunProgram({}), -1);
  // Standard streams go to /dev/null: the program cannot write into the test's output.
  EXPECT_EQ(RunProgram({"sh", "-c", "test ! -t 0 && echo hidden"}), 0);
}

TEST(PlatformProcess, HooksReplaceShutdownSoundPriorityAndClock) {
  int shutdowns = 0, priorities = 0;
  std::string played;
  SetShutdownHook([&] { ++shutdowns; });
  SetSoundHook([&](const std::string& path) { played = path; });
  SetPriorityHook([&] { ++priorities; });
  SetClockHook([] { return uint64_t{12345}; });
  RequestShutdown();
  PlaySoundFile("/x/success.wav");
  SetLowPriority();
  EXPECT_EQ(NowMilliseconds(), 12345u);
  EXPECT_EQ(shutdowns, 1);
  EXPECT_EQ(priorities, 1);
  EXPECT_EQ(played, "/x/success.wav");
  SetShutdownHook(nullptr);
  SetSoundHook(nullptr);
  SetPriorityHook(nullptr);
  SetClockHook(nullptr);
  const uint64_t a = NowMilliseconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(NowMilliseconds() - a, 19u);
}

TEST(PlatformProcess, DefaultSoundPlayerDoesNothingWithoutAFile) {
  PlaySoundFile("/nonexistent/success.wav");  // returns at once, plays nothing
  PlaySoundFile("");
}

TEST(PlatformProcessDeathTest, LowPrioritySetsNice19AndIdleIo) {
  // In a child process: the test process keeps its priority.
  EXPECT_EXIT(
      {
        ApplyLowPriority();
        std::_Exit(GetNiceValue() == 19 && GetIoPriorityClass() == 3 ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

void CrashCallback() {
  const char text[] = "crash callback ran\n";
  WriteAll(kStdErr, text, sizeof text - 1);
}

TEST(PlatformCrashDeathTest, FatalSignalsAndTerminateRunTheCallbackAndExitWith1) {
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    EXPECT_EXIT(
        {
          InstallCrashHandlers(&CrashCallback);
          ::raise(sig);
        },
        ::testing::ExitedWithCode(1), "crash callback ran")
        << sig;
  }
  EXPECT_EXIT(
      {
        InstallCrashHandlers(&CrashCallback);
        std::thread([] { throw std::runtime_error("escaped a worker"); }).join();
      },
      ::testing::ExitedWithCode(1), "crash callback ran");
}

TEST(PlatformCrashDeathTest, InterruptResetsColoursAndEndsBySignal) {
  TempFolder dir;
  const std::string out = dir / "stdout";
  EXPECT_EXIT(
      {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, kStdOut);
        SetColourResetNeeded(true);
        InstallInterruptHandlers();
        ::raise(SIGTERM);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(ReadFile(out), "\x1b[0m");
}

}  // namespace
}  // namespace kavrix::platform
