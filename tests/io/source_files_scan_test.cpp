// Opening scans of TS, M2TS and VOB files against ffprobe's view of the same files, joins
// of transport stream parts, and parts whose tracks changed.
#include <gtest/gtest.h>

#include "source_test_util.h"

namespace kavrix::testing {
namespace {

struct TTypeOf {
  const char* codec;
  uint8_t streamType;
  ts::TStreamKind kind;
};
// How ffmpeg's muxer writes these codecs into the files made for the tests.
const TTypeOf kTypes[] = {{"h264", 0x1B, ts::TStreamKind::Video},
                          {"mpeg2video", 0x02, ts::TStreamKind::Video},
                          {"ac3", 0x81, ts::TStreamKind::Audio},
                          {"eac3", 0x84, ts::TStreamKind::Audio}};

const TTypeOf* TypeOf(const std::string& codec) {
  for (const TTypeOf& t : kTypes)
    if (codec == t.codec) return &t;
  return nullptr;
}

// First and last time stamps of the video stream according to ffprobe.
const TProbeStream* VideoOf(const std::vector<TProbeStream>& streams) {
  for (const TProbeStream& s : streams)
    if (s.codec == "h264" || s.codec == "mpeg2video") return &s;
  return nullptr;
}

class SourceTsScan : public ::testing::TestWithParam<const char*> {};

TEST_P(SourceTsScan, AgreesWithFfprobe) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  TTempDir tmp;
  const std::string file = Fixture(GetParam());
  const auto streams = Probe(file, tmp);
  ASSERT_FALSE(streams.empty());
  auto source = Open({file});
  ASSERT_TRUE(source->GetOk()) << MessagesText(*source);
  EXPECT_TRUE(source->IsTs());
  EXPECT_FALSE(source->IsEvo());
  EXPECT_EQ(source->PacketSize(), std::string(GetParam()).ends_with(".m2ts") ? 192u : 188u);
  ASSERT_EQ(source->ScanInfo().size(), 65536u);
  for (const TProbeStream& s : streams) {
    const TTypeOf* type = TypeOf(s.codec);
    ASSERT_NE(type, nullptr) << s.codec;
    const ts::TPidEntry& pid = source->PidTable()[s.pid];
    EXPECT_EQ(pid.kind, type->kind) << "PID " << s.pid;
    EXPECT_EQ(pid.streamType, type->streamType) << "PID " << s.pid;
    EXPECT_EQ(static_cast<uint8_t>(source->ScanInfo()[s.pid * 8]), type->streamType);
    const std::string language = source->ScanInfo().substr(s.pid * 8 + 1, 3);
    EXPECT_EQ(language, s.language.empty() ? std::string(3, '\0') : s.language);
  }
  const TProbeStream* video = VideoOf(streams);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(source->FirstTimeStamp(0), video->first);
  EXPECT_EQ(source->LastTimeStamp(0), video->last);
  EXPECT_EQ(source->Length(), static_cast<uint32_t>(video->last - video->first));
  EXPECT_TRUE(source->Messages().empty()) << MessagesText(*source);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SourceTsScan,
                         ::testing::Values("a.ts", "a.m2ts", "c_eac3.m2ts", "lang.ts", "wrap.ts"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (c == '.') c = '_';
                           return name;
                         });

TEST(SourceTsScan, WrapFileCrossesTheWrap) {
  auto source = Open({Fixture("wrap.ts")});
  ASSERT_TRUE(source->IsTs());
  // The first time stamp lies before 2^32 ticks, the last after the wrap; the length is
  // still the short positive span.
  EXPECT_GT(source->FirstTimeStamp(0), 4294967296ll - 4 * 90000);
  EXPECT_LT(source->LastTimeStamp(0), 4 * 90000);
  EXPECT_GT(source->Length(), 2u * 90000);
  EXPECT_LT(source->Length(), 5u * 90000);
}

TEST(SourceVobScan, AgreesWithFfprobe) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  TTempDir tmp;
  const auto streams = Probe(Fixture("a.vob"), tmp);
  const TProbeStream* video = VideoOf(streams);
  ASSERT_NE(video, nullptr);
  auto source = Open({Fixture("a.vob")});
  ASSERT_TRUE(source->GetOk());
  EXPECT_TRUE(source->IsEvo());
  EXPECT_FALSE(source->IsTs());
  EXPECT_EQ(source->ContainerId(), "evo");
  EXPECT_EQ(source->FirstTimeStamp(0), video->first);
  EXPECT_EQ(source->LastTimeStamp(0), video->last);
  EXPECT_EQ(source->Length(), static_cast<uint64_t>(video->last - video->first));
}

