// The (E-)AC3 reader: details against reference tools, framing, resync, seamless joins, gaps.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "ac3_test_util.h"
#include "audio/voxAc3.h"
#include "audio/voxAudioReader.h"

namespace kavrix::test {
namespace {

struct TReaderRun {
  UpStreamPtr reader;
  std::shared_ptr<TUnitSink> sink;
  bool ok = false;
};

TReaderRun RunReader(const Bytes& data, size_t blockSize = 65536, std::string* gaps = nullptr,
                     bool coreOnly = false, bool noSearch = false) {
  TReaderRun run;
  run.reader = CreateAc3Reader(gaps, coreOnly, noSearch);
  run.sink = std::make_shared<TUnitSink>();
  run.reader->SetUpstream(run.sink);
  run.ok = Feed(run.reader, data, blockSize);
  return run;
}

const IAudioFormatDetails& Details(const TReaderRun& run) {
  return *Query<IAudioFormatDetails>(run.reader);
}

std::string Field(const std::string& text, const std::string& key) {
  const size_t p = text.find(key + "=");
  if (p == std::string::npos) return {};
  const size_t start = p + key.size() + 1;
  return text.substr(start, text.find_first_of("|\n", start) - start);
}

// Details and descriptions of real streams, checked against ffprobe and mediainfo.
TEST(Ac3Reader, DetailsMatchReferenceTools) {
  struct Case {
    std::string file;
    uint32_t mask;
    std::string description;
  };
  const Bytes seven = MakeEac3SevenOne(Fixture("eac3_51_640.eac3"), Fixture("eac3_20_192.eac3"));
  const Case cases[] = {
      {"ac3_51_448.ac3", 0x60F, "AC3, 5.1 channels, 0:00:02, 448kbps, 48kHz, dialnorm: -27dB"},
      {"lay_mono.ac3", 0x4, "AC3, 1.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"lay_stereo.ac3", 0x3, "AC3, 2.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"lay_3.0.ac3", 0x7, "AC3, 3.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"lay_3.0back.ac3", 0x103, "AC3, 2/1 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"lay_4.0.ac3", 0x107, "AC3, 3/1 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"lay_quad.ac3", 0x603, "AC3, 2/2 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"lay_5.0.ac3", 0x607, "AC3, 5.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"ac3_441_192.ac3", 0x3, "AC3, 2.0 channels, 0:00:01, 192kbps, 44.1kHz, dialnorm: -31dB"},
      {"ac3_441_32.ac3", 0x4, "AC3, 1.0 channels, 0:00:01, 32kbps, 44.1kHz, dialnorm: -31dB"},
      {"ac3_32k_640.ac3", 0x60F, "AC3, 5.1 channels, 0:00:01, 640kbps, 32kHz, dialnorm: -31dB"},
      {"ac3_dsur.ac3", 0x3, "AC3 Surround, 2.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"ac3_dheadphone.ac3", 0x3,
       "AC3 Headphone, 2.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"},
      {"ac3_dsurex.ac3", 0x60F, "AC3 EX, 5.1 channels, 0:00:01, 448kbps, 48kHz, dialnorm: -31dB"},
      {"eac3_51_640.eac3", 0x60F, "E-AC3, 5.1 channels, 0:00:01, 640kbps, 48kHz, dialnorm: -24dB"},
      {"seven.eac3", 0x63F,
       "E-AC3, 7.1 channels, 0:00:01, 832kbps, 48kHz, dialnorm: -24dB\r\n"
       "(core: E-AC3, 5.1 channels, 0:00:01, 640kbps, 48kHz, dialnorm: -24dB)"},
  };
  const bool tools = HaveTool("ffprobe") && HaveTool("mediainfo");
  TScratch scratch;
  WriteBytes(scratch.Path("seven.eac3"), seven);
  for (const Case& c : cases) {
    const std::string path = c.file == "seven.eac3" ? scratch.Path(c.file) : AudioFixture(c.file);
    const Bytes data = ReadBytes(path);
    TMessages messages;
    // Odd block sizes: units straddle the deliveries.
    const TReaderRun run = RunReader(data, 3001);
    ASSERT_TRUE(run.ok) << c.file << messages.Text();
    const auto& d = Details(run);
    EXPECT_EQ(d.GetDescription(), c.description) << c.file;
    EXPECT_EQ(d.GetChannelMask(), c.mask) << c.file;
    EXPECT_EQ(run.sink->mask_, c.mask) << c.file;
    EXPECT_EQ(run.sink->bits_, 24u);
    EXPECT_EQ(run.sink->formatId_, c.file.find("eac3") != std::string::npos ? "eac3" : "ac3");
    // Every byte comes out, one access unit per delivery.
    EXPECT_EQ(run.sink->Joined(), data) << c.file;
    // Large blocks are parsed in place: the same units come out.
    const TReaderRun large = RunReader(data, 70001);
    EXPECT_EQ(large.sink->Joined(), data) << c.file;
    EXPECT_EQ(large.sink->units_.size(), run.sink->units_.size()) << c.file;
    EXPECT_EQ(run.sink->finished_, 1);
    EXPECT_EQ(messages.Text(), "") << c.file;
    if (!tools) continue;
    const std::string probe = Capture(
        scratch, "ffprobe -v error -show_entries stream=channels,sample_rate -of compact=p=0 '" +
                     path + "'");
    const std::string info =
        Capture(scratch,
                "mediainfo --Inform='Audio;dialnorm=%dialnorm%|bitrate=%BitRate%"
                "|channels=%Channel(s)%|duration=%Duration%' '" +
                    path + "'");
    EXPECT_EQ(std::to_string(d.GetChannels()), Field(probe, "channels")) << c.file;
    EXPECT_EQ(std::to_string(d.GetSampleRate()), Field(probe, "sample_rate")) << c.file;
    EXPECT_EQ(std::to_string(d.GetBitrate()), Field(info, "bitrate")) << c.file;
    EXPECT_EQ(std::to_string(d.GetChannels()), Field(info, "channels")) << c.file;
    EXPECT_EQ(std::to_string(d.GetDuration()), Field(info, "duration")) << c.file;
    // The hand-built stream's dependent frames keep their own dialnorm, which that tool shows.
    if (c.file != "seven.eac3") {
      EXPECT_EQ("-" + std::to_string(d.GetDialnorm()), Field(info, "dialnorm")) << c.file;
    }
  }
  if (!tools) GTEST_SKIP() << "ffprobe or mediainfo missing: reference checks skipped";
}

// The core-only reader announces the first substream's layout.
TEST(Ac3Reader, CoreOnlyAnnouncesTheCore) {
  const Bytes seven = MakeEac3SevenOne(Fixture("eac3_51_640.eac3"), Fixture("eac3_20_192.eac3"));
  const TReaderRun run = RunReader(seven, 65536, nullptr, true);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.sink->channels_, 6u);
  EXPECT_EQ(run.sink->mask_, 0x60Fu);
  EXPECT_EQ(Details(run).GetChannels(), 8u);  // the details still describe the whole stream
  EXPECT_EQ(run.sink->units_.size(), 32u);
}

// Refusals: garbage beyond the search limit, TrueHD/AC3, no frame at all, no-search on garbage.
TEST(Ac3Reader, Refusals) {
  const Bytes ac3 = Fixture("ac3_51_448.ac3");
  auto prefixed = [&](size_t garbage) {
    Bytes data(garbage, 0x5A);
    data.insert(data.end(), ac3.begin(), ac3.end());
    return data;
  };
  Bytes thd;  // AC3 frames, each followed by a TrueHD access unit with a major sync
  for (const Bytes& frame : SplitFrames(ac3)) {
    thd.insert(thd.end(), frame.begin(), frame.end());
    const uint8_t unit[] = {0x10, 0x20, 0x00, 0x00, 0xF8, 0x72, 0x6F, 0xBA, 1, 2, 3, 4};
    thd.insert(thd.end(), std::begin(unit), std::end(unit));
  }
  struct Case {
    Bytes data;
    bool noSearch;
    std::string message;  // empty: accepted
  } cases[] = {
      {prefixed(12287), false, ""},
      {prefixed(12288), false, "This doesn't seem to be a valid (E-)AC3 stream."},
      {thd, false, "This is a TrueHD/AC3 stream and not an AC3 stream."},
      {Bytes(3000, 0), false, "The stream doesn't seem to contain any valid (E-)AC3 frames."},
      {prefixed(1), true, "This doesn't seem to be a valid (E-)AC3 stream."},
      {prefixed(0), true, ""},
  };
  for (const auto& c : cases) {
    for (size_t block : {size_t(1000), size_t(200000)}) {
      TMessages messages;
      const TReaderRun run = RunReader(c.data, block, nullptr, false, c.noSearch);
      EXPECT_EQ(run.ok, c.message.empty()) << c.message << " " << block;
      if (!c.message.empty()) {
        EXPECT_TRUE(messages.Has(c.message)) << messages.Text();
        EXPECT_TRUE(run.sink->units_.empty());
      } else {
        EXPECT_EQ(run.sink->Joined(), ac3);
      }
    }
  }
  // Upstream and announcement checks.
  TMessages messages;
  UpStreamPtr lone = CreateAc3Reader(nullptr, false, false);
  EXPECT_FALSE(lone->OpenAudio("?", 1, 1, 8, 48000, false, 10));
  EXPECT_TRUE(messages.Has("The (E-)AC3 reader upstream property is not set."));
  UpStreamPtr wrong = CreateAc3Reader(nullptr, false, false);
  wrong->SetUpstream(std::make_shared<TUnitSink>());
  EXPECT_FALSE(wrong->OpenAudio("dts", 1, 1, 8, 48000, false, 10));
  EXPECT_TRUE(messages.Has("The (E-)AC3 reader received a non-supported data format."));
}

// Damage inside the stream: the reader resynchronises, warns once, and counts the lost time.
TEST(Ac3Reader, ResyncOverDamage) {
  std::vector<Bytes> frames;
  for (int i = 0; i < 40; ++i) frames.push_back(MakeAc3Frame(20, 2, false, 31 - i % 7));
  Bytes data;
  for (const Bytes& f : frames) data.insert(data.end(), f.begin(), f.end());
  const size_t len = frames[0].size();
  Bytes damaged = data;
  damaged[10 * len + 1] = 0x00;        // frame 10 loses its sync word
  damaged[20 * len + 100] ^= 0xFF;     // frame 20 is damaged inside (passes: no CRC check)
  damaged.resize(damaged.size() - 7);  // the last frame is cut off

  SetFirstPass(true);
  std::string gaps = "old";
  TMessages messages;
  const TReaderRun run = RunReader(damaged, 4000, &gaps);
  ASSERT_TRUE(run.ok) << messages.Text();
  EXPECT_EQ(messages.Count("This track is not clean."), 1u);
  EXPECT_EQ(messages.Count("The last (E-)AC3 frame is incomplete and thus gets skipped."), 1u);
  // Frame 9 is judged by what follows it, so it goes with frame 10; the cut-off frame 39 too.
  ASSERT_EQ(run.sink->units_.size(), 37u);
  EXPECT_EQ(run.sink->units_[8], frames[8]);
  EXPECT_EQ(run.sink->units_[9], frames[11]);
  // Two units of 32 ms are missing after 11 units: one record, reported as a gap.
  const auto records = UnpackAudioGaps(gaps);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].position, 11 * 320000);
  EXPECT_EQ(records[0].drift, 2 * 320000);
  EXPECT_TRUE(messages.Has("Audio has a gap of 64ms at playtime 0:00:00.")) << messages.Text();
}

