// Reads files through the source file set into a file simulator and prints the time taken.
// Usage: bench_source FILE [FILE...]
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/voxUpStream.h"
#include "io/voxFileStream.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_source FILE [FILE...]\n");
    return 1;
  }
  std::vector<std::string> files(argv + 1, argv + argc);
  const auto start = std::chrono::steady_clock::now();
  kavrix::UpStreamPtr source = kavrix::CreateSourceFiles(files, 0, 0, 0, false, 24000, 1001);
  auto sink = kavrix::CreateFileSimulator();
  source->SetUpstream(sink);
  source->Silence(true);
  const bool ok = source->ProcessData(0, false, nullptr, 0, kavrix::kNoTimeStamp, false);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto* simulator = kavrix::Query<kavrix::ISeekableUpStream>(sink);
  std::printf("%s %llu bytes in %.3f s\n", ok ? "ok" : "FAILED",
              static_cast<unsigned long long>(simulator ? simulator->GetSize() : 0), seconds);
  return ok ? 0 : 1;
}
