// The MPEG audio reader: frame headers of every version and layer, real files with tags and
// VBR headers, hand-built streams, refused starts, damage, the detector and the listing.
#include <gtest/gtest.h>

#include <cstring>

#include "aac_mpx_test_util.h"
#include "audio/voxAudioReader.h"
#include "containers/voxFormatDetector.h"
#include "io/voxFileStream.h"

namespace kavrix::test {
namespace {

TEST(MpegAudioHeader, VersionsLayersAndLengths) {
  const struct {
    const char* name;
    uint32_t version, layer, rate, sample;
    bool padding;
    uint32_t mode;
    size_t length;
    uint32_t samples, sampleRate, bitrate, channels;
    const char* text;
  } cases[] = {
      {"MPEG-1 II 48k 256k", 3, 2, 12, 1, false, 0, 768, 1152, 48000, 256000, 2, "2.0"},
      {"MPEG-1 III 44.1k 128k", 3, 1, 9, 0, false, 1, 417, 1152, 44100, 128000, 2, "2.0"},
      {"MPEG-1 III 44.1k 128k padded", 3, 1, 9, 0, true, 1, 418, 1152, 44100, 128000, 2, "2.0"},
      {"MPEG-2 III 22.05k 64k", 2, 1, 8, 0, false, 3, 208, 576, 22050, 64000, 1, "1.0"},
      {"MPEG-2 III 22.05k 64k padded", 2, 1, 8, 0, true, 3, 209, 576, 22050, 64000, 1, "1.0"},
      {"MPEG-1 I 48k 384k", 3, 3, 12, 1, false, 0, 384, 384, 48000, 384000, 2, "2.0"},
      {"MPEG-1 I 44.1k 32k padded", 3, 3, 1, 0, true, 0, 36, 384, 44100, 32000, 2, "2.0"},
      {"MPEG-1 II dual channel", 3, 2, 10, 1, false, 2, 576, 1152, 48000, 192000, 2, "1+1"},
      {"MPEG-2 I 24k 256k", 2, 3, 14, 1, false, 0, 512, 384, 24000, 256000, 2, "2.0"},
      {"MPEG-2 II 16k 160k", 2, 2, 14, 2, false, 0, 1440, 1152, 16000, 160000, 2, "2.0"},
      {"MPEG-2.5 III 8k 8k", 0, 1, 1, 2, false, 3, 72, 576, 8000, 8000, 1, "1.0"},
      {"MPEG-2.5 III 11.025k 160k", 0, 1, 14, 0, false, 0, 1044, 576, 11025, 160000, 2, "2.0"},
  };
  for (const auto& c : cases) {
    const Bytes f = MakeMpegFrame(8, c.version, c.layer, c.rate, c.sample, c.padding, c.mode);
    TMpegAudioHeader h;
    ASSERT_EQ(ParseMpegAudioHeader(f.data(), f.size(), &h), kMpegAudioOk) << c.name;
    EXPECT_EQ(h.length, c.length) << c.name;
    EXPECT_EQ(h.samplesPerFrame, c.samples) << c.name;
    EXPECT_EQ(h.sampleRate, c.sampleRate) << c.name;
    EXPECT_EQ(h.bitrate, c.bitrate) << c.name;
    EXPECT_EQ(h.channels, c.channels) << c.name;
    EXPECT_EQ(h.channelText, c.text) << c.name;
    EXPECT_EQ(h.layer, 4 - c.layer) << c.name;
  }
  const struct {
    const char* name;
    Bytes frame;
    int result;
  } bad[] = {
      {"version 1", MakeMpegFrame(8, 1, 1, 9, 0), kMpegAudioInvalid},
      {"layer 0", MakeMpegFrame(8, 3, 0, 9, 0), kMpegAudioInvalid},
      {"bit-rate index 15", MakeMpegFrame(8, 3, 1, 15, 0), kMpegAudioInvalid},
      {"sample-rate index 3", MakeMpegFrame(8, 3, 1, 9, 3), kMpegAudioInvalid},
      {"free bit rate", MakeMpegFrame(8, 3, 1, 0, 0), kMpegAudioFree},
      {"no sync", Bytes{0xFF, 0xC0, 0x90, 0x00}, kMpegAudioInvalid},
  };
  for (const auto& c : bad)
    EXPECT_EQ(ParseMpegAudioHeader(c.frame.data(), c.frame.size(), nullptr), c.result) << c.name;
  // The channel mode lies in the fourth byte: three bytes are not a header.
  const Bytes f = MakeMpegFrame(8, 3, 1, 9, 0);
  EXPECT_EQ(ParseMpegAudioHeader(f.data(), 3, nullptr), kMpegAudioInvalid);
}

// ffmpeg-made files pass unchanged (behind their ID3v2 tag, which is reported) in any block
// size, one frame per delivery; the details match ffprobe.
TEST(MPxReader, FfmpegFilesInAnyBlockSize) {
  TScratch scratch;
  const struct {
    const char* file;
    size_t tag;
    const char* description;
    const char* id;
    uint32_t channels, rate;
    size_t vbrFrames;  // the VBR header frame, which ffprobe does not count as a packet
  } cases[] = {
      {"mp2_stereo_192.mp2", 0, "MP2, 2.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -0dB", "mp2",
       2, 48000, 0},
      {"mp3_mono_64.mp3", 45, "MP3, 1.0 channels, 0:00:01, 64kbps, 44.1kHz, dialnorm: -0dB", "mp3",
       1, 44100, 1},
      {"mp3_vbr.mp3", 45, "MP3, 2.0 channels, 0:00:02, 35kbps, 44.1kHz, dialnorm: -0dB", "mp3", 2,
       44100, 1},
  };
  for (const auto& c : cases) {
    const std::string path = AudioFixture(c.file);
    if (!std::filesystem::exists(path)) {
      std::printf("skipped: %s (made only with libmp3lame)\n", c.file);
      continue;
    }
    const Bytes data = ReadBytes(path);
    const Bytes frames(data.begin() + long(c.tag), data.end());
    // sample rate, channels and packets as ffprobe sees them ("" without it)
    const std::string probed = Probe(scratch, path, "channels,sample_rate,nb_read_packets", true);
    for (bool strict : {true, false}) {
      for (size_t block : {size_t(7), size_t(1000), size_t(1 << 20)}) {
        TMessages messages;
        const TFramedRun run = RunFramed(CreateMPxReader(nullptr, strict), data, block);
        ASSERT_TRUE(run.ok) << c.file << " " << block << messages.Text();
        EXPECT_EQ(messages.Text(), "") << c.file;
        EXPECT_EQ(run.sink->Joined(), frames) << c.file << " " << block;
        if (!probed.empty()) {
          EXPECT_EQ(std::to_string(c.rate) + "\n" + std::to_string(c.channels) + "\n" +
                        std::to_string(run.sink->units_.size() - c.vbrFrames),
                    probed)
              << c.file;
        }
        for (const Bytes& u : run.sink->units_) {
          TMpegAudioHeader h;
          ASSERT_EQ(ParseMpegAudioHeader(u.data(), u.size(), &h), kMpegAudioOk);
          ASSERT_EQ(h.length, u.size());
        }
        EXPECT_EQ(run.sink->formatId_, c.id);
        EXPECT_EQ(run.sink->channels_, c.channels);
        EXPECT_EQ(run.sink->mask_, c.channels == 1 ? 0x4u : 0x3u);
        EXPECT_EQ(run.sink->bits_, 24u);
        EXPECT_EQ(run.sink->rate_, c.rate);
        const auto& d = run.Details();
        EXPECT_EQ(d.GetDescription(), c.description) << c.file;
        EXPECT_EQ(d.GetAuxText2(), std::string(data.begin(), data.begin() + long(c.tag)));
        EXPECT_NE(Query<IMPxReader>(run.reader), nullptr);
      }
    }
  }
  // Durations: the MP2 file from its length; the MP3 files from their VBR header's count:
  // Info keeps the first frame's bit rate, Xing recomputes it from the stream length.
  const Bytes mp2 = Fixture("mp2_stereo_192.mp2");
  EXPECT_EQ(RunFramed(CreateMPxReader(nullptr, true), mp2).Details().GetDuration(),
            mp2.size() * 8000 / 192000);
  if (std::filesystem::exists(AudioFixture("mp3_vbr.mp3"))) {
    const Bytes vbr = Fixture("mp3_vbr.mp3");
    uint32_t count = 0;
    for (int i = 0; i < 4; ++i) count = count << 8 | vbr[45 + 36 + 8 + i];
    const uint32_t ms = (count - 1) * 1152 * 1000 / 44100;
    const TFramedRun run = RunFramed(CreateMPxReader(nullptr, true), vbr);
    EXPECT_EQ(run.Details().GetDuration(), ms);
    EXPECT_EQ(run.Details().GetBitrate(), (vbr.size() - 45) * 8000 / ms);
  }
}

// Streams of every version and layer, built by hand (strict: MPEG-2.5 has an 11-bit sync word).
TEST(MPxReader, HandBuiltStreamsOfEveryLayer) {
  const struct {
    uint32_t version, layer, rate, sample, mode;
    const char* id;
    const char* name;
    uint32_t sampleRate, channels;
  } cases[] = {
      {3, 3, 12, 1, 0, "mp1", "MP1", 48000, 2}, {3, 2, 12, 1, 2, "mp2", "MP2", 48000, 2},
      {3, 1, 9, 0, 3, "mp3", "MP3", 44100, 1},  {2, 3, 14, 1, 0, "mp1", "MP1", 24000, 2},
      {2, 2, 14, 2, 1, "mp2", "MP2", 16000, 2}, {2, 1, 8, 0, 3, "mp3", "MP3", 22050, 1},
      {0, 1, 1, 2, 3, "mp3", "MP3", 8000, 1},
  };
  for (const auto& c : cases) {
    TMpegAudioHeader h;
    Bytes probe = MakeMpegFrame(4, c.version, c.layer, c.rate, c.sample, false, c.mode);
    ASSERT_EQ(ParseMpegAudioHeader(probe.data(), 4, &h), kMpegAudioOk);
    Bytes data;
    for (int i = 0; i < 30; ++i) {
      // Padding on every third frame.
      const bool pad = i % 3 == 2;
      data = Join({data, MakeMpegFrame(h.length + (pad ? (c.layer == 3 ? 4 : 1) : 0), c.version,
                                       c.layer, c.rate, c.sample, pad, c.mode)});
    }
    for (bool strict : {true, false}) {
      TMessages messages;
      const TFramedRun run = RunFramed(CreateMPxReader(nullptr, strict), data, 100);
      ASSERT_TRUE(run.ok) << c.id << messages.Text();
      EXPECT_EQ(run.sink->Joined(), data);
      EXPECT_EQ(run.sink->units_.size(), 30u);
      EXPECT_EQ(run.sink->formatId_, c.id);
      const auto& d = run.Details();
      EXPECT_EQ(d.GetDisplayName(), c.name);
      EXPECT_EQ(d.GetSampleRate(), c.sampleRate);
      EXPECT_EQ(d.GetChannels(), c.channels);
      EXPECT_EQ(d.GetChannelText(), h.channelText);
      EXPECT_EQ(d.GetBitrate(), h.bitrate);
      EXPECT_EQ(d.GetDuration(), data.size() * 8000 / h.bitrate);
    }
  }
}

// VBR headers in the first frame: where they stand depends on version and channels.
TEST(MPxReader, VbrHeaders) {
  auto stream = [](uint32_t version, uint32_t mode, size_t at, const char* tag, uint32_t count,
                   uint8_t flags = 1) {
    TMpegAudioHeader h;
    const Bytes probe = MakeMpegFrame(4, version, 1, 9, 0, false, mode);
    ParseMpegAudioHeader(probe.data(), 4, &h);
    Bytes first = MakeMpegFrame(h.length, version, 1, 9, 0, false, mode);
    std::memcpy(first.data() + at, tag, 4);
    const size_t countAt = std::strcmp(tag, "VBRI") == 0 ? at + 14 : at + 8;
    if (std::strcmp(tag, "VBRI") != 0) first[at + 7] = flags;
    for (int i = 0; i < 4; ++i) first[countAt + size_t(i)] = uint8_t(count >> (24 - 8 * i));
    return std::make_pair(
        Join({first, Times(MakeMpegFrame(h.length, version, 1, 9, 0, false, mode), 40)}), h);
  };
  const struct {
    const char* name;
    uint32_t version, mode;
    size_t at;
    const char* tag;
    uint32_t count;
    uint8_t flags;
    bool counted;     // the duration comes from the count
    bool recomputed;  // the bit rate comes from length and duration
  } cases[] = {
      {"Xing, MPEG-1 stereo", 3, 0, 36, "Xing", 101, 1, true, true},
      {"Xing, MPEG-1 mono", 3, 3, 21, "Xing", 101, 1, true, true},
      {"Xing, MPEG-2 mono", 2, 3, 13, "Xing", 101, 1, true, true},
      {"Xing, MPEG-2 stereo", 2, 0, 21, "Xing", 101, 1, true, true},
      {"Info", 3, 0, 36, "Info", 101, 1, true, false},
      {"VBRI", 3, 0, 36, "VBRI", 101, 1, true, true},
      {"Xing without frame count", 3, 0, 36, "Xing", 101, 6, false, false},
      {"Xing at the wrong place", 3, 0, 21, "Xing", 101, 1, false, false},
      {"Xing counting nothing", 3, 0, 36, "Xing", 1, 1, false, false},
  };
  for (const auto& c : cases) {
    const auto [data, h] = stream(c.version, c.mode, c.at, c.tag, c.count, c.flags);
    const TFramedRun run = RunFramed(CreateMPxReader(nullptr, true), data);
    ASSERT_TRUE(run.ok) << c.name;
    EXPECT_EQ(run.sink->Joined(), data);
    const uint32_t ms = (c.count - 1) * h.samplesPerFrame * 1000 / h.sampleRate;
    const auto& d = run.Details();
    EXPECT_EQ(d.GetDuration(), c.counted ? ms : data.size() * 8000 / h.bitrate) << c.name;
    EXPECT_EQ(d.GetBitrate(), c.recomputed ? data.size() * 8000 / ms : h.bitrate) << c.name;
  }
}

TEST(MPxReader, StartsThatAreRefused) {
  const Bytes frames = Times(MakeMpegFrame(576, 3, 2, 10, 1), 20);
  const Bytes free = Times(MakeMpegFrame(500, 3, 2, 0, 1), 20);
  const Bytes junk(3000, 0x5A);
  const struct {
    const char* name;
    Bytes data;
    bool strict;
    const char* error;
  } cases[] = {
      {"free bit rate, strict", free, true, "MPx streams with \"free\" bitrate are not supported."},
      {"free bit rate behind a tag, searching", Join({MakeId3v2(100), free}), false,
       "MPx streams with \"free\" bitrate are not supported."},
      {"junk in front, strict", Join({junk, frames}), true,
       "This doesn't seem to be a valid MPx file."},
      {"junk in front, searching", Join({junk, frames}), false, nullptr},
      {"sync word beyond the search", Join({Bytes(12288, 0x5A), frames}), false,
       "This doesn't seem to be a valid MPx stream."},
      {"frames that do not chain", Join({MakeMpegFrame(576, 3, 2, 10, 1), Bytes(9000, 0x5A)}), true,
       "This doesn't seem to be a valid MPx stream."},
      {"a layer change within the first frames",
       Join({Times(MakeMpegFrame(576, 3, 2, 10, 1), 3), Times(MakeMpegFrame(576, 3, 1, 12, 1), 5)}),
       true, "This doesn't seem to be a valid MPx stream."},
      {"an AAC file", Fixture("aac_stereo.aac"), true,
       "This doesn't seem to be a valid MPx stream."},
      {"a WAV header", Bytes{'R', 'I', 'F', 'F', 1, 2, 3, 4, 'W', 'A', 'V', 'E', 'f', 'm', 't'},
       true, "This doesn't seem to be a valid MPx file."},
  };
  for (const auto& c : cases) {
    for (size_t block : {size_t(333), size_t(65536)}) {
      TMessages messages;
      const TFramedRun run = RunFramed(CreateMPxReader(nullptr, c.strict), c.data, block);
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
  TMessages messages;
  UpStreamPtr reader = CreateMPxReader(nullptr, true);
  reader->SetUpstream(std::make_shared<TUnitSink>());
  EXPECT_TRUE(reader->OpenAudio("mp3", 1, 1, 8, 48000, false, 100));
  UpStreamPtr other = CreateMPxReader(nullptr, true);
  other->SetUpstream(std::make_shared<TUnitSink>());
  EXPECT_FALSE(other->OpenAudio("aac", 1, 1, 8, 48000, false, 100));
  EXPECT_TRUE(messages.Has("The MPx reader received a non-supported data format."));
}

// Damage: a broken sync word is skipped with the frame before it (which is judged by what
// follows it), a frame of another layer alone; the time lost becomes gap records.
TEST(MPxReader, DamageAndResync) {
  std::vector<Bytes> frames;
  for (size_t i = 0; i < 40; ++i) frames.push_back(MakeMpegFrame(576, 3, 2, 10, 1));
  Bytes data;
  std::vector<size_t> at;
  for (const Bytes& f : frames) {
    at.push_back(data.size());
    data.insert(data.end(), f.begin(), f.end());
  }
  Bytes damaged = data;
  damaged[at[10] + 1] = 0x00;                                             // sync word broken
  const Bytes other = MakeMpegFrame(576, 3, 1, 14, 1);                    // declares 960 bytes
  std::copy(other.begin(), other.end(), damaged.begin() + long(at[25]));  // a layer III frame
  SetFirstPass(true);
  for (size_t block : {size_t(1), size_t(500), size_t(65536)}) {
    std::string gaps;
    TMessages messages;
    const TFramedRun run = RunFramed(CreateMPxReader(&gaps, true), damaged, block);
    ASSERT_TRUE(run.ok) << messages.Text();
    EXPECT_EQ(messages.Count("This track is not clean."), 1u);
    ASSERT_EQ(run.sink->units_.size(), 37u) << block;
    EXPECT_EQ(run.sink->Joined(),
              Join({Bytes(data.begin(), data.begin() + long(at[9])),
                    Bytes(data.begin() + long(at[11]), data.begin() + long(at[25])),
                    Bytes(data.begin() + long(at[26]), data.end())}));
    const auto records = UnpackAudioGaps(gaps);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].position, 11 * 240000);
    EXPECT_EQ(records[0].drift, 2 * 240000);
    EXPECT_EQ(records[1].position, 26 * 240000);
    EXPECT_EQ(records[1].drift, 3 * 240000);
    EXPECT_EQ(messages.Count("Audio has a gap of 48ms at playtime 0:00:00."), 1u)
        << messages.Text();
    EXPECT_EQ(messages.Count("Audio has a gap of 24ms at playtime 0:00:01."), 1u)
        << messages.Text();
  }
}

// The format detector takes MP2, MP3 and AAC files and still tells AC3, DTS and WAV apart;
// the program lists the tracks.
TEST(MPxReader, DetectorAndProgramListing) {
  const struct {
    const char* file;
    const char* id;
  } cases[] = {
      {"mp2_stereo_192.mp2", "mp2"}, {"mp3_vbr.mp3", "mp3"}, {"aac_stereo.aac", "aac"},
      {"ac3_51_448.ac3", "ac3"},     {"dts_51.dts", "dts"},  {"eac3_51_640.eac3", "eac3"},
  };
  for (const auto& c : cases) {
    const std::string path = AudioFixture(c.file);
    if (!std::filesystem::exists(path)) continue;
    UpStreamPtr source = CreateSourceFiles({path}, 0, 0, 314572800, false, 24000, 1001);
    ASSERT_TRUE(source->GetOk());
    UpStreamPtr detector = CreateFormatDetector(false, false, false, true, false);
    source->SetUpstream(detector);
    TMessages messages;
    source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false);
    EXPECT_EQ(messages.Text(), "") << c.file;
    const auto audio = Query<IFormatDetector>(detector)->GetAudioDetails();
    ASSERT_TRUE(audio->GetValid()) << c.file;
    EXPECT_EQ(audio->GetFormatId(), c.id) << c.file;
  }
  // Elementary mode (a transport-stream track): the first frame is searched for.
  const Bytes track = Join({Bytes(3000, 0x5A), Fixture("mp2_stereo_192.mp2")});
  UpStreamPtr elementary = CreateFormatDetector(false, false, false, false, true);
  ASSERT_TRUE(elementary->OpenAudio("?", 1, 1, 8, 48000, false, track.size()));
  ASSERT_TRUE(elementary->ProcessData(0, false, track.data(), track.size(), kNoTimeStamp, false));
  ASSERT_TRUE(elementary->Finish(0));
  EXPECT_EQ(Query<IFormatDetector>(elementary)->GetAudioDetails()->GetFormatId(), "mp2");

