// The AAC reader and header stripper: ADTS headers, real and hand-built streams in any block
// size, leading tags, strict and searching starts, damage, the gap threshold, the listing.
#include <gtest/gtest.h>

#include "aac_mpx_test_util.h"
#include "audio/voxAudioReader.h"

namespace kavrix::test {
namespace {

TEST(AdtsHeader, FieldsAndRefusals) {
  TAdtsHeader h;
  // 48 kHz stereo AAC-LC, no fixed rate.
  Bytes f = MakeAdtsFrame(300);
  ASSERT_EQ(ParseAdtsHeader(f.data(), f.size(), &h), kAdtsOk);
  EXPECT_EQ(h.sampleRate, 48000u);
  EXPECT_EQ(h.channels, 2u);
  EXPECT_EQ(h.length, 300u);
  EXPECT_EQ(h.headerLength, 7u);
  EXPECT_EQ(h.samplesPerFrame, 1024u);
  EXPECT_TRUE(h.noFixedRate);
  EXPECT_EQ(h.bitrate, 48000u * 300 * 8 / 1024);
  EXPECT_EQ(h.config[0], 0x11);
  EXPECT_EQ(h.config[1], 0x90);
  // 5.1 with a CRC, a fixed rate and two raw data blocks.
  f = MakeAdtsFrame(400, 3, 6, true, 0x100, 1);
  ASSERT_EQ(ParseAdtsHeader(f.data(), f.size(), &h), kAdtsOk);
  EXPECT_EQ(h.channels, 6u);
  EXPECT_EQ(h.headerLength, 9u);
  EXPECT_EQ(h.samplesPerFrame, 2048u);
  EXPECT_FALSE(h.noFixedRate);
  EXPECT_EQ(h.config[0], 0x11);
  EXPECT_EQ(h.config[1], 0xB0);
  // Configuration 7 is eight channels; 7350 Hz is the last rate.
  f = MakeAdtsFrame(100, 12, 7);
  ASSERT_EQ(ParseAdtsHeader(f.data(), f.size(), &h), kAdtsOk);
  EXPECT_EQ(h.channels, 8u);
  EXPECT_EQ(h.sampleRate, 7350u);

  const struct {
    const char* name;
    Bytes frame;
  } bad[] = {
      {"rate index 13", MakeAdtsFrame(100, 13)},
      {"channel configuration 0", MakeAdtsFrame(100, 3, 0)},
      {"frame no longer than its header", MakeAdtsFrame(7)},
      {"CRC frame no longer than its header", MakeAdtsFrame(9, 3, 2, true)},
      {"layer 1",
       [] {
         Bytes b = MakeAdtsFrame(100);
         b[1] |= 0x02;
         return b;
       }()},
      {"broken sync",
       [] {
         Bytes b = MakeAdtsFrame(100);
         b[1] &= 0x7F;
         return b;
       }()},
  };
  for (const auto& c : bad)
    EXPECT_EQ(ParseAdtsHeader(c.frame.data(), c.frame.size(), &h), kAdtsInvalid) << c.name;
  f = MakeAdtsFrame(100);
  EXPECT_EQ(ParseAdtsHeader(f.data(), 6, &h), kAdtsInvalid);
}

// An ffmpeg-made file: the frames pass unchanged in any block size; the details match ffprobe.
TEST(AacReader, FfmpegStreamInAnyBlockSize) {
  TScratch scratch;
  const std::string path = AudioFixture("aac_stereo.aac");
  const Bytes data = ReadBytes(path);
  // sample rate, channels and packets as ffprobe sees them ("" without it)
  const std::string probed = Probe(scratch, path, "channels,sample_rate,nb_read_packets", true);
  for (bool strict : {true, false}) {
    for (size_t block : {size_t(7), size_t(333), size_t(4096), size_t(1 << 20)}) {
      TMessages messages;
      const TFramedRun run = RunFramed(CreateAacReader(nullptr, strict), data, block);
      ASSERT_TRUE(run.ok) << block << messages.Text();
      EXPECT_EQ(messages.Text(), "");
      EXPECT_EQ(run.sink->Joined(), data) << block;
      if (!probed.empty()) {
        EXPECT_EQ("48000\n2\n" + std::to_string(run.sink->units_.size()), probed);
      }
      for (const Bytes& u : run.sink->units_) {
        TAdtsHeader h;
        ASSERT_EQ(ParseAdtsHeader(u.data(), u.size(), &h), kAdtsOk);
        ASSERT_EQ(h.length, u.size());
      }
      EXPECT_EQ(run.sink->formatId_, "aac");
      EXPECT_EQ(run.sink->channels_, 2u);
      EXPECT_EQ(run.sink->mask_, 0x3u);
      EXPECT_EQ(run.sink->bits_, 24u);
      EXPECT_EQ(run.sink->rate_, 48000u);
      const auto& d = run.Details();
      EXPECT_EQ(d.GetCodecPrivate(), std::string("\x11\x90", 2));
      EXPECT_EQ(d.GetAuxText2(), "");
      // ffmpeg writes no fixed rate: no bit rate and no duration.
      EXPECT_EQ(d.GetDescription(), "AAC, 2.0 channels, 48kHz, dialnorm: -0dB");
      EXPECT_TRUE(Query<IInitialDelay>(run.reader) != nullptr);
    }
  }
}

// Tags and zero runs before the first frame are cut off and reported; a fixed-rate stream
// reports its bit rate and the duration of the audio after the tags.
TEST(AacReader, LeadingTagsAndFixedRate) {
  const Bytes frame = MakeAdtsFrame(400, 3, 6, true, 0x200);
  const Bytes frames = Times(frame, 60);
  const Bytes tag = MakeId3v2(4096);
  Bytes id3v1 = {'T', 'A', 'G'};
  id3v1.resize(128, 'x');
  const Bytes lead = Join({tag, Bytes(50, 0), id3v1});
  for (bool strict : {true, false}) {
    for (size_t block : {size_t(1), size_t(1000), size_t(65536)}) {
      TMessages messages;
      const TFramedRun run =
          RunFramed(CreateAacReader(nullptr, strict), Join({lead, frames}), block);
      ASSERT_TRUE(run.ok) << messages.Text();
      EXPECT_EQ(run.sink->Joined(), frames) << block;
      EXPECT_EQ(run.sink->units_.size(), 60u);
      const auto& d = run.Details();
      EXPECT_EQ(d.GetAuxText2(), std::string(lead.begin(), lead.end())) << block;
      EXPECT_EQ(d.GetCodecPrivate(), std::string("\x11\xB0", 2));
      EXPECT_EQ(d.GetChannels(), 6u);
      EXPECT_EQ(d.GetChannelMask(), 0x60Fu);
      EXPECT_EQ(d.GetBitrate(), 48000u * 400 * 8 / 1024);
      EXPECT_EQ(d.GetDuration(), 60u * 400 * 8000 / (48000u * 400 * 8 / 1024));
    }
  }
}

TEST(AacReader, StartsThatAreRefused) {
  const Bytes frames = Times(MakeAdtsFrame(300), 40);
  // Strict: the file must begin with a frame; raw AAC (the same frames without their
  // headers) and junk in front are refused. Searching, junk in front is skipped.
  Bytes raw;
  for (size_t i = 0; i < 40; ++i) raw.insert(raw.end(), frames.begin() + 7, frames.begin() + 300);
  const Bytes junk(3000, 0x5A);
  const struct {
    const char* name;
    Bytes data;
    bool strict;
    const char* error;  // nullptr: accepted
  } cases[] = {
      {"raw AAC, strict", raw, true, "This doesn't seem to be a valid AAC file."},
      {"raw AAC, searching", raw, false,
       "The stream doesn't seem to contain any valid AAC frames."},
      {"junk in front, strict", Join({junk, frames}), true,
       "This doesn't seem to be a valid AAC file."},
      {"junk in front, searching", Join({junk, frames}), false, nullptr},
      {"sync word beyond the search", Join({Bytes(24576, 0x5A), frames}), false,
       "This doesn't seem to be a valid AAC stream."},
      // A sync word with a valid header, but the frames after it do not chain up.
      {"lone header", Join({MakeAdtsFrame(300), Bytes(5000, 0x5A)}), true,
       "This doesn't seem to be a valid AAC stream."},
      {"tags only", MakeId3v2(500), true,
       "The stream doesn't seem to contain any valid AAC frames."},
      {"an AC3 file", Fixture("ac3_51_448.ac3"), true, "This doesn't seem to be a valid AAC file."},
      {"an MP2 file", Fixture("mp2_stereo_192.mp2"), true,
       "This doesn't seem to be a valid AAC stream."},
  };
  for (const auto& c : cases) {
    for (size_t block : {size_t(700), size_t(65536)}) {
      TMessages messages;
      const TFramedRun run = RunFramed(CreateAacReader(nullptr, c.strict), c.data, block);
      if (!c.error) {
        EXPECT_TRUE(run.ok) << c.name << messages.Text();
        EXPECT_EQ(run.sink->Joined(), frames) << c.name;
        continue;
      }
      EXPECT_FALSE(run.ok) << c.name;
      EXPECT_EQ(messages.Count(c.error), 1u) << c.name << ": " << messages.Text();
      EXPECT_TRUE(run.sink->units_.empty()) << c.name;
    }
  }
  // Another format is refused at the announcement.
  TMessages messages;
  UpStreamPtr reader = CreateAacReader(nullptr, true);
  reader->SetUpstream(std::make_shared<TUnitSink>());
  EXPECT_FALSE(reader->OpenAudio("ac3", 1, 1, 8, 48000, false, 100));
  EXPECT_TRUE(messages.Has("The AAC reader received a non-supported data format."));
}

// A frame with a broken sync word is skipped (with the one before it, which is judged by what
// follows it); the lost time becomes a gap record; a cut-off last frame is dropped.
TEST(AacReader, DamageAndResync) {
  std::vector<Bytes> frames;
  for (size_t i = 0; i < 40; ++i) frames.push_back(MakeAdtsFrame(300 + (i % 3) * 10));
  Bytes data;
  for (const Bytes& f : frames) data.insert(data.end(), f.begin(), f.end());
  size_t at10 = 0;
  for (size_t i = 0; i < 10; ++i) at10 += frames[i].size();
  Bytes damaged = data;
  damaged[at10 + 1] = 0x00;
  damaged.resize(damaged.size() - 5);

  SetFirstPass(true);
  for (size_t block : {size_t(1), size_t(512), size_t(65536)}) {
    std::string gaps;
    TMessages messages;
    const TFramedRun run = RunFramed(CreateAacReader(&gaps, true), damaged, block);
    ASSERT_TRUE(run.ok) << messages.Text();
    EXPECT_EQ(messages.Count("This track is not clean."), 1u);
    EXPECT_EQ(messages.Count("The last AAC frame is incomplete and thus gets skipped."), 1u);
    ASSERT_EQ(run.sink->units_.size(), 37u) << block;
    EXPECT_EQ(run.sink->units_[8], frames[8]);
    EXPECT_EQ(run.sink->units_[9], frames[11]);
    // Two frames of 1024 samples at 48 kHz are missing after nine.
    const auto records = UnpackAudioGaps(gaps);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].position, SampleTicks(11 * 1024, 48000));
    EXPECT_EQ(records[0].drift, 2 * SampleTicks(1024, 48000));
    EXPECT_TRUE(messages.Has("Audio has a gap of 43ms at playtime 0:00:00.")) << messages.Text();
  }
}

