// Placeholder console writer so that the tree links; replaced by the real writer.
#include "core/voxUpStream_console.h"

#include <cstdio>
#include <mutex>

namespace kavrix {
namespace {
std::mutex g_console;
bool g_quiet = false;
}  // namespace
void WriteMessage(int kind, std::string_view text) {
  std::lock_guard<std::mutex> guard(g_console);
  if (g_quiet || kind > 6) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}
void ShowProgress(int64_t, int64_t) {}
void SetQuiet(bool quiet) { g_quiet = quiet; }
bool GetQuiet() { return g_quiet; }
void SetBarMode(bool) {}
void SetProgressLabel(std::string_view) {}
}  // namespace kavrix