TEST(SourceVobScan, NavigationLengthWithoutTimeStamps) {
  // nav.vob: the PES time stamps are removed and the DSI packets say 90000 .. 270000.
  auto source = Open({Fixture("nav.vob")});
  ASSERT_TRUE(source->IsEvo());
  EXPECT_EQ(source->FirstTimeStamp(0), -1);
  EXPECT_EQ(source->Length(), 180000u);
}

TEST(SourceTsJoin, SeamlessPartsJoinWithoutGap) {
  auto source = Open({Fixture("part0.ts"), Fixture("part1.ts"), Fixture("part2.ts")});
  ASSERT_TRUE(source->GetOk()) << MessagesText(*source);
  ASSERT_EQ(source->ContainerId(), "m2ts");
  auto sink = std::make_shared<TRecordingSink>(false);
  source->SetUpstream(sink);
  ASSERT_TRUE(source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false));
  const uint64_t first = source->UsableSize(0), second = first + source->UsableSize(1);
  ASSERT_EQ(sink->joins.size(), 4u);
  const std::pair<uint8_t, uint64_t> expected[] = {
      {1, first}, {0, first}, {1, second}, {0, second}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(sink->joins[i].kind, expected[i].first);
    EXPECT_EQ(sink->joins[i].gap, 0);
    // Reported once the old file's data has been delivered, before any of the new one.
    EXPECT_EQ(sink->joins[i].at, expected[i].second);
  }
  EXPECT_EQ(sink->containers, std::vector<std::string>{"m2ts"});
  EXPECT_EQ(sink->scanInfoSize, 65536u);
  EXPECT_LE(sink->largestBlock, TSourceFiles::kDataReadSize);
}

TEST(SourceTsJoin, GapBetweenPartsIsReported) {
  auto source = Open({Fixture("a.ts"), Fixture("gap.ts")});
  ASSERT_TRUE(source->GetOk());
  const int64_t gap = source->FirstTimeStamp(1) - source->LastTimeStamp(0);
  EXPECT_GT(gap, 28 * 90000);  // the second part starts 30 s after the first
  auto sink = std::make_shared<TRecordingSink>(false);
  source->SetUpstream(sink);
  ASSERT_TRUE(source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false));
  ASSERT_EQ(sink->joins.size(), 2u);
  EXPECT_EQ(sink->joins[0].gap, gap);
  EXPECT_EQ(sink->joins[1].gap, gap);
}

TEST(SourceTsJoin, UnusableFrameRateFallsBackForTheTolerance) {
  // A rate below 1000 frames per 1000 s would divide by zero.
  auto source = Open({Fixture("part0.ts"), Fixture("part1.ts")}, 0, 0, 0, false, 999, 1001);
  ASSERT_TRUE(source->GetOk());
  EXPECT_EQ(source->FirstTimeStamp(1), source->LastTimeStamp(0));
}

TEST(SourceTsScan, TypeChangeInTheFirstFileWarns) {
  TTempDir tmp;
  const std::string mixed = tmp.File("mixed.m2ts");
  WriteAll(mixed, ReadAll(Fixture("a.m2ts")) + ReadAll(Fixture("c_eac3.m2ts")));
  auto source = Open({mixed});
  EXPECT_TRUE(source->GetOk());
  EXPECT_TRUE(source->IsTs());
  EXPECT_TRUE(HasMessage(*source, 1, "The program type (4352) changes from $81 to $84."))
      << MessagesText(*source);
  EXPECT_EQ(source->PidTable()[4352].streamType, 0x81);
}

