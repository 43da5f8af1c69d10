// The default steps of the frame. The disc title listing and the component test are
// stand-ins for what later parts of the program build: each fails loudly with a kind-2
// message, so nothing is mistaken for a finished run.
#include <filesystem>
#include <system_error>

#include "app/kavrix_mod.h"
#include "app/kavrix_mod_analysis.h"
#include "app/kavrix_mod_run.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"

namespace kavrix {

namespace {

bool IsDiscFolderName(const std::string& name) {
  return EqualsNoCase(name, "BDMV") || EqualsNoCase(name, "HVDVD_TS");
}

}  // namespace

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
  hooks.parse = &ParseCommandLine;
  hooks.isDiscStructure = &IsDiscStructureDefault;
  hooks.listDiscTitles = [](const std::string&) {
    WriteMessage(kMsgError, "The disc title listing is not available yet.");
    return false;
  };
  hooks.componentTest = [](const TOptions&) {
    WriteMessage(kMsgError, "The component test is not available yet.");
    return false;
  };
  hooks.analyse = &AnalyseAndList;
  hooks.run = [](TOptions& request, const TAnalysisResult& analysis) {
    return RunProcessing(request, analysis);
  };
  return hooks;
}

}  // namespace kavrix
