// The console writer, the progress display, the log buffer and the duration texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/voxUpStream_console.h"
#include "voxVersion.h"

namespace kavrix {
namespace {

const std::string ESC = "\x1b";

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetConsoleForTests(); }
  void TearDown() override { ResetConsoleForTests(); }

  void Capture(bool terminal, bool colour) {
    SetConsoleSink(
        [this](int fd, std::string_view bytes) {
          std::lock_guard<std::mutex> guard(lock_);
          writes_.emplace_back(fd, std::string(bytes));
        },
        terminal, colour);
  }
  // Everything written to one descriptor, in order.
  std::string Out(int fd = 1) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string all;
    for (auto& w : writes_) {
      if (w.first == fd) all += w.second;
    }
    return all;
  }
  std::vector<std::pair<int, std::string>> Writes() {
    std::lock_guard<std::mutex> guard(lock_);
    return writes_;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    writes_.clear();
  }

  std::mutex lock_;
  std::vector<std::pair<int, std::string>> writes_;
};

std::string Pad(std::string_view shown) {
  const size_t width = CountCodePoints(shown);
  return width <= 78 ? std::string(79 - width, ' ') : std::string();
}

TEST_F(ConsoleTest, ExactBytesPerKindOnAColourTerminal) {
  const std::string longText(90, 'x');  // more than 78 characters: no padding
  const std::string longLabelled = "[lbl] " + longText;
  struct Case {
    int kind;
    std::string text;
    std::string expected;  // without padding and line end
  };
  const std::vector<Case> cases = {
      {0, "hello", "hello"},
      {0, "[lbl] hello", ESC + "[30;100m[lbl]" + ESC + "[0m hello"},
      {0, longText, longText},
      {0, "Grüße aus Köln", "Grüße aus Köln"},  // 14 code points, 17 bytes
      {1, "hello", ESC + "[90mhello" + ESC + "[0m"},
      {1, "[lbl] hello", ESC + "[30;47m[lbl]" + ESC + "[0m " + ESC + "[90mhello" + ESC + "[0m"},
      {1, "[lbl] [sub] hello",
       ESC + "[30;47m[lbl]" + ESC + "[0m " + ESC + "[30;100m[sub]" + ESC + "[0m" + ESC +
           "[90m hello" + ESC + "[0m"},
      {1, longLabelled,
       ESC + "[30;47m[lbl]" + ESC + "[0m " + ESC + "[90m" + longText + ESC + "[0m"},
      {2, "hello", ESC + "[97;41mhello" + ESC + "[0m"},
      {2, "[lbl] hello", ESC + "[31;47m[lbl]" + ESC + "[0m " + ESC + "[97;41mhello" + ESC + "[0m"},
      {2, longText, ESC + "[97;41m" + longText + ESC + "[0m"},
      {3, "[lbl] hello", ESC + "[30;47m[lbl]" + ESC + "[0m " + ESC + "[90mhello" + ESC + "[0m"},
      {3, "hello", ESC + "[90mhello" + ESC + "[0m"},
      {4, "[lbl] hello", ESC + "[1;97m[lbl] hello" + ESC + "[0m"},
      {4, longText, ESC + "[1;97m" + longText + ESC + "[0m"},
      {5, "12: h264, 1080p24", ESC + "[1;97m12:" + ESC + "[0m h264, 1080p24"},
      {5, "3) English", ESC + "[1;97m3)" + ESC + "[0m English"},
      {5, "Track list: none", "Track list: none"},  // ":" beyond the first four characters
      {5, "[lbl] hello", "[lbl] hello"},
      {6, "Done.", ESC + "[97;42mDone." + ESC + "[0m"},
      {6, longText, ESC + "[97;42m" + longText + ESC + "[0m"},
  };
  Capture(/*terminal=*/true, /*colour=*/true);
  for (const Case& c : cases) {
    Clear();
    WriteMessage(c.kind, c.text);
    const auto writes = Writes();
    ASSERT_EQ(writes.size(), 1u) << "kind " << c.kind << ": " << c.text;
    EXPECT_EQ(writes[0].first, 1);
    EXPECT_EQ(writes[0].second, c.expected + Pad(c.text) + "\n")
        << "kind " << c.kind << ": " << c.text;
  }
  // Log-only kinds show nothing, with or without a label.
  for (const std::string& text : {std::string("hello"), std::string("[lbl] hello"), longText}) {
    Clear();
    WriteMessage(7, text);
    WriteMessage(12, text);
    EXPECT_TRUE(Writes().empty());
  }
}

TEST_F(ConsoleTest, RedirectedOutputIsThePlainTextWithoutControlBytes) {
  Capture(/*terminal=*/false, /*colour=*/false);
  for (int kind = 0; kind <= 6; ++kind) {
    for (const std::string& text : {std::string("hello"), std::string("[lbl] [sub] hello"),
                                    std::string("7: ") + std::string(100, 'y')}) {
      Clear();
      WriteMessage(kind, text);
      EXPECT_EQ(Out(), text + "\n") << "kind " << kind;
    }
  }
  Clear();
  ShowProgress(100, 50);  // the bar is drawn on a terminal only
  WriteMessage(0, "after");
  EXPECT_EQ(Out(), "after\n");
}

