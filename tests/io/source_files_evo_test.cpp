// Program streams built byte by byte: HD DVD style VC-1 (stream id 0xFD) with navigation
// packets, and the bounds of the program stream walk.
#include <gtest/gtest.h>

#include "source_test_util.h"

namespace kavrix::testing {
namespace {

using Bytes = std::string;

Bytes Be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

Bytes Pack() {
  Bytes p = {0, 0, 1, char(0xBA), 0x44, 0, 4, 0, 4, 1, 1, char(0x89), char(0xC3), char(0xF8)};
  return p;
}

Bytes Pes(uint8_t id, uint32_t pts, size_t payload) {
  const uint64_t v = pts;
  Bytes h = {0, 0, 1, char(id)};
  const size_t length = 3 + 5 + payload;
  h += {char(length >> 8), char(length), char(0x81), char(0x80), 5};
  h += {char(0x21 | ((v >> 29) & 0x0E)), char(v >> 22), char(((v >> 14) & 0xFE) | 1), char(v >> 7),
        char((v << 1) | 1)};
  h += Bytes(payload, char(0xAA));
  return h;
}

// A navigation packet (private stream 2, first payload byte 1) with the object's times.
Bytes Nav(uint32_t start, uint32_t end, size_t payload = 1000) {
  Bytes body(payload, 0);
  body[0] = 1;
  if (payload >= 53) {
    body.replace(45, 4, Be32(start));
    body.replace(49, 4, Be32(end));
  }
  Bytes h = {0, 0, 1, char(0xBF), char(payload >> 8), char(payload)};
  return h + body;
}

// Packs of 2048 bytes: pack header, one packet, padding packet.
Bytes Sector(const Bytes& packet) {
  Bytes s = Pack() + packet;
  const size_t rest = 2048 - s.size();
  s += {0, 0, 1, char(0xBE), char((rest - 6) >> 8), char(rest - 6)};
  s += Bytes(rest - 6, char(0xFF));
  return s;
}

TEST(SourceEvoScan, NavigationPacketsAndTimeStamps) {
  TTempDir tmp;
  const Bytes video1 = Sector(Pes(0xFD, 5000, 500)), video2 = Sector(Pes(0xFD, 8000, 500));
  const Bytes audio = Sector(Pes(0xBD, 9000, 500));
  struct TCase {
    const char* name;
    Bytes data;
    int64_t first, last;
    uint64_t length;
  } cases[] = {
      // Navigation length and first video time found: the scan stops; no last time stamp,
      // so the navigation length counts.
      {"navigation", Sector(Nav(1000, 91000)) + video1 + video2 + audio, 5000, -1, 90000},
      // A navigation end below its start wraps by 15 * 2^32.
      {"navigationWrap", Sector(Nav(91000, 1000)) + video1 + video2, 5000, -1,
       (uint64_t(15) << 32) - 90000},
      // A navigation packet too short for its times does not count; the tail gives the end.
      {"shortNavigation", Sector(Nav(1000, 91000, 40)) + video1 + video2 + audio, 5000, 8000, 3000},
      // A last packet whose length runs past the file ends the walk without harm.
      {"truncated", video1 + video2 + Pack() + Pes(0xE0, 12000, 3000).substr(0, 100), 5000, 8000,
       3000},
      // Audio only: the first and last of any stream.
      {"audioOnly", Sector(Pes(0xC0, 100, 10)) + Sector(Pes(0xC0, 700, 10)), 100, 700, 600},
  };
  for (const TCase& c : cases) {
    const std::string file = tmp.File(std::string(c.name) + ".evo");
    WriteAll(file, c.data);
    auto source = Open({file});
    ASSERT_TRUE(source->GetOk()) << c.name;
    EXPECT_TRUE(source->IsEvo()) << c.name;
    EXPECT_EQ(source->ContainerId(), "evo") << c.name;
    EXPECT_EQ(source->FirstTimeStamp(0), c.first) << c.name;
    EXPECT_EQ(source->LastTimeStamp(0), c.last) << c.name;
    EXPECT_EQ(source->Length(), c.length) << c.name;
  }
}

TEST(SourceEvoScan, ForeignCodeInALaterPartMakesTheLengthUnknown) {
  TTempDir tmp;
  const std::string a = tmp.File("a.evo"), b = tmp.File("b.evo");
  WriteAll(a, Sector(Pes(0xE0, 5000, 100)) + Sector(Pes(0xE0, 9000, 100)));
  WriteAll(b, Bytes(100, 0) + Bytes("\x00\x00\x01\xB3", 4) + Bytes(3000, 1));
  auto source = Open({a, b});
  ASSERT_TRUE(source->GetOk());
  EXPECT_TRUE(source->IsEvo());
  EXPECT_TRUE(source->LengthUnknown());
  EXPECT_EQ(source->Length(), 0u);
  // The first part alone is measured.
  auto first = Open({a});
  EXPECT_FALSE(first->LengthUnknown());
  EXPECT_EQ(first->Length(), 4000u);
}

TEST(SourceScan, PacketSizeDetection) {
  struct TCase {
    const char* name;
    size_t size, spacing, offset;
    uint32_t expected;
  } cases[] = {
      {"ts", 188 * 20, 188, 0, 188},
      {"m2ts", 192 * 20, 192, 4, 192},
      {"neither", 192 * 20, 100, 0, 0},
      {"tooShort", 192 * 9, 188, 0, 0},
  };
  for (const TCase& c : cases) {
    std::string data(c.size, '\0');
    for (size_t k = c.offset; k < c.size; k += c.spacing) data[k] = 0x47;
    EXPECT_EQ(DetectPacketSize(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
              c.expected)
        << c.name;
  }
  // Sync bytes everywhere fit both spacings until the data runs out: undecided.
  const std::string all(192 * 1000, 0x47);
  EXPECT_EQ(DetectPacketSize(reinterpret_cast<const uint8_t*>(all.data()), all.size()), 0u);
}

}  // namespace
}  // namespace kavrix::testing
