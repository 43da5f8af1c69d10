// The dialnorm remover and the E-AC3 core extractor.
#include <gtest/gtest.h>

#include <set>

#include "ac3_test_util.h"
#include "audio/voxAc3.h"

namespace kavrix::test {
namespace {

// reader → node → sink over a whole stream.
Bytes RunChain(const Bytes& data, const UpStreamPtr& node, bool* ok = nullptr) {
  UpStreamPtr reader = CreateAc3Reader(nullptr, false, false);
  auto sink = std::make_shared<TUnitSink>();
  reader->SetUpstream(node);
  node->SetUpstream(sink);
  const bool result = Feed(reader, data, 7777);
  if (ok) *ok = result;
  return sink->Joined();
}

// The real streams: ffmpeg's CRC check passes, the dialnorm reads back as 31, and only the
// dialnorm fields and the checksums changed.
TEST(Ac3DialnormRemover, PatchesRealStreams) {
  struct Case {
    std::string file;
    std::string notice;
    bool decodable;
  } cases[] = {
      {"ac3_51_448.ac3", "Removing AC3 dialog normalization...", true},
      {"ac3_441_192.ac3", "Skipping AC3 dialog normalization (already at -31 dB)...", true},
      {"eac3_51_640.eac3", "Removing E-AC3 dialog normalization...", true},
      {"seven.eac3", "Removing E-AC3 dialog normalization...", false}};
  TScratch scratch;
  const bool tools = HaveTool("ffmpeg") && HaveTool("mediainfo");
  for (const auto& c : cases) {
    const Bytes input = c.file == "seven.eac3" ? MakeEac3SevenOne(Fixture("eac3_51_640.eac3"),
                                                                  Fixture("eac3_20_192.eac3"))
                                               : Fixture(c.file);
    const Bytes original = input;
    TMessages messages;
    bool ok = false;
    const Bytes output = RunChain(input, CreateAc3DialnormRemover(), &ok);
    ASSERT_TRUE(ok) << c.file << messages.Text();
    EXPECT_EQ(input, original);  // input blocks are read-only
    EXPECT_EQ(messages.Count(c.notice), 1u) << messages.Text();
    ASSERT_EQ(output.size(), input.size());
    // Which bytes of each frame may change.
    const auto in = SplitFrames(input), out = SplitFrames(output);
    ASSERT_EQ(in.size(), out.size());
    for (size_t i = 0; i < in.size(); ++i) {
      TAc3FrameInfo f;
      ASSERT_EQ(ParseAc3Frame(out[i].data(), out[i].size(), &f), kAc3Ok);
      const size_t n = in[i].size();
      const std::set<size_t> allowed = f.eac3 ? std::set<size_t>{5, 6, n - 2, n - 1}
                                              : std::set<size_t>{2, 3, 6, 7, n - 2, n - 1};
      for (size_t b = 0; b < n; ++b) {
        if (in[i][b] != out[i][b]) {
          ASSERT_TRUE(allowed.count(b)) << c.file << " frame " << i << " byte " << b;
        }
      }
      if (f.strmtyp != 1) {
        EXPECT_EQ(f.dialnorm, 31u);
      }
      EXPECT_TRUE(CrcsHold(out[i].data(), n, f.eac3));
    }
    if (!tools || !c.decodable) continue;
    const std::string path = scratch.Path("patched." + c.file.substr(c.file.rfind('.') + 1));
    WriteBytes(path, output);
    EXPECT_EQ(Capture(scratch,
                      "ffmpeg -v error -err_detect crccheck+explode -i '" + path + "' -f null -"),
              "")
        << c.file;
    EXPECT_EQ(Capture(scratch, "mediainfo --Inform='Audio;%dialnorm%' '" + path + "'"), "-31\n")
        << c.file;
  }
  if (!tools) GTEST_SKIP() << "ffmpeg or mediainfo missing: reference checks skipped";
}

// Notices and which blocks are touched, by stream kind and first dialnorm.
TEST(Ac3DialnormRemover, NoticesAndBlocks) {
  const Bytes eac3Core = MakeEac3Frame(512, 0, 3, 7, true, 0);
  const Bytes eac3Dep = MakeRearPairFrame(MakeEac3Frame(256, 0, 3, 2, false, 9));
  Bytes eac3Unit = eac3Core;
  eac3Unit.insert(eac3Unit.end(), eac3Dep.begin(), eac3Dep.end());
  Bytes blurayUnit = MakeAc3Frame(20, 7, true, 27);  // AC3 core + E-AC3 dependent
  blurayUnit.insert(blurayUnit.end(), eac3Dep.begin(), eac3Dep.end());
  const Bytes thdUnit = {0x10, 0x20, 0x00, 0x00, 0xF8, 0x72, 0x6F, 0xBA, 1, 2, 3, 4};
  struct Case {
    std::string format;
    std::vector<Bytes> blocks;
    std::string notice;
    std::vector<bool> changed;  // per block
  } cases[] = {
      {"ac3",
       {MakeAc3Frame(20, 2, false, 0), MakeAc3Frame(20, 2, false, 31)},
       "Patching AC3 dialog normalization from -0db to -31db...",
       {true, false}},
      {"ac3",
       {MakeAc3Frame(20, 2, false, 31), MakeAc3Frame(20, 2, false, 4)},
       "Skipping AC3 dialog normalization (already at -31 dB)...",
       {false, true}},
      {"eac3",
       {eac3Unit, eac3Unit},
       "Patching E-AC3 dialog normalization from -0db to -31db...",
       {true, true}},
      {"eac3",
       {MakeEac3Frame(512, 0, 3, 7, true, 31)},
       "Skipping E-AC3 dialog normalization (already at -31 dB)...",
       {false}},
      {"eac3", {blurayUnit}, "Removing E-AC3 & Core dialog normalization...", {true}},
      {"thd/ac3",
       {MakeAc3Frame(20, 7, true, 27), thdUnit, MakeAc3Frame(20, 7, true, 27)},
       "Removing AC3 dialog normalization...",
       {true, false, true}},
  };
  for (const auto& c : cases) {
    TMessages messages;
    UpStreamPtr remover = CreateAc3DialnormRemover();
    auto sink = std::make_shared<TUnitSink>();
    remover->SetUpstream(sink);
    ASSERT_TRUE(remover->OpenAudio(c.format, 6, 0, 24, 48000, false, 0));
    for (const Bytes& block : c.blocks)
      ASSERT_TRUE(remover->ProcessData(0, false, block.data(), block.size(), 77, true));
    ASSERT_EQ(sink->units_.size(), c.blocks.size());
    EXPECT_EQ(messages.Count(c.notice), 1u) << c.notice << "\n" << messages.Text();
    for (size_t i = 0; i < c.blocks.size(); ++i) {
      EXPECT_EQ(sink->units_[i] != c.blocks[i], c.changed[i]) << c.notice << " block " << i;
      EXPECT_EQ(sink->timeStamps_[i], 77);
      if (c.changed[i]) {
        TAc3UnitInfo info;
        Bytes unit = sink->units_[i];
        unit.insert(unit.end(), unit.begin(), unit.begin() + 8);  // a following unit start
        ASSERT_EQ(ParseAc3AccessUnit(unit.data(), unit.size(), 0, info), 0);
        EXPECT_EQ(info.dialnorm, 31u);
        size_t pos = 0;
        for (TAc3FrameInfo f; pos < sink->units_[i].size(); pos += f.length) {
          ASSERT_EQ(ParseAc3Frame(sink->units_[i].data() + pos, sink->units_[i].size() - pos, &f),
                    0);
          EXPECT_TRUE(CrcsHold(sink->units_[i].data() + pos, f.length, f.eac3));
        }
      }
    }
  }
  // A block that is not exactly one frame passes unchanged.
  Bytes longer = MakeAc3Frame(20, 2, false, 7);
  longer.push_back(0);
  UpStreamPtr remover = CreateAc3DialnormRemover();
  auto sink = std::make_shared<TUnitSink>();
  remover->SetUpstream(sink);
  ASSERT_TRUE(remover->OpenAudio("ac3", 2, 0, 24, 48000, false, 0));
  ASSERT_TRUE(remover->ProcessData(0, false, longer.data(), longer.size(), kNoTimeStamp, false));
  EXPECT_EQ(sink->units_.at(0), longer);
  // Format checks.
  TMessages messages;
  UpStreamPtr wrong = CreateAc3DialnormRemover();
  wrong->SetUpstream(std::make_shared<TUnitSink>());
  EXPECT_FALSE(wrong->OpenAudio("dts", 2, 0, 24, 48000, false, 0));
  EXPECT_TRUE(messages.Has("The (E-)AC3 dialnorm remover received a non-supported data format."));
}

// The core of a hand-built 7.1 stream is the 5.1 stream it was built from, byte for byte.
TEST(Eac3CoreExtractor, ExtractsTheCore) {
  const Bytes core = Fixture("eac3_51_640.eac3");
  const Bytes seven = MakeEac3SevenOne(core, Fixture("eac3_20_192.eac3"));
  {
    TMessages messages;
    bool ok = false;
    EXPECT_EQ(RunChain(seven, CreateEac3CoreExtractor(), &ok), core);
    EXPECT_TRUE(ok);
    EXPECT_EQ(messages.Count("Extracting E-AC3 core..."), 1u);
  }
  {
    TMessages messages;
    EXPECT_EQ(RunChain(core, CreateEac3CoreExtractor()), core);  // nothing to remove
    EXPECT_FALSE(messages.Has("Extracting E-AC3 core..."));
  }
  // Short blocks, cut frames and garbage: never more than the block.
  UpStreamPtr extractor = CreateEac3CoreExtractor();
  auto sink = std::make_shared<TUnitSink>();
  extractor->SetUpstream(sink);
  ASSERT_TRUE(extractor->OpenAudio("eac3", 8, 0, 24, 48000, false, 0));
  const std::vector<Bytes> blocks = {Bytes(seven.begin(), seven.begin() + 5),
                                     Bytes(seven.begin(), seven.begin() + 100), Bytes(300, 0x42)};
  for (const Bytes& b : blocks)
    ASSERT_TRUE(extractor->ProcessData(0, false, b.data(), b.size(), kNoTimeStamp, false));
  ASSERT_EQ(sink->units_.size(), 2u);  // the 5-byte block is dropped
  EXPECT_EQ(sink->units_[0], blocks[1]);
  EXPECT_EQ(sink->units_[1], blocks[2]);
  TMessages messages;
  UpStreamPtr wrong = CreateEac3CoreExtractor();
  wrong->SetUpstream(std::make_shared<TUnitSink>());
  EXPECT_FALSE(wrong->OpenAudio("ac3", 2, 0, 24, 48000, false, 0));
  EXPECT_TRUE(messages.Has("The E-AC3 core extractor received a non-supported data format."));
}

}  // namespace
}  // namespace kavrix::test