TEST(SourceTsScan, KindChangeInTheFirstFileWarns) {
  // kind.ts carries video on the PID where a.ts carries audio, and audio on its video PID.
  TTempDir tmp;
  const std::string mixed = tmp.File("mixed.ts");
  WriteAll(mixed, ReadAll(Fixture("a.ts")) + ReadAll(Fixture("kind.ts")));
  auto source = Open({mixed});
  EXPECT_TRUE(source->GetOk());
  EXPECT_TRUE(HasMessage(*source, 1, "The program type (257) changes from audio to video."))
      << MessagesText(*source);
  EXPECT_EQ(source->Messages().size(), 1u);  // the scan of the file ends at the first change
}

struct TChangedPartCase {
  const char* name;
  bool playlist;
  size_t padding;  // bytes of a part after the changed one
  bool ok;
  const char* message;
};

class SourceChangedPart : public ::testing::TestWithParam<TChangedPartCase> {};

TEST_P(SourceChangedPart, DroppedWhenSmallElseFails) {
  const TChangedPartCase& c = GetParam();
  TTempDir tmp;
  std::vector<std::string> files = {Fixture("a.m2ts"), Fixture("c_eac3.m2ts")};
  if (c.padding) files.push_back(tmp.Random("pad.m2ts", c.padding, 3));
  auto source = Open(files, 0, 0, 0, c.playlist);
  EXPECT_EQ(source->GetOk(), c.ok);
  if (c.ok) {
    // The changed part and everything after it are left out, with a warning naming them.
    EXPECT_EQ(source->FileCount(), 1u);
    EXPECT_EQ(source->GetSize(), ReadAll(Fixture("a.m2ts")).size());
    ASSERT_EQ(source->Messages().size(), 1u);
    EXPECT_EQ(source->Messages()[0].kind, 1);
    EXPECT_NE(source->Messages()[0].text.find("c_eac3.m2ts"), std::string::npos);
  } else {
    EXPECT_TRUE(HasMessage(*source, 1, c.message)) << MessagesText(*source);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SourceChangedPart,
    ::testing::Values(
        TChangedPartCase{"small", false, 0, true, ""},
        TChangedPartCase{"smallWithFollower", false, 4 << 20, true, ""},
        TChangedPartCase{"large", false, 6 << 20, false,
                         "You're trying to join m2ts parts with different track properties (2)."},
        TChangedPartCase{"largePlaylist", true, 6 << 20, false,
                         "This playlist contains m2ts parts with different track properties (2)."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SourceTsJoin, PartWithAnotherPacketSizeIsInconsistent) {
  auto source = Open({Fixture("a.ts"), Fixture("a.m2ts")});
  EXPECT_TRUE(source->GetOk());
  EXPECT_EQ(source->FileCount(), 1u);
  EXPECT_EQ(source->Messages().size(), 1u) << MessagesText(*source);
}

TEST(SourceScan, EmptyTruncatedAndForeignFiles) {
  TTempDir tmp;
  const std::string empty = tmp.File("e.ts");
  WriteAll(empty, "");
  {
    auto source = Open({empty});
    ASSERT_TRUE(source->GetOk());
    EXPECT_EQ(source->GetSize(), 0u);
    EXPECT_EQ(source->ContainerId(), "?");
    auto sink = std::make_shared<TRecordingSink>();
    source->SetUpstream(sink);
    EXPECT_TRUE(source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false));
    EXPECT_EQ(sink->blocks, 0u);
    EXPECT_EQ(sink->finished, 1);
    EXPECT_EQ(sink->audio.size(), 1u);
  }
  {
    // An M2TS cut inside a packet keeps its packet size and its time stamps.
    const std::string cut = tmp.File("cut.m2ts");
    WriteAll(cut, ReadAll(Fixture("a.m2ts")).substr(0, 20000));
    auto full = Open({Fixture("a.m2ts")});
    auto source = Open({cut});
    EXPECT_TRUE(source->IsTs());
    EXPECT_EQ(source->PacketSize(), 192u);
    EXPECT_EQ(source->FirstTimeStamp(0), full->FirstTimeStamp(0));
    EXPECT_GT(source->LastTimeStamp(0), source->FirstTimeStamp(0));
    EXPECT_LE(source->LastTimeStamp(0), full->LastTimeStamp(0));
  }
  {
    // Short data that fits both packet spacings cannot tell: not a transport stream.
    const std::string syncs = tmp.File("syncs.bin");
    WriteAll(syncs, std::string(3000, '\x47'));
    auto source = Open({syncs});
    EXPECT_FALSE(source->IsTs());
    EXPECT_EQ(source->ContainerId(), "?");
    EXPECT_EQ(source->Length(), 3000u);
  }
  {
    // A TS whose first bytes were overwritten is not taken for a TS.
    std::string data = ReadAll(Fixture("a.ts"));
    for (size_t i = 0; i < 4000; ++i) data[i] = 0x11;
    const std::string damaged = tmp.File("damaged.ts");
    WriteAll(damaged, data);
    auto source = Open({damaged});
    EXPECT_TRUE(source->GetOk());
    EXPECT_FALSE(source->IsTs());
  }
}

TEST(SourceScan, SkipStartAppliesToTheScans) {
  // Skipping whole packets keeps a TS a TS; the time stamps come from the rest.
  auto source = Open({Fixture("a.ts")}, 188 * 20);
  EXPECT_TRUE(source->IsTs());
  EXPECT_EQ(source->GetSize(), ReadAll(Fixture("a.ts")).size() - 188 * 20);
}

}  // namespace
}  // namespace kavrix::testing