// After a join, a first unit identical to the last one before it is dropped once.
TEST(Ac3Reader, SeamlessBranching) {
  const auto frames = SplitFrames(Fixture("ac3_51_448.ac3"));
  ASSERT_GE(frames.size(), 40u);
  auto concat = [&](size_t from, size_t to) {
    Bytes out;
    for (size_t i = from; i < to; ++i) out.insert(out.end(), frames[i].begin(), frames[i].end());
    return out;
  };
  struct Case {
    size_t firstEnd,
        secondStart;  // the second part starts with a repeat when secondStart < firstEnd
    size_t dropped;
    size_t blockSize;
  } cases[] = {{20, 19, 1, 5000},
               {20, 19, 1, 100000},
               {20, 20, 0, 5000},
               {20, 18, 0, 3000},
               {40, 39, 1, 70000}};
  for (const auto& c : cases) {
    TMessages messages;
    const Bytes a = concat(0, c.firstEnd), b = concat(c.secondStart, frames.size());
    UpStreamPtr reader = CreateAc3Reader(nullptr, false, false);
    auto sink = std::make_shared<TUnitSink>();
    reader->SetUpstream(sink);
    ASSERT_TRUE(reader->OpenAudio("?", 1, 1, 8, 48000, false, a.size() + b.size()));
    for (size_t p = 0; p < a.size(); p += c.blockSize)
      ASSERT_TRUE(reader->ProcessData(0, false, a.data() + p, std::min(c.blockSize, a.size() - p),
                                      kNoTimeStamp, false));
    reader->NotifyJoin(1, 0);
    reader->NotifyJoin(0, 0);
    for (size_t p = 0; p < b.size(); p += c.blockSize)
      ASSERT_TRUE(reader->ProcessData(0, false, b.data() + p, std::min(c.blockSize, b.size() - p),
                                      kNoTimeStamp, false));
    ASSERT_TRUE(reader->Finish(0));
    EXPECT_EQ(sink->joins_, 2);
    EXPECT_EQ(sink->units_.size(), c.firstEnd + frames.size() - c.secondStart - c.dropped);
    EXPECT_EQ(messages.Count("Skipping identical AC3 frames (seamless branching)..."), c.dropped);
  }
}

