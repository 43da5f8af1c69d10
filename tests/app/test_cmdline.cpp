// The command line: argv vectors against the records they give, or the error they print.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/kavrix_mod.h"
#include "app/kavrix_mod_options.h"
#include "core/voxUpStream_console.h"

namespace kavrix {
namespace {

namespace fs = std::filesystem;

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kvcmd-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "folder");
    old_ = fs::current_path();
    fs::current_path(dir_);
    for (const char* name : {"src.ac3", "src.dts", "a.thd+ac3", "b.ac3", "01:intro.flac"})
      std::ofstream(name) << "x";
    ::mkfifo("pipe.ac3", 0600);
    ResetConsoleForTests();
    SetConsoleSink([this](int, std::string_view bytes) { out_.append(bytes); }, false, false);
  }
  void TearDown() override {
    ResetConsoleForTests();
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  bool Parse(const std::vector<std::string>& params) {
    out_.clear();
    ResetConsoleForTests();
    SetConsoleSink([this](int, std::string_view bytes) { out_.append(bytes); }, false, false);
    return ParseCommandLine(params, options_);
  }

  fs::path dir_, old_;
  std::string out_;
  TOptions options_;
};

TEST_F(CommandLineTest, Table) {
  using Check = std::function<void(const TOptions&)>;
  struct Case {
    std::vector<std::string> args;
    std::string error;  // the whole console output; empty = accepted silently
    Check check = nullptr;
  };
  const std::string abs =
      (fs::temp_directory_path() / ("kvcmd-" + std::to_string(::getpid()))).string();
  auto action = [](const TOptions& o) -> const TAction& { return o.Actions.at(0); };
  const Case cases[] = {
      // Order of source, destinations and options.
      {{"-core", "src.dts", "out.dts"},
       "Please specify the source and dest files first and then the options."},
      {{"100ms", "src.ac3", "o.ac3"},
       "Please specify the source and dest files first and then the delay."},
      {{"-demux", "src.ac3"},
       "",
       [](const TOptions& o) {
         EXPECT_TRUE(o.Demux);
         ASSERT_EQ(o.Actions.size(), 1u);
         EXPECT_EQ(o.Actions[0].FileName, "%globaloptions%");
       }},
      {{"src.ac3", "-progressnumbers"},
       "",
       [](const TOptions& o) { EXPECT_TRUE(o.Actions.empty()); }},
      {{abs + "/src.ac3", abs + "/out.flac"},
       "",
       [&](const TOptions& o) {
         EXPECT_EQ(o.Sources, std::vector<std::string>{abs + "/src.ac3"});
         EXPECT_EQ(o.Actions.at(0).FileName, abs + "/out.flac");
       }},
      {{"-lowPriority"}, "No source file was specified."},
      {{"-test"}, "", [](const TOptions& o) { EXPECT_TRUE(o.Test); }},
      // Track selectors, glued or not; a file whose name holds ":" stays whole.
      {{"src.ac3", "1:video.mkv", "3:", "a.flac"},
       "",
       [](const TOptions& o) {
         ASSERT_EQ(o.Actions.size(), 2u);
         EXPECT_EQ(o.Actions[0].TrackNumber, 1u);
         EXPECT_EQ(o.Actions[0].FileName, "video.mkv");
         EXPECT_EQ(o.Actions[1].TrackNumber, 3u);
         EXPECT_EQ(o.Actions[1].FileName, "a.flac");
         EXPECT_EQ(o.Actions[1].Quality, 50u);
       }},
      {{"01:intro.flac", "o.wav"},
       "",
       [](const TOptions& o) { EXPECT_EQ(o.Sources, std::vector<std::string>{"01:intro.flac"}); }},
      {{"src.ac3", "0:", "o.ac3"}, "The source file doesn't contain a track with the number 0."},
      {{"src.ac3", "4294967297:", "o.ac3"},
       "The source file doesn't contain a track with the number 4294967297."},
      {{"src.ac3", "2:"}, "Destination file name is missing for track number 2."},
      {{"src.ac3", "2:", "-full", "-analyzeBitdepth"},
       "",
       [&](const TOptions& o) {
         EXPECT_EQ(action(o).FileName, "%check%.raw");
         EXPECT_TRUE(action(o).AnalyzeBitdepth);
         EXPECT_FALSE(o.AnalyzeBitdepth);
       }},
      // Disc titles.
      {{"x.mkv", "out.flac", "2)"}, "The parameter \"2)\" can only be 1st or 2nd parameter."},
      {{"-demux", "2)"}, "The parameter \"2)\" can only follow a source file name."},
      {{"src.ac3", "2)", "o.mkv"}, "HD DVD / Blu-Ray disc structure not found."},
      {{"folder", "o.mkv"}, "HD DVD / Blu-Ray disc structure not found."},
      // Sources.
      {{"a.thd+ac3", "b.flac"},
       "",
       [](const TOptions& o) { EXPECT_EQ(o.Sources, std::vector<std::string>{"a.thd+ac3"}); }},
      {{"src.ac3+b.ac3", "o.ac3"},
       "",
       [](const TOptions& o) {
         EXPECT_EQ(o.Sources, (std::vector<std::string>{"src.ac3", "b.ac3"}));
       }},
      {{"src.ac3+missing.ac3", "o.ac3"}, "Source file \"missing.ac3\" not found."},
      {{"pipe.ac3", "o.ac3"}, "Source file \"pipe.ac3\" is not a regular file."},
      // Channel orders and bit rates.
      {{"src.ac3", "out.ac3", "-0,2,2,3,4,5"},
       "Command line parameter \"0,2,2,3,4,5\" has an incorrect format."},
      {{"src.ac3", "out.ac3", "-0,1,2,3,4,5,6,8"},
       "Command line parameter \"0,1,2,3,4,5,6,8\" has an incorrect format."},
      {{"src.ac3", "out.ac3", "-0,2,1"},
       "Command line parameter \"-0,2,1\" has an incorrect format."},
      {{"src.ac3", "out.ac3", "-0,2,1,3,4,5,6,7", "-blu-ray"},
       "",
       [&](const TOptions& o) { EXPECT_EQ(action(o).Remap, "bluray"); }},
      {{"src.ac3", "out.ac3", "-1,0,2,3,4,5,6"},
       "",
       [&](const TOptions& o) { EXPECT_EQ(action(o).Remap, "1,0,2,3,4,5,6"); }},
      {{"src.ac3", "out.ac3", "-384"},
       "",
       [&](const TOptions& o) { EXPECT_EQ(action(o).Bitrate, 384u); }},
      {{"src.ac3", "out.ac3", "-1536"},
       "",
       [&](const TOptions& o) { EXPECT_EQ(action(o).Bitrate, 1536u); }},
      {{"src.ac3", "out.ac3", "-700"}, "Command line parameter \"-700\" is unknown."},
      {{"src.ac3", "out.ac3", "-bogus"}, "Command line parameter \"-bogus\" is unknown."},
      // Delay, gain, phase; numbers that do not fit.
      {{"src.ac3", "out.ac3", "+100ms", "-3.5dB", "90\xC2\xB0"},
       "",
       [&](const TOptions& o) {
         EXPECT_EQ(action(o).Delay, 100);
         EXPECT_DOUBLE_EQ(action(o).Gain, -3.5);
         EXPECT_EQ(action(o).Phase, 90);
       }},
      {{"src.ac3", "out.ac3", "-40ms", "+2dB", "-45\xC2\xB0"},
       "",
       [&](const TOptions& o) {
         EXPECT_EQ(action(o).Delay, -40);
         EXPECT_DOUBLE_EQ(action(o).Gain, 2);
         EXPECT_EQ(action(o).Phase, -45);
       }},
      {{"src.ac3", "out.ac3", "99999999999ms"},
       "Command line parameter \"99999999999ms\" has an incorrect format."},
      {{"-skipbytes5000000000", "-5000mb", "src.ac3", "o.ac3"},
       "",
       [](const TOptions& o) {
         EXPECT_EQ(o.SkipBytes, 5000000000u);
         EXPECT_EQ(o.SizeLimitMb, 5000u);
       }},
      {{"-skipbytes99999999999999999999", "src.ac3"},
       "Command line parameter \"-skipbytes99999999999999999999\" is unknown."},
      // Edits: silence anywhere on the line allows an edit beyond its position.
      {{"src.ac3", "out.ac3", "-edit=0:01:00,500ms"},
       "",
       [&](const TOptions& o) {
         EXPECT_EQ(action(o).EditPosition, 600000000);
         EXPECT_EQ(action(o).EditAmount, 5000000);
       }},
      {{"src.ac3", "out.ac3", "-edit=0:00:01.250,-2000ms"},
       "",
       [&](const TOptions& o) {
         EXPECT_EQ(action(o).EditPosition, 12500000);
         EXPECT_EQ(action(o).EditAmount, -20000000);
       }},
      {{"src.ac3", "out.ac3", "-edit=0:00:01,2000ms"},
       "Invalid edit format \"-edit=0:00:01,2000ms\"."},
      {{"src.ac3", "out.ac3", "-edit=0:00:01,2000ms", "-silence"}, ""},
      {{"src.ac3", "out.ac3", "-edit=0:60:00,-5ms"}, "Invalid edit format \"-edit=0:60:00,-5ms\"."},
      {{"src.ac3", "out.ac3", "-edit=0:01:00,500ms", "-edit=0:02:00,500ms"},
       "You can only do one audio edit at a time."},
      // Frame rates, quality, decoder choice, PCM parameters.
      {{"src.ac3", "out.ac3", "-23.976", "-changeTo25.000"},
       "",
       [&](const TOptions& o) {
         EXPECT_EQ(action(o).SourceFps, 23976u);
         EXPECT_EQ(action(o).TargetFps, 25000u);
       }},
      {{"src.ac3", "out.ac3", "-slowdownTo24.000"},
       "",
       [&](const TOptions& o) { EXPECT_EQ(action(o).TargetFps, 24000u); }},
      {{"src.ac3", "out.ac3", "-changeTo23.000"}, "FPS value \"23.000\" not supported."},
      {{"src.ac3", "out.ac3", "-slowdown"},
       "",
       [&](const TOptions& o) {
         EXPECT_EQ(action(o).SourceFps, 25000u);
         EXPECT_EQ(action(o).TargetFps, 23976u);
       }},
      {{"src.ac3", "out.ac3", "-quality=0.25", "x.ac3", "-quality=0.5", "y.ac3", "-quality=1.00"},
       "",
       [](const TOptions& o) {
         EXPECT_EQ(o.Actions[0].Quality, 25u);
         EXPECT_EQ(o.Actions[1].Quality, 50u);
         EXPECT_EQ(o.Actions[2].Quality, 100u);
       }},
      {{"src.ac3", "out.ac3", "-nero", "-sonic", "-arcSoft", "-dcaDec", "-LIBAV"},
       "",
       [&](const TOptions& o) {
         const TAction& a = action(o);
         EXPECT_TRUE(a.Libav && !a.Nero && !a.Sonic && !a.ArcSoft && !a.DcaDec);
       }},
      {{"src.ac3", "out.ac3", "-nero", "-sonic"},
       "",
       [&](const TOptions& o) { EXPECT_TRUE(action(o).Sonic && !action(o).Nero); }},
      {{"src.ac3", "out.wav", "-48000", "-6", "-24", "-big", "-down16", "-skip5",
        "-resampleTo44100", "-downDpl", "-normalize"},
       "",
       [&](const TOptions& o) {
         const TAction& a = action(o);
         EXPECT_EQ(a.PcmSampleRate, 48000u);
         EXPECT_EQ(a.PcmChannels, 6u);
         EXPECT_EQ(a.PcmBits, 24u);
         EXPECT_EQ(a.PcmEndianness, 2u);
         EXPECT_EQ(a.TargetBits, 16u);
         EXPECT_EQ(a.SkipFrames, 5u);
         EXPECT_EQ(a.ResampleTo, 44100u);
         EXPECT_TRUE(a.Down2 && a.DownDpl && a.TwoPass && a.Normalize);
       }},
      {{"src.ac3", "out.wav", "-resampleTo22050"},
       "Command line parameter \"-resampleTo22050\" is unknown."},
      {{"src.ac3", "out.ac3", "-keep24", "-allowDrc"},
       "The \"-keep24\" parameter is no longer supported.\n"
       "The \"-allowDrc\" parameter is no longer supported."},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const bool ok = Parse(c.args);
    const bool warningsOnly = c.error.find("no longer supported") != std::string::npos;
    EXPECT_EQ(ok, c.error.empty() || warningsOnly);
    EXPECT_EQ(out_, c.error.empty() ? "" : c.error + "\n");
    if (ok && c.check) c.check(options_);
  }
}