// A drift counts at the end from 6/10 of a frame, but never below 7 ms: at 96 kHz a frame
// lasts 10.7 ms, so a step of 6.5 ms is dropped and one of 7.5 ms is reported.
TEST(AacReader, GapThresholdHasAFloor) {
  const Bytes frame = MakeAdtsFrame(40, 0);  // 96 kHz
  const size_t count = 3000;                 // 32 s: the step lies outside the last 30 s
  for (int64_t step : {int64_t(65000), int64_t(75000)}) {
    SetFirstPass(true);
    std::string gaps;
    TMessages messages;
    UpStreamPtr reader = CreateAacReader(&gaps, false);
    auto sink = std::make_shared<TUnitSink>();
    reader->SetUpstream(sink);
    ASSERT_TRUE(reader->OpenAudio("aac", 1, 1, 8, 48000, false, count * frame.size()));
    for (size_t i = 0; i < count; ++i) {
      const int64_t ts = SampleTicks(i * 1024, 96000) + (i >= 100 ? step : 0) + 10000000;
      ASSERT_TRUE(reader->ProcessData(0, false, frame.data(), frame.size(), ts, false));
    }
    ASSERT_TRUE(reader->Finish(0)) << messages.Text();
    EXPECT_EQ(sink->units_.size(), count);
    if (step < 70000) {
      EXPECT_TRUE(UnpackAudioGaps(gaps).empty()) << step;
      EXPECT_FALSE(messages.Has("Audio has a gap")) << messages.Text();
    } else {
      ASSERT_EQ(UnpackAudioGaps(gaps).size(), 1u) << step;
      EXPECT_TRUE(messages.Has("Audio has a gap of 8ms at playtime 0:00:01.")) << messages.Text();
    }
    // The first time stamp came with the first frame: no initial delay.
    EXPECT_TRUE(Query<IInitialDelay>(reader)->HasInitialDelay());
    EXPECT_EQ(Query<IInitialDelay>(reader)->GetInitialDelay(), 0);
  }
}