// Timing drift against container time stamps: one block per frame of 32 ms.
TEST(Ac3Reader, GapsAndOverlaps) {
  const Bytes frame = MakeAc3Frame(0, 1, false, 31);  // 128 bytes, 32 ms
  constexpr int64_t kUnit = 320000;
  constexpr int kFrames = 1500;  // 48 s: records in the last 30 s are not reported
  struct Case {
    std::string name;
    std::function<int64_t(int)> offset;  // added to frame i's ideal time stamp
    int32_t delayMs;
    std::vector<TAudioGapRecord> records;
    std::vector<std::string> messages;
  } cases[] = {
      {"steady", [](int) { return 0; }, 0, {}, {}},
      {"jitter below 5 ms", [](int i) { return (i % 2) * 45000; }, 0, {}, {}},
      {"gap",
       [](int i) { return i >= 100 ? 1000000 : 0; },
       0,
       {{100 * kUnit + 1000000, 1000000}},
       {"Audio has a gap of 100ms at playtime 0:00:03."}},
      {"gap with delay",
       [](int i) { return i >= 100 ? 1000000 : 0; },
       250,
       {{100 * kUnit + 1000000 + 2500000, 1000000}},
       {"Audio has a gap of 100ms at playtime 0:00:04."}},
      {"overlap",
       [](int i) { return i >= 200 ? -500000 : 0; },
       0,
       {{200 * kUnit - 500000, -500000}},
       {"Audio overlaps for 50ms at playtime 0:00:06."}},
      {"two gaps",
       [](int i) { return i >= 300   ? 3000000
                          : i >= 100 ? 1000000
                                     : 0; },
       0,
       {{100 * kUnit + 1000000, 1000000}, {300 * kUnit + 3000000, 3000000}},
       {"Audio has a gap of 100ms at playtime 0:00:03.",
        "Audio has a gap of 200ms at playtime 0:00:10."}},
      {"gap then partly back",
       [](int i) { return i >= 300   ? 2000000
                          : i >= 200 ? 3000000
                                     : 0; },
       0,
       {{200 * kUnit + 3000000, 2000000}},
       {"Audio has a gap of 200ms at playtime 0:00:07."}},
      {"gap then back to zero", [](int i) { return i >= 100 && i < 200 ? 1000000 : 0; }, 0, {}, {}},
      {"gap in the last 30 s", [](int i) { return i >= 1000 ? 1000000 : 0; }, 0, {}, {}},
      {"drift below 6/10 of a unit", [](int i) { return i >= 100 ? 150000 : 0; }, 0, {}, {}},
  };
  SetFirstPass(true);
  for (const auto& c : cases) {
    TMessages messages;
    std::string gaps;
    UpStreamPtr reader = CreateAc3Reader(&gaps, false, false);
    auto sink = std::make_shared<TUnitSink>();
    reader->SetUpstream(sink);
    reader->SetDelay(0, c.delayMs);
    ASSERT_TRUE(reader->OpenAudio("?", 1, 1, 8, 48000, false, frame.size() * kFrames));
    for (int i = 0; i < kFrames; ++i)
      ASSERT_TRUE(reader->ProcessData(0, false, frame.data(), frame.size(),
                                      1000000 + i * kUnit + c.offset(i), false));
    ASSERT_TRUE(reader->Finish(0)) << c.name;
    EXPECT_EQ(UnpackAudioGaps(gaps), c.records) << c.name;
    for (const auto& m : c.messages) EXPECT_TRUE(messages.Has(m)) << c.name << messages.Text();
    EXPECT_EQ(messages.Count("Audio "), c.messages.size()) << c.name << messages.Text();
    EXPECT_EQ(sink->units_.size(), size_t(kFrames));
    auto* delay = Query<IInitialDelay>(reader);
    ASSERT_NE(delay, nullptr);
    EXPECT_TRUE(delay->HasInitialDelay());
    EXPECT_EQ(delay->GetInitialDelay(), 0);
  }
  // No gap detection in a second pass.
  SetFirstPass(false);
  std::string gaps = "untouched";
  UpStreamPtr reader = CreateAc3Reader(&gaps, false, false);
  reader->SetUpstream(std::make_shared<TUnitSink>());
  ASSERT_TRUE(reader->OpenAudio("?", 1, 1, 8, 48000, false, 0));
  for (int i = 0; i < 200; ++i)
    reader->ProcessData(0, false, frame.data(), frame.size(), i * kUnit + (i > 50) * 1000000,
                        false);
  ASSERT_TRUE(reader->Finish(0));
  EXPECT_EQ(gaps, "untouched");
  SetFirstPass(true);
}

