// The node base: delivery, fan-out workers, passing on, chains and output buffers.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "core/voxUpStream.h"
#include "core/voxUpStream_fanout.h"

namespace kavrix {
namespace {

uint64_t Fnv(uint64_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}
constexpr uint64_t kFnvStart = 0xcbf29ce484222325ull;

// A sink that records what reaches it.
class TRecorder : public TUpStream {
 public:
  explicit TRecorder(bool result = true) : TUpStream("recorder"), result_(result) {}
  bool OpenAudio(const std::string&, uint32_t, uint32_t mask, uint32_t, uint32_t, bool,
                 uint64_t) override {
    mask_ = mask;
    return result_;
  }
  bool ProcessData(TKey key, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    hash_ = Fnv(hash_, data, size);
    bytes_ += size;
    ++blocks_;
    lastKey_ = key;
    return result_;
  }
  bool Finish(TKey) override {
    ++finished_;
    return result_;
  }
  uint32_t mask_ = 0;
  uint64_t hash_ = kFnvStart;
  uint64_t bytes_ = 0;
  size_t blocks_ = 0;
  size_t finished_ = 0;
  TKey lastKey_ = 0;
  using TUpStream::Delays;
  using TUpStream::IsSilenced;
  using TUpStream::Label;
  using TUpStream::SenderKeys;
  using TUpStream::ValidBits;