TEST(AacHeaderStripper, CutsTheHeader) {
  UpStreamPtr stripper = CreateAacHeaderStripper();
  auto sink = std::make_shared<TUnitSink>();
  stripper->SetUpstream(sink);
  ASSERT_TRUE(stripper->OpenAudio("aac", 2, 3, 24, 48000, false, 0));
  const Bytes withCrc = MakeAdtsFrame(400, 3, 2, true);
  const Bytes plain = MakeAdtsFrame(300);
  const Bytes tiny = MakeAdtsFrame(9);
  ASSERT_TRUE(stripper->ProcessData(0, false, withCrc.data(), withCrc.size(), 1234, false));
  ASSERT_TRUE(stripper->ProcessData(0, false, plain.data(), plain.size(), kNoTimeStamp, false));
  ASSERT_TRUE(stripper->ProcessData(0, false, tiny.data(), tiny.size(), kNoTimeStamp, false));
  ASSERT_TRUE(stripper->Finish(0));
  EXPECT_EQ(sink->formatId_, "aac");
  ASSERT_EQ(sink->units_.size(), 2u);
  EXPECT_EQ(sink->units_[0], Bytes(withCrc.begin() + 9, withCrc.end()));
  EXPECT_EQ(sink->units_[0].size(), 391u);
  EXPECT_EQ(sink->timeStamps_[0], 1234);
  EXPECT_EQ(sink->units_[1], Bytes(plain.begin() + 7, plain.end()));
  EXPECT_EQ(sink->finished_, 1);

  TMessages messages;
  UpStreamPtr other = CreateAacHeaderStripper();
  other->SetUpstream(std::make_shared<TUnitSink>());
  EXPECT_FALSE(other->OpenAudio("ac3", 2, 3, 24, 48000, false, 0));
  EXPECT_TRUE(messages.Has("The AAC header stripper received a non-supported data format."));
  UpStreamPtr alone = CreateAacHeaderStripper();
  EXPECT_FALSE(alone->OpenAudio("aac", 2, 3, 24, 48000, false, 0));
  EXPECT_TRUE(messages.Has("The AAC header stripper upstream property is not set."));
}

TEST(AacReader, ProgramListsAacFiles) {
  TScratch scratch;
  const std::string path = AudioFixture("aac_stereo.aac");
  std::string out = Capture(scratch, std::string(KAVRIX_BINARY) + " '" + path + "'");
  EXPECT_NE(out.find("AAC, 2.0 channels, 48kHz, dialnorm: -0dB"), std::string::npos) << out;
  // A fixed-rate 5.1 stream behind a tag.
  const std::string cbr = scratch.Write(
      "cbr.aac", Join({MakeId3v2(300), Times(MakeAdtsFrame(500, 3, 6, false, 0x300), 200)}));
  out = Capture(scratch, std::string(KAVRIX_BINARY) + " '" + cbr + "'");
  EXPECT_NE(out.find("AAC, 5.1 channels, 0:00:04, 188kbps, 48kHz, dialnorm: -0dB"),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace kavrix::test
