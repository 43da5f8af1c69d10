// The format detector, driven as the analysis drives it: a source file set with the detector
// as its upstream, then the result queries. Readers that do not exist yet are stood in for by
// small fake readers plugged into the candidate table.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "audio/voxAc3.h"
#include "containers/voxFormatDetector.h"
#include "core/voxUpStream.h"
#include "core/voxUpStream_console.h"
#include "io/voxFileStream.h"
#include "test_support.h"

namespace kavrix {
namespace {

using test::Bytes;
using test::TScratch;

Bytes ReadFixture(const std::string& name) {
  return test::ReadBytes(test::FixturePath("audio/" + name));
}

Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes data(size);
  for (auto& b : data) b = uint8_t(random());
  return data;
}

// Console output captured while alive (the candidates must stay silent).
using TConsole = test::TConsoleCapture;

struct TDetection {
  UpStreamPtr detector;
  bool opened = false;
  bool readToEnd = false;  // the source's result: false when the detector stopped it early
  IFormatDetector& Results() const { return *Query<IFormatDetector>(detector); }
};

// Source analysis: a source file set over the file, the detector appended, one run.
TDetection Detect(const std::string& path) {
  TDetection run;
  UpStreamPtr source = CreateSourceFiles({path}, 0, 0, 314572800, false, 24000, 1001);
  run.opened = source->GetOk();
  run.detector = CreateFormatDetector(false, false, false, true, false);
  if (!run.opened) return run;
  source->SetUpstream(run.detector);
  run.readToEnd = source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false);
  return run;
}

void ExpectNoResult(const TDetection& run, const std::string& what) {
  IFormatDetector& r = run.Results();
  EXPECT_FALSE(r.GetAudioDetails()->GetValid()) << what;
  EXPECT_FALSE(r.GetVideoDetails()->GetValid()) << what;
  EXPECT_FALSE(r.GetSubtitleDetails()->GetValid()) << what;
  EXPECT_FALSE(r.GetContainerInfo()->HasContainerInfo()) << what;
  EXPECT_EQ(Query<IVideoInfo>(run.detector)->GetFrameDuration(), 0u) << what;
}

// The reader run on its own over the whole file: the details the detector must hand out.
UpStreamPtr ReadAlone(const Bytes& data) {
  UpStreamPtr reader = CreateAc3Reader(nullptr, false, true);
  reader->SetUpstream(CreateFileSimulator());
  reader->OpenAudio("?", 1, 1, 8, 48000, false, data.size());
  reader->ProcessData(0, false, data.data(), data.size(), kNoTimeStamp, false);
  reader->Finish(0);
  return reader;
}

TEST(FormatDetector, RecognisesAc3AndEac3WithTheReadersDetails) {
  // ac3_441_32 is shorter than the reader's look-ahead: it is recognised only at the end of
  // the data; the others within the first block, which stops the source.
  const struct {
    const char* file;
    const char* formatId;
    bool readToEnd;
  } cases[] = {
      {"ac3_51_448.ac3", "ac3", false},    {"lay_stereo.ac3", "ac3", false},
      {"ac3_32k_640.ac3", "ac3", false},   {"ac3_441_32.ac3", "ac3", true},
      {"eac3_51_640.eac3", "eac3", false}, {"eac3_20_192.eac3", "eac3", false},
  };
  TScratch scratch;
  for (const auto& c : cases) {
    const Bytes data = ReadFixture(c.file);
    ASSERT_FALSE(data.empty()) << c.file;
    TConsole console;
    const TDetection run = Detect(scratch.Write(c.file, data));
    ASSERT_TRUE(run.opened) << c.file;
    EXPECT_EQ(run.readToEnd, c.readToEnd) << c.file;

    const auto audio = run.Results().GetAudioDetails();
    const UpStreamPtr reader = ReadAlone(data);
    const auto* alone = Query<IAudioFormatDetails>(reader);
    ASSERT_TRUE(audio->GetValid()) << c.file;
    ASSERT_TRUE(alone->GetValid()) << c.file;
    EXPECT_EQ(audio->GetFormatId(), c.formatId) << c.file;
    EXPECT_TRUE(audio->GetVerified()) << c.file;
    EXPECT_EQ(audio->GetDescription(), alone->GetDescription()) << c.file;
    EXPECT_EQ(audio->GetChannelMask(), alone->GetChannelMask()) << c.file;
    EXPECT_EQ(audio->GetDuration(), alone->GetDuration()) << c.file;
    EXPECT_FALSE(run.Results().GetVideoDetails()->GetValid()) << c.file;
    EXPECT_FALSE(run.Results().GetSubtitleDetails()->GetValid()) << c.file;
    EXPECT_FALSE(run.Results().GetContainerInfo()->HasContainerInfo()) << c.file;
    // The winner is the AC3 reader's chain, silenced and ending in a file simulator; it comes
    // first in list order (candidates behind it that were never fed stay in the list).
    const auto candidates = run.Results().GetCandidates();
    ASSERT_GE(candidates.size(), 1u) << c.file;
    EXPECT_EQ(candidates[0].slot, TCandidateSlot::kAc3Reader);
    EXPECT_NE(Query<IAc3Reader>(candidates[0].head), nullptr);
    EXPECT_NE(Query<IFileSimulator>(candidates[0].head->GetChainEnd()), nullptr);
    EXPECT_EQ(console.Text(), "") << c.file;
  }
}

