// The WAV writer: headers and their sizes, the header written again at the end, the size
// warnings, a WAV copied through reader and writer bit for bit (checked by outside tools when
// they are installed), 8-bit samples both ways, multiple mono files, and the detector.
#include <gtest/gtest.h>

#include <memory>

#include "containers/voxFormatDetector.h"
#include "core/voxUpStream_console.h"
#include "io/voxFileStream.h"
#include "io/voxFileStream_dest.h"
#include "pcm/voxWav.h"
#include "platform/voxPlatform_process.h"
#include "wav_test_support.h"

namespace kavrix {
namespace {

using test::Bytes;
using test::TImageSink;
using test::TRecorder;

// Reader → writer → destination file over a fixture; returns the written file's bytes.
Bytes Copy(const std::string& fixture, const std::string& out, bool extensible,
           std::string* console = nullptr) {
  test::TConsoleCapture capture;
  const Bytes file = test::ReadBytes(test::FixturePath(fixture));
  UpStreamPtr reader = CreateWavReader();
  UpStreamPtr writer = CreateWavWriter(extensible, false, false);
  reader->SetUpstream(writer);
  writer->SetUpstream(CreateDestFile(out));
  bool ok = reader->OpenAudio("?", 1, 1, 8, 48000, false, file.size());
  for (size_t at = 0; ok && at < file.size(); at += 5000)
    ok = reader->ProcessData(0, false, file.data() + at, std::min<size_t>(5000, file.size() - at),
                             kNoTimeStamp, false);
  EXPECT_TRUE(ok && reader->Finish(0)) << capture.Text();
  if (console) *console = capture.Text();
  return test::ReadBytes(out);
}

// Runs a shell command line with its standard output in a scratch file; the output, or
// nothing when the command failed.
std::string Tool(const test::TScratch& scratch, const std::string& command) {
  const std::string out = scratch.Path("tool.txt");
  if (platform::RunProgram({"sh", "-c", command + " > '" + out + "'"}) != 0) return {};
  const Bytes text = test::ReadBytes(out);
  return std::string(text.begin(), text.end());
}

bool HaveTool(const char* name) {
  return !platform::FindOnPath(name).empty();
}

TEST(WavWriter, CopiesAnExtensible24Bit51WavBitForBit) {
  test::TScratch scratch;
  const std::string out = scratch.Path("copy.wav");
  std::string console;
  const Bytes copy = Copy("pcm/s51_24.wav", out, true, &console);
  const Bytes source = test::ReadBytes(test::FixturePath("pcm/s51_24.wav"));
  const Bytes data = test::DataChunk(source);
  ASSERT_EQ(copy.size(), 68 + data.size());
  EXPECT_TRUE(test::DataChunk(copy) == data);
  EXPECT_NE(console.find("Writing WAV..."), std::string::npos);
  // The format chunk says the same as the source's.
  EXPECT_TRUE(std::equal(copy.begin() + 12, copy.begin() + 60, source.begin() + 12));
  const uint32_t riffSize = copy[4] | copy[5] << 8 | copy[6] << 16 | uint32_t(copy[7]) << 24;
  EXPECT_EQ(riffSize, copy.size() - 8);

  if (!HaveTool("sox") || !HaveTool("ffprobe")) GTEST_SKIP() << "sox or ffprobe not installed";
  const std::string soxInfo = Tool(scratch, "sox --i '" + out + "'");
  EXPECT_NE(soxInfo.find("Channels       : 6"), std::string::npos) << soxInfo;
  EXPECT_NE(soxInfo.find("Sample Rate    : 48000"), std::string::npos) << soxInfo;
  EXPECT_NE(soxInfo.find("Precision      : 24-bit"), std::string::npos) << soxInfo;
  const std::string probe =
      Tool(scratch,
           "ffprobe -v error -show_entries stream=codec_name,channels,channel_layout,sample_rate "
           "-of csv=p=0 '" +
               out + "'");
  EXPECT_EQ(probe, "pcm_s24le,48000,6,5.1(side)\n");
}

TEST(WavWriter, EightBitSamplesAreUnsignedInTheFileAndSignedInTheChain) {
  test::TScratch scratch;
  const Bytes source = test::ReadBytes(test::FixturePath("pcm/u8_mono.wav"));
  const Bytes copy = Copy("pcm/u8_mono.wav", scratch.Path("u8.wav"), false);
  ASSERT_EQ(copy.size(), 44 + test::DataChunk(source).size() + 0);
  EXPECT_TRUE(test::DataChunk(copy) == test::DataChunk(source));
  // Chain zero is file 0x80.
  test::TConsoleCapture console;
  auto sink = std::make_shared<TImageSink>();
  UpStreamPtr writer = CreateWavWriter(false, false, false);
  writer->SetUpstream(sink);
  ASSERT_TRUE(writer->OpenAudio("pcm", 1, 0, 8, 8000, false, 3));
  const uint8_t chain[3] = {0x00, 0x7F, 0x80};  // 0, +127, -128
  ASSERT_TRUE(writer->ProcessData(0, false, chain, 3, kNoTimeStamp, false));
  ASSERT_TRUE(writer->Finish(0));
  EXPECT_EQ(sink->image[44], 0x80);
  EXPECT_EQ(sink->image[45], 0xFF);
  EXPECT_EQ(sink->image[46], 0x00);
  EXPECT_EQ(sink->GetSize(), 48u);  // three samples and the pad byte of an odd chunk
  EXPECT_EQ(sink->Le32At(40), 3u);
  EXPECT_EQ(sink->Le32At(4), 40u);
}

// A length that was not announced: the destination file gets the real sizes at the end,
// also after more than its write-back buffer went out.
TEST(WavWriter, RewritesTheHeaderOfADestinationFile) {
  test::TScratch scratch;
  test::TConsoleCapture console;
  const std::string out = scratch.Path("live.wav");
  UpStreamPtr writer = CreateWavWriter(true, false, false);
  writer->SetUpstream(CreateDestFile(out));
  ASSERT_TRUE(writer->OpenAudio("pcm", 2, 0, 24, 48000, false, 0));
  Bytes audio(3 * 1000000 + 6, 0);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = uint8_t(i * 13);
  ASSERT_TRUE(writer->ProcessData(0, false, audio.data(), 1000, kNoTimeStamp, false));
  ASSERT_TRUE(
      writer->ProcessData(0, false, audio.data() + 1000, audio.size() - 1000, kNoTimeStamp, false));
  ASSERT_TRUE(writer->Finish(0)) << console.Text();
  const Bytes file = test::ReadBytes(out);
  ASSERT_EQ(file.size(), 68 + audio.size());
  EXPECT_TRUE(test::DataChunk(file) == audio);
  const uint32_t riffSize = file[4] | file[5] << 8 | file[6] << 16 | uint32_t(file[7]) << 24;
  EXPECT_EQ(riffSize, file.size() - 8);
  const uint32_t dataSize = file[64] | file[65] << 8 | file[66] << 16 | uint32_t(file[67]) << 24;
  EXPECT_EQ(dataSize, audio.size());
}

// Header sizes after the end for announced and not announced lengths, seekable or not.
TEST(WavWriter, HeaderSizes) {
  struct TCase {
    const char* what;
    bool extensible, noRewrite, seekable;
    uint32_t channels, bits;
    uint64_t announced;  // frames
    size_t bytes;        // fed
    uint32_t riffSize, dataSize;
    uint64_t fileSize;
  };
  const TCase cases[] = {
      {"announced and right", false, false, true, 2, 16, 5, 20, 56, 20, 64},
      {"partial frame is completed", false, false, true, 3, 16, 0, 10, 48, 12, 56},
      {"not announced, rewritten", true, false, true, 2, 24, 0, 60, 120, 60, 128},
      {"not announced, not rewritten", false, true, true, 2, 16, 0, 8, 0xFFFFFF24u, 0xFFFFFF00u,
       52},
      {"not announced, extensible", true, true, true, 2, 16, 0, 8, 0xFFFFFF3Cu, 0xFFFFFF00u, 76},
      {"announced wrongly, cannot seek", false, false, false, 2, 16, 100, 8, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TConsoleCapture console;
    auto sink = std::make_shared<TImageSink>(c.seekable);
    UpStreamPtr writer = CreateWavWriter(c.extensible, false, c.noRewrite);
    writer->SetUpstream(sink);
    ASSERT_TRUE(writer->OpenAudio("pcm", c.channels, 0, c.bits, 48000, false, c.announced));
    const Bytes audio(c.bytes, 0x11);
    ASSERT_TRUE(writer->ProcessData(0, false, audio.data(), audio.size(), kNoTimeStamp, false));
    const bool ok = writer->Finish(0);
    if (c.fileSize == 0) {
      EXPECT_FALSE(ok);
      EXPECT_NE(console.Text().find("The WAV writer couldn't seek to the header."),
                std::string::npos);
      continue;
    }
    ASSERT_TRUE(ok) << console.Text();
    const size_t headerSize = c.extensible ? 68 : 44;
    EXPECT_EQ(sink->Le32At(4), c.riffSize);
    EXPECT_EQ(sink->Le32At(headerSize - 4), c.dataSize);
    EXPECT_EQ(sink->GetSize(), c.fileSize);
  }
}

TEST(WavWriter, ValidBitsNoticeReachesTheExtensibleHeader) {
  test::TConsoleCapture console;
  auto sink = std::make_shared<TImageSink>();
  UpStreamPtr writer = CreateWavWriter(true, false, false);
  writer->SetUpstream(sink);
  ASSERT_TRUE(writer->OpenAudio("pcm", 2, 0, 24, 48000, false, 2));
  EXPECT_EQ(sink->image[38], 24);
  writer->SetValidBits(20, false);
  const Bytes audio(12, 1);
  ASSERT_TRUE(writer->ProcessData(0, false, audio.data(), audio.size(), kNoTimeStamp, false));
  ASSERT_TRUE(writer->Finish(0));
  EXPECT_EQ(sink->image[38], 20);
  EXPECT_EQ(sink->Le32At(40), 3u);  // the default stereo mask
}

// Gigabytes pass through an image sink that only counts them. Sizes saturate above 4 GiB.
TEST(WavWriter, WarnsAboutBigFilesAndSaturatesTheirSizes) {
  struct TCase {
    uint64_t bytes;
    const char* warning;
    uint32_t dataSize;
  };
  const TCase cases[] = {
      {0x7FFFFFFEull, nullptr, 0x7FFFFFFEu},
      {0x7FFFFFFFull, "Caution: The WAV file is bigger than 2GB.", 0x7FFFFFFFu},
      {0xFFFFFFFFull, "Caution: The WAV file is bigger than 4GB.", 0xFFFFFFFFu},
      {0x120000000ull, "Caution: The WAV file is bigger than 4GB.", 0xFFFFFFFFu}};
  const Bytes block(size_t(1) << 24, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    test::TConsoleCapture console;
    auto sink = std::make_shared<TImageSink>();
    UpStreamPtr writer = CreateWavWriter(false, false, false);
    writer->SetUpstream(sink);
    ASSERT_TRUE(writer->OpenAudio("pcm", 1, 0, 8, 48000, false, 0));
    uint64_t left = c.bytes;
    while (left != 0) {
      const size_t n = size_t(std::min<uint64_t>(left, block.size()));
      ASSERT_TRUE(writer->ProcessData(0, false, block.data(), n, kNoTimeStamp, false));
      left -= n;
    }
    ASSERT_TRUE(writer->Finish(0));
    EXPECT_EQ(sink->Le32At(40), c.dataSize);
    EXPECT_EQ(sink->Le32At(4),
              uint32_t(std::min<uint64_t>(c.bytes + (c.bytes & 1) + 36, 0xFFFFFFFFu)));
    const bool warned =
        console.Text().find("Some WAV readers might not be able to handle this file correctly.") !=
        std::string::npos;
    EXPECT_EQ(warned, c.warning != nullptr);
    if (c.warning) {
      EXPECT_NE(console.Text().find(c.warning), std::string::npos);
    }
  }
}

TEST(WavWriter, RefusesWhatAWavCannotHold) {
  test::TConsoleCapture console;
  struct TCase {
    const char* formatId;
    uint32_t channels, bits;
    bool bigEndian;
  };
  const TCase cases[] = {{"ac3", 2, 16, false},
                         {"pcm", 0, 16, false},
                         {"pcm", 2, 20, false},
                         {"pcm", 2, 16, true},
                         {"float", 2, 16, false}};
  for (const auto& c : cases) {
    UpStreamPtr writer = CreateWavWriter(true, false, false);
    writer->SetUpstream(std::make_shared<TImageSink>());
    EXPECT_FALSE(writer->OpenAudio(c.formatId, c.channels, 0, c.bits, 48000, c.bigEndian, 0));
  }
  EXPECT_NE(console.Text().find("The WAV writer received a non-supported data format."),
            std::string::npos);
  UpStreamPtr writer = CreateWavWriter(true, false, false);
  writer->SetUpstream(std::make_shared<TImageSink>());
  ASSERT_TRUE(writer->OpenAudio("pcm", 2, 0, 16, 48000, false, 0));
  EXPECT_FALSE(writer->Finish(0));
  EXPECT_NE(console.Text().find("The WAV writer didn't receive any audio data."),
            std::string::npos);
}

TEST(WavWriter, MultipleMonoFilesOnePerChannel) {
  test::TScratch scratch;
  test::TConsoleCapture console;
  const Bytes source = test::ReadBytes(test::FixturePath("pcm/s51_24.wav"));
  const Bytes data = test::DataChunk(source);
  const std::string destination = scratch.Path("out.wavs");
  UpStreamPtr reader = CreateWavReader();
  reader->SetUpstream(CreateMultiMonoWavSet(destination, 6, 0x60F));
  ASSERT_TRUE(reader->OpenAudio("?", 1, 1, 8, 48000, false, source.size()));
  for (size_t at = 0; at < source.size(); at += 1000)
    ASSERT_TRUE(reader->ProcessData(0, false, source.data() + at,
                                    std::min<size_t>(1000, source.size() - at), kNoTimeStamp,
                                    false));
  ASSERT_TRUE(reader->Finish(0)) << console.Text();
  EXPECT_NE(console.Text().find("Writing WAVs..."), std::string::npos);
  const char* names[6] = {"L", "R", "C", "LFE", "SL", "SR"};
  for (uint32_t n = 0; n < 6; ++n) {
    const std::string name = MultiMonoFileName(destination, 0x60F, n);
    EXPECT_EQ(name, scratch.Path(std::string("out.") + names[n] + ".wav"));
    const Bytes mono = test::ReadBytes(name);
    ASSERT_EQ(mono.size(), 44 + data.size() / 6) << name;
    EXPECT_EQ(mono[22], 1);  // one channel
    EXPECT_EQ(mono[34], 24);
    Bytes expected;
    for (size_t at = n * 3; at < data.size(); at += 18)
      expected.insert(expected.end(), data.begin() + long(at), data.begin() + long(at + 3));
    EXPECT_TRUE(test::DataChunk(mono) == expected) << name;
  }
}

TEST(WavDetection, TheDetectorRecognisesWavAndAc3AndDtsInWav) {
  // DTS carried in 16-bit words: the DTS fixture byte-swapped into a WAV data chunk.
  const Bytes dts = test::ReadBytes(test::FixturePath("audio/dts_stereo.dts"));
  Bytes words(dts.size() & ~size_t(1));
  for (size_t i = 0; i + 1 < words.size(); i += 2) {
    words[i] = dts[i + 1];
    words[i + 1] = dts[i];
  }
  test::TScratch scratch;
  const std::string dtsWav = scratch.Write(
      "dts.wav",
      test::Riff({test::Chunk("fmt ", test::Fmt(1, 2, 48000, 16)), test::Chunk("data", words)}));
  struct TCase {
    const char* file;
    const char* formatId;
    const char* displayName;
    uint32_t channels;
  };
  const TCase cases[] = {{"pcm/s51_24.wav", "wav", "WAV", 6},
                         {"pcm/st16.wav", "wav", "WAV", 2},
                         {"pcm/ac3wav_51_448.wav", "ac3wav", "AC3WAV", 6},
                         {"", "dtswav", "DTSWAV", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    test::TConsoleCapture console;
    UpStreamPtr source = CreateSourceFiles({*c.file ? test::FixturePath(c.file) : dtsWav}, 0, 0,
                                           314572800, false, 24000, 1001);
    ASSERT_TRUE(source->GetOk());
    UpStreamPtr detector = CreateFormatDetector(false, false, false, true, false);
    source->SetUpstream(detector);
    source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false);
    auto details = Query<IFormatDetector>(detector)->GetAudioDetails();
    ASSERT_TRUE(details->GetValid());
    EXPECT_EQ(details->GetFormatId(), c.formatId);
    EXPECT_EQ(details->GetDisplayName(), c.displayName);
    EXPECT_EQ(details->GetChannels(), c.channels);
  }
}

}  // namespace
}  // namespace kavrix
