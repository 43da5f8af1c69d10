#pragma once
namespace kavrix {
// The top-level run; returns the process exit code.
int RunKavrix(int argc, char** argv);
}  // namespace kavrix
