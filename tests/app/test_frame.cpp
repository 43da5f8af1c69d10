// The program frame: the top-level run with replaced steps, log files, exit codes, the
// command line written into the log, the overlap check and the usage text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/kavrix_mod.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"
#include "platform/voxPlatform_paths.h"
#include "platform/voxPlatform_process.h"
#include "voxVersion.h"

namespace kavrix {
namespace {

void SetDestinations(TOptions& options, const std::vector<std::string>& names) {
  options.Actions.clear();
  for (const std::string& name : names) options.Actions.emplace_back().FileName = name;
}

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("kvframe_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "config");
    fs::create_directories(root_ / "exe");
    fs::create_directories(root_ / "work");
    ResetConsoleForTests();
    SetConsoleSink(
        [this](int fd, std::string_view bytes) {
          std::lock_guard<std::mutex> guard(lock_);
          (fd == 2 ? err_ : out_).append(bytes);
        },
        false, false);
    const std::string state = (root_ / "state" / "kavrix").string();
    platform::SetFolderHook(platform::TFolder::State, [state] { return state; });
    const std::string config = (root_ / "config").string();
    platform::SetFolderHook(platform::TFolder::Config, [config] { return config; });
    const std::string exe = (root_ / "exe").string();
    platform::SetFolderHook(platform::TFolder::Executable, [exe] { return exe; });
    platform::SetSoundHook([this](const std::string& path) { sounds_.push_back(path); });
    platform::SetShutdownHook([this] { ++shutdowns_; });
    platform::SetPriorityHook([this] { ++priorities_; });
    platform::SetClockHook([this] { return clock_; });

    hooks_ = DefaultDriverHooks();
    hooks_.parse = [this](const std::vector<std::string>& params, TOptions& request) {
      params_ = params;
      request = request_;
      return true;
    };
    hooks_.analyse = [this](TOptions&) {
      clock_ += 500;
      return analysis_;
    };
    hooks_.run = [this](TOptions&, const TAnalysisResult&) {
      clock_ += 3000;
      return run_;
    };
  }
  void TearDown() override {
    platform::SetFolderHook(platform::TFolder::State, nullptr);
    platform::SetFolderHook(platform::TFolder::Config, nullptr);
    platform::SetFolderHook(platform::TFolder::Executable, nullptr);
    platform::SetSoundHook(nullptr);
    platform::SetShutdownHook(nullptr);
    platform::SetPriorityHook(nullptr);
    platform::SetClockHook(nullptr);
    ResetConsoleForTests();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  int Run(std::vector<std::string> args, const TDriverHooks* hooks = nullptr) {
    args.insert(args.begin(), "kavrix");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return RunKavrix(static_cast<int>(args.size()), argv.data(), hooks ? *hooks : hooks_);
  }
  std::string StateLog() { return ReadFile(root_ / "state" / "kavrix" / "log.txt"); }
  std::string W(const std::string& name) { return (root_ / "work" / name).string(); }

  fs::path root_;
  std::mutex lock_;
  std::string out_, err_;
  std::vector<std::string> sounds_;
  int shutdowns_ = 0, priorities_ = 0;
  uint64_t clock_ = 1000;
  TDriverHooks hooks_;
  const TDriverHooks defaults_ = DefaultDriverHooks();
  std::vector<std::string> params_;
  TOptions request_;
  TAnalysisResult analysis_{true, true};
  TRunResult run_{true};
};

TEST_F(FrameTest, NoParametersPrintsBannerAndUsageAndExits0) {
  EXPECT_EQ(Run({}, &defaults_), 0);
  std::string minor = std::to_string(KAVRIX_VERSION_MINOR);
  if (minor.size() < 2) minor = "0" + minor;
  const std::string banner =
      "kavrix_mod v" + std::to_string(KAVRIX_VERSION_MAJOR) + "." + minor + "\n\n";
  EXPECT_EQ(out_.substr(0, banner.size()), banner);
  EXPECT_NE(out_.find("\nkavrix sourcefile[+sourcefile2] [trackno:] [destfile|stdout] "
                      "[-options]\n"),
            std::string::npos);
  EXPECT_NE(out_.find("(using the SoX resampler)\n"), std::string::npos);
  EXPECT_NE(out_.find("data (SoX resampler)\n"), std::string::npos);
  EXPECT_EQ(out_.find("you need"), std::string::npos);
  const std::string codecs =
      "\n\nCodec libraries:\n(1) libavcodec/libavformat\n(2) libFLAC\n(3) libsoxr\n";
  ASSERT_GT(out_.size(), codecs.size());
  EXPECT_EQ(out_.substr(out_.size() - codecs.size()), codecs);
  // "-log=" is not a parameter: still the usage. Everything is logged.
  out_.clear();
  EXPECT_EQ(Run({"-log=" + W("x.txt")}, &defaults_), 0);
  EXPECT_NE(out_.find("Options:\n"), std::string::npos);
  EXPECT_NE(ReadFile(W("x.txt")).find("\n-shutdown          automatically"), std::string::npos);
  EXPECT_NE(StateLog().find("Options:\n"), std::string::npos);
}

TEST_F(FrameTest, UsageHeadingsAreBrightOnAColourTerminal) {
  SetConsoleSink([this](int, std::string_view bytes) { out_.append(bytes); }, true, true);
  Run({}, &defaults_);
  for (const char* heading : {"kavrix sourcefile", "Examples:", "Options:",
                              "Supported source formats:", "Codec libraries:"}) {
    EXPECT_NE(out_.find(std::string("\x1b[1;97m") + heading), std::string::npos) << heading;
  }
  EXPECT_EQ(out_.find("\x1b[1;97m-448"), std::string::npos);
}

TEST_F(FrameTest, StandInsFailLoudlyWithExit1AndWrittenLogs) {
  EXPECT_EQ(Run({"-unknownOption", "a.thd"}, &defaults_), 1);
  const std::string error = "Please specify the source and dest files first and then the options.";
  EXPECT_EQ(out_, error + "\n");
  EXPECT_NE(StateLog().find("command line: kavrix -unknownOption a.thd\n" + std::string(78, '-') +
                            "\n" + error + "  <ERROR>\n"),
            std::string::npos);
  out_.clear();
  std::ofstream(W("in.thd")) << "x";
  EXPECT_EQ(Run({"-lowPriority", "-PROGRESSNUMBERS", W("in.thd")}, &defaults_), 1);
  EXPECT_EQ(out_, "analyze: 100%\nThe format of the source file could not be detected.\n");
  EXPECT_EQ(priorities_, 0);
}

TEST_F(FrameTest, SuccessfulRunPrintsTimingDoneAndPlaysTheSuccessSound) {
  request_.Sources = {W("in.thd")};
  SetDestinations(request_, {W("movie.flac")});
  run_.surcodeMs = 61000;
  std::ofstream(root_ / "exe" / "success.wav") << "RIFF";
  std::ofstream(root_ / "config" / "error.wav") << "RIFF";
  EXPECT_EQ(Run({"in.thd", "movie.flac"}), 0);
  EXPECT_EQ(out_,
            "kavrix processing took 3 seconds.\nSurcode encoding took 1 minute, 1 second.\n"
            "Done.\n");
  ASSERT_EQ(sounds_.size(), 1u);
  EXPECT_EQ(sounds_[0], (root_ / "exe" / "success.wav").string());
  EXPECT_EQ(params_, (std::vector<std::string>{"in.thd", "movie.flac"}));
  // Both log files hold the same text.
  const std::string log = StateLog();
  EXPECT_EQ(ReadFile(W("movie - Log.txt")), log);
  EXPECT_NE(log.find("Done.\n"), std::string::npos);
  EXPECT_EQ(shutdowns_, 0);
}

TEST_F(FrameTest, FailedRunReportsAbortPositionPlaysErrorSoundAndShutsDown) {
  request_.Sources = {W("in.evo")};
  SetDestinations(request_, {W("out.mkv")});
  SetShutdownAfterwards(true);  // what the parser does for -shutdown
  request_.LowPriority = true;
  run_ = TRunResult{};
  run_.abortedAt = 123456789012;
  std::ofstream(root_ / "config" / "error.wav") << "RIFF";
  EXPECT_EQ(Run({"in.evo", "out.mkv", "-shutdown", "-lowPriority"}), 1);
  EXPECT_EQ(out_, "Aborted at file position 123456789012.\n");
  EXPECT_EQ(sounds_, std::vector<std::string>{(root_ / "config" / "error.wav").string()});
  EXPECT_EQ(shutdowns_, 1);
  EXPECT_EQ(priorities_, 1);
  EXPECT_NE(ReadFile(W("out - Log.txt")).find("  <ERROR>"), std::string::npos);
}

TEST_F(FrameTest, NothingToProduceExits0WithoutSoundsOrPriority) {
  request_.Sources = {W("in.thd")};
  request_.LowPriority = true;
  EXPECT_EQ(Run({"in.thd"}), 0);  // a plain listing: no destination
  SetDestinations(request_, {W("x.wav")});
  analysis_.foundSomething = false;
  EXPECT_EQ(Run({"in.thd", "x.wav"}), 0);
  EXPECT_TRUE(sounds_.empty());
  EXPECT_EQ(priorities_, 0);
  analysis_.ok = false;
  EXPECT_EQ(Run({"in.thd", "x.wav"}), 1);
}

TEST_F(FrameTest, ComponentTestWithoutSourceExits0) {
  request_.Test = true;
  int tests = 0;
  hooks_.componentTest = [&](const TOptions&) { return ++tests > 0; };
  hooks_.analyse = [](TOptions&) -> TAnalysisResult { throw std::logic_error("not reached"); };
  EXPECT_EQ(Run({"-test"}), 0);
  EXPECT_EQ(tests, 1);
  // The stand-in component test fails loudly.
  hooks_.componentTest = DefaultDriverHooks().componentTest;
  EXPECT_EQ(Run({"-test"}), 1);
  EXPECT_EQ(out_, "The component test is not available yet.\n");
}

TEST_F(FrameTest, OverlappingSourceAndDestinationIsRefused) {
  std::ofstream(W("a.thd")) << "x";
  fs::create_directory(root_ / "work" / "sub");
  request_.Sources = {W("b.thd"), W("a.thd")};
  SetDestinations(request_, {W("c.flac"), W("sub/../a.thd")});
  EXPECT_EQ(Run({"x"}), 1);
  EXPECT_EQ(out_, "Input and output file names overlap.\n");

  TOptions r;
  r.Sources = {W("a.thd")};
  SetDestinations(r, {W("A.thd"), "stdout", "stdout.wav", W("%check%.a.thd")});
  out_.clear();
  EXPECT_FALSE(SourcesOverlapDestinations(r));
  r.Sources = {"stdout"};
  SetDestinations(r, {"stdout"});
  EXPECT_FALSE(SourcesOverlapDestinations(r));
  fs::create_symlink(W("a.thd"), W("link.thd"));
  r.Sources = {W("link.thd")};
  SetDestinations(r, {W("a.thd")});
  EXPECT_TRUE(SourcesOverlapDestinations(r));
  EXPECT_EQ(out_, "Input and output file names overlap.\n");
}

TEST_F(FrameTest, StdoutDestinationMakesTheConsoleQuietButErrorsReachStderr) {
  std::ofstream(W("in.thd")) << "x";
  hooks_.parse = defaults_.parse;  // the parser turns the console off for "stdout"
  hooks_.run = [](TOptions&, const TAnalysisResult&) {
    WriteMessage(kMsgWarning, "a warning");
    WriteMessage(kMsgError, "an error");
    return TRunResult{};
  };
  // The run log would go beside "STDOUT.wav" in the current folder: put it elsewhere.
  EXPECT_EQ(Run({W("in.thd"), "STDOUT.wav", "-log=" + W("run.txt")}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "an error\n");
  const std::string log = StateLog();
  EXPECT_NE(log.find("a warning  <WARNING>\nan error  <ERROR>\n"), std::string::npos);
  EXPECT_EQ(ReadFile(W("run.txt")), log);
  EXPECT_TRUE(GetQuiet());
}

TEST_F(FrameTest, ExceptionInTheRunIsReportedAndLogged) {
  request_.Sources = {W("in.thd")};
  SetDestinations(request_, {W("out.ac3")});
  hooks_.run = [](TOptions&, const TAnalysisResult&) -> TRunResult {
    throw std::runtime_error("boom");
  };
  EXPECT_EQ(Run({"in.thd", "out.ac3"}), 1);
  EXPECT_EQ(out_, "kavrix crashed...\n");
  EXPECT_NE(ReadFile(W("out - Log.txt")).find("kavrix crashed...\n"), std::string::npos);
}

TEST_F(FrameTest, DiscStructureIsListedInsteadOfTheUsage) {
  std::string listed;
  hooks_.listDiscTitles = [&](const std::string& path) {
    listed = path;
    return true;
  };
  fs::create_directories(root_ / "work" / "disc" / "bdmv" / "PLAYLIST");
  EXPECT_EQ(Run({W("disc")}), 0);
  EXPECT_EQ(listed, W("disc"));
  EXPECT_TRUE(IsDiscStructureDefault(W("disc/bdmv/PLAYLIST")));
  EXPECT_FALSE(IsDiscStructureDefault(W("")));
  // The stand-in listing fails loudly.
  EXPECT_EQ(Run({W("disc")}, &defaults_), 1);
  EXPECT_EQ(out_, "The disc title listing is not available yet.\n");
}

TEST_F(FrameTest, RunLogFileName) {
  TOptions r;
  EXPECT_EQ(GetRunLogFileName(&r), "");
  EXPECT_EQ(GetRunLogFileName(nullptr), "");
  r.Sources = {"/src/feature.evo"};
  SetDestinations(r, {"/out/dir/movie.final.mkv", "b.ac3"});
  EXPECT_EQ(GetRunLogFileName(&r), "/out/dir/movie.final - Log.txt");
  r.Demux = true;
  EXPECT_EQ(GetRunLogFileName(&r), "/out/dir/feature - Log.txt");
  r.Demux = false;
  SetDestinations(r, {"movie.mkv"});
  EXPECT_EQ(GetRunLogFileName(&r), "movie - Log.txt");
  SetDestinations(r, {"%CHECK%.mkv"});
  EXPECT_EQ(GetRunLogFileName(&r), "");
  SetLogFileName("/logs/my.txt");
  EXPECT_EQ(GetRunLogFileName(&r), "/logs/my.txt");
  EXPECT_EQ(GetRunLogFileName(nullptr), "/logs/my.txt");
  SetLogFileName("/logs/%check%.txt");
  EXPECT_EQ(GetRunLogFileName(&r), "");
}

TEST_F(FrameTest, LogOptionIsTakenOutAnywhereAndAMissingFolderWritesOnlyLogTxt) {
  std::vector<std::string> params = {"a.thd", "-LOG=first.txt", "b.flac", "-log=second.txt"};
  std::string name;
  EXPECT_TRUE(ExtractLogOption(params, name));
  EXPECT_EQ(name, "second.txt");
  EXPECT_EQ(params, (std::vector<std::string>{"a.thd", "b.flac"}));

  request_.Sources = {W("in.thd")};
  SetDestinations(request_, {W("out.flac")});
  EXPECT_EQ(Run({"in.thd", "-log=" + W("missing/x.txt"), "out.flac"}), 0);
  EXPECT_EQ(params_, (std::vector<std::string>{"in.thd", "out.flac"}));
  EXPECT_FALSE(fs::exists(W("missing")));
  EXPECT_FALSE(fs::exists(W("out - Log.txt")));
  EXPECT_NE(StateLog().find("Done."), std::string::npos);
}

TEST(CommandLineText, ArgumentsAreQuotedForAShellWhereNeeded) {
  const std::pair<const char*, const char*> cases[] = {
      {"movie.mkv", "movie.mkv"},
      {"/data/a+b.evo", "/data/a+b.evo"},
      {"-edit=0:00:00,0ms", "-edit=0:00:00,0ms"},
      {"2:", "2:"},
      {"Grüße.wav", "Grüße.wav"},
      {"my movie.mkv", "'my movie.mkv'"},
      {"2)", "'2)'"},
      {"movie.*", "'movie.*'"},
      {"it's", "'it'\\''s'"},
      {"a\"b", "'a\"b'"},
      {"$HOME", "'$HOME'"},
      {"", "''"},
      {"a;b|c&d", "'a;b|c&d'"},
  };
  for (const auto& [arg, quoted] : cases) EXPECT_EQ(QuoteArgument(arg), quoted) << arg;
  std::string a0 = "kavrix", a1 = "a b.thd", a2 = "x.flac";
  char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
  EXPECT_EQ(BuildCommandLine(3, argv), "kavrix 'a b.thd' x.flac");
}

TEST(StdoutName, WithOrWithoutExtension) {
  EXPECT_TRUE(IsStdoutName("stdout"));
  EXPECT_TRUE(IsStdoutName("StdOut.wav"));
  EXPECT_TRUE(IsStdoutName("stdout.w64"));
  EXPECT_FALSE(IsStdoutName("stdout2.wav"));
  EXPECT_FALSE(IsStdoutName("dir/stdout.wav"));
  EXPECT_FALSE(IsStdoutName("std.wav"));
}

// Runs the frame with the real priority hook; ends the process with 0 when the run saw
// nice 19 and the idle I/O class.
[[noreturn]] void RunWithLowPriorityAndExit() {
  ResetConsoleForTests();
  SetConsoleSink([](int, std::string_view) {}, false, false);
  const std::string state = (fs::temp_directory_path() / "kvframe_nice").string();
  platform::SetFolderHook(platform::TFolder::State, [state] { return state; });
  platform::SetSoundHook([](const std::string&) {});
  platform::SetShutdownHook([] {});
  TDriverHooks hooks = DefaultDriverHooks();
  hooks.parse = [](const std::vector<std::string>&, TOptions& request) {
    request.Sources = {"/nonexistent/in.thd"};
    SetDestinations(request, {"/nonexistent/out.flac"});
    request.LowPriority = true;
    return true;
  };
  hooks.analyse = [](TOptions&) { return TAnalysisResult{true, true}; };
  int niceInRun = 0, ioClassInRun = 0;
  hooks.run = [&](TOptions&, const TAnalysisResult&) {
    niceInRun = platform::GetNiceValue();
    ioClassInRun = platform::GetIoPriorityClass();
    return TRunResult{true};
  };
  std::string a0 = "kavrix", a1 = "-lowPriority";
  char* argv[] = {a0.data(), a1.data(), nullptr};
  const int code = RunKavrix(2, argv, hooks);
  std::error_code ec;
  fs::remove_all(state, ec);
  std::_Exit(code == 0 && niceInRun == 19 && ioClassInRun == 3 ? 0 : 2);
}

TEST(LowPriorityDeathTest, TheRealHookSetsNice19BeforeTheRun) {
  // In a child process, so that the test process keeps its priority.
  EXPECT_EXIT(RunWithLowPriorityAndExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kavrix