 private:
  bool result_;
};

// A node whose protected operations the tests drive directly.
class TProbe : public TUpStream {
 public:
  TProbe() : TUpStream("probe") {}
  bool ProcessData(TKey, bool, const uint8_t*, size_t, int64_t, bool) override { return true; }
  using TUpStream::AppendOutput;
  using TUpStream::CheckAnnouncement;
  using TUpStream::ConsumeOutput;
  using TUpStream::Delays;
  using TUpStream::DeliverData;
  using TUpStream::FreeOutput;
  using TUpStream::GetOutputBuffer;
  using TUpStream::GetOutputSize;
  using TUpStream::OpenAudioUpstreams;
  using TUpStream::ReserveOutput;
  using TUpStream::SetOk;
  using TUpStream::ValidBits;
  void Absorb() { absorbsDelays_ = true; }
};

TEST(UpStream, AudioMaskNormalisation) {
  struct Case {
    uint32_t in, out;
  };
  // Back pair without sides becomes the side pair; with the centre pair or back
  // centre present the mask stays, else channels would be relabelled.
  const Case cases[] = {{0x3F, 0x60F}, {0x63F, 0x63F}, {0x33, 0x603},
                        {0xFF, 0xFF},  {0x13F, 0x13F}, {0x3, 0x3}};
  for (const Case& c : cases) {
    auto probe = std::make_shared<TProbe>();
    auto sink = std::make_shared<TRecorder>();
    probe->SetUpstream(sink);
    EXPECT_TRUE(probe->OpenAudioUpstreams("pcm", 6, c.in, 16, 48000, false, 0));
    EXPECT_EQ(sink->mask_, c.out) << std::hex << c.in;
  }
}

TEST(UpStream, FailuresOfOptionalAndWantedUpstreams) {
  struct Case {
    std::vector<bool> results, optional;
    bool expected;
  };
  const Case cases[] = {
      {{true}, {false}, true},
      {{false}, {false}, false},
      {{false}, {true}, true},
      {{true, true}, {false, false}, true},
      {{true, false}, {false, true}, true},
      {{true, false}, {false, false}, false},
      {{false, true}, {false, false}, false},
      {{false, false}, {true, true}, true},
  };
  const uint8_t block[3] = {1, 2, 3};
  for (const Case& c : cases) {
    auto probe = std::make_shared<TProbe>();
    std::vector<std::shared_ptr<TRecorder>> sinks;
    UpStreamList list;
    for (size_t i = 0; i < c.results.size(); ++i) {
      sinks.push_back(std::make_shared<TRecorder>(c.results[i]));
      sinks.back()->SetOptional(c.optional[i]);
      list.push_back(sinks.back());
    }
    probe->SetUpstreams(list);
    EXPECT_EQ(probe->DeliverData(false, block, 3, -1, false), c.expected);
    for (auto& s : sinks) EXPECT_EQ(s->blocks_, 1u);  // every upstream saw the block
  }
  auto lonely = std::make_shared<TProbe>();
  EXPECT_FALSE(lonely->DeliverData(false, block, 3, -1, false));
}

TEST(UpStream, ConventionChecksFailTheNode) {
  auto probe = std::make_shared<TProbe>();
  EXPECT_FALSE(probe->CheckAnnouncement(true));  // no upstream
  EXPECT_FALSE(probe->GetOk());
  probe->SetUpstream(std::make_shared<TRecorder>());  // ignored once failed
  EXPECT_EQ(probe->GetUpstreamCount(), 0u);
  EXPECT_FALSE(probe->SetDelay(0, 10));
}

TEST(UpStream, DelaysReachNodesAttachedLaterUpToTheAbsorber) {
  auto head = std::make_shared<TProbe>();
  head->SetDelay(1, -40);
  auto middle = std::make_shared<TProbe>();
  middle->Absorb();
  auto end = std::make_shared<TRecorder>();
  middle->SetUpstream(end);
  head->SetUpstream(middle);
  EXPECT_EQ(middle->Delays(), (std::vector<int32_t>{0, -40}));
  EXPECT_TRUE(end->Delays().empty());
  head->SetDelay(0, 25);
  EXPECT_EQ(middle->Delays(), (std::vector<int32_t>{25, -40}));
  EXPECT_TRUE(end->Delays().empty());
}

TEST(UpStream, FlagsAndLabelReachNodesAttachedLater) {
  auto head = std::make_shared<TProbe>();
  head->Silence(true);
  head->SetOptional(true);
  head->SetLabel("3");
  head->SetValidBits(20, true);
  head->SetValidBits(24, false);  // a forced value is kept
  auto sink = std::make_shared<TRecorder>();
  head->AppendUpstream(sink);
  EXPECT_TRUE(sink->GetOptional());
  EXPECT_TRUE(sink->IsSilenced());
  EXPECT_EQ(sink->Label(), "3");
  EXPECT_EQ(head->ValidBits(), 20u);
  head->SetValidBits(16, true);
  EXPECT_EQ(sink->ValidBits(), 16u);
}

TEST(UpStream, ChainsAndKeys) {
  auto a = std::make_shared<TProbe>();
  auto b = std::make_shared<TProbe>();
  auto sink = std::make_shared<TRecorder>();
  EXPECT_TRUE(a->AppendUpstream(b));
  EXPECT_TRUE(a->AppendUpstream(sink));
  EXPECT_EQ(a->GetChainEnd(), sink);
  EXPECT_EQ(b->GetSingleUpstream(), sink);
  EXPECT_EQ(a->GetUpstream(5), nullptr);

  // Two senders into one node: distinct keys, removed when the sender lets go.
  auto c = std::make_shared<TProbe>();
  c->SetUpstreams({sink, nullptr});
  ASSERT_EQ(sink->SenderKeys().size(), 2u);
  EXPECT_NE(sink->SenderKeys()[0], sink->SenderKeys()[1]);
  const uint8_t x = 7;
  c->DeliverData(false, &x, 1, -1, false);
  EXPECT_EQ(sink->lastKey_, c->KeyOf(0));
  c->SetUpstreams({});
  EXPECT_EQ(sink->SenderKeys(), std::vector<TKey>{b->KeyOf(0)});
}

TEST(UpStream, OutputBuffers) {
  auto p = std::make_shared<TProbe>();
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(p->GetOutputSize(3), 0u);
  EXPECT_EQ(p->GetOutputBuffer(3), nullptr);
  ASSERT_TRUE(p->AppendOutput(1, data, 5));
  ASSERT_TRUE(p->AppendOutput(1, data, 5));
  p->ConsumeOutput(1, 3);
  ASSERT_EQ(p->GetOutputSize(1), 7u);
  EXPECT_EQ(p->GetOutputBuffer(1)[0], 4);
  p->ConsumeOutput(1, 100);  // more than used empties it
  EXPECT_EQ(p->GetOutputSize(1), 0u);
  p->FreeOutput(1);
  EXPECT_TRUE(p->AppendOutput(1, data, 0));  // an empty block is no failure
  EXPECT_FALSE(p->ReserveOutput(0, size_t(1) << 40));
  // A failed node never hands out a buffer smaller than asked for.
  ASSERT_TRUE(p->ReserveOutput(2, 10));
  p->SetOk(false);
  EXPECT_TRUE(p->ReserveOutput(2, 10));
  EXPECT_FALSE(p->ReserveOutput(2, 1000000));
  EXPECT_FALSE(p->AppendOutput(2, data, 5) && p->GetOutputSize(2) > 1000000);
}

TEST(FileSimulator, PositionAndSize) {
  auto node = CreateFileSimulator();
  auto* seek = Query<ISeekableUpStream>(node);
  ASSERT_NE(seek, nullptr);
  EXPECT_NE(Query<IFileSimulator>(node), nullptr);
  EXPECT_EQ(Query<IPassThrough>(node), nullptr);
  node->ProcessData(0, false, nullptr, 100, -1, false);
  node->ProcessData(0, false, nullptr, 50, -1, false);
  EXPECT_EQ(seek->GetSize(), 150u);
  seek->SetPosition(10);
  node->ProcessData(0, false, nullptr, 20, -1, false);
  EXPECT_EQ(seek->GetSize(), 150u);
  EXPECT_EQ(seek->GetPosition(), 30u);
  seek->SetPosition(1000);
  EXPECT_EQ(seek->GetPosition(), 150u);
}

// Three upstreams on workers, 20,000 blocks of random sizes: each sees the stream
// exactly; destroying the graph joins every worker.
TEST(FanOut, EveryUpstreamSeesEveryByteAndWorkersAreJoined) {
  const size_t before = TFanOut::LiveWorkers();
  std::mt19937 rng(1234);
  std::vector<uint8_t> data(1 << 20);
  for (auto& b : data) b = uint8_t(rng());
  uint64_t expected = kFnvStart;
  uint64_t expectedBytes = 0;
  {
    auto head = CreatePassThrough();
    std::vector<std::shared_ptr<TRecorder>> sinks;
    UpStreamList list;
    for (int i = 0; i < 3; ++i) {
      sinks.push_back(std::make_shared<TRecorder>());
      auto chain = CreatePassThrough();  // a chain behind each worker
      chain->SetUpstream(sinks.back());
      list.push_back(chain);
    }
    head->SetUpstreams(list);
    for (int i = 0; i < 20000; ++i) {
      const size_t size = rng() % 4096;
      const size_t at = rng() % (data.size() - size);
      ASSERT_TRUE(head->ProcessData(0, false, data.data() + at, size, -1, false));
      expected = Fnv(expected, data.data() + at, size);
      expectedBytes += size;
    }
    EXPECT_EQ(TFanOut::LiveWorkers(), before + 2);
    EXPECT_TRUE(head->Finish(0));
    for (auto& s : sinks) {
      EXPECT_EQ(s->hash_, expected);
      EXPECT_EQ(s->bytes_, expectedBytes);
      EXPECT_EQ(s->finished_, 1u);
    }
    // A new list replaces the workers; the new upstreams get the next blocks.
    auto extra = std::make_shared<TRecorder>();
    head->SetUpstreams({sinks[0], extra});
    EXPECT_EQ(TFanOut::LiveWorkers(), before);
    ASSERT_TRUE(head->ProcessData(0, false, data.data(), 10, -1, false));
    EXPECT_EQ(extra->bytes_, 10u);
    EXPECT_EQ(TFanOut::LiveWorkers(), before + 1);
  }
  EXPECT_EQ(TFanOut::LiveWorkers(), before);
}

// An upstream that throws fails by itself; the exception never reaches the sender.
TEST(FanOut, ExceptionsStayInsideTheFailingNode) {
  class TThrower : public TUpStream {
   public:
    TThrower() : TUpStream("thrower") {}
    bool ProcessData(TKey, bool, const uint8_t*, size_t, int64_t, bool) override {
      throw std::bad_alloc();
    }
  };
  for (int count : {1, 2}) {
    auto head = CreatePassThrough();
    auto thrower = std::make_shared<TThrower>();
    UpStreamList list{thrower};
    if (count == 2) list.insert(list.begin(), std::make_shared<TRecorder>());
    head->SetUpstreams(list);
    const uint8_t x = 0;
    EXPECT_FALSE(head->ProcessData(0, false, &x, 1, -1, false));
    EXPECT_FALSE(thrower->GetOk());
  }
}

}  // namespace
}  // namespace kavrix