// The units before the first time-stamped byte are the initial delay, however the data is
// buffered.
TEST(Ac3Reader, InitialDelay) {
  const Bytes frame = MakeAc3Frame(0, 1, false, 31);  // 32 ms
  for (size_t untimed : {size_t(5), size_t(40)}) {
    UpStreamPtr reader = CreateAc3Reader(nullptr, false, false);
    reader->SetUpstream(std::make_shared<TUnitSink>());
    ASSERT_TRUE(reader->OpenAudio("?", 1, 1, 8, 48000, false, 0));
    auto* delay = Query<IInitialDelay>(reader);
    ASSERT_NE(delay, nullptr);
    Bytes head;
    for (size_t i = 0; i < untimed; ++i) head.insert(head.end(), frame.begin(), frame.end());
    ASSERT_TRUE(reader->ProcessData(0, false, head.data(), head.size(), kNoTimeStamp, false));
    EXPECT_FALSE(delay->HasInitialDelay());
    for (int i = 0; i < 100; ++i)
      ASSERT_TRUE(
          reader->ProcessData(0, false, frame.data(), frame.size(), 5000000 + i * 320000, false));
    ASSERT_TRUE(reader->Finish(0));
    EXPECT_TRUE(delay->HasInitialDelay());
    EXPECT_EQ(delay->GetInitialDelay(), -int64_t(untimed) * 32) << untimed;
  }
}