TEST(FormatDetector, DataNobodyRecognisesGivesEmptyResults) {
  Bytes ac3Sync = ReadFixture("lay_stereo.ac3");
  ac3Sync.resize(7);                  // a frame header cut short
  Bytes late = RandomBytes(1000, 3);  // frames after junk: full mode wants them at the start
  const Bytes frames = ReadFixture("lay_stereo.ac3");
  late.insert(late.end(), frames.begin(), frames.end());
  const struct {
    const char* name;
    Bytes data;
  } cases[] = {
      {"empty", {}},
      {"three bytes", {0x0B, 0x77, 0x00}},
      {"cut header", ac3Sync},
      {"random", RandomBytes(700000, 1)},
      {"frames after junk", late},
  };
  TScratch scratch;
  for (const auto& c : cases) {
    TConsole console;
    const TDetection run = Detect(scratch.Write("x.bin", c.data));
    ASSERT_TRUE(run.opened) << c.name;
    ExpectNoResult(run, c.name);
    EXPECT_TRUE(run.Results().GetCandidates().empty()) << c.name;
    EXPECT_EQ(console.Text(), "") << c.name;
  }
}

TEST(FormatDetector, ElementaryModeSearchesForTheFirstFrame) {
  // As the transport-stream parser uses it: fed directly, never stopping, finished at the end.
  Bytes data = RandomBytes(1000, 7);
  const Bytes frames = ReadFixture("ac3_51_448.ac3");
  data.insert(data.end(), frames.begin(), frames.end());
  TConsole console;
  UpStreamPtr detector = CreateFormatDetector(false, false, false, false, true);
  ASSERT_TRUE(detector->OpenAudio("?", 1, 1, 8, 48000, false, data.size()));
  for (size_t at = 0; at < data.size(); at += 5000) {
    const size_t n = std::min<size_t>(5000, data.size() - at);
    ASSERT_TRUE(detector->ProcessData(0, false, data.data() + at, n, kNoTimeStamp, false));
  }
  ASSERT_TRUE(detector->Finish(0));
  const auto audio = Query<IFormatDetector>(detector)->GetAudioDetails();
  ASSERT_TRUE(audio->GetValid());
  EXPECT_EQ(audio->GetFormatId(), "ac3");
  EXPECT_EQ(audio->GetChannels(), 6u);
  EXPECT_EQ(console.Text(), "");
}

// ---- candidates plugged into the table ----

// Replaces a slot's creation function for the lifetime of the object.
class TPlugIn {
 public:
  TPlugIn(TCandidateSlot slot, TCandidateFactory factory)
      : slot_(slot), previous_(SetCandidateFactory(slot, std::move(factory))) {}
  ~TPlugIn() { SetCandidateFactory(slot_, std::move(previous_)); }

 private:
  TCandidateSlot slot_;
  TCandidateFactory previous_;
};

// A fake reader: accepts data that starts with its magic, strips the magic and passes the
// rest on. What it recognises depends on its kind. It talks on every block, so a candidate
// that was not silenced would show.
class TFakeReader : public TUpStream {
 public:
  enum TKind { kSubtitle, kContainer, kWav };
  TFakeReader(TKind kind, std::string magic, uint64_t limit = 10485760)
      : TUpStream("fake reader"), kind_(kind), magic_(std::move(magic)), limit_(limit) {}

