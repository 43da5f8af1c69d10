// DTS: the frame and substream parsers on the raw input, then both readers over it.
#include <string>
#include <vector>

#include "audio/voxDts.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavrix;
  fuzz::QuietConsole();
  std::vector<uint8_t> copy(data, data + size);  // exactly the input: over-reads show
  std::vector<std::string> listing;
  TDtsFrameInfo frame;
  ParseDtsCoreFrame(copy.data(), copy.size(), frame, &listing, true);
  TDtsHdInfo hd;
  ParseDtsHdSubstream(copy.data(), copy.size(), hd, &listing);
  size_t substream = 0;
  PeekDtsHdSubstreamSize(copy.data(), copy.size(), &substream);
  fuzz::FeedChain(CreateDtsReader(nullptr, false, true, false), data, size);
  fuzz::FeedChain(CreateDtsNoCoreReader(nullptr, true, false), data, size);
  return 0;
}