  TScratch scratch;
  const std::string out = Capture(
      scratch, std::string(KAVRIX_BINARY) + " '" + AudioFixture("mp2_stereo_192.mp2") + "'");
  EXPECT_NE(out.find("MP2, 2.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -0dB"),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace kavrix::test

namespace kavrix::test {
namespace {

// Blocks larger than the reader's bridge are read in place: the frames still pass whole.
TEST(MPxReader, LargeBlocks) {
  const Bytes frames = Times(MakeMpegFrame(576, 3, 2, 10, 1), 2000);
  const Bytes data = Join({MakeId3v2(1000), frames});
  for (size_t block : {size_t(100000), size_t(300001), data.size()}) {
    TMessages messages;
    const TFramedRun run = RunFramed(CreateMPxReader(nullptr, true), data, block);
    ASSERT_TRUE(run.ok) << messages.Text();
    EXPECT_EQ(run.sink->units_.size(), 2000u);
    EXPECT_EQ(run.sink->Joined(), frames);
  }
}

// Damaged and random input in any block size: the readers never read out of bounds (run with
// the sanitizers), and whatever they deliver is whole frames of the input.
TEST(AacMpxReaders, RandomDamage) {
  std::mt19937 random(7);
  const Bytes sources[] = {Fixture("aac_stereo.aac"), Fixture("mp2_stereo_192.mp2"),
                           Join({MakeId3v2(300), Times(MakeAdtsFrame(200, 3, 2, true), 50)})};
  for (int round = 0; round < 60; ++round) {
    Bytes data = sources[round % 3];
    const size_t hits = 1 + random() % 20;
    for (size_t i = 0; i < hits; ++i) data[random() % data.size()] = uint8_t(random());
    if (round % 5 == 0) data.resize(random() % data.size());
    if (round % 7 == 0) {
      for (auto& b : data) b = uint8_t(random() % 3 == 0 ? 0xFF : random());
    }
    const size_t block = 1 + random() % 3000;
    TMessages messages;
    std::string gaps;
    for (bool strict : {true, false}) {
      for (UpStreamPtr reader : {CreateAacReader(&gaps, strict), CreateMPxReader(&gaps, strict)}) {
        const TFramedRun run = RunFramed(reader, data, block);
        for (const Bytes& u : run.sink->units_) {
          TAdtsHeader a;
          TMpegAudioHeader m;
          const bool whole =
              (ParseAdtsHeader(u.data(), u.size(), &a) == kAdtsOk && a.length == u.size()) ||
              (ParseMpegAudioHeader(u.data(), u.size(), &m) == kMpegAudioOk &&
               m.length == u.size());
          ASSERT_TRUE(whole) << round;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kavrix::test
