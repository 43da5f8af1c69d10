// The channel modder: remap strings and "bluray", maps with an output mask, the automatic
// back-to-side relabelling with its reorder, every sample width with blocks cut inside frames,
// refused parameters and formats, and blocks handed on uncopied when nothing moves.
#include <gtest/gtest.h>

#include <memory>

#include "pcm/voxRaw_channels.h"
#include "raw_test_support.h"

namespace kavrix {
namespace {

using test::Bytes;
using test::TBlockRecorder;

// Frames of `channels` samples of `width` bytes; every sample's bytes tell its frame and
// channel apart (byte i of sample (f, c) is f * 16 + c + i * 64, modulo 256).
Bytes Frames(size_t frames, size_t channels, size_t width) {
  Bytes b;
  for (size_t f = 0; f < frames; ++f)
    for (size_t c = 0; c < channels; ++c)
      for (size_t i = 0; i < width; ++i) b.push_back(uint8_t(f * 16 + c + i * 64));
  return b;
}

// What a modder with this map must produce from Frames(frames, inChannels, width).
Bytes Remapped(size_t frames, size_t inChannels, size_t width, const std::vector<uint32_t>& map) {
  const Bytes in = Frames(frames, inChannels, width);
  Bytes out;
  for (size_t f = 0; f < frames; ++f)
    for (uint32_t c : map) {
      const uint8_t* s = in.data() + (f * inChannels + c) * width;
      out.insert(out.end(), s, s + width);
    }
  return out;
}

struct TRun {
  std::shared_ptr<TBlockRecorder> sink = std::make_shared<TBlockRecorder>();
  UpStreamPtr node;
  test::TConsoleCapture console;
  bool opened = false;

  TRun(UpStreamPtr modder, uint32_t channels, uint32_t mask, const std::string& format = "pcm",
       uint32_t bits = 16)
      : node(std::move(modder)) {
    node->SetUpstream(sink);
    opened = node->OpenAudio(format, channels, mask, bits, 48000, false, 1000);
  }
};

TEST(ChannelModder, RemapStringsReorderTheChannels) {
  struct TCase {
    std::string remap;
    uint32_t channels;
    std::vector<uint32_t> map;
  };
  const TCase cases[] = {
      {"0,2,1,4,5,3", 6, {0, 2, 1, 4, 5, 3}},
      {"0,2,1", 6, {0, 2, 1, 3, 4, 5}},         // the rest keeps its place
      {"bluray", 8, {0, 1, 2, 7, 4, 5, 3, 6}},  //
      {"bluray", 6, {0, 1, 2, 5, 3, 4}},        //
      {"1,0,3,2", 2, {1, 0}},                   // cut to the channel count
      {"2,1,0,", 3, {2, 1, 0}},                 // a trailing separator is ignored
      {"1,0,1", 3, {1, 0, 1}},                  // duplicates
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.remap);
    TRun run(CreateChannelModder(c.remap), c.channels, 0x3F);
    ASSERT_TRUE(run.opened) << run.console.Text();
    EXPECT_EQ(run.sink->channels, c.channels);
    EXPECT_NE(run.console.Text().find("Remapping channels..."), std::string::npos);
    const Bytes in = Frames(10, c.channels, 2);
    ASSERT_TRUE(test::FeedInBlocks(*run.node, in, {7}));
    EXPECT_EQ(run.sink->bytes, Remapped(10, c.channels, 2, c.map));
  }
}

TEST(ChannelModder, RefusesMapsOutsideTheInput) {
  struct TCase {
    UpStreamPtr node;
    uint32_t channels;
    std::string message;
  };
  const TCase cases[] = {
      {CreateChannelModder("0,6"), 6, "(6/6)"},
      {CreateChannelModder("0,-1"), 6, "(6/-3)"},   // '-' is no digit
      {CreateChannelModder(" 0,1"), 2, "(2/-16)"},  // misplaced: ' ' is read as an entry
      {CreateChannelModder("x"), 6, "(6/72)"},
      {CreateChannelModder(std::vector<uint32_t>{0, 2}, 0), 2, "(2/2)"},
      {CreateChannelModder(std::vector<uint32_t>{}, 0), 2, "(2/)"},
  };
  for (const TCase& c : cases) {
    TRun run(c.node, c.channels, 0);
    EXPECT_FALSE(run.opened);
    EXPECT_FALSE(run.node->GetOk());
    EXPECT_NE(run.console.Text().find("The channel modder was started with incorrect parameters " +
                                      c.message + "."),
              std::string::npos)
        << run.console.Text();
  }
}

TEST(ChannelModder, MapFormPicksChannelsUnderTheOutputMask) {
  struct TCase {
    std::vector<uint32_t> map;
    uint32_t mask;
    uint32_t announcedMask;
  };
  const TCase cases[] = {
      {{2}, 0x4, 0x4},                    // the centre alone
      {{5, 4, 3, 2, 1, 0}, 0x3F, 0x60F},  // reversed; 0x3F is relabelled on the way out
      {{0, 1}, 0, 0x3},                   // no mask: the default of two channels
      {{0, 1, 2, 3, 4, 5}, 0, 0x60F},     // no mask, same count: the input's
      {{0, 1, 2, 3, 4, 5, 2}, 0x70F, 0x70F},
  };
  for (const TCase& c : cases) {
    TRun run(CreateChannelModder(c.map, c.mask), 6, 0x60F, "pcm", 24);
    ASSERT_TRUE(run.opened) << run.console.Text();
    EXPECT_EQ(run.sink->channels, c.map.size());
    EXPECT_EQ(run.sink->channelMask, c.announcedMask);
    EXPECT_EQ(run.sink->bits, 24u);
    ASSERT_TRUE(test::FeedInBlocks(*run.node, Frames(9, 6, 3), {5, 1, 17}));
    EXPECT_EQ(run.sink->bytes, Remapped(9, 6, 3, c.map));
  }
}

TEST(ChannelModder, AutomaticModeTurnsBackChannelsIntoSideChannels) {
  struct TCase {
    uint32_t channels;
    uint32_t mask;
    uint32_t announcedMask;
    std::vector<uint32_t> map;  // empty: data untouched
  };
  const TCase cases[] = {
      {7, 0x13F, 0x70F, {0, 1, 2, 3, 6, 4, 5}},     // back centre moves before the sides
      {8, 0xFF, 0x6CF, {0, 1, 2, 3, 6, 7, 4, 5}},   // the centre pair, too
      {4, 0x131, 0x701, {0, 3, 1, 2}},              //
      {8, 0x93F, 0xF0F, {0, 1, 2, 3, 6, 4, 5, 7}},  // top centre stays behind the sides
      {6, 0x3F, 0x60F, {}},                         //
      {4, 0x33, 0x603, {}},                         //
      {8, 0x63F, 0x63F, {}},                        // sides present: nothing changes
      {2, 0x30, 0x600, {}},                         //
      {8, 0x13F, 0x13F, {}},                        // mask does not name every channel
      {6, 0, 0, {}},                                //
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.mask);
    TRun run(CreateChannelModder(), c.channels, c.mask);
    ASSERT_TRUE(run.opened) << run.console.Text();
    EXPECT_EQ(run.sink->channels, c.channels);
    EXPECT_EQ(run.sink->channelMask, c.announcedMask);
    const Bytes in = Frames(6, c.channels, 2);
    ASSERT_TRUE(test::FeedInBlocks(*run.node, in, {11}));
    EXPECT_EQ(run.sink->bytes, c.map.empty() ? in : Remapped(6, c.channels, 2, c.map));
  }
}

