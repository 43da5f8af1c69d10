#pragma once
// The console writer, the progress display and the log buffer. Every message of every node
// and of the driver goes through WriteMessage. One process-wide lock serialises them; it is
// a leaf lock (nothing calls into nodes while holding it).
//
// Colours are ANSI sequences, sent only when standard output is a colour terminal. The
// progress bar (up to 79 dashes) is drawn only on a terminal; "-progressnumbers" lines
// ("process: 42%") are printed on any output.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kavrix {

// Message kinds.
enum TMessageKind : int {
  kMsgNormal = 0,
  kMsgWarning = 1,
  kMsgError = 2,
  kMsgDetail = 3,   // detail line of the component test
  kMsgHeading = 4,  // banner, usage section titles, source description
  kMsgListing = 5,  // "2: ..." track listing lines
  kMsgSuccess = 6,  // "Done."
  kMsgLogOnly = 7,  // kinds above 6 go to the log only
};

// Shows and logs one message (UTF-8). A text with line breaks is written line by line, every
// line as a message of the same kind. "[label] text" shows the label highlighted.
void WriteMessage(int kind, std::string_view text);

// Progress of Position out of Total; Total <= 0 clears the display.
void ShowProgress(int64_t total, int64_t position);
inline void ClearProgress() {
  ShowProgress(1, 0);
}

void SetQuiet(bool quiet);  // nothing goes to standard output (errors still go to stderr)
bool GetQuiet();
void SetBarMode(bool barMode);  // false after -progressnumbers
bool GetBarMode();
void SetProgressLabel(std::string_view label);  // "analyze" or "process"

// Process-wide run state kept with the console.
void SetExitCode(int code);
int GetExitCode();
void SetLogFileName(std::string_view name);  // from -log=
std::string GetLogFileName();
void SetShutdownAfterwards(bool value);  // from -shutdown
bool GetShutdownAfterwards();
void SetCommandLineText(std::string_view text);  // the "command line: " of the log

// The log text: the version line, the command line and, once a message was written, a line
// of 78 dashes and every message. Line ends are LF.
std::string GetLogText();
// The messages logged so far (every one with its tag and line end).
std::string GetLogBuffer();

// "3 seconds", "1 minute, 1 second", "exactly 2 hours", ...
std::string FormatDuration(int64_t milliseconds);

// Number of UTF-8 code points (continuation bytes are not counted).
size_t CountCodePoints(std::string_view text);

// Where console bytes go: fd 1 (standard output) or 2 (standard error). The default writes
// to the process's streams and asks the system whether they are a (colour) terminal.
using TConsoleSink = std::function<void(int fd, std::string_view bytes)>;
// Replaces the sink and the terminal flags; an empty sink restores the default.
void SetConsoleSink(TConsoleSink sink, bool isTerminal, bool colour);
// Back to the start state (and the default sink): for tests.
void ResetConsoleForTests();

// Crash path: clears the bar, shows "kavrix crashed..." and returns the log text. Takes the
// console lock only when it can get it quickly (the crash may have happened under it).
std::string ReportCrash();

}  // namespace kavrix
