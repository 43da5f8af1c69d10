#include "pcm/voxWav.h"

#include <cstdio>

namespace kavrix::riff {

const uint8_t kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                              0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
const uint8_t kFloatGuid[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::string GuidText(const uint8_t* g) {
  // The first three groups are little-endian numbers, the last two plain bytes.
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                unsigned(Le32(g)), unsigned(Le16(g + 4)), unsigned(Le16(g + 6)), g[8], g[9], g[10],
                g[11], g[12], g[13], g[14], g[15]);
  return text;
}

}  // namespace kavrix::riff
