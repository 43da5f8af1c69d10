#pragma once
// Process services: the clock, outside programs, the process priority, system shutdown
// and sound playing. Clock, priority, shutdown and sound player are replaceable hooks,
// so that tests can observe them without powering a machine off or playing audio.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kavrix::platform {

// Milliseconds of a steady clock (for durations only).
uint64_t NowMilliseconds();
using TClockHook = std::function<uint64_t()>;
TClockHook SetClockHook(TClockHook hook);  // empty restores the steady clock

// Runs a program found on PATH with the argument vector (no shell), its standard streams on
// /dev/null, and waits for it. Returns its exit status, or -1 when it could not be started
// or did not end normally.
int RunProgram(const std::vector<std::string>& args);
// The full name of a program on PATH; empty when there is none.
std::string FindOnPath(const std::string& program);

// Lowers this process to the lowest CPU priority (nice 19) and the idle I/O class. Both are
// per thread on Linux and inherited by threads created later: call it before workers exist.
void SetLowPriority();
using TPriorityHook = std::function<void()>;
TPriorityHook SetPriorityHook(TPriorityHook hook);
void ApplyLowPriority();   // the real work behind the default hook
int GetNiceValue();        // the current thread's nice value
int GetIoPriorityClass();  // 0 none, 1 real time, 2 best effort, 3 idle; -1 on failure

// Asks the system to shut down and power off ("systemctl poweroff", else
// "shutdown -P now"); a failure is ignored. Never forced.
void RequestShutdown();
using TShutdownHook = std::function<void()>;
TShutdownHook SetShutdownHook(TShutdownHook hook);

// Plays a wave file synchronously with the first of pw-play, paplay, "aplay -q" found on
// PATH; nothing happens when the file or a player is missing.
void PlaySoundFile(const std::string& path);
using TSoundHook = std::function<void(const std::string& path)>;
TSoundHook SetSoundHook(TSoundHook hook);

}  // namespace kavrix::platform
