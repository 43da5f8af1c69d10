// Joined plain files: skip, cut, limit, crossing files, seeking, stop flags, read errors,
// and the fan-out of the run into two sinks.
#include <gtest/gtest.h>

#include "source_test_util.h"

namespace kavrix::testing {
namespace {

struct TJoinCase {
  const char* name;
  std::vector<size_t> sizes;
  uint64_t skip, cut, limit;
};

// What the set must deliver: the files one after the other, without SkipStart bytes of the
// first file (unless it is smaller: then it adds nothing and nothing is skipped) and without
// CutEnd bytes at the end; then at most ReadLimit bytes.
std::string Expected(const std::vector<std::string>& contents, uint64_t skip, uint64_t cut,
                     uint64_t limit) {
  std::string all;
  for (size_t i = 0; i < contents.size(); ++i) {
    if (i == 0) {
      if (contents[0].size() >= skip) all += contents[0].substr(skip);
    } else {
      all += contents[i];
    }
  }
  all.resize(all.size() - std::min<uint64_t>(cut, all.size()));
  if (limit > 0 && limit < all.size()) all.resize(limit);
  return all;
}

const TJoinCase kCases[] = {
    {"plain", {1000, 2000, 3000}, 0, 0, 0},
    {"skipCutLimit", {300000, 700001, 500003}, 12345, 6789, 1000000},
    {"skipLargerThanFirst", {100, 5000, 7000}, 200, 10, 0},
    {"cutLargerThanLast", {5000, 7000, 100}, 3, 250, 0},
    {"cutReachesFirst", {5000, 70, 100}, 0, 4000, 0},
    {"emptyMiddleAndEnd", {4000, 0, 3000, 0}, 1, 1, 0},
    {"everythingCut", {100, 200}, 0, 1000, 0},
    {"allEmpty", {0}, 0, 0, 0},
};

class SourceJoin : public ::testing::TestWithParam<TJoinCase> {};

TEST_P(SourceJoin, ReadDataMatchesConcatenation) {
  const TJoinCase& c = GetParam();
  TTempDir tmp;
  std::vector<std::string> names, contents;
  for (size_t i = 0; i < c.sizes.size(); ++i) {
    names.push_back(tmp.Random("f" + std::to_string(i), c.sizes[i], 17 + i));
    contents.push_back(ReadAll(names.back()));
  }
  const std::string all = Expected(contents, c.skip, c.cut, 0);
  auto source = Open(names, c.skip, c.cut, c.limit);
  ASSERT_TRUE(source->GetOk());
  EXPECT_FALSE(source->IsEvo());
  EXPECT_FALSE(source->IsTs());
  EXPECT_EQ(source->GetSize(), all.size());
  EXPECT_EQ(source->Length(), all.size());

  // Odd request sizes cross the file borders in mid-request; such a request ends at the
  // border and the next one continues in the new file.
  std::string got;
  std::vector<uint8_t> buffer(70001);
  for (int guard = 0; guard < 100000 && got.size() < all.size(); ++guard) {
    size_t count = buffer.size();
    ASSERT_TRUE(source->ReadData(buffer.data(), count));
    got.append(reinterpret_cast<const char*>(buffer.data()), count);
    EXPECT_EQ(source->GetPosition(), got.size());
  }
  EXPECT_TRUE(got == all) << "read " << got.size() << " of " << all.size();
  size_t count = buffer.size();
  ASSERT_TRUE(source->ReadData(buffer.data(), count));
  EXPECT_EQ(count, 0u);

  // Seeking: the end is a valid position, one beyond it is not and changes nothing.
  const uint64_t size = source->GetSize();
  ASSERT_TRUE(source->Seek(size / 3));
  EXPECT_FALSE(source->Seek(size + 1));
  EXPECT_EQ(source->GetPosition(), size / 3);
  got.clear();
  for (int guard = 0; guard < 100000 && got.size() < all.size() - size / 3; ++guard) {
    count = buffer.size();
    ASSERT_TRUE(source->ReadData(buffer.data(), count));
    got.append(reinterpret_cast<const char*>(buffer.data()), count);
  }
  EXPECT_TRUE(got == all.substr(size / 3));
  ASSERT_TRUE(source->Seek(size));
  EXPECT_EQ(source->GetPosition(), size);
  count = buffer.size();
  ASSERT_TRUE(source->ReadData(buffer.data(), count));
  EXPECT_EQ(count, 0u);

  // The run delivers the same bytes (up to the limit) in pieces of at most 256 KiB.
  auto run = Open(names, c.skip, c.cut, c.limit);
  auto sink = std::make_shared<TRecordingSink>();
  run->SetUpstream(sink);
  EXPECT_TRUE(run->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false));
  EXPECT_TRUE(sink->bytes == Expected(contents, c.skip, c.cut, c.limit));
  EXPECT_LE(sink->largestBlock, TSourceFiles::kDataReadSize);
  EXPECT_EQ(sink->finished, 1);
  EXPECT_EQ(sink->containers, (std::vector<std::string>{"?", "?"}));
  EXPECT_EQ(sink->audio, std::vector<std::string>{"?"});
  EXPECT_EQ(sink->audioFrames, all.size());
  EXPECT_TRUE(sink->joins.empty());  // plain data has no time stamps to join
}

INSTANTIATE_TEST_SUITE_P(Cases, SourceJoin, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The acceptance case: three files with skip, cut and limit, read by the run into a
// pass-through that fans out to two hashing sinks on their own threads. Both must see
// exactly the bytes of `cat a b c | tail -c +N | head -c M`.
TEST(SourceFanOut, TwoSinksSeeTheShellPipelineBytes) {
  TTempDir tmp;
  const std::vector<std::string> names = {tmp.Random("a", 400000, 1), tmp.Random("b", 900001, 2),
                                          tmp.Random("c", 333333, 3)};
  const uint64_t skip = 1234, cut = 4321, limit = 1500000;
  const uint64_t total = 400000 + 900001 + 333333 - skip - cut;
  const std::string reference = tmp.File("reference");
  const std::string command = "cat '" + names[0] + "' '" + names[1] + "' '" + names[2] +
                              "' | tail -c +" + std::to_string(skip + 1) + " | head -c " +
                              std::to_string(std::min(total, limit)) + " > '" + reference + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string expected = ReadAll(reference);
  ASSERT_EQ(expected.size(), std::min(total, limit));

  auto source = Open(names, skip, cut, limit);
  auto fan = CreatePassThrough();
  auto sink1 = std::make_shared<TRecordingSink>(false);
  auto sink2 = std::make_shared<TRecordingSink>(false);
  fan->SetUpstreams({sink1, sink2});
  source->SetUpstream(fan);
  ASSERT_TRUE(source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false));
  const uint64_t hash =
      Fnv1a(kFnvStart, reinterpret_cast<const uint8_t*>(expected.data()), expected.size());
  for (auto* sink : {sink1.get(), sink2.get()}) {
    EXPECT_EQ(sink->received, expected.size());
    EXPECT_EQ(sink->hash, hash);
    EXPECT_EQ(sink->finished, 1);
  }
  EXPECT_EQ(source->GetPosition(), expected.size());
  source.reset();
  fan.reset();  // releasing the graph joins the fan-out's workers
}

TEST(SourceRun, StopFlagsStopOnlyWhenAllAreSet) {
  TTempDir tmp;
  const std::vector<std::string> names = {tmp.Random("a", 600000, 5)};
  std::atomic<bool> set{true}, unset{false};
  struct TStopCase {
    std::vector<const std::atomic<bool>*> flags;
    uint64_t expected;
  } cases[] = {{{}, 600000}, {{&set}, 0}, {{&set, &unset}, 600000}};
  for (const TStopCase& c : cases) {
    auto source = Open(names);
    auto sink = std::make_shared<TRecordingSink>(false);
    source->SetUpstream(sink);
    source->SetStopFlags(c.flags);
    EXPECT_TRUE(source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false));
    EXPECT_EQ(sink->received, c.expected);
    EXPECT_EQ(sink->finished, 1);  // a stopped source still finishes its upstreams
  }
}