TEST_F(CommandLineTest, ProcessWideSettings) {
  EXPECT_TRUE(Parse({"src.ac3", "STDOUT.flac", "-progressnumbers", "-shutdown"}));
  EXPECT_TRUE(GetQuiet());
  EXPECT_FALSE(GetBarMode());
  EXPECT_TRUE(GetShutdownAfterwards());
  EXPECT_EQ(GetParamCount({"src.ac3", "-PROGRESSNUMBERS"}), 1u);
  EXPECT_EQ(GetParamCount({"src.ac3", "o.ac3"}), 2u);
}

// The built program: errors end with exit code 1, and a destination that is the source
// under another name (a hard link) is refused.
TEST_F(CommandLineTest, ProgramExitCodes) {
  fs::create_hard_link("src.ac3", "link.ac3");
  struct Case {
    std::string args, message;
  };
  const Case cases[] = {
      {"-core src.dts out.dts",
       "Please specify the source and dest files first and then the options."},
      {"src.ac3 out.ac3 -0,2,2,3,4,5",
       "Command line parameter \"0,2,2,3,4,5\" has an incorrect format."},
      {"src.ac3 link.ac3", "Input and output file names overlap."},
  };
  for (const Case& c : cases) {
    const std::string command = "HOME=" + dir_.string() + " XDG_STATE_HOME=" + dir_.string() + " " +
                                KAVRIX_BINARY + " " + c.args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 1) << c.args;
    EXPECT_EQ(output, c.message + "\n") << c.args;
  }
}

}  // namespace
}  // namespace kavrix
