// Stand-ins for the steps that later parts of the program build: the full command-line
// parser, the disc title listing, the component test, the source analysis and the run.
// Each fails loudly with a kind-2 message, so nothing is mistaken for a finished run.
#include <filesystem>
#include <system_error>

#include "app/kavrix_mod.h"
#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool IsDiscFolderName(const std::string& name) {
  return EqualsNoCase(name, "BDMV") || EqualsNoCase(name, "HVDVD_TS");
}

}  // namespace

bool ParseCommandLineStandIn(const std::vector<std::string>& params, TRunRequest& request) {
  for (const std::string& p : params) {
    if (EqualsNoCase(p, "-lowPriority")) {
      request.lowPriority = true;
    } else if (EqualsNoCase(p, "-shutdown")) {
      request.shutdown = true;
    } else if (EqualsNoCase(p, "-progressNumbers")) {
      request.progressNumbers = true;
    } else if (EqualsNoCase(p, "-test")) {
      request.test = true;
    } else {
      WriteMessage(kMsgError, "The command line parser is not available yet.");
      return false;
    }
  }
  return true;
}

bool IsDiscStructureDefault(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec).lexically_normal();
  if (ec) return false;
  // The path lies in a disc structure: one of its folders is BDMV or HVDVD_TS.
  for (const fs::path& part : absolute) {
    if (IsDiscFolderName(part.string())) return true;
  }
  // The path is a disc's root folder.
  if (fs::is_directory(absolute, ec)) {
    for (fs::directory_iterator it(absolute, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_directory(ec) && IsDiscFolderName(it->path().filename().string())) return true;
    }
  }
  return false;
}

TDriverHooks DefaultDriverHooks() {
  TDriverHooks hooks;
  hooks.parse = &ParseCommandLineStandIn;
  hooks.isDiscStructure = &IsDiscStructureDefault;
  hooks.listDiscTitles = [](const std::string&) {
    WriteMessage(kMsgError, "The disc title listing is not available yet.");
    return false;
  };
  hooks.componentTest = [](const TRunRequest&) {
    WriteMessage(kMsgError, "The component test is not available yet.");
    return false;
  };
  hooks.analyse = [](TRunRequest&) {
    WriteMessage(kMsgError, "The source analysis is not available yet.");
    return TAnalysisResult{};
  };
  hooks.run = [](TRunRequest&) {
    WriteMessage(kMsgError, "The processing run is not available yet.");
    return TRunResult{};
  };
  return hooks;
}

}  // namespace kavrix
