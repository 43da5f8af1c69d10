#pragma once
// The reaction to unexpected failures and to signals.
namespace kavrix::platform {

// Called once when the process crashes (an exception nobody caught, std::terminate, or a
// fatal signal). It should report and write the log files with as little work as possible;
// afterwards the process ends with exit code 1. A crash inside the callback ends the
// process at once with code 1.
using TCrashCallback = void (*)();

// Registers the callback with std::set_terminate and with handlers for SIGSEGV, SIGBUS,
// SIGFPE and SIGILL that run on an alternate stack (so a stack overflow is caught too).
void InstallCrashHandlers(TCrashCallback callback);

// Runs the crash reaction now: the callback, then the end of the process with code 1.
[[noreturn]] void CrashNow();

// Writes to a closed pipe fail with an error instead of ending the process.
void IgnoreBrokenPipe();

// SIGINT and SIGTERM reset the terminal's colours (when colours are in use) and then end
// the process as the signal normally does.
void InstallInterruptHandlers();
// Tells the interrupt handler whether colour sequences were sent to standard output.
void SetColourResetNeeded(bool needed);

// Ends the process at once with the code (no destructors, no buffered streams).
[[noreturn]] void ExitImmediately(int code);

}  // namespace kavrix::platform
