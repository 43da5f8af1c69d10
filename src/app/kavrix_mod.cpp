// The top-level run, the log files and the exit path.
#include "app/kavrix_mod.h"

#include <filesystem>
#include <mutex>

#include "core/voxText.h"
#include "core/voxUpStream_console.h"
#include "platform/voxPlatform_crash.h"
#include "platform/voxPlatform_paths.h"
#include "platform/voxPlatform_process.h"

namespace kavrix {

namespace {

// The log files' names, kept for the crash reaction (which must not compute much).
std::mutex g_crashNamesLock;
std::vector<std::string> g_crashLogNames;

std::string StateLogFileName() {
  const std::string folder = platform::GetStateFolder();
  if (folder.empty()) return std::string();
  return folder + "/log.txt";
}

void OnCrash() {
  const std::string text = ReportCrash();
  std::unique_lock<std::mutex> guard(g_crashNamesLock, std::try_to_lock);
  if (!guard.owns_lock()) return;
  for (const std::string& name : g_crashLogNames) {
    platform::WriteWholeFile(name.c_str(), text.data(), text.size());
  }
}

void SetCrashLogNames(const TOptions* request) {
  std::vector<std::string> names;
  const std::string state = StateLogFileName();
  if (!state.empty()) {
    platform::CreateFolders(platform::GetStateFolder());
    names.push_back(state);
  }
  const std::string run = GetRunLogFileName(request);
  if (!run.empty()) names.push_back(run);
  std::lock_guard<std::mutex> guard(g_crashNamesLock);
  g_crashLogNames = std::move(names);
}

// A sound file from the configuration folder, else from beside the executable.
std::string FindSound(const std::string& name) {
  for (const std::string& folder : {platform::GetConfigFolder(), platform::GetExecutableFolder()}) {
    if (folder.empty()) continue;
    const std::string path = folder + "/" + name;
    if (platform::FileExists(path)) return path;
  }
  return std::string();
}

void PlaySound(const std::string& name) {
  const std::string path = FindSound(name);
  if (!path.empty()) platform::PlaySoundFile(path);
}

int Run(const std::vector<std::string>& params, const TDriverHooks& hooks, TOptions& request,
        bool& requestParsed) {
  // With no parameter, or one that names a disc structure, list the disc's titles.
  if (GetParamCount(params) <= 1) {
    // The one parameter that is not "-progressnumbers".
    std::string path = ".";
    for (const std::string& p : params)
      if (!EqualsNoCase(p, "-progressnumbers")) path = p;
    std::error_code ec;
    const bool exists = params.empty() || std::filesystem::exists(path, ec);
    if (exists && hooks.isDiscStructure(path)) {
      SetExitCode(hooks.listDiscTitles(path) ? 0 : 1);
      return ExitRun(nullptr);
    }
    if (params.empty()) {
      PrintBannerAndUsage();
      SetExitCode(0);
      return ExitRun(nullptr);
    }
  }

  SetExitCode(1);
  if (!hooks.parse(params, request)) return ExitRun(nullptr);
  requestParsed = true;

  SetCrashLogNames(&request);
  platform::InstallCrashHandlers(&OnCrash);

  if (request.Test) {
    if (!hooks.componentTest(request)) return ExitRun(&request);
    if (request.Sources.empty()) {
      SetExitCode(0);  // nothing is to be produced
      return ExitRun(&request);
    }
  }

  if (SourcesOverlapDestinations(request)) return ExitRun(&request);

  SetProgressLabel("analyze");
  const TAnalysisResult analysis = hooks.analyse(request);
  if (!analysis.ok) {
    SetExitCode(1);
    return ExitRun(&request);
  }
  SetProgressLabel("process");
  ClearProgress();
  if (request.Actions.empty() || !analysis.foundSomething) {
    SetExitCode(0);
    return ExitRun(&request);
  }

  // Priority is per thread on Linux and inherited by threads created later: lower it before
  // the run starts its workers.
  if (request.LowPriority) platform::SetLowPriority();

  const uint64_t start = platform::NowMilliseconds();
  const TRunResult result = hooks.run(request, analysis);
  if (result.ok) {
    if (!result.chaptersOnly) {
      const uint64_t took = platform::NowMilliseconds() - start;
      WriteMessage(kMsgNormal,
                   "kavrix processing took " + FormatDuration(static_cast<int64_t>(took)) + ".");
      if (result.surcodeMs != 0) {
        WriteMessage(kMsgNormal, "Surcode encoding took " +
                                     FormatDuration(static_cast<int64_t>(result.surcodeMs)) + ".");
      }
      if (result.timestampMs != 0) {
        WriteMessage(kMsgNormal, "Timestamp rewriting took " +
                                     FormatDuration(static_cast<int64_t>(result.timestampMs)) +
                                     ".");
      }
    }
    WriteMessage(kMsgSuccess, "Done.");
    SetExitCode(0);
    PlaySound("success.wav");
  } else {
    SetExitCode(1);
    PlaySound("error.wav");
    if (result.abortedAt >= 0) {
      WriteMessage(kMsgError, "Aborted at file position " + std::to_string(result.abortedAt) + ".");
    }
  }
  return ExitRun(&request);
}

}  // namespace

std::string QuoteArgument(std::string_view argument) {
  bool plain = !argument.empty();
  for (char c : argument) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == '/' || c == ',' || c == ':' ||
                      c == '+' || c == '=' || c == '@' || c == '%' ||
                      static_cast<unsigned char>(c) >= 0x80;
    if (!safe) {
      plain = false;
      break;
    }
  }
  if (plain) return std::string(argument);
  std::string quoted = "'";
  for (char c : argument) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}

