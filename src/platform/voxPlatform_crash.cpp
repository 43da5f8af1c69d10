#include "platform/voxPlatform_crash.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <exception>

#include "platform/voxPlatform_console.h"

namespace kavrix::platform {

namespace {

std::atomic<TCrashCallback> g_callback{nullptr};
std::atomic<bool> g_crashing{false};
std::atomic<bool> g_colourReset{false};
alignas(16) char g_altStack[64 * 1024];

[[noreturn]] void CrashReaction() {
  if (g_crashing.exchange(true)) ::_exit(1);  // a crash while reporting a crash
  if (TCrashCallback callback = g_callback.load()) callback();
  ::_exit(1);
}

void FatalSignalHandler(int) {
  CrashReaction();
}

void TerminateHandler() {
  CrashReaction();
}

void InterruptHandler(int sig) {
  if (g_colourReset.load()) {
    static const char kReset[] = "\x1b[0m";
    WriteAll(kStdOut, kReset, sizeof kReset - 1);
  }
  // The handler was registered with SA_RESETHAND: the signal's default action is back, and
  // the raised signal ends the process once this handler returns.
  ::raise(sig);
}

}  // namespace

void InstallCrashHandlers(TCrashCallback callback) {
  g_callback.store(callback);
  std::set_terminate(&TerminateHandler);

  stack_t stack;
  std::memset(&stack, 0, sizeof stack);
  stack.ss_sp = g_altStack;
  stack.ss_size = sizeof g_altStack;
  ::sigaltstack(&stack, nullptr);

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = &FatalSignalHandler;
  sigemptyset(&action.sa_mask);
  // SA_NODEFER: a second fault inside the handler re-enters it and ends the process.
  action.sa_flags = SA_ONSTACK | SA_NODEFER;
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::sigaction(sig, &action, nullptr);
}

void CrashNow() {
  CrashReaction();
}

void IgnoreBrokenPipe() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

void InstallInterruptHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = &InterruptHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

void SetColourResetNeeded(bool needed) {
  g_colourReset.store(needed);
}

void ExitImmediately(int code) {
  ::_exit(code);
}

}  // namespace kavrix::platform
