#pragma once
// Console services: raw writes to the standard streams and what the terminal can show.
#include <cstddef>
#include <string>

namespace kavrix::platform {

constexpr int kStdOut = 1;
constexpr int kStdErr = 2;

// Writes all bytes to the descriptor, continuing after interruptions and partial writes.
// Returns false when the descriptor refuses (a closed pipe gives false, not a signal).
// Safe to call from a signal handler.
bool WriteAll(int fd, const char* data, size_t size);

// True when the descriptor is a terminal.
bool IsTerminal(int fd);

// True when colour sequences may be sent to the descriptor: it is a terminal, TERM is set
// and not "dumb", and NO_COLOR is unset.
bool ColourWanted(int fd);

// The value of an environment variable; empty when unset.
std::string GetEnvironment(const char* name);

}  // namespace kavrix::platform