TEST_F(ConsoleTest, LogBufferTagsWarningsAndErrorsAndKeepsEveryKind) {
  Capture(false, false);
  WriteMessage(0, "normal");
  WriteMessage(1, "[node] careful");
  WriteMessage(2, "broken");
  WriteMessage(9, "log only");
  WriteMessage(0, "");
  EXPECT_EQ(GetLogBuffer(), "normal\n[node] careful  <WARNING>\nbroken  <ERROR>\nlog only\n\n");
  EXPECT_EQ(Out(), "normal\n[node] careful\nbroken\n\n");
}

TEST_F(ConsoleTest, MultiLineTextIsWrittenAsSeparateLinesOfTheSameKind) {
  Capture(false, false);
  WriteMessage(1, "one\r\ntwo\r\nthree");
  const auto writes = Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].second, "one\n");
  EXPECT_EQ(writes[1].second, "two\n");
  EXPECT_EQ(writes[2].second, "three\n");
  EXPECT_EQ(GetLogBuffer(), "one  <WARNING>\ntwo  <WARNING>\nthree  <WARNING>\n");

  // On a colour terminal every line gets its own colour and padding.
  Capture(true, true);
  Clear();
  WriteMessage(2, "a\nb");
  EXPECT_EQ(Out(), ESC + "[97;41ma" + ESC + "[0m" + std::string(78, ' ') + "\n" + ESC + "[97;41mb" +
                       ESC + "[0m" + std::string(78, ' ') + "\n");
}

TEST_F(ConsoleTest, QuietWritesNothingToStdoutButLogsAndSendsErrorsToStderr) {
  Capture(true, true);
  SetQuiet(true);
  WriteMessage(0, "normal");
  WriteMessage(1, "warn");
  WriteMessage(2, "[dest] failed");
  WriteMessage(6, "Done.");
  ShowProgress(100, 50);
  EXPECT_EQ(Out(1), "");
  EXPECT_EQ(Out(2), "[dest] failed\n");
  EXPECT_EQ(GetLogBuffer(), "normal\nwarn  <WARNING>\n[dest] failed  <ERROR>\nDone.\n");
}

TEST_F(ConsoleTest, WarningReplacesTheBarLineAndTheBarIsRedrawn) {
  Capture(true, false);
  ShowProgress(79, 40);
  EXPECT_EQ(Out(), std::string(40, '-'));
  Clear();
  WriteMessage(1, "careful");
  EXPECT_EQ(Out(),
            "\r" + ESC + "[K" + "careful" + std::string(72, ' ') + "\n" + std::string(40, '-'));

  // With colours the bar is grey.
  Capture(true, true);
  Clear();
  WriteMessage(0, "x");
  EXPECT_EQ(Out(), "\r" + ESC + "[Kx" + std::string(78, ' ') + "\n" + ESC + "[90m" +
                       std::string(40, '-') + ESC + "[0m");
}

TEST_F(ConsoleTest, BarGrowsIncrementallyShrinksByRedrawingAndIsClamped) {
  Capture(true, false);
  ShowProgress(1000, 100);  // 7 dashes
  ShowProgress(1000, 110);  // still 8? 110*79/1000 = 8
  ShowProgress(1000, 111);  // 8: no change, nothing written
  auto w = Writes();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].second, std::string(7, '-'));
  EXPECT_EQ(w[1].second, std::string(1, '-'));

  Clear();
  ShowProgress(1000, 5000);  // past the end: clamped to 79
  EXPECT_EQ(Out(), std::string(71, '-'));
  Clear();
  ShowProgress(1000, 100);  // shrinks: the line is cleared and redrawn
  EXPECT_EQ(Out(), "\r" + ESC + "[K" + std::string(7, '-'));
  Clear();
  ShowProgress(0, 5);  // Total 0 clears the bar
  ShowProgress(-3, 5);
  EXPECT_EQ(Out(), "\r" + ESC + "[K");
  Clear();
  WriteMessage(0, "x");  // no bar left to replace or redraw
  EXPECT_EQ(Out(), "x" + std::string(78, ' ') + "\n");
  ShowProgress(INT64_MAX, INT64_MAX / 2);  // no overflow in the product
  EXPECT_EQ(Out(), "x" + std::string(78, ' ') + "\n" + std::string(39, '-'));
}

