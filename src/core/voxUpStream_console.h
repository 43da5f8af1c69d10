#pragma once
// The console writer, the progress display and the log buffer. Every message of
// every node and of the driver goes through WriteMessage. One process-wide lock
// serialises them; it is a leaf lock (nothing calls into nodes while holding it).
#include <cstdint>
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

// Shows and logs one message (UTF-8). Text with two or more CRs is split into lines.
void WriteMessage(int kind, std::string_view text);

// Progress of Position out of Total; Total <= 0 clears the display.
void ShowProgress(int64_t total, int64_t position);
inline void ClearProgress() { ShowProgress(1, 0); }

void SetQuiet(bool quiet);
bool GetQuiet();
void SetBarMode(bool barMode);  // false after -progressnumbers
void SetProgressLabel(std::string_view label);  // "analyze" or "process"

}  // namespace kavrix
