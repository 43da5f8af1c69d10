#pragma once
// The run: the checks of every conversion before anything runs, the frame rates of speed
// changes, the graph of one pass (one source below which every destination hangs with a chain
// of its own), the pass itself, the evaluation that decides on a second pass, and the
// completion (post-processing, statistics, removal of a failed run's outputs).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/kavrix_mod.h"
#include "app/kavrix_mod_analysis.h"
#include "app/kavrix_mod_options.h"
#include "app/kavrix_mod_runstate.h"

namespace kavrix {

// What the readers of a pass counted, for the statistics.
struct TPassCounts {
  struct TVideo {
    uint32_t trackNumber = 0;
    uint32_t frames = 0;
    uint32_t fields = 0;
  };
  std::vector<TVideo> video;  // per container video track (or the elementary video)
  struct TCaptions {
    uint32_t normal = 0;
    uint32_t forced = 0;
  };
  std::vector<TCaptions> captions;  // per destination (index as in the action list)
  int64_t abortedAt = -1;           // the source position where a failed pass stopped, or -1
  uint64_t timestampMs = 0;         // time spent rewriting time stamps
};

// ---- checks and preparations (pure) ----

bool CheckVideoConversion(TAction& action, const IVideoFormatDetails& details);
bool CheckSubtitleConversion(TAction& action, const ISubtitleFormatDetails& details);
// Every destination's checks, in order; false (after the console error) ends the run.
bool CheckConversions(TRunState& state, TOptions& options, const TSourceAnalysis& analysis);
// The source and target frame rates of speed changes; false (after the error) ends the run.
bool FixFrameRates(TOptions& options, TSourceAnalysis& analysis);
// The destination name with the double quote and * : < > ? | removed from the file-name part.
std::string CleanDestinationName(const std::string& name);

// ---- one pass ----

// Builds the graph of one pass, runs it and evaluates it. False when the pass failed.
bool RunPass(TRunState& state, TOptions& options, TSourceAnalysis& analysis, TPassCounts& counts);

// ---- two passes ----

// After a successful pass: decides per destination whether it is produced again.
void EvaluatePass(TRunState& state, TOptions& options);
// Clears the fields that describe processing, so a second pass does not apply them twice.
void ResetProcessingSettings(TAction& action);

// ---- completion ----

// The statistics lines of a successful run.
std::vector<std::string> StatisticsLines(const TOptions& options, const TSourceAnalysis& analysis,
                                         const TPassCounts& counts);
// Removes every file this run created (and only those).
void DeleteCreatedOutputs();

// The whole processing run: the pass loop and the completion. The driver's run step.
TRunResult RunProcessing(TOptions& options, const TAnalysisResult& analysis);
TRunResult RunProcessing(TRunState& state, TOptions& options, TSourceAnalysis& analysis);
// The same with the pass given as a function (RunPass in production; tests hand in fakes).
using TPassFunction = std::function<bool(TRunState&, TOptions&, TSourceAnalysis&, TPassCounts&)>;
TRunResult RunProcessing(TRunState& state, TOptions& options, TSourceAnalysis& analysis,
                         const TPassFunction& pass);

}  // namespace kavrix
