// The bit reader and writer.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/voxBits.h"

namespace kavrix {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAllBytes(const Bytes& in, bool emulation) {
  TBitBuffer b;
  InitBitBuffer(b, in.data(), in.size(), emulation);
  Bytes out;
  while (b.byteCount > 0) out.push_back(uint8_t(ReadBits(b, 8)));
  return out;
}

Bytes WriteAllBytes(const Bytes& in, bool emulation) {
  Bytes out(in.size() * 2 + 16);
  TBitBuffer w;
  InitBitWriter(w, out.data(), out.size(), emulation);
  for (uint8_t x : in) WriteBits(w, 8, x);
  out.resize(w.byteCount);
  return out;
}

TEST(Bits, ReadingAtTheEnd) {
  const Bytes zeros(5, 0);
  TBitBuffer b;
  InitBitBuffer(b, zeros.data(), zeros.size(), false);
  EXPECT_TRUE(BitBufferAtEnd(b));
  EXPECT_EQ(ReadBits(b, 8), 0u);

  const Bytes one = {0xFF};
  InitBitBuffer(b, one.data(), 1, false);
  EXPECT_EQ(ReadBits(b, 5), 31u);
  EXPECT_EQ(ReadBits(b, 8), 0u);  // only 3 bits were left
  EXPECT_TRUE(BitBufferAtEnd(b));
  EXPECT_EQ(GetBitCounter(b), 8);
  EXPECT_EQ(ReadBits(b, 0), 0u);
}

TEST(Bits, EmulationPreventionBytes) {
  struct Case {
    Bytes stored, read;
  };
  const Case reading[] = {
      {{0, 0, 3, 1}, {0, 0, 1}},
      {{0, 3, 1}, {0, 3, 1}},
      {{0, 0, 0, 3, 1}, {0, 0, 0, 1}},
  };
  for (const Case& c : reading) EXPECT_EQ(ReadAllBytes(c.stored, true), c.read);
  const Case writing[] = {
      {{0, 0, 3, 1}, {0, 0, 1}},
      {{0, 0, 4}, {0, 0, 4}},
      {{0, 0, 3, 0}, {0, 0, 0}},
  };
  for (const Case& c : writing) EXPECT_EQ(WriteAllBytes(c.read, true), c.stored);
}

TEST(Bits, ExpGolombCodes) {
  uint8_t out[8] = {};
  TBitBuffer w;
  InitBitWriter(w, out, sizeof out, false);
  WriteUE(w, 0);  // 1
  WriteUE(w, 3);  // 00100
  WriteBits(w, 2, 3);
  EXPECT_EQ(FinishWriting(w), 1u);
  EXPECT_EQ(out[0], 0b10010011);

  // Code values 1..4 map to 1, -1, 2, -2.
  uint8_t codes[4] = {};
  InitBitWriter(w, codes, sizeof codes, false);
  for (uint32_t v : {1u, 2u, 3u, 4u}) WriteUE(w, v);
  WriteBits(w, 1, 1);  // keeps the last code away from the trimmed zero tail
  FinishWriting(w);
  TBitBuffer r;
  InitBitBuffer(r, codes, sizeof codes, false);
  for (int32_t expected : {1, -1, 2, -2}) EXPECT_EQ(ReadSE(r), expected);

  struct Interleaved {
    uint8_t byte;
    uint32_t value;
  };
  // Bits 1 / 0 0 1 / 0 1 1, each followed by a stop bit pattern that keeps it non-zero.
  for (const Interleaved& c : {Interleaved{0x80, 0}, Interleaved{0x30, 1}, Interleaved{0x70, 2}}) {
    InitBitBuffer(r, &c.byte, 1, false);
    EXPECT_EQ(ReadInterleavedUE(r), c.value);
  }

  const uint8_t tail[3] = {0x80, 0, 0};
  InitBitWriter(w, out, sizeof out, false);
  for (uint8_t x : tail) WriteBits(w, 8, x);
  EXPECT_EQ(FinishWriting(w), 1u);
}

TEST(Bits, OverlongCodesSetTheErrorFlag) {
  const Bytes data = {0, 0, 0, 0, 0x80, 0xFF};  // 32 zero bits, then a one
  TBitBuffer r;
  InitBitBuffer(r, data.data(), data.size(), false);
  EXPECT_EQ(ReadUE(r), 0xFFFFFFFFu);
  EXPECT_TRUE(r.error);
  InitBitBuffer(r, data.data(), data.size(), false);
  EXPECT_EQ(ReadSE(r), 0);
  EXPECT_TRUE(r.error);
  const Bytes ok = {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF};  // 31 zeros: the longest valid prefix
  InitBitBuffer(r, ok.data(), ok.size(), false);
  EXPECT_EQ(ReadUE(r), 0xFFFFFFFEu);
  EXPECT_FALSE(r.error);
  // A writer never stores beyond its capacity.
  uint8_t small[2];
  TBitBuffer w;
  InitBitWriter(w, small, sizeof small, false);
  WriteBits(w, 32, 0x12345678);
  EXPECT_TRUE(w.error);
  EXPECT_EQ(w.byteCount, 2u);
}

TEST(Bits, RoundTrips) {
  std::mt19937 rng(99);
  // Exp-Golomb values of every length.
  std::vector<uint32_t> values;
  for (int i = 0; i < 2000; ++i) values.push_back(uint32_t(rng()) >> (rng() % 32));
  values.push_back(0xFFFFFFFE);
  Bytes buffer(values.size() * 9 + 8);
  TBitBuffer w;
  InitBitWriter(w, buffer.data(), buffer.size(), true);
  for (uint32_t v : values) WriteUE(w, v);
  WriteBits(w, 1, 1);
  const size_t size = FinishWriting(w);
  TBitBuffer r;
  InitBitBuffer(r, buffer.data(), size, true);
  for (uint32_t v : values) ASSERT_EQ(ReadUE(r), v);

  // Zero-rich bytes survive escaping, and the escaped form holds no 00 00 0x (x < 3).
  for (int round = 0; round < 200; ++round) {
    Bytes plain(rng() % 64 + 1);
    for (auto& x : plain) x = rng() % 3 == 0 ? uint8_t(rng() % 4) : 0;
    plain.back() = 0x80;
    const Bytes escaped = WriteAllBytes(plain, true);
    for (size_t i = 2; i < escaped.size(); ++i)
      if (escaped[i - 2] == 0 && escaped[i - 1] == 0) {
        ASSERT_GE(escaped[i], 3);  // 3 being the inserted escape itself
      }
    ASSERT_EQ(ReadAllBytes(escaped, true), plain);
  }

  // CopyRemainder reproduces the source at every alignment of either side.
  Bytes source(100);
  for (auto& x : source) x = uint8_t(rng());
  source.back() = 0xA5;
  for (int skip = 0; skip < 8; ++skip) {
    for (int lead = 0; lead < 8; ++lead) {
      TBitBuffer s, d;
      InitBitBuffer(s, source.data(), source.size(), false);
      Bytes out(source.size() + 8);
      InitBitWriter(d, out.data(), out.size(), false);
      WriteBits(d, lead, 0);
      CopyBits(s, d, skip);
      CopyRemainder(s, d);
      out.resize(FinishWriting(d));
      TBitBuffer check;
      InitBitBuffer(check, out.data(), out.size(), false);
      ReadBits(check, lead);
      TBitBuffer expect;
      InitBitBuffer(expect, source.data(), source.size(), false);
      while (!BitBufferAtEnd(expect)) ASSERT_EQ(ReadBits(check, 1), ReadBits(expect, 1));
    }
  }
}

}  // namespace
}  // namespace kavrix
