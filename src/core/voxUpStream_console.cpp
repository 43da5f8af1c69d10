#include "core/voxUpStream_console.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/voxPlatform_console.h"
#include "platform/voxPlatform_crash.h"
#include "voxVersion.h"

namespace kavrix {

namespace {

constexpr int kBarWidth = 79;  // the widest bar, and the width lines are padded to

// Console text attributes of the design and their ANSI sequences.
constexpr int kAttrNormal = 0x07;
constexpr int kAttrGrey = 0x08;
constexpr int kAttrBright = 0x0F;
constexpr int kAttrError = 0x47;    // white on red
constexpr int kAttrSuccess = 0x27;  // white on green
constexpr int kAttrLabel = 0x80;    // black on dark grey
constexpr int kAttrWarnLabel = 0x70;
constexpr int kAttrErrorLabel = 0x74;

const char* Sequence(int attribute) {
  switch (attribute) {
    case kAttrGrey:
      return "\x1b[90m";
    case kAttrBright:
      return "\x1b[1;97m";
    case kAttrError:
      return "\x1b[97;41m";
    case kAttrSuccess:
      return "\x1b[97;42m";
    case kAttrWarnLabel:
      return "\x1b[30;47m";
    case kAttrErrorLabel:
      return "\x1b[31;47m";
    case kAttrLabel:
      return "\x1b[30;100m";
    default:
      return "\x1b[0m";
  }
}

struct TConsoleState {
  std::mutex lock;
  std::atomic<std::thread::id> owner{};
  // Output.
  TConsoleSink sink;  // empty: the process's streams
  bool injected = false;
  bool flagsKnown = false;
  bool terminal = false;
  bool colour = false;
  // The design's state.
  bool barMode = true;
  int barLength = 0;  // dashes drawn; in numbers mode the last percentage shown
  std::string progressLabel;
  bool quiet = false;
  bool logExists = false;
  std::string logBuffer;
  std::string logFileName;
  bool shutdownAfterwards = false;
  int exitCode = 0;
  std::string commandLine;
};

TConsoleState& State() {
  static TConsoleState* state = new TConsoleState;  // never destroyed: used until _exit
  return *state;
}

class TConsoleLock {
 public:
  TConsoleLock() : state_(State()) {
    state_.lock.lock();
    state_.owner.store(std::this_thread::get_id());
  }
  ~TConsoleLock() {
    state_.owner.store(std::thread::id());
    state_.lock.unlock();
  }
  TConsoleLock(const TConsoleLock&) = delete;
  TConsoleLock& operator=(const TConsoleLock&) = delete;

 private:
  TConsoleState& state_;
};

// Called under the lock.
void EnsureFlags(TConsoleState& s) {
  if (s.flagsKnown) return;
  s.terminal = platform::IsTerminal(platform::kStdOut);
  s.colour = platform::ColourWanted(platform::kStdOut);
  s.flagsKnown = true;
  platform::SetColourResetNeeded(s.colour);
}

void Emit(TConsoleState& s, int fd, std::string_view bytes) {
  if (bytes.empty()) return;
  if (s.sink) {
    s.sink(fd, bytes);
  } else {
    platform::WriteAll(fd, bytes.data(), bytes.size());  // failures are ignored
  }
}

// Composes one console line: coloured pieces, the shown width, the padding.
class TLineBuilder {
 public:
  TLineBuilder(std::string& out, bool colour) : out_(out), colour_(colour) {}

  void Put(int attribute, std::string_view text) {
    if (text.empty()) return;
    SetAttribute(attribute);
    out_.append(text);
    width_ += CountCodePoints(text);
  }
  // Back to the normal attribute, then spaces up to the line width when the line is short.
  void Finish(bool pad) {
    SetAttribute(kAttrNormal);
    if (pad && width_ < kBarWidth) out_.append(kBarWidth - width_, ' ');
  }

 private:
  void SetAttribute(int attribute) {
    if (!colour_ || attribute == current_) return;
    if (current_ != kAttrNormal && attribute != kAttrNormal) out_.append(Sequence(kAttrNormal));
    out_.append(Sequence(attribute));
    current_ = attribute;
  }

