// The WAV reader: formats, chunk layouts, damaged headers and big sources, and AC3 carried in
// WAV, each fed in several block sizes (exact-size blocks, so that an over-read shows under
// the address sanitizer).
#include <gtest/gtest.h>

#include <memory>

#include "audio/voxAc3.h"
#include "core/voxUpStream_console.h"
#include "pcm/voxWav.h"
#include "wav_test_support.h"

namespace kavrix {
namespace {

using test::Bytes;
using test::Chunk;
using test::Fmt;
using test::FmtExtensible;
using test::Riff;
using test::TRecorder;

struct TRun {
  UpStreamPtr reader;
  std::shared_ptr<TRecorder> out;
  bool ok = false;
  std::string console;
};

// Announces the source as a source node does (its size in bytes, unless a size is given) and
// feeds the bytes in blocks of blockSize, each in a buffer of exactly its size.
TRun Read(const Bytes& file, size_t blockSize, uint64_t announcedSize = 0,
          UpStreamPtr reader = CreateWavReader(), UpStreamPtr chainEnd = nullptr) {
  test::TConsoleCapture console;
  TRun run;
  run.reader = reader;
  run.out = std::make_shared<TRecorder>();
  if (chainEnd) {
    reader->SetUpstream(chainEnd);
    chainEnd->SetUpstream(run.out);
  } else {
    reader->SetUpstream(run.out);
  }
  run.ok =
      reader->OpenAudio("?", 1, 1, 8, 48000, false, announcedSize ? announcedSize : file.size());
  for (size_t at = 0; run.ok && at < file.size(); at += blockSize) {
    const size_t n = std::min(blockSize, file.size() - at);
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), file.data() + at, n);
    run.ok = reader->ProcessData(0, false, block.get(), n, kNoTimeStamp, false);
  }
  if (run.ok) run.ok = reader->Finish(0);
  run.console = console.Text();
  return run;
}

const std::vector<size_t> kBlockSizes = {1, 7, 4096, size_t(1) << 20};

TEST(WavReader, FixturesPassTheirDataChunkWithTheirFormat) {
  struct TCase {
    const char* file;
    const char* formatId;
    uint32_t channels, mask, bits, validBits, rate;
    bool isFloat;
  };
  const TCase cases[] = {
      {"st16.wav", "pcm", 2, 0x3, 16, 16, 48000, false},
      {"s51_24.wav", "pcm", 6, 0x60F, 24, 24, 48000, false},
      {"f32.wav", "float", 2, 0x3, 32, 32, 48000, true},
      {"u8_mono.wav", "pcm", 1, 0x4, 8, 8, 16000, false},
  };
  for (const auto& c : cases) {
    const Bytes file = test::ReadBytes(test::FixturePath(std::string("pcm/") + c.file));
    ASSERT_FALSE(file.empty()) << c.file;
    Bytes expected = test::DataChunk(file);
    // 8-bit samples are unsigned in the file and signed in the chain.
    if (c.bits == 8)
      for (auto& b : expected) b ^= 0x80;
    const uint64_t frames = expected.size() / (c.channels * c.bits / 8);
    for (size_t blockSize : kBlockSizes) {
      SCOPED_TRACE(std::string(c.file) + " in blocks of " + std::to_string(blockSize));
      TRun run = Read(file, blockSize);
      ASSERT_TRUE(run.ok) << run.console;
      EXPECT_EQ(run.out->formatId, c.formatId);
      EXPECT_EQ(run.out->channels, c.channels);
      EXPECT_EQ(run.out->channelMask, c.mask);
      EXPECT_EQ(run.out->bits, c.bits);
      EXPECT_EQ(run.out->sampleRate, c.rate);
      EXPECT_EQ(run.out->frameCount, frames);
      EXPECT_EQ(run.out->finishes, 1);
      EXPECT_TRUE(run.out->bytes == expected);
      EXPECT_NE(run.console.find("Reading WAV..."), std::string::npos);
      auto* d = Query<IAudioFormatDetails>(run.reader);
      EXPECT_TRUE(d->GetValid());
      EXPECT_EQ(d->GetFormatId(), "wav");
      EXPECT_EQ(d->GetChannels(), c.channels);
      EXPECT_EQ(d->GetSampleRate(), c.rate);
      EXPECT_EQ(d->GetValidBits(), c.validBits);
      EXPECT_EQ(d->GetIsFloat(), c.isFloat);
      EXPECT_EQ(d->GetDuration(), frames * 1000 / c.rate);
    }
  }
}