  uint64_t GetBufferLimit() override { return limit_; }
  bool OpenAudio(const std::string& formatId, uint32_t, uint32_t, uint32_t, uint32_t, bool,
                 uint64_t size) override {
    if (!CheckAnnouncement(formatId == "?")) return false;
    size_ = size;
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    if (!CheckData(size_ != 0)) return false;
    ShowMessage(kMsgNormal, "fake reader at work");
    const uint64_t at = received_;
    received_ += size;
    if (at == 0) {
      if (size < magic_.size() || std::memcmp(data, magic_.data(), magic_.size()) != 0)
        return Fail("This is not what the fake reader reads.");
      Recognise();
      data += magic_.size();
      size -= magic_.size();
    }
    if (kind_ == kContainer && rejectAfter_ != 0 && received_ > rejectAfter_)
      return Fail("The fake container ends here.");
    return DeliverData(false, data, size, kNoTimeStamp, false) || Fail("upstream failed");
  }

  uint64_t received_ = 0;
  uint64_t rejectAfter_ = 0;

 private:
  void Recognise() {
    if (kind_ == kSubtitle) {
      TSubtitleFormatParams p;
      p.verified = true;
      p.formatId = "sup";
      p.displayName = "Fake subtitle";
      TUpStream::SetSubtitleFormat(p);
    } else if (kind_ == kContainer) {
      // A container parser keeps working; its information is there from the start.
      TContainerDetails::SetContainerInfo("mkv", "MKV", 0, 0);
    } else {
      TAudioFormatParams p;
      p.verified = true;
      p.formatId = "wav";
      p.displayName = "WAV";
      p.channels = 2;
      p.bits = 16;
      p.sampleRate = 48000;
      TUpStream::SetAudioFormat(p);
      // What the AC3-in-WAV reader passes on to its AC3 reader.
      OpenAudioUpstreams("ac3", 1, 1, 8, 48000, false, size_ - magic_.size());
    }
  }

  const TKind kind_;
  const std::string magic_;
  const uint64_t limit_;
  uint64_t size_ = 0;
};

TEST(FormatDetector, ACandidateAddedToTheTableTakesPart) {
  TPlugIn plugIn(TCandidateSlot::kSupReader, [](const TCandidateOptions&) {
    return TCandidateChain{std::make_shared<TFakeReader>(TFakeReader::kSubtitle, "FAKESUB"),
                           nullptr};
  });
  Bytes data = {'F', 'A', 'K', 'E', 'S', 'U', 'B'};
  const Bytes rest = RandomBytes(5000, 11);
  data.insert(data.end(), rest.begin(), rest.end());
  TScratch scratch;
  {
    TConsole console;
    const TDetection run = Detect(scratch.Write("x.sup", data));
    const auto subtitle = run.Results().GetSubtitleDetails();
    ASSERT_TRUE(subtitle->GetValid());
    EXPECT_EQ(subtitle->GetDescription(), "Fake subtitle");
    EXPECT_FALSE(run.Results().GetAudioDetails()->GetValid());
    EXPECT_FALSE(run.readToEnd);  // settled in the first block
    const auto candidates = run.Results().GetCandidates();
    ASSERT_EQ(candidates.size(), 1u);
    EXPECT_EQ(candidates[0].slot, TCandidateSlot::kSupReader);
    EXPECT_NE(Query<IFileSimulator>(candidates[0].head->GetChainEnd()), nullptr);
    EXPECT_EQ(console.Text(), "");
  }
  // AC3 still wins on AC3 data; the subtitle candidate drops out.
  const TDetection ac3 = Detect(scratch.Write("x.ac3", ReadFixture("lay_stereo.ac3")));
  EXPECT_EQ(ac3.Results().GetAudioDetails()->GetFormatId(), "ac3");
  EXPECT_FALSE(ac3.Results().GetSubtitleDetails()->GetValid());
  // In elementary mode the slot is not asked.
  UpStreamPtr elementary = CreateFormatDetector(false, false, false, false, true);
  for (const auto& c : Query<IFormatDetector>(elementary)->GetCandidates())
    EXPECT_NE(c.slot, TCandidateSlot::kSupReader);
}

// An AC3 stream behind a container's magic, several source blocks long.
Bytes ContainerOfAc3(const std::string& magic) {
  Bytes data(magic.begin(), magic.end());
  const Bytes frames = ReadFixture("ac3_51_448.ac3");
  while (data.size() < 3 * TSourceFiles::kDataReadSize)
    data.insert(data.end(), frames.begin(), frames.end());
  return data;
}

