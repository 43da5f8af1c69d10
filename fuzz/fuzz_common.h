#pragma once
// Shared by the fuzz targets: a reader chain fed with the fuzz input in blocks whose sizes
// come from the input itself, so that units straddle deliveries in every way.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/voxUpStream.h"
#include "core/voxUpStream_console.h"

namespace kavrix::fuzz {

// Silences the console once (the readers' messages would flood the fuzzer's output).
inline void QuietConsole() {
  static const bool done = [] {
    SetConsoleSink([](int, std::string_view) {}, false, false);
    return true;
  }();
  (void)done;
}

// Runs head → ... → a byte-counting sink over the data: announcement, blocks, finish. Every
// block is copied into a buffer of exactly its size, so a read past a block shows.
inline void FeedChain(const UpStreamPtr& head, const uint8_t* data, size_t size) {
  head->GetChainEnd()->SetUpstream(CreateFileSimulator());
  if (!head->OpenAudio("?", 1, 1, 8, 48000, false, size)) return;
  size_t at = 0;
  size_t step = size > 0 ? 1 + data[0] % 251 : 1;
  while (at < size) {
    const size_t n = std::min(step, size - at);
    std::vector<uint8_t> block(data + at, data + at + n);
    if (!head->ProcessData(0, false, block.data(), block.size(), -1, false)) return;
    at += n;
    step = step * 7 % 4093 + 1;
  }
  head->Finish(0);
}

}  // namespace kavrix::fuzz