namespace kavrix::testing {
namespace {

TEST(SourceScan, DamagedFilesAreScannedWithinBounds) {
  // Random damage everywhere but the sync bytes: tables, adaptation fields, pointer fields
  // and PES headers take arbitrary values. The scan must neither fail nor leave its data
  // (the sanitizer builds check the second part).
  TTempDir tmp;
  for (const char* name : {"a.ts", "a.m2ts", "a.vob"}) {
    const std::string original = ReadAll(Fixture(name));
    const size_t packet = std::string(name).ends_with(".m2ts") ? 192 : 188;
    const size_t sync = packet - 188;
    for (uint32_t seed = 1; seed <= 40; ++seed) {
      std::mt19937 rng(seed);
      std::string data = original;
      for (size_t n = 0; n < data.size() / 50; ++n) {
        const size_t at = rng() % data.size();
        if (at % packet != sync) data[at] = static_cast<char>(rng());
      }
      const std::string file = tmp.File("damaged");
      WriteAll(file, data);
      auto source = Open({file, file});
      EXPECT_TRUE(source->GetOk() || !source->Messages().empty()) << name << " seed " << seed;
      size_t count = 1 << 20;
      std::vector<uint8_t> buffer(count);
      if (source->GetOk()) {
        EXPECT_TRUE(source->ReadData(buffer.data(), count));
      }
    }
  }
}

}  // namespace
}  // namespace kavrix::testing

namespace kavrix::testing {
namespace {

TEST(SourceScan, TailWindowsOfLargeFiles) {
  // Files larger than the tail windows: a TS whose last packet is cut (the window, aligned
  // to the file end, starts inside a packet) and a VOB whose tail window must not exceed
  // the 30 MiB buffer when it is aligned to 2048 bytes.
  TTempDir tmp;
  struct TCase {
    const char* fixture;
    size_t copies;
    std::string tail;
  } cases[] = {{"a.ts", 1300, std::string(100, '\x47')}, {"a.vob", 700, std::string(1000, '\0')}};
  for (const TCase& c : cases) {
    const std::string one = ReadAll(Fixture(c.fixture));
    const std::string file = tmp.File(std::string("large_") + c.fixture);
    {
      std::ofstream out(file, std::ios::binary);
      for (size_t i = 0; i < c.copies; ++i) out.write(one.data(), std::streamsize(one.size()));
      out.write(c.tail.data(), std::streamsize(c.tail.size()));
    }
    auto single = Open({Fixture(c.fixture)});
    auto large = Open({file});
    ASSERT_TRUE(large->GetOk()) << c.fixture;
    EXPECT_EQ(large->ContainerId(), single->ContainerId()) << c.fixture;
    EXPECT_EQ(large->FirstTimeStamp(0), single->FirstTimeStamp(0)) << c.fixture;
    // Every copy repeats the same time stamps, so the largest is the single file's.
    EXPECT_EQ(large->LastTimeStamp(0), single->LastTimeStamp(0)) << c.fixture;
  }
}

}  // namespace
}  // namespace kavrix::testing
