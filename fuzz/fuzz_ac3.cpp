// AC3 and E-AC3: the frame and access-unit parsers on the raw input, then the reader and
// the two editors behind it.
#include <vector>

#include "audio/voxAc3.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavrix;
  fuzz::QuietConsole();
  std::vector<uint8_t> copy(data, data + size);
  TAc3FrameInfo frame;
  ParseAc3Frame(copy.data(), copy.size(), &frame, true);
  TAc3UnitInfo unit;
  ParseAc3AccessUnit(copy.data(), copy.size(), 0, unit, true);
  UpStreamPtr reader = CreateAc3Reader(nullptr, false, false);
  UpStreamPtr remover = CreateAc3DialnormRemover();
  remover->SetUpstream(CreateEac3CoreExtractor());
  reader->SetUpstream(remover);
  fuzz::FeedChain(reader, data, size);
  return 0;
}