namespace kavrix {
namespace {

// The thread boundary delivers everything in order on its own thread; announcements, valid-bit
// notices and the end come after the blocks sent before them; a failure behind the boundary
// reaches the sender at a later call.
TEST(ThreadBoundary, OrderAnnouncementsAndFailures) {
  std::mt19937 rng(3);
  std::vector<uint8_t> data(1 << 20);
  for (auto& b : data) b = uint8_t(rng());
  auto boundary = CreateThreadBoundary();
  auto sink = std::make_shared<TRecorder>();
  boundary->SetUpstream(sink);
  ASSERT_TRUE(boundary->OpenAudio("pcm", 2, 3, 16, 48000, false, 0));
  EXPECT_EQ(sink->mask_, 3u);
  size_t at = 0;
  while (at < data.size()) {
    const size_t size = std::min<size_t>(data.size() - at, 1 + rng() % 5000);
    ASSERT_TRUE(boundary->ProcessData(0, false, data.data() + at, size, -1, false));
    at += size;
  }
  boundary->SetValidBits(20, false);  // waits for the blocks before it
  EXPECT_EQ(sink->ValidBits(), 20u);
  ASSERT_TRUE(boundary->Finish(0));
  EXPECT_EQ(sink->bytes_, data.size());
  EXPECT_EQ(sink->hash_, Fnv(kFnvStart, data.data(), data.size()));
  EXPECT_EQ(sink->finished_, 1u);

  auto failing = CreateThreadBoundary();
  auto refusing = std::make_shared<TRecorder>(false);
  failing->SetUpstream(refusing);
  bool ok = true;
  for (int i = 0; i < 100 && ok; ++i)
    ok = failing->ProcessData(0, false, data.data(), 100, -1, false);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(failing->Finish(0));
  EXPECT_EQ(refusing->finished_, 0u);
  EXPECT_EQ(refusing->blocks_, 1u);  // nothing is delivered after the failure
}

}  // namespace
}  // namespace kavrix