// Stereo 16-bit audio of n frames with recognisable bytes.
Bytes Audio(size_t bytes) {
  Bytes a(bytes);
  for (size_t i = 0; i < bytes; ++i) a[i] = uint8_t(i * 7 + 3);
  return a;
}

TEST(WavReader, ChunkLayouts) {
  const Bytes fmt = Chunk("fmt ", Fmt(1, 2, 48000, 16));
  const Bytes audio = Audio(400);
  const Bytes odd = Bytes{1, 2, 3, 4, 5};  // odd-sized: a pad byte follows
  const Bytes big(70000, 0x55);            // bigger than the blocks it arrives in
  struct TCase {
    const char* what;
    Bytes file;
    Bytes expected;  // delivered audio; empty = the reader must fail
    const char* message;
  };
  const TCase cases[] = {
      {"plain", Riff({fmt, Chunk("data", audio)}), audio, ""},
      {"LIST before fmt, big chunk before data",
       Riff({Chunk("LIST", odd), fmt, Chunk("JUNK", big), Chunk("data", audio)}), audio, ""},
      {"odd-sized chunks with pad bytes", Riff({fmt, Chunk("bext", odd), Chunk("data", audio)}),
       audio, ""},
      {"zero-size chunk", Riff({Chunk("JUNK", {}), fmt, Chunk("data", audio)}), audio, ""},
      {"trailing chunk never delivered",
       Riff({fmt, Chunk("data", audio), Chunk("LIST", Bytes(300, 0xEE))}), audio, ""},
      {"data size below the audio stops there", Riff({fmt, Chunk("data", audio, true, 100)}),
       Bytes(audio.begin(), audio.begin() + 100), ""},
      {"data size beyond the file stops at its end",
       Riff({fmt, Chunk("data", audio, true, 0xFFFFFF00)}), audio, ""},
      {"fmt after data",
       Riff({Chunk("data", audio), fmt}),
       {},
       "The WAV file header seems to be incomplete."},
      {"chunk size beyond the file",
       Riff({fmt, Chunk("LIST", odd, true, 1000)}),
       {},
       "The WAV file header seems to be incomplete."},
      {"no data chunk", Riff({fmt}), {}, "The WAV file header seems to be incomplete."},
      {"fmt too short",
       Riff({Chunk("fmt ", Bytes(14, 1)), Chunk("data", audio)}),
       {},
       "This WAV file format is currently not supported."},
      {"extensible fmt too short",
       Riff({Chunk("fmt ", Fmt(0xFFFE, 2, 48000, 16)), Chunk("data", audio)}),
       {},
       "This WAV file format is currently not supported."},
      {"no channels",
       Riff({Chunk("fmt ", Fmt(1, 0, 48000, 16)), Chunk("data", audio)}),
       {},
       "This WAV file format is currently not supported."},
      {"rate 0",
       Riff({Chunk("fmt ", Fmt(1, 2, 0, 16)), Chunk("data", audio)}),
       {},
       "This WAV file format is currently not supported."},
      {"12-bit",
       Riff({Chunk("fmt ", Fmt(1, 2, 48000, 12)), Chunk("data", audio)}),
       {},
       "This WAV file format is currently not supported."},
      {"ADPCM",
       Riff({Chunk("fmt ", Fmt(2, 2, 48000, 16)), Chunk("data", audio)}),
       {},
       "This WAV file format is currently not supported."},
      {"valid bits above the container",
       Riff({Chunk("fmt ", FmtExtensible(2, 48000, 16, 20, 3)), Chunk("data", audio)}),
       {},
       "This WAV file format is currently not supported."},
      {"unknown sub-format",
       Riff({Chunk("fmt ", FmtExtensible(2, 48000, 16, 16, 3, 0x2000)), Chunk("data", audio)}),
       {},
       "The WAV format {00002000-0000-0010-8000-00AA00389B71} is not supported yet."},
      {"big endian",
       Riff({fmt, Chunk("data", audio)}, "RIFX"),
       {},
       "This is a big endian WAV file, which is currently not supported."},
      {"not a WAV file", Bytes(64, 'x'), {}, "This doesn't seem to be a valid WAV file."},
      {"shorter than a RIFF header",
       Bytes{'R', 'I', 'F', 'F'},
       {},
       "This doesn't seem to be a valid WAV file."},
  };
  for (const auto& c : cases) {
    for (size_t blockSize : kBlockSizes) {
      SCOPED_TRACE(std::string(c.what) + " in blocks of " + std::to_string(blockSize));
      TRun run = Read(c.file, blockSize);
      if (c.expected.empty()) {
        EXPECT_FALSE(run.ok);
        EXPECT_FALSE(run.reader->GetOk());
        EXPECT_NE(run.console.find(c.message), std::string::npos) << run.console;
        EXPECT_TRUE(run.out->bytes.empty());
      } else {
        ASSERT_TRUE(run.ok) << run.console;
        EXPECT_TRUE(run.out->bytes == c.expected);
        EXPECT_EQ(run.out->frameCount, c.expected.size() / 4);
      }
    }
  }
}