std::string BuildCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    if (i > 0) line.push_back(' ');
    line += QuoteArgument(argv[i]);
  }
  return line;
}

bool ExtractLogOption(std::vector<std::string>& params, std::string& logFileName) {
  bool found = false;
  for (auto it = params.begin(); it != params.end();) {
    if (it->size() >= 5 && FoldAscii((*it)[0]) == '-' && FoldAscii((*it)[1]) == 'l' &&
        FoldAscii((*it)[2]) == 'o' && FoldAscii((*it)[3]) == 'g' && (*it)[4] == '=') {
      logFileName = it->substr(5);
      found = true;
      it = params.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

bool SourcesOverlapDestinations(const TOptions& request) {
  for (const std::string& d : request.DestinationNames()) {
    if (d.empty() || IsStdoutName(d) || ContainsNoCase(d, "%check%")) continue;
    for (const std::string& s : request.Sources) {
      if (s.empty()) continue;
      if (platform::IsSameFile(s, d)) {
        WriteMessage(kMsgError, "Input and output file names overlap.");
        return true;
      }
    }
  }
  return false;
}

std::string GetRunLogFileName(const TOptions* request) {
  namespace fs = std::filesystem;
  std::string name = GetLogFileName();
  if (name.empty()) {
    if (request == nullptr || request->Sources.empty() || request->Actions.empty() ||
        request->Actions[0].FileName.empty()) {
      return std::string();
    }
    const fs::path destination(request->Actions[0].FileName);
    const bool bySource =
        request->Demux || request->Check || request->AnalyzeBitdepth || request->CheckPitch;
    const fs::path base = bySource ? fs::path(request->Sources[0]).stem() : destination.stem();
    name = (destination.parent_path() / (base.string() + " - Log.txt")).string();
  }
  if (ContainsNoCase(name, "%check%")) return std::string();
  return name;
}

bool WriteLogFile(const std::string& path) {
  if (path.empty()) return false;
  const std::string text = GetLogText();
  return platform::WriteWholeFile(path.c_str(), text.data(), text.size());
}

int ExitRun(const TOptions* request) {
  // Failures are ignored: a log that cannot be written is skipped.
  const std::string state = StateLogFileName();
  if (!state.empty() && platform::CreateFolders(platform::GetStateFolder())) WriteLogFile(state);
  const std::string run = GetRunLogFileName(request);
  if (!run.empty()) WriteLogFile(run);
  if (GetShutdownAfterwards()) platform::RequestShutdown();
  return GetExitCode();
}

int RunKavrix(int argc, char** argv) {
  return RunKavrix(argc, argv, DefaultDriverHooks());
}

int RunKavrix(int argc, char** argv, const TDriverHooks& hooks) {
  platform::IgnoreBrokenPipe();
  platform::InstallInterruptHandlers();
  SetCommandLineText(BuildCommandLine(argc, argv));

  std::vector<std::string> params;
  for (int i = 1; i < argc; ++i) params.emplace_back(argv[i]);
  std::string logFileName;
  if (ExtractLogOption(params, logFileName)) SetLogFileName(logFileName);

  TOptions request;
  bool requestParsed = false;
  try {
    return Run(params, hooks, request, requestParsed);
  } catch (...) {
    // An exception nobody handled: report it, write the logs, end with code 1.
    ClearProgress();
    WriteMessage(kMsgNormal, "kavrix crashed...");
    SetExitCode(1);
    return ExitRun(requestParsed ? &request : nullptr);
  }
}

}  // namespace kavrix
