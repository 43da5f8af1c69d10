// Runs an AC3 file through the (E-)AC3 reader, or the reader and the dialnorm remover into a
// destination file, and prints the time taken.
// Usage: bench_ac3 reader FILE | bench_ac3 dialnorm FILE OUT
#include <chrono>
#include <cstdio>
#include <string>

#include "audio/voxAc3.h"
#include "core/voxUpStream.h"
#include "io/voxFileStream.h"
#include "io/voxFileStream_dest.h"

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc < 3 || (mode != "reader" && mode != "dialnorm") || (mode == "dialnorm" && argc < 4)) {
    std::fprintf(stderr, "usage: bench_ac3 reader FILE | bench_ac3 dialnorm FILE OUT\n");
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  kavrix::UpStreamPtr source = kavrix::CreateSourceFiles({argv[2]}, 0, 0, 0, false, 24000, 1001);
  kavrix::UpStreamPtr reader = kavrix::CreateAc3Reader(nullptr, false, false);
  source->SetUpstream(reader);
  if (mode == "reader") {
    reader->SetUpstream(kavrix::CreateFileSimulator());
  } else {
    kavrix::UpStreamPtr remover = kavrix::CreateAc3DialnormRemover();
    reader->SetUpstream(remover);
    remover->SetUpstream(kavrix::CreateDestFile(argv[3]));
  }
  source->Silence(true);
  const bool ok = source->ProcessData(0, false, nullptr, 0, kavrix::kNoTimeStamp, false);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s %s %.3f s\n", ok ? "ok" : "FAILED", mode.c_str(), seconds);
  return ok ? 0 : 1;
}