TEST(WavReader, ExtensibleWithFewerValidBitsKeepsTheContainer) {
  const Bytes file =
      Riff({Chunk("fmt ", FmtExtensible(6, 48000, 24, 20, 0x60F)), Chunk("data", Audio(18 * 10))});
  TRun run = Read(file, 5);
  ASSERT_TRUE(run.ok) << run.console;
  EXPECT_EQ(run.out->bits, 24u);
  EXPECT_EQ(run.out->channelMask, 0x60Fu);
  EXPECT_EQ(Query<IAudioFormatDetails>(run.reader)->GetValidBits(), 20u);
}

// Sources of 2 GiB and more: only the header and a little audio are fed; the announced size
// stands for the file.
TEST(WavReader, BigSourcesPlayToTheirEndButNotIntoTrailingChunks) {
  constexpr uint64_t G = uint64_t(1) << 30;
  const Bytes fmt = Chunk("fmt ", Fmt(1, 2, 48000, 16));
  const uint64_t header = 12 + fmt.size() + 8;
  struct TCase {
    const char* what;
    uint64_t sourceSize;
    uint32_t dataSize;
    uint64_t audioBytes;
  };
  const TCase cases[] = {
      {"3 GiB, size 0xFFFFFFFF", 3 * G, 0xFFFFFFFFu, 3 * G - header},
      {"3 GiB, size 0", 3 * G, 0, 3 * G - header},
      {"3 GiB, size implausibly small", 3 * G, 1000, 3 * G - header},
      {"3 GiB, plausible size, then trailing chunks", 3 * G, uint32_t(2 * G + 400), 2 * G + 400},
      {"5 GiB wrapped size, then a trailing chunk", 5 * G + header + 4096, uint32_t(5 * G), 5 * G},
      {"1 GiB with a too small size", 1 * G, 4000, 4000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = Riff({fmt});
    test::PutLe(file, 0x61746164, 4);  // "data"
    test::PutLe(file, c.dataSize, 4);
    const Bytes audio = Audio(8000);
    file.insert(file.end(), audio.begin(), audio.end());
    test::TConsoleCapture console;
    auto out = std::make_shared<TRecorder>();
    UpStreamPtr reader = CreateWavReader();
    reader->SetUpstream(out);
    ASSERT_TRUE(reader->OpenAudio("?", 1, 1, 8, 48000, false, c.sourceSize));
    ASSERT_TRUE(reader->ProcessData(0, false, file.data(), file.size(), kNoTimeStamp, false));
    EXPECT_EQ(out->frameCount, c.audioBytes / 4);
    EXPECT_EQ(out->bytes.size(), std::min<uint64_t>(8000, c.audioBytes));
    EXPECT_EQ(Query<IAudioFormatDetails>(reader)->GetDuration(), c.audioBytes / 4 * 1000 / 48000);
  }
}

TEST(WavReader, RefusesOtherAnnouncementsAndMissingUpstream) {
  test::TConsoleCapture console;
  UpStreamPtr reader = CreateWavReader();
  EXPECT_FALSE(reader->OpenAudio("?", 1, 1, 8, 48000, false, 100));
  EXPECT_NE(console.Text().find("The WAV reader upstream property is not set."), std::string::npos);
  UpStreamPtr other = CreateWavReader();
  other->SetUpstream(std::make_shared<TRecorder>());
  EXPECT_FALSE(other->OpenAudio("ac3", 1, 1, 8, 48000, false, 100));
  EXPECT_NE(console.Text().find("The WAV reader received a non-supported data format."),
            std::string::npos);
}

// The first n frames of an AC3 file, measured by the AC3 frame parser.
size_t FramesLength(const Bytes& ac3, int n) {
  size_t at = 0;
  for (int i = 0; i < n; ++i) {
    TAc3FrameInfo info;
    if (ParseAc3Frame(ac3.data() + at, ac3.size() - at, &info) != kAc3Ok) return 0;
    at += info.length;
  }
  return at;
}

// AC3 in WAV: the frames that come out are the AC3 file's frames, bit for bit, however the
// bursts are cut into blocks; at 44.1 kHz the frames differ in length.
TEST(WavAc3Reader, UnwrapsTheBurstsIntoTheOriginalFrames) {
  struct TCase {
    const char* wav;
    const char* ac3;
    uint32_t rate;
  };
  const TCase cases[] = {{"pcm/ac3wav_51_448.wav", "audio/ac3_51_448.ac3", 48000},
                         {"pcm/ac3wav_441_192.wav", "audio/ac3_441_192.ac3", 44100}};
  for (const auto& c : cases) {
    const Bytes wav = test::ReadBytes(test::FixturePath(c.wav));
    const Bytes ac3 = test::ReadBytes(test::FixturePath(c.ac3));
    ASSERT_FALSE(wav.empty());
    const size_t expected = FramesLength(ac3, 14);
    ASSERT_NE(expected, 0u);
    for (size_t blockSize : {size_t(1), size_t(1000), size_t(6144), size_t(1) << 20}) {
      SCOPED_TRACE(std::string(c.wav) + " in blocks of " + std::to_string(blockSize));
      TRun run = Read(wav, blockSize, 0, CreateWavReader(), CreateWavAc3Reader());
      ASSERT_TRUE(run.ok) << run.console;
      EXPECT_NE(run.console.find("Reading AC3WAV..."), std::string::npos);
      EXPECT_EQ(run.out->formatId, "ac3");
      EXPECT_EQ(run.out->sampleRate, c.rate);
      EXPECT_EQ(run.out->blocks, 14);  // one frame per delivery
      ASSERT_EQ(run.out->bytes.size(), expected);
      EXPECT_TRUE(std::equal(run.out->bytes.begin(), run.out->bytes.end(), ac3.begin()));
      // The announced length is the AC3 stream's (on average), not the bursts'.
      EXPECT_NEAR(double(run.out->frameCount), double(expected), 2.0);
    }
  }
}

TEST(WavAc3Reader, RefusesDamagedBursts) {
  const Bytes good = test::ReadBytes(test::FixturePath("pcm/ac3wav_51_448.wav"));
  const Bytes data = test::DataChunk(good);
  ASSERT_GT(data.size(), 6144u * 2);
  struct TCase {
    const char* what;
    size_t at;  // offset in the data chunk
    uint8_t value;
  };
  const TCase cases[] = {{"preamble of the second burst", 6144, 0x00},
                         {"sync word of the first frame", 8, 0x00},
                         {"frame-size code beyond the table", 13, 0x3F},
                         {"reserved rate code", 13, 0xC0 | 0x1E}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes damaged = data;
    damaged[c.at] = c.value;
    const Bytes file = Riff({Chunk("fmt ", Fmt(1, 2, 48000, 16)), Chunk("data", damaged)});
    // The first preamble stays intact, so the WAV reader announces AC3 in WAV.
    TRun run = Read(file, 4096, 0, CreateWavReader(), CreateWavAc3Reader());
    EXPECT_FALSE(run.ok);
    EXPECT_NE(run.console.find("This doesn't seem to be a valid WAVAC3 file."), std::string::npos)
        << run.console;
  }
}

TEST(WavAc3Reader, RefusesPlainPcm) {
  const Bytes file = test::ReadBytes(test::FixturePath("pcm/st16.wav"));
  TRun run = Read(file, 4096, 0, CreateWavReader(), CreateWavAc3Reader());
  EXPECT_FALSE(run.ok);
  EXPECT_NE(run.console.find("The WAVAC3 reader received a non-supported data format."),
            std::string::npos);
}

// DTS in WAV: the stream that comes out is the DTS file, from 16-bit words (byte-swapped) and
// from 14-bit words (the DTS file repacked here, 14 bits per sample, sign-extended as players
// expect them).
TEST(WavDtsReader, UnwrapsSixteenAndFourteenBitWords) {
  Bytes dts = test::ReadBytes(test::FixturePath("audio/dts_stereo.dts"));
  if (dts.empty()) GTEST_SKIP() << "no DTS fixture";
  dts.resize(dts.size() / 28 * 28);  // whole groups of 14 bytes, whole stereo frames
  Bytes words16(dts.size());
  for (size_t i = 0; i + 1 < dts.size(); i += 2) {
    words16[i] = dts[i + 1];
    words16[i + 1] = dts[i];
  }
  Bytes words14;
  for (size_t at = 0; at < dts.size(); at += 7) {
    uint64_t bits = 0;
    for (int b = 0; b < 7; ++b) bits = bits << 8 | dts[at + b];
    for (int k = 0; k < 4; ++k) {
      uint32_t v = uint32_t(bits >> (42 - 14 * k)) & 0x3FFF;
      if (v & 0x2000) v |= 0xC000;
      test::PutLe(words14, v, 2);
    }
  }
  struct TCase {
    const char* what;
    const Bytes& data;
    uint64_t announced;
  };
  const TCase cases[] = {{"16-bit words", words16, words16.size()},
                         {"14-bit words", words14, words14.size() * 14 / 16}};
  for (const auto& c : cases) {
    const Bytes file = Riff({Chunk("fmt ", Fmt(1, 2, 48000, 16)), Chunk("data", c.data)});
    for (size_t blockSize : {size_t(1), size_t(7), size_t(1) << 20}) {
      SCOPED_TRACE(std::string(c.what) + " in blocks of " + std::to_string(blockSize));
      TRun run = Read(file, blockSize, 0, CreateWavReader(), CreateWavDtsReader());
      ASSERT_TRUE(run.ok) << run.console;
      EXPECT_NE(run.console.find("Reading DTSWAV..."), std::string::npos);
      EXPECT_EQ(run.out->formatId, "dts");
      EXPECT_EQ(run.out->frameCount, c.announced);
      EXPECT_TRUE(run.out->bytes == dts);
    }
  }
}

}  // namespace
}  // namespace kavrix