// Random damage, truncation and block sizes through the whole reader (meant for ASan).
TEST(Ac3Reader, CorruptStreamsNeverOverRead) {
  const Bytes seven = MakeEac3SevenOne(Fixture("eac3_51_640.eac3"), Fixture("eac3_20_192.eac3"));
  const Bytes sources[] = {Fixture("ac3_51_448.ac3"), Fixture("ac3_441_32.ac3"), seven};
  std::mt19937 random(11);
  SetFirstPass(true);
  for (const Bytes& source : sources) {
    for (int round = 0; round < 40; ++round) {
      Bytes data = source;
      for (int flips = int(random() % 40); flips > 0; --flips)
        data[random() % data.size()] = uint8_t(random());
      data.resize(random() % data.size() + 1);
      std::string gaps;
      TMessages messages;
      UpStreamPtr reader = CreateAc3Reader(&gaps, random() % 2, false);
      auto sink = std::make_shared<TUnitSink>();
      reader->SetUpstream(sink);
      reader->OpenAudio("?", 1, 1, 8, 48000, false, data.size());
      for (size_t p = 0; p < data.size();) {
        const size_t n = std::min<size_t>(random() % 9000 + 1, data.size() - p);
        Bytes block(data.begin() + long(p), data.begin() + long(p + n));  // exact-size copy
        reader->ProcessData(0, false, block.data(), block.size(),
                            random() % 3 ? kNoTimeStamp : int64_t(p * 100), false);
        p += n;
      }
      reader->Finish(0);
      size_t total = 0;
      for (const auto& u : sink->units_) total += u.size();
      EXPECT_LE(total, data.size());
    }
  }
}

}  // namespace
}  // namespace kavrix::test