TEST(ChannelModder, HandsBlocksOnUncopiedWhenNothingMoves) {
  const UpStreamPtr modders[] = {CreateChannelModder(), CreateChannelModder("0,1,2"),
                                 CreateChannelModder(std::vector<uint32_t>{0, 1, 2}, 0x7)};
  for (const UpStreamPtr& modder : modders) {
    TRun run(modder, 3, 0x7);
    ASSERT_TRUE(run.opened);
    const Bytes in = Frames(4, 3, 2);
    ASSERT_TRUE(run.node->ProcessData(0, false, in.data(), 5, 77, true));  // inside a sample
    ASSERT_EQ(run.sink->blocks.size(), 1u);
    EXPECT_EQ(run.sink->blocks[0].pointer, in.data());
    EXPECT_EQ(run.sink->blocks[0].size, 5u);
    EXPECT_EQ(run.sink->blocks[0].timeStamp, 77);
    EXPECT_TRUE(run.sink->blocks[0].boundary);
  }
}

TEST(ChannelModder, EveryWidthSurvivesBlocksCutInsideSamples) {
  struct TFormat {
    const char* id;
    uint32_t bits;
  };
  const TFormat formats[] = {{"pcm", 8},  {"pcm", 16},   {"pcm", 24},
                             {"pcm", 32}, {"float", 32}, {"float", 64}};
  const std::vector<uint32_t> map = {2, 0, 0, 1};  // more outputs than inputs
  for (const TFormat& f : formats) {
    SCOPED_TRACE(f.bits);
    const size_t width = f.bits / 8;
    TRun run(CreateChannelModder(map, 0x33), 3, 0x7, f.id, f.bits);
    ASSERT_TRUE(run.opened) << run.console.Text();
    const Bytes in = Frames(50, 3, width);
    ASSERT_TRUE(test::FeedInBlocks(*run.node, in, {1, 2, 7, 13, 64, 3}));
    EXPECT_EQ(run.sink->bytes, Remapped(50, 3, width, map));
    for (const auto& block : run.sink->blocks) EXPECT_EQ(block.size % (4 * width), 0u);
  }
}

TEST(ChannelModder, RefusesUnsupportedFormatsAndDataWithoutFormat) {
  struct TCase {
    const char* id;
    uint32_t channels;
    uint32_t bits;
  };
  const TCase cases[] = {{"pcm", 2, 20}, {"float", 2, 16}, {"pcm", 0, 16}, {"ac3", 2, 16}};
  for (const TCase& c : cases) {
    TRun run(CreateChannelModder("1,0"), c.channels, 0x3, c.id, c.bits);
    EXPECT_FALSE(run.opened);
    EXPECT_NE(run.console.Text().find("The channel modder received a non-supported data format."),
              std::string::npos);
  }
  test::TConsoleCapture console;
  UpStreamPtr modder = CreateChannelModder();
  modder->SetUpstream(std::make_shared<TBlockRecorder>());
  const uint8_t byte = 0;
  EXPECT_FALSE(modder->ProcessData(0, false, &byte, 1, kNoTimeStamp, false));
  EXPECT_NE(console.Text().find("The channel modder didn't receive the format information."),
            std::string::npos);
  UpStreamPtr loose = CreateChannelModder();
  EXPECT_FALSE(loose->OpenAudio("pcm", 2, 3, 16, 48000, false, 0));
  EXPECT_NE(console.Text().find("The channel modder upstream property is not set."),
            std::string::npos);
}

}  // namespace
}  // namespace kavrix