  std::string& out_;
  bool colour_;
  int current_ = kAttrNormal;
  size_t width_ = 0;
};

// "[label] rest": the label with its brackets, and the rest after "]".
bool SplitLabel(std::string_view text, std::string_view& label, std::string_view& rest) {
  if (text.empty() || text[0] != '[') return false;
  const size_t close = text.find(']');
  if (close == std::string_view::npos) return false;
  label = text.substr(0, close + 1);
  rest = text.substr(close + 1);
  return true;
}

std::string_view DropOneSpace(std::string_view text) {
  if (!text.empty() && text[0] == ' ') text.remove_prefix(1);
  return text;
}

void ComposeLine(std::string& out, bool colour, bool pad, int kind, std::string_view text) {
  TLineBuilder line(out, colour);
  std::string_view label, rest;
  const bool hasLabel = SplitLabel(text, label, rest);
  switch (kind) {
    case kMsgNormal:
      if (hasLabel) {
        line.Put(kAttrLabel, label);
        line.Put(kAttrNormal, rest);
      } else {
        line.Put(kAttrNormal, text);
      }
      break;
    case kMsgWarning:
    case kMsgDetail:
      if (hasLabel) {
        line.Put(kAttrWarnLabel, label);
        line.Put(kAttrNormal, " ");
        rest = DropOneSpace(rest);
        std::string_view inner, after;
        if (SplitLabel(rest, inner, after)) {
          line.Put(kAttrLabel, inner);
          line.Put(kAttrGrey, after);
        } else {
          line.Put(kAttrGrey, rest);
        }
      } else {
        line.Put(kAttrGrey, text);
      }
      break;
    case kMsgError:
      if (hasLabel) {
        line.Put(kAttrErrorLabel, label);
        line.Put(kAttrNormal, " ");
        line.Put(kAttrError, DropOneSpace(rest));
      } else {
        line.Put(kAttrError, text);
      }
      break;
    case kMsgHeading:
      line.Put(kAttrBright, text);
      break;
    case kMsgListing: {
      // A track number prefix ("12:" or "3)") within the first four characters.
      size_t cut = std::string_view::npos;
      size_t chars = 0;
      for (size_t i = 0; i < text.size() && chars < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) == 0x80) continue;
        ++chars;
        if (c == ':' || c == ')') {
          cut = i + 1;
          break;
        }
      }
      if (cut != std::string_view::npos) {
        line.Put(kAttrBright, text.substr(0, cut));
        line.Put(kAttrNormal, text.substr(cut));
      } else {
        line.Put(kAttrNormal, text);
      }
      break;
    }
    case kMsgSuccess:
      line.Put(kAttrSuccess, text);
      break;
    default:
      break;
  }
  line.Finish(pad);
}

void AppendBar(std::string& out, bool colour, int dashes) {
  if (dashes <= 0) return;
  if (colour) out.append(Sequence(kAttrGrey));
  out.append(static_cast<size_t>(dashes), '-');
  if (colour) out.append(Sequence(kAttrNormal));
}

// One line of text (no line breaks). Called under the lock.
void WriteLine(TConsoleState& s, int kind, std::string_view text) {
  s.logExists = true;
  s.logBuffer.append(text);
  if (kind == kMsgWarning) s.logBuffer.append("  <WARNING>");
  if (kind == kMsgError) s.logBuffer.append("  <ERROR>");
  s.logBuffer.push_back('\n');

  if (s.quiet) {
    // Standard output carries data: errors still reach the user on standard error.
    if (kind == kMsgError) {
      std::string out(text);
      out.push_back('\n');
      Emit(s, platform::kStdErr, out);
    }
    return;
  }
  if (kind < 0 || kind > kMsgSuccess) return;
  EnsureFlags(s);
  const bool bar = s.barMode && s.terminal;
  std::string out;
  if (bar && s.barLength > 0) out.append("\r\x1b[K");  // the message takes the bar's line
  ComposeLine(out, s.colour, s.terminal, kind, text);
  out.push_back('\n');
  if (bar) AppendBar(out, s.colour, s.barLength);
  Emit(s, platform::kStdOut, out);
}

}  // namespace

