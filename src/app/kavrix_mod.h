#pragma once
// The program's frame: the top-level run from start to exit, the banner and usage text,
// the log files, the exit code, and the services around them (priority, shutdown, sounds,
// the crash reaction).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/kavrix_mod_options.h"

namespace kavrix {

struct TSourceAnalysis;  // app/kavrix_mod_analysis.h

struct TAnalysisResult {
  bool ok = false;
  bool foundSomething = false;  // audio/video/subtitle details or container information
  std::shared_ptr<TSourceAnalysis> analysis = nullptr;  // what the run builds on
};

struct TRunResult {
  bool ok = false;
  bool chaptersOnly = false;  // every destination was the chapter entry
  int64_t abortedAt = -1;     // the file position where a failed run stopped, or -1
  uint64_t surcodeMs = 0;     // time spent in external DTS encoding
  uint64_t timestampMs = 0;   // time spent rewriting time stamps
};

// The steps that later parts of the program provide. Every member must be set.
struct TDriverHooks {
  // Parses the parameters (without "-log=") into the request; reports its own errors.
  std::function<bool(const std::vector<std::string>& params, TOptions& request)> parse;
  // True when the path is, or lies in, a Blu-ray or HD DVD disc structure.
  std::function<bool(const std::string& path)> isDiscStructure;
  // Lists the disc's titles; false on a failure.
  std::function<bool(const std::string& path)> listDiscTitles;
  std::function<bool(const TOptions& request)> componentTest;
  // Examines the sources, prints the description and track list.
  std::function<TAnalysisResult(TOptions& request)> analyse;
  // Builds and runs the chains (both passes) and prints the statistics.
  std::function<TRunResult(TOptions& request, const TAnalysisResult& analysis)> run;
};

TDriverHooks DefaultDriverHooks();

// The top-level run; returns the process exit code.
int RunKavrix(int argc, char** argv);
int RunKavrix(int argc, char** argv, const TDriverHooks& hooks);

// The pieces, for tests and for the later parts.
void PrintBannerAndUsage();
std::string QuoteArgument(std::string_view argument);  // for a POSIX shell
std::string BuildCommandLine(int argc, char** argv);   // argv joined, quoted where needed
// Takes every "-log=NAME" out of the parameters; the last one wins. False when none.
bool ExtractLogOption(std::vector<std::string>& params, std::string& logFileName);
// True when a source and a destination are the same file (then reports the error).
bool SourcesOverlapDestinations(const TOptions& request);
// The per-run log file's name; empty when none is written.
std::string GetRunLogFileName(const TOptions* request);
// Writes the log text to the file; false on a failure.
bool WriteLogFile(const std::string& path);
// The one way out: writes the log files, shuts down when asked, returns the exit code.
int ExitRun(const TOptions* request);
bool IsDiscStructureDefault(const std::string& path);

}  // namespace kavrix