TEST(FormatDetector, AWorkingContainerParserHoldsTheResult) {
  // The AC3 reader would settle at once on the frames; the container parser keeps the source
  // running as long as it works, and only while it is within its buffer limit.
  const uint64_t block = TSourceFiles::kDataReadSize;
  const struct {
    const char* name;
    uint64_t limit;
    uint64_t rejectAfter;
    uint64_t received;  // bytes the container parser got
    bool readToEnd;
  } cases[] = {
      {"works to the end", 10485760, 0, 0, true},
      {"fails in block 2", 10485760, block + 1, 2 * block, false},
      {"limit reached", 1000, 0, block, false},
  };
  TScratch scratch;
  for (const auto& c : cases) {
    std::shared_ptr<TFakeReader> parser;
    TPlugIn plugIn(TCandidateSlot::kMkvParser, [&](const TCandidateOptions&) {
      parser = std::make_shared<TFakeReader>(TFakeReader::kContainer, "", c.limit);
      parser->rejectAfter_ = c.rejectAfter;
      return TCandidateChain{parser, nullptr};
    });
    const Bytes data = ContainerOfAc3("");
    const TDetection run = Detect(scratch.Write("x.mkv", data));
    ASSERT_TRUE(parser) << c.name;
    EXPECT_EQ(run.readToEnd, c.readToEnd) << c.name;
    EXPECT_EQ(parser->received_, c.received ? c.received : data.size()) << c.name;
    // Both results stand side by side: the container first (if it survived), the audio.
    EXPECT_EQ(run.Results().GetContainerInfo()->HasContainerInfo(), c.rejectAfter == 0) << c.name;
    EXPECT_EQ(run.Results().GetAudioDetails()->GetFormatId(), "ac3") << c.name;
  }
}

TEST(FormatDetector, AShortWrappedStreamIsReportedAsTheWrappedFormat) {
  // Stand-ins for the WAV readers: "FAKEWAV!" is the header, the rest is the payload. The
  // plain WAV chain recognises the header in the first block; the AC3-in-WAV chain ends in
  // the real AC3 reader.
  TPlugIn plainWav(TCandidateSlot::kWavReader, [](const TCandidateOptions&) {
    return TCandidateChain{std::make_shared<TFakeReader>(TFakeReader::kWav, "FAKEWAV!"), nullptr};
  });
  TPlugIn ac3Wav(TCandidateSlot::kWavAc3, [](const TCandidateOptions&) {
    auto wav = std::make_shared<TFakeReader>(TFakeReader::kWav, "FAKEWAV!");
    UpStreamPtr ac3 = CreateAc3Reader(nullptr, false, true);
    wav->SetUpstream(ac3);
    return TCandidateChain{wav, ac3};
  });
  TScratch scratch;
  const Bytes frames = ReadFixture("lay_stereo.ac3");
  Bytes wrapped = {'F', 'A', 'K', 'E', 'W', 'A', 'V', '!'};
  wrapped.insert(wrapped.end(), frames.begin(), frames.end());
  Bytes pcm = {'F', 'A', 'K', 'E', 'W', 'A', 'V', '!'};
  const Bytes noise = RandomBytes(20000, 5);
  pcm.insert(pcm.end(), noise.begin(), noise.end());

  TConsole console;
  const TDetection run = Detect(scratch.Write("wrapped.wav", wrapped));
  EXPECT_FALSE(run.readToEnd);
  const auto audio = run.Results().GetAudioDetails();
  ASSERT_TRUE(audio->GetValid());
  EXPECT_EQ(audio->GetFormatId(), "ac3wav");
  EXPECT_EQ(audio->GetDescription(),
            "AC3WAV, 2.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB");
  // Asking again gives the same answer.
  EXPECT_EQ(run.Results().GetAudioDetails()->GetDisplayName(), "AC3WAV");

  // PCM in the same wrapper: the AC3 chain drops out and the WAV reader's details stand.
  const TDetection plain = Detect(scratch.Write("pcm.wav", pcm));
  EXPECT_EQ(plain.Results().GetAudioDetails()->GetFormatId(), "wav");
  for (const auto& c : plain.Results().GetCandidates()) EXPECT_NE(c.slot, TCandidateSlot::kWavAc3);
  EXPECT_EQ(console.Text(), "");
}

}  // namespace
}  // namespace kavrix
