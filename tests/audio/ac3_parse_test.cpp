// Frame headers, access units, checksums and the dialnorm patch.
#include <gtest/gtest.h>

#include <random>

#include "ac3_test_util.h"
#include "audio/voxAc3.h"

namespace kavrix::test {
namespace {

// Frame lengths from the rate tables, including the 44.1 kHz odd sizes and the longest frame.
TEST(Ac3Parse, FrameLengthsAndRates) {
  struct Case {
    uint8_t byte4;  // fscod and frmsizecod
    uint32_t length, rate, bitrate;
  } cases[] = {
      {0x00 | 30, 1792, 48000, 448000},  // 448 kbit/s at 48 kHz
      {0x40 | 1, 140, 44100, 32000},     // 44.1 kHz, frmsizecod 1
      {0x40 | 0, 138, 44100, 32000},     // 44.1 kHz, frmsizecod 0
      {0x80 | 37, 3840, 32000, 640000},  // 640 kbit/s at 32 kHz
  };
  for (const auto& c : cases) {
    Bytes frame(4096, 0);
    frame[0] = 0x0B, frame[1] = 0x77, frame[4] = c.byte4, frame[5] = 8 << 3, frame[6] = 0xE0;
    TAc3FrameInfo f;
    ASSERT_EQ(ParseAc3Frame(frame.data(), frame.size(), &f), kAc3Ok) << int(c.byte4);
    EXPECT_EQ(f.length, c.length);
    EXPECT_EQ(f.sampleRate, c.rate);
    EXPECT_EQ(f.bitrate, c.bitrate);
    EXPECT_EQ(f.samples, 1536u);
    // Shorter than the frame: more data needed, and the length is known already.
    EXPECT_EQ(ParseAc3Frame(frame.data(), c.length - 1, &f), kAc3NeedMore);
    EXPECT_EQ(f.length, c.length);
  }
}

TEST(Ac3Parse, InvalidHeaders) {
  Bytes frame = MakeAc3Frame(30, 7, true, 27);
  TAc3FrameInfo f;
  ASSERT_EQ(ParseAc3Frame(frame.data(), frame.size(), &f), kAc3Ok);
  auto with = [&](size_t at, uint8_t value) {
    Bytes b = frame;
    b[at] = value;
    return ParseAc3Frame(b.data(), b.size(), &f);
  };
  EXPECT_EQ(with(5, 9 << 3), kAc3Invalid);     // bsid 9
  EXPECT_EQ(with(5, 10 << 3), kAc3Invalid);    // bsid 10
  EXPECT_EQ(with(5, 17 << 3), kAc3Invalid);    // bsid 17
  EXPECT_EQ(with(4, 0xC0 | 30), kAc3Invalid);  // fscod 3
  EXPECT_EQ(with(4, 38), kAc3Invalid);         // frmsizecod 38
  EXPECT_EQ(with(1, 0x78), kAc3Invalid);       // no sync word
  EXPECT_EQ(ParseAc3Frame(frame.data(), 7, &f), kAc3NeedMore);
  // The plain AC3 branch meets an E-AC3 bsid.
  Bytes e = MakeEac3Frame(512, 0, 3, 7, true, 20);
  EXPECT_EQ(ParseAc3Bsi(e.data(), e.size(), &f), kAc3EnhancedBsid);
  EXPECT_EQ(ParseAc3Frame(e.data(), e.size(), &f), kAc3Ok);
  EXPECT_TRUE(f.eac3);
  EXPECT_EQ(f.bsid, 16);
  // fscod 3 with fscod2 3, and a frame too short to hold its own header.
  e[4] = 0xF0 | (e[4] & 0x0F);
  EXPECT_EQ(ParseAc3Frame(e.data(), e.size(), &f), kAc3BadRate);
  Bytes tiny = MakeEac3Frame(512, 0, 3, 7, true, 20);
  tiny[2] &= 0xF8, tiny[3] = 0;  // frmsiz 0: 2 bytes
  EXPECT_EQ(ParseAc3Frame(tiny.data(), tiny.size(), &f), kAc3Invalid);
  uint8_t copy[512];
  std::copy(tiny.begin(), tiny.end(), copy);
  EXPECT_EQ(PatchAc3Dialnorm(copy, sizeof copy), kAc3Invalid);
  EXPECT_TRUE(std::equal(tiny.begin(), tiny.end(), copy));
}

// Layout, channels, mask and text of every acmod, in AC3 and E-AC3 alike.
TEST(Ac3Parse, ChannelLayouts) {
  struct Case {
    uint32_t acmod;
    bool lfe;
    uint32_t channels, mask;
    const char* text;
  } cases[] = {
      {0, false, 2, 0x4, "1+1"},   {0, true, 3, 0xC, "1+1.1"},   {1, false, 1, 0x4, "1.0"},
      {2, false, 2, 0x3, "2.0"},   {2, true, 3, 0xB, "2.1"},     {3, false, 3, 0x7, "3.0"},
      {4, false, 3, 0x103, "2/1"}, {4, true, 4, 0x10B, "2/1.1"}, {5, false, 4, 0x107, "3/1"},
      {6, false, 4, 0x603, "2/2"}, {7, false, 5, 0x607, "5.0"},  {7, true, 6, 0x60F, "5.1"},
  };
  for (const auto& c : cases) {
    for (bool eac3 : {false, true}) {
      const Bytes frame = eac3 ? MakeEac3Frame(768, 0, 3, c.acmod, c.lfe, 20)
                               : MakeAc3Frame(20, c.acmod, c.lfe, 20);
      TAc3FrameInfo f;
      ASSERT_EQ(ParseAc3Frame(frame.data(), frame.size(), &f), kAc3Ok);
      EXPECT_EQ(f.channels, c.channels) << c.text;
      EXPECT_EQ(f.channelMask, c.mask) << c.text;
      EXPECT_EQ(f.dialnorm, 20u) << c.text;
      EXPECT_EQ(Ac3ChannelText(f.acmod, f.lfe), c.text);
    }
  }
  EXPECT_EQ(Ac3ChannelText(7, true, true), "7.1");
  EXPECT_EQ(Ac3ChannelText(2, false, true), "2.0+2.0");
}

// E-AC3 blocks per frame and reduced rates: the samples and the bit rate follow them.
TEST(Ac3Parse, Eac3BlocksAndRates) {
  struct Case {
    uint32_t fscod, numblk, rate, samples;
  } cases[] = {{0, 0, 48000, 256},  {0, 1, 48000, 512},  {0, 2, 48000, 768},
               {0, 3, 48000, 1536}, {1, 3, 44100, 1536}, {2, 3, 32000, 1536},
               {3, 0, 24000, 1536}, {3, 1, 22050, 1536}, {3, 2, 16000, 1536}};
  for (const auto& c : cases) {
    const Bytes frame = MakeEac3Frame(640, c.fscod, c.numblk, 2, false, 31);
    TAc3FrameInfo f;
    ASSERT_EQ(ParseAc3Frame(frame.data(), frame.size(), &f), kAc3Ok);
    EXPECT_EQ(f.sampleRate, c.rate);
    EXPECT_EQ(f.samples, c.samples);
    EXPECT_EQ(f.bitrate, uint32_t(uint64_t(640) * 8 * c.rate / c.samples));
  }
}

// The checksums ffmpeg wrote hold under our CRC, and recomputing them gives the same bytes.
TEST(Ac3Parse, ChecksumsOfRealFrames) {
  for (const char* name : {"ac3_51_448.ac3", "ac3_441_192.ac3", "ac3_441_32.ac3", "ac3_32k_640.ac3",
                           "lay_mono.ac3", "eac3_51_640.eac3"}) {
    const auto frames = SplitFrames(Fixture(name));
    ASSERT_FALSE(frames.empty()) << name;
    for (const Bytes& frame : frames) {
      const bool eac3 = (frame[5] >> 3) > 10;
      ASSERT_TRUE(CrcsHold(frame.data(), frame.size(), eac3)) << name;
      Bytes broken = frame;
      if (!eac3) broken[2] ^= 0x5A, broken[3] ^= 0x33;  // crc1
      broken[frame.size() - 1] ^= 0x81;
      UpdateAc3Crcs(broken.data(), broken.size(), eac3);
      ASSERT_EQ(broken, frame) << name;
    }
  }
  // The CRC itself: the usual check value of this polynomial (no reflection, init 0).
  const char* check = "123456789";
  EXPECT_EQ(Ac3Crc16(reinterpret_cast<const uint8_t*>(check), 9), 0xFEE8);
}

TEST(Ac3Parse, AccessUnits) {
  const Bytes core = MakeEac3Frame(1024, 0, 3, 7, true, 24);
  const Bytes stereo = MakeEac3Frame(512, 0, 3, 2, false, 31);
  Bytes dep = MakeRearPairFrame(stereo);
  const Bytes ac3 = MakeAc3Frame(28, 7, true, 27);
  TAc3UnitInfo info;

  // A lone dependent frame before the first core frame is skipped; the unit is core + pair.
  Bytes s = dep;
  for (int i = 0; i < 2; ++i)
    s.insert(s.end(), core.begin(), core.end()), s.insert(s.end(), dep.begin(), dep.end());
  ASSERT_EQ(ParseAc3AccessUnit(s.data(), s.size(), 0, info), 0);
  EXPECT_EQ(info.skipped, dep.size());
  EXPECT_EQ(info.length, core.size() + dep.size());
  EXPECT_EQ(info.channels, 8u);
  EXPECT_EQ(info.channelMask, 0x63Fu);
  EXPECT_EQ(info.ChannelText(), "7.1");
  EXPECT_EQ(info.core.channels, 6u);
  EXPECT_EQ(info.CoreChannelText(), "5.1");
  EXPECT_EQ(info.bitrate, uint32_t(uint64_t(info.core.bitrate) * info.length / core.size()));
  EXPECT_TRUE(info.anyEac3 && info.firstIsEac3);

  // The last unit of the data: complete only when its length is the expected one.
  const Bytes last(s.begin() + long(dep.size() + core.size() + dep.size()), s.end());
  EXPECT_EQ(ParseAc3AccessUnit(last.data(), last.size(), 0, info), kAc3UnitIncomplete);
  EXPECT_EQ(ParseAc3AccessUnit(last.data(), last.size(), last.size(), info), 0);
  // Fewer than six bytes of a following frame cannot tell whether a unit starts there.
  Bytes cut = last;
  cut.insert(cut.end(), core.begin(), core.begin() + 5);
  EXPECT_EQ(ParseAc3AccessUnit(cut.data(), cut.size(), last.size(), info), kAc3UnitIncomplete);
  cut.push_back(core[5]);
  EXPECT_EQ(ParseAc3AccessUnit(cut.data(), cut.size(), last.size(), info), 0);

  // An AC3 core with an E-AC3 dependent frame (Blu-ray style): AC3 first, E-AC3 in the unit.
  Bytes mixed = ac3;
  mixed.insert(mixed.end(), dep.begin(), dep.end());
  mixed.insert(mixed.end(), ac3.begin(), ac3.begin() + 8);
  ASSERT_EQ(ParseAc3AccessUnit(mixed.data(), mixed.size(), 0, info), 0);
  EXPECT_FALSE(info.firstIsEac3);
  EXPECT_TRUE(info.anyEac3);
  EXPECT_EQ(info.channels, 8u);
  // A damaged frame inside the unit ends the walk with the frame's code.
  mixed[ac3.size() + 1] = 0;
  EXPECT_EQ(ParseAc3AccessUnit(mixed.data(), mixed.size(), 0, info), kAc3Invalid);
}

// The surround flags of both branches, from hand-built and real frames.
TEST(Ac3Parse, SurroundFlags) {
  struct Case {
    const char* file;
    bool ex, headphone, surround;
  } cases[] = {{"ac3_dsur.ac3", false, false, true},
               {"ac3_dheadphone.ac3", false, true, false},
               {"ac3_dsurex.ac3", true, false, false},
               {"ac3_51_448.ac3", false, false, false},
               {"eac3_51_640.eac3", false, false, false}};
  for (const auto& c : cases) {
    const Bytes data = Fixture(c.file);
    TAc3FrameInfo f;
    ASSERT_EQ(ParseAc3Frame(data.data(), data.size(), &f, true), kAc3Ok) << c.file;
    EXPECT_EQ(f.ex, c.ex) << c.file;
    EXPECT_EQ(f.headphone, c.headphone) << c.file;
    EXPECT_EQ(f.surround, c.surround) << c.file;
  }
  // E-AC3 informational metadata behind mixing metadata: stereo with Surround and Headphone,
  // 7 channels with EX.
  auto eac3 = [](uint32_t acmod, uint32_t dsur, uint32_t dheadphone, uint32_t dsurex) {
    TBitWriter w;
    w.Put(0x0B77, 16), w.Put(0, 5), w.Put(255, 11);
    w.Put(0, 2), w.Put(3, 2), w.Put(acmod, 3), w.Put(1, 1), w.Put(16, 5), w.Put(27, 5);
    w.Put(1, 1), w.Put(0x55, 8);  // compre, compr
    w.Put(1, 1);                  // mixmdate
    if (acmod > 2) w.Put(1, 2);
    if ((acmod & 1) && acmod > 2) w.Put(0x3F, 6);
    if (acmod >= 4) w.Put(0x3F, 6);
    w.Put(1, 1), w.Put(7, 5);                       // lfemixlevcode
    w.Put(1, 1), w.Put(9, 6);                       // pgmscl
    w.Put(0, 1);                                    // extpgmscle
    w.Put(3, 2), w.Put(1, 5), w.Put(0xABCDEF, 24);  // mixdef 3: 3 bytes
    w.Put(1, 1);                                    // frmmixcfginfoe
    for (int b = 0; b < 6; ++b) w.Put(1, 1), w.Put(b, 5);
    w.Put(1, 1), w.Put(0, 5);  // infomdate, bsmod and flags
    if (acmod == 2) w.Put(dsur, 2), w.Put(dheadphone, 2);
    if (acmod >= 6) w.Put(dsurex, 2);
    Bytes frame = w.Take(512);
    UpdateAc3Crcs(frame.data(), frame.size(), true);
    return frame;
  };
  TAc3FrameInfo f;
  Bytes a = eac3(2, 2, 2, 0);
  ASSERT_EQ(ParseAc3Frame(a.data(), a.size(), &f, true), kAc3Ok);
  EXPECT_TRUE(f.surround && f.headphone && !f.ex);
  Bytes b = eac3(7, 0, 0, 2);
  ASSERT_EQ(ParseAc3Frame(b.data(), b.size(), &f, true), kAc3Ok);
  EXPECT_TRUE(f.ex && !f.surround && !f.headphone);
  Bytes c = eac3(7, 0, 0, 1);
  ASSERT_EQ(ParseAc3Frame(c.data(), c.size(), &f, true), kAc3Ok);
  EXPECT_FALSE(f.ex);
}

// The patch sets dialnorm (and a 1+1 frame's second dialnorm) to 31, touches nothing else but
// the checksums, and leaves a frame at 31 alone.
TEST(Ac3Parse, DialnormPatch) {
  struct Case {
    Bytes frame;
    bool eac3;
  } cases[] = {
      {MakeAc3Frame(20, 7, true, 27), false},        {MakeAc3Frame(20, 2, false, 0), false},
      {MakeAc3Frame(20, 0, false, 12), false},       {MakeAc3Frame(20, 5, true, 1), false},
      {MakeEac3Frame(512, 0, 3, 7, true, 24), true}, {MakeEac3Frame(512, 0, 1, 0, false, 5), true}};
  for (auto& c : cases) {
    Bytes patched = c.frame;
    size_t length = 0;
    ASSERT_EQ(PatchAc3Dialnorm(patched.data(), patched.size(), &length), kAc3Ok);
    EXPECT_EQ(length, c.frame.size());
    TAc3FrameInfo f;
    ASSERT_EQ(ParseAc3Frame(patched.data(), patched.size(), &f), kAc3Ok);
    EXPECT_EQ(f.dialnorm, 31u);
    EXPECT_TRUE(CrcsHold(patched.data(), patched.size(), c.eac3));
    EXPECT_EQ(f.acmod, c.frame[c.eac3 ? 4 : 6] >> (c.eac3 ? 1 : 5) & 7);
    if (f.acmod == 0) {  // the second dialnorm is 31 too: the bits after dialnorm 1
      const Bytes again =
          c.eac3 ? MakeEac3Frame(512, 0, 1, 0, false, 31) : MakeAc3Frame(20, 0, false, 31);
      EXPECT_EQ(patched, again);
    }
    Bytes twice = patched;
    ASSERT_EQ(PatchAc3Dialnorm(twice.data(), twice.size()), kAc3Ok);
    EXPECT_EQ(twice, patched);
  }
}

// The patch carries the checksums along instead of recomputing them: a frame damaged before
// the patch still fails its check afterwards, and passes once the damage is undone.
TEST(Ac3Parse, DialnormPatchKeepsDamageVisible) {
  for (const bool eac3 : {false, true}) {
    for (const size_t at : {size_t(40), size_t(500)}) {  // in the first 5/8 and in the rest
      Bytes frame = eac3 ? MakeEac3Frame(640, 0, 3, 0, false, 3) : MakeAc3Frame(20, 0, false, 3);
      frame[at] ^= 0x10;
      ASSERT_EQ(PatchAc3Dialnorm(frame.data(), frame.size()), kAc3Ok);
      EXPECT_FALSE(CrcsHold(frame.data(), frame.size(), eac3));
      frame[at] ^= 0x10;
      EXPECT_TRUE(CrcsHold(frame.data(), frame.size(), eac3)) << eac3 << " " << at;
    }
  }
}

// Random damage and truncation never make the parsers read outside the data (run under ASan:
// every buffer is an exact-size heap copy).
TEST(Ac3Parse, CorruptInputStaysInBounds) {
  const Bytes seven = MakeEac3SevenOne(Fixture("eac3_51_640.eac3"), Fixture("eac3_20_192.eac3"));
  const Bytes sources[] = {Fixture("ac3_51_448.ac3"), Fixture("ac3_441_32.ac3"), seven};
  std::mt19937 random(7);
  for (const Bytes& source : sources) {
    for (int round = 0; round < 300; ++round) {
      const size_t start = random() % 4000;
      const size_t length = random() % 9000;
      if (start >= source.size()) continue;
      Bytes piece(source.begin() + long(start),
                  source.begin() + long(std::min(source.size(), start + length)));
      for (int flips = int(random() % 6); flips > 0 && !piece.empty(); --flips)
        piece[random() % piece.size()] = uint8_t(random());
      if (piece.size() > 6 && random() % 2) piece[0] = 0x0B, piece[1] = 0x77;
      if (piece.empty()) continue;
      auto heap = std::make_unique<uint8_t[]>(piece.size());
      std::copy(piece.begin(), piece.end(), heap.get());
      TAc3UnitInfo info;
      TAc3FrameInfo f;
      ParseAc3AccessUnit(heap.get(), piece.size(), piece.size(), info, true);
      ParseAc3Frame(heap.get(), piece.size(), &f, true);
      PatchAc3Dialnorm(heap.get(), piece.size());
      PatchAc3UnitDialnorm(heap.get(), piece.size());
    }
  }
}

}  // namespace
}  // namespace kavrix::test