size_t CountCodePoints(std::string_view text) {
  size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

void WriteMessage(int kind, std::string_view text) {
  TConsoleState& s = State();
  if (text.find_first_of("\r\n") != std::string_view::npos) {
    // Line by line: CR LF, CR and LF each end a line.
    TConsoleLock guard;
    size_t start = 0;
    while (true) {
      const size_t end = text.find_first_of("\r\n", start);
      if (end == std::string_view::npos) {
        if (start < text.size()) WriteLine(s, kind, text.substr(start));
        break;
      }
      WriteLine(s, kind, text.substr(start, end - start));
      start = end + 1;
      if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    }
    return;
  }
  TConsoleLock guard;
  WriteLine(s, kind, text);
}

void ShowProgress(int64_t total, int64_t position) {
  if (total <= 0) {
    total = 1;
    position = 0;
  }
  if (position < 0) position = 0;
  TConsoleState& s = State();
  TConsoleLock guard;
  if (s.quiet) return;
  EnsureFlags(s);
  std::string out;
  if (!s.barMode) {
    const __int128 p128 = static_cast<__int128>(position) * 100 / total;
    const int p = static_cast<int>(std::min<__int128>(p128, 100));
    if (p > s.barLength) {
      TLineBuilder line(out, s.colour);
      line.Put(kAttrGrey, s.progressLabel + ": " + std::to_string(p) + "%");
      line.Finish(false);
      out.push_back('\n');
      Emit(s, platform::kStdOut, out);
    }
    s.barLength = p;
    return;
  }
  const __int128 n128 = static_cast<__int128>(position) * kBarWidth / total;
  const int n = static_cast<int>(std::min<__int128>(n128, kBarWidth));
  if (n == s.barLength) return;
  if (s.terminal) {
    if (n > s.barLength) {
      AppendBar(out, s.colour, n - s.barLength);
    } else {
      out.append("\r\x1b[K");
      AppendBar(out, s.colour, n);
    }
    Emit(s, platform::kStdOut, out);
  }
  s.barLength = n;
}

void SetQuiet(bool quiet) {
  TConsoleLock guard;
  State().quiet = quiet;
}
bool GetQuiet() {
  TConsoleLock guard;
  return State().quiet;
}
void SetBarMode(bool barMode) {
  TConsoleLock guard;
  State().barMode = barMode;
}
bool GetBarMode() {
  TConsoleLock guard;
  return State().barMode;
}
void SetProgressLabel(std::string_view label) {
  TConsoleLock guard;
  State().progressLabel = std::string(label);
}
void SetExitCode(int code) {
  TConsoleLock guard;
  State().exitCode = code;
}
int GetExitCode() {
  TConsoleLock guard;
  return State().exitCode;
}
void SetLogFileName(std::string_view name) {
  TConsoleLock guard;
  State().logFileName = std::string(name);
}
std::string GetLogFileName() {
  TConsoleLock guard;
  return State().logFileName;
}
void SetShutdownAfterwards(bool value) {
  TConsoleLock guard;
  State().shutdownAfterwards = value;
}
bool GetShutdownAfterwards() {
  TConsoleLock guard;
  return State().shutdownAfterwards;
}
void SetCommandLineText(std::string_view text) {
  TConsoleLock guard;
  State().commandLine = std::string(text);
}

namespace {
std::string ComposeLogText(const TConsoleState& s) {
  std::string minor = std::to_string(KAVRIX_VERSION_MINOR);
  if (minor.size() < 2) minor.insert(0, 2 - minor.size(), '0');
  std::string text = "kavrix v" + std::to_string(KAVRIX_VERSION_MAJOR) + "." + minor + "\n";
  text += "command line: " + s.commandLine + "\n";
  if (s.logExists) {
    text.append(78, '-');
    text.push_back('\n');
    text += s.logBuffer;
  }
  return text;
}
}  // namespace

std::string GetLogText() {
  TConsoleLock guard;
  return ComposeLogText(State());
}

std::string GetLogBuffer() {
  TConsoleLock guard;
  return State().logBuffer;
}

std::string FormatDuration(int64_t milliseconds) {
  const int64_t m = std::max<int64_t>(milliseconds, 0) + 500;
  int64_t h = m / 3600000;
  int64_t min = (m / 60000) % 60;
  const int64_t s = (m / 1000) % 60;
  auto n = [](int64_t v) { return std::to_string(v); };
  if (h > 0) {
    if (s >= 30 && ++min == 60) {
      min = 0;
      ++h;
    }
    std::string text = n(h) + " hour" + (h > 1 ? "s" : "");
    if (min == 0) return "exactly " + text;
    if (min == 1) return text + ", 1 minute";
    return text + ", " + n(min) + " minutes";
  }
  if (min > 0) {
    std::string text = n(min) + " minute" + (min > 1 ? "s" : "");
    if (s == 0) return "exactly " + text;
    if (s == 1) return text + ", 1 second";
    return text + ", " + n(s) + " seconds";
  }
  if (s < 2) return "1 second";
  return n(s) + " seconds";
}

void SetConsoleSink(TConsoleSink sink, bool isTerminal, bool colour) {
  TConsoleLock guard;
  TConsoleState& s = State();
  s.injected = static_cast<bool>(sink);
  s.sink = std::move(sink);
  if (s.injected) {
    s.terminal = isTerminal;
    s.colour = colour;
    s.flagsKnown = true;
  } else {
    s.flagsKnown = false;
  }
}

void ResetConsoleForTests() {
  TConsoleLock guard;
  TConsoleState& s = State();
  s.sink = nullptr;
  s.injected = false;
  s.flagsKnown = false;
  s.terminal = false;
  s.colour = false;
  s.barMode = true;
  s.barLength = 0;
  s.progressLabel.clear();
  s.quiet = false;
  s.logExists = false;
  s.logBuffer.clear();
  s.logFileName.clear();
  s.shutdownAfterwards = false;
  s.exitCode = 0;
  s.commandLine.clear();
}

std::string ReportCrash() {
  TConsoleState& s = State();
  bool locked = false;
  if (s.owner.load() != std::this_thread::get_id()) {
    for (int attempt = 0; attempt < 50 && !locked; ++attempt) {
      locked = s.lock.try_lock();
      if (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // Without the lock (the crash happened in the writer, or another thread holds it) the
  // report is best effort.
  if (!s.quiet && s.barMode && s.terminal && s.barLength > 0)
    Emit(s, platform::kStdOut, "\r\x1b[K");
  s.barLength = 0;
  const bool barMode = s.barMode;
  s.barMode = false;  // no bar redraw after the report
  WriteLine(s, kMsgNormal, "kavrix crashed...");
  s.barMode = barMode;
  std::string text = ComposeLogText(s);
  if (locked) s.lock.unlock();
  return text;
}

}  // namespace kavrix