TEST(SourceRun, FailuresAndTheirMessages) {
  TTempDir tmp;
  const std::string file = tmp.Random("a", 1000, 9);
  {
    auto source = Open({file});
    EXPECT_FALSE(source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false));
    EXPECT_TRUE(HasMessage(*source, 2, "The source file upstream property is not set."));
  }
  {
    auto source = Open({file, tmp.File("missing")});
    EXPECT_FALSE(source->GetOk());
    EXPECT_TRUE(HasMessage(*source, 2,
                           "The source file \"" + tmp.File("missing") + "\" could not be opened."));
  }
  {
    auto none = CreateSourceFiles({}, 0, 0, 0, false, 24000, 1001);
    EXPECT_FALSE(none->GetOk());
  }
  {
    // A sink that refuses data ends the run without a message of the source.
    auto source = Open({tmp.Random("big", 700000, 4)});
    auto sink = std::make_shared<TRecordingSink>(false);
    sink->failAfter = 300000;
    source->SetUpstream(sink);
    EXPECT_FALSE(source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false));
    EXPECT_LT(sink->received, 700000u);
    EXPECT_TRUE(source->Messages().empty()) << MessagesText(*source);
    // The position is the end of the block the chain refused, not of what was read ahead.
    EXPECT_EQ(source->GetPosition(), 2 * TSourceFiles::kDataReadSize);
  }
}

// Read errors injected through the replaceable read function.
int g_failuresLeft = 0;
int64_t FlakyRead(int fd, uint8_t* buffer, size_t count, uint64_t offset) {
  if (g_failuresLeft > 0) {
    --g_failuresLeft;
    return -1;
  }
  return platform::PreadFull(fd, buffer, count, offset);
}

TEST(SourceRun, ReadErrorsAreRetriedThreeTimes) {
  TTempDir tmp;
  const std::string file = tmp.Random("a", 50000, 11);
  struct TRetryCase {
    int failures;
    bool ok;
    const char* message;
  } cases[] = {{2, true, "Worked around a read error."},
               {3, false, "Reading the source file failed."}};
  for (const TRetryCase& c : cases) {
    auto source = Open({file});  // the opening scans read before the failures start
    auto sink = std::make_shared<TRecordingSink>();
    source->SetUpstream(sink);
    auto previous = platform::SetPreadFunction(&FlakyRead);
    g_failuresLeft = c.failures;
    const bool ok = source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false);
    platform::SetPreadFunction(previous);
    EXPECT_EQ(ok, c.ok);
    EXPECT_TRUE(HasMessage(*source, c.ok ? 1 : 2, c.message)) << MessagesText(*source);
    if (c.ok) {
      EXPECT_TRUE(sink->bytes == ReadAll(file));
    }
  }
}

TEST(SourceScan, ScanReadErrorIsReported) {
  TTempDir tmp;
  const std::string file = tmp.Random("a", 5000, 12);
  auto previous = platform::SetPreadFunction(&FlakyRead);
  g_failuresLeft = 1;
  auto source = Open({file});
  platform::SetPreadFunction(previous);
  g_failuresLeft = 0;
  EXPECT_FALSE(source->GetOk());
  EXPECT_TRUE(HasMessage(*source, 2, "Error reading file \"" + file + "\"."));
}

}  // namespace
}  // namespace kavrix::testing