TEST_F(ConsoleTest, NumbersModePrintsAPercentageOnlyWhenItGrows) {
  for (bool terminal : {false, true}) {
    ResetConsoleForTests();
    Clear();
    Capture(terminal, false);
    SetBarMode(false);
    SetProgressLabel("process");
    ShowProgress(1000, 5);   // 0.5 %
    ShowProgress(1000, 14);  // 1.4 %
    ShowProgress(1000, 16);  // 1.6 %
    EXPECT_EQ(Out(), "process: 1%\n");
    Clear();
    ShowProgress(0, 0);  // clears: no line, no crash
    ShowProgress(1000, 16);
    ShowProgress(10, 1000);  // clamped to 100
    EXPECT_EQ(Out(), "process: 1%\nprocess: 100%\n");
    Clear();
    WriteMessage(1, "w");  // no bar handling in numbers mode
    EXPECT_EQ(Out(), terminal ? "w" + std::string(78, ' ') + "\n" : "w\n");
  }
  Capture(true, true);
  Clear();
  SetProgressLabel("analyze");
  ClearProgress();
  ShowProgress(4, 3);
  EXPECT_EQ(Out(), ESC + "[90manalyze: 75%" + ESC + "[0m\n");
}

TEST(FormatDuration, Table) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "1 second"},
      {1499, "1 second"},
      {1500, "2 seconds"},
      {3000, "3 seconds"},
      {59499, "59 seconds"},
      {59500, "exactly 1 minute"},
      {61000, "1 minute, 1 second"},
      {62000, "1 minute, 2 seconds"},
      {120000, "exactly 2 minutes"},
      {3599400, "59 minutes, 59 seconds"},
      {3600000, "exactly 1 hour"},
      {3629400, "exactly 1 hour"},  // 29 seconds do not round up
      {3630000, "1 hour, 1 minute"},
      {3720000, "1 hour, 2 minutes"},
      {7170000, "exactly 2 hours"},  // the minutes round up into the hour
      {10800000, "exactly 3 hours"},
      {INT32_MAX, "596 hours, 31 minutes"},  // no overflow near 2^31 ms
      {-5, "1 second"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(FormatDuration(ms), text) << ms;
}

TEST_F(ConsoleTest, LogTextHasVersionCommandLineAndMessages) {
  Capture(false, false);
  std::string minor = std::to_string(KAVRIX_VERSION_MINOR);
  if (minor.size() < 2) minor = "0" + minor;
  const std::string head = "kavrix v" + std::to_string(KAVRIX_VERSION_MAJOR) + "." + minor +
                           "\ncommand line: kavrix 'a b.thd' x.flac\n";
  SetCommandLineText("kavrix 'a b.thd' x.flac");
  EXPECT_EQ(GetLogText(), head);
  WriteMessage(2, "bad");
  EXPECT_EQ(GetLogText(), head + std::string(78, '-') + "\nbad  <ERROR>\n");
}

TEST_F(ConsoleTest, ConcurrentMessagesNeverInterleave) {
  Capture(true, false);
  constexpr int kThreads = 8;
  constexpr int kMessages = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kMessages; ++i) {
        WriteMessage(i % 3, "[t" + std::to_string(t) + "] message " + std::to_string(i));
        if (i % 50 == 0) ShowProgress(kMessages, i);
      }
    });
  }
  for (auto& th : threads) th.join();

  std::set<std::string> seen;
  for (const auto& [fd, bytes] : Writes()) {
    if (bytes.find('\n') == std::string::npos) continue;  // a bar update
    // One write is one whole message: an optional bar clear, one line, an optional bar.
    std::string_view line = bytes;
    if (line.substr(0, 4) == "\r" + ESC + "[K") line.remove_prefix(4);
    const size_t end = line.find('\n');
    ASSERT_NE(end, std::string_view::npos);
    EXPECT_EQ(line.substr(end + 1).find_first_not_of('-'), std::string_view::npos);
    std::string text(line.substr(0, end));
    text.erase(text.find_last_not_of(' ') + 1);
    EXPECT_TRUE(seen.insert(text).second) << text;
  }
  EXPECT_EQ(seen.size(), size_t{kThreads * kMessages});
  const std::string log = GetLogBuffer();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), kThreads * kMessages);
}

TEST_F(ConsoleTest, CrashReportWorksEvenWhileAnotherThreadHoldsTheLock) {
  Capture(true, false);
  ShowProgress(79, 10);
  WriteMessage(0, "before");
  Clear();
  std::string text = ReportCrash();
  EXPECT_EQ(Out(), "\r" + ESC + "[Kkavrix crashed..." + std::string(62, ' ') + "\n");
  EXPECT_NE(text.find("before\nkavrix crashed...\n"), std::string::npos);

  // A writer stuck inside the lock (in its sink) does not block the report for ever.
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  SetConsoleSink(
      [&](int, std::string_view bytes) {
        if (bytes.find("stuck") != std::string_view::npos) {
          entered.store(true);
          while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
          std::lock_guard<std::mutex> guard(lock_);
          writes_.emplace_back(1, std::string(bytes));
        }
      },
      false, false);
  std::thread stuck([] { WriteMessage(0, "stuck"); });
  while (!entered.load()) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  text = ReportCrash();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(text.find("stuck\nkavrix crashed...\n"), std::string::npos);
  release.store(true);
  stuck.join();
}

}  // namespace
}  // namespace kavrix
