// The format detector node: feeds every block of a source to its candidate chains in list
// order and settles on the first that recognises the data.
#include "containers/voxFormatDetector.h"

#include <exception>
#include <utility>

namespace kavrix {

namespace {

bool HasElementaryResult(const UpStreamPtr& node) {
  auto* audio = Query<IAudioFormatDetails>(node);
  auto* video = Query<IVideoFormatDetails>(node);
  auto* subtitle = Query<ISubtitleFormatDetails>(node);
  return (audio && audio->GetValid()) || (video && video->GetValid()) ||
         (subtitle && subtitle->GetValid());
}

template <class I>
std::shared_ptr<I> ValidDetails(const UpStreamPtr& node) {
  if (!node) return nullptr;
  std::shared_ptr<I> details = QueryShared<I>(node);
  return details && details->GetValid() ? details : nullptr;
}

// Details of nothing: a fresh node whose records are all empty.
template <class I>
std::shared_ptr<I> EmptyDetails() {
  return QueryShared<I>(CreatePassThrough());
}

// Fills the details again with another format word and display name, all else unchanged.
void Relabel(IUpStream& node, const IAudioFormatDetails& d, std::string_view formatId,
             std::string_view displayName) {
  if (d.GetFormatId() == formatId && d.GetDisplayName() == displayName) return;
  TAudioFormatParams p;
  p.verified = d.GetVerified();
  p.formatId = std::string(formatId);
  p.displayName = std::string(displayName);
  p.channelText = d.GetChannelText();
  p.auxText1 = d.GetAuxText1();
  p.auxText2 = d.GetAuxText2();
  p.codecPrivate = d.GetCodecPrivate();
  p.auxText3 = d.GetAuxText3();
  p.isFloat = d.GetIsFloat();
  p.duration = d.GetDuration();
  p.channels = d.GetChannels();
  p.channelMask = d.GetChannelMask();
  p.bits = d.GetContainerBits();
  p.validBits = d.GetValidBits();
  p.sampleRate = d.GetSampleRate();
  p.bitrate = d.GetBitrate();
  p.dialnorm = d.GetDialnorm();
  p.auxValue = d.GetAuxValue();
  p.hdcd = d.GetHdcd();
  p.auxFlag = d.GetAuxFlag();
  p.coreDisplayName = d.GetCoreDisplayName();
  p.coreChannelText = d.GetCoreChannelText();
  p.coreChannels = d.GetCoreChannels();
  p.coreChannelMask = d.GetCoreChannelMask();
  p.coreBits = d.GetCoreBits();
  p.coreSampleRate = d.GetCoreSampleRate();
  p.coreBitrate = d.GetCoreBitrate();
  p.coreDialnorm = d.GetCoreDialnorm();
  node.SetAudioFormat(p);
}

class TFormatDetector final : public TUpStream, public IFormatDetector, public IVideoInfo {
 public:
  TFormatDetector(const TCandidateOptions& options, bool stopAtFirstResult)
      : TUpStream("format detector"), options_(options), stopAtFirstResult_(stopAtFirstResult) {}

  // Builds the candidate chains of the mode, each silenced and ending in a file simulator.
  void Build() {
    for (TCandidateSlot slot : DetectorCandidateOrder(options_.elementary)) {
      const TCandidateFactory factory = GetCandidateFactory(slot);
      if (!factory) continue;
      TCandidateChain chain;
      try {
        chain = factory(options_);
        if (!chain.head) continue;
        chain.head->Silence(true);
        if (!chain.head->AppendUpstream(CreateFileSimulator())) continue;
      } catch (const std::exception&) {
        continue;  // a chain that cannot be built cannot recognise anything
      }
      const size_t index = candidates_.size();
      chain.head->RegisterSender(KeyOf(index), true);
      if (GetOptional()) chain.head->SetOptional(true);
      if (!Label().empty()) chain.head->SetLabel(Label());
      if (slot == TCandidateSlot::kWavDts) dtsInWav_ = chain.decoder;
      if (slot == TCandidateSlot::kWavAc3) ac3InWav_ = chain.decoder;
      candidates_.push_back(TEntry{slot, std::move(chain.head), false});
    }
  }

  // ---- announcements ----

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override {
    if (!GetOk()) return false;
    if (!options_.elementary) {
      for (UpStreamPtr* decoder : {&dtsInWav_, &ac3InWav_}) {
        if (*decoder && (*decoder)->GetOk())
          Call(**decoder, [&](IUpStream& d) {
            return d.OpenAudio(formatId, channels, channelMask, bitsPerSample, sampleRate,
                               bigEndian, frameCount);
          });
      }
    }
    for (size_t i = 0; i < candidates_.size(); ++i) {
      if (!candidates_[i].node) continue;
      const bool accepted = Call(*candidates_[i].node, [&](IUpStream& c) {
        return c.OpenAudio(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                           frameCount);
      });
      if (!accepted) Drop(i);
    }
    return GetOk();
  }

  // A candidate that refuses these fails by itself and drops out at its next block.
  bool OpenVideo(const TVideoAnnouncement& video) override {
    return PassToCandidates([&](IUpStream& c) { return c.OpenVideo(video); });
  }
  bool OpenSubtitle(const std::string& formatId) override {
    return PassToCandidates([&](IUpStream& c) { return c.OpenSubtitle(formatId); });
  }
  bool OpenContainer(const std::string& formatId, const std::string& scanInfo, uint64_t size,
                     uint64_t size2) override {
    return PassToCandidates(
        [&](IUpStream& c) { return c.OpenContainer(formatId, scanInfo, size, size2); });
  }

  // ---- data ----

  // True while reading should go on; false once the result is settled, every candidate has
  // dropped out or every remaining one has seen all the data it may decide on.
  bool ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool) override {
    if (!GetOk()) return false;
    bool more = false;
    size_t settledAt = candidates_.size();
    for (size_t i = 0; i < candidates_.size(); ++i) {
      if (!Feed(i, header, data, size, timeStamp)) continue;
      more = true;
      if (!stopAtFirstResult_ || !HasElementaryResult(candidates_[i].node)) continue;
      // A container parser that is still working wins over an elementary reading of the
      // same bytes.
      if (!options_.elementary && ContainerStillWorking()) continue;
      settledAt = i;
      break;
    }
    if (settledAt < candidates_.size()) {
      // The WAV reader settles on the first block; the wrappers behind it must see that block
      // too, or a short DTS or AC3 in WAV file would be taken for PCM.
      for (size_t i = settledAt + 1; i < candidates_.size(); ++i)
        if (IsWavWrapperSlot(candidates_[i].slot)) Feed(i, header, data, size, timeStamp);
      more = false;
    }
    bytesSeen_ += size;
    return more;
  }

  // The end of the data: every candidate still fed flushes what it holds (a stream shorter
  // than a reader's look-ahead is recognised only now).
  bool Finish(TKey) override {
    if (!GetOk()) return false;
    for (size_t i = 0; i < candidates_.size(); ++i) {
      TEntry& e = candidates_[i];
      if (!e.node || e.cutOff) continue;
      if (!Call(*e.node, [&](IUpStream& c) { return c.Finish(KeyOf(i)); })) Drop(i);
    }
    return GetOk();
  }

  void SetOptional(bool value) override {
    TUpStream::SetOptional(value);
    for (auto& e : candidates_)
      if (e.node) e.node->SetOptional(value);
  }
  void SetLabel(const std::string& text) override {
    TUpStream::SetLabel(text);
    for (auto& e : candidates_)
      if (e.node) e.node->SetLabel(text);
  }

  // ---- results ----

  std::shared_ptr<IAudioFormatDetails> GetAudioDetails() override {
    if (!options_.elementary) {
      if (auto d = WrappedResult(dtsInWav_, format_id::kDtsWav, "DTSWAV")) return d;
      if (auto d = WrappedResult(ac3InWav_, format_id::kAc3Wav, "AC3WAV")) return d;
    }
    return FirstValid<IAudioFormatDetails>();
  }
  std::shared_ptr<IVideoFormatDetails> GetVideoDetails() override {
    return FirstValid<IVideoFormatDetails>();
  }
  std::shared_ptr<ISubtitleFormatDetails> GetSubtitleDetails() override {
    return FirstValid<ISubtitleFormatDetails>();
  }
  std::shared_ptr<IContainerInfo> GetContainerInfo() override {
    for (const auto& e : candidates_) {
      if (!e.node || !e.node->HasContainerInfo()) continue;
      if (auto info = QueryShared<IContainerInfo>(e.node)) return info;
    }
    return EmptyDetails<IContainerInfo>();
  }

  std::vector<TCandidate> GetCandidates() const override {
    std::vector<TCandidate> list;
    for (const auto& e : candidates_)
      if (e.node) list.push_back(TCandidate{e.slot, e.node});
    return list;
  }

  uint32_t GetFrameDuration() override {
    for (const auto& e : candidates_) {
      if (!ValidDetails<IVideoFormatDetails>(e.node)) continue;
      if (auto* info = Query<IVideoInfo>(e.node)) return info->GetFrameDuration();
    }
    return 0;
  }

 private:
  struct TEntry {
    TCandidateSlot slot;
    UpStreamPtr node;     // the chain's head; empty once the candidate dropped out
    bool cutOff = false;  // it has seen all the data it may decide on
  };

  // No exception crosses into the detector: a candidate that throws fails.
  template <class Op>
  static bool Call(IUpStream& node, Op op) {
    try {
      return op(node);
    } catch (...) {
      if (auto* n = dynamic_cast<TUpStream*>(&node)) n->ReportException();
      return false;
    }
  }

  template <class Op>
  bool PassToCandidates(Op op) {
    if (!GetOk()) return false;
    for (auto& e : candidates_)
      if (e.node) Call(*e.node, op);
    return GetOk();
  }

  // Hands the block to candidate i unless it dropped out or is past its buffer limit; true
  // when the candidate took it.
  bool Feed(size_t i, bool header, const uint8_t* data, size_t size, int64_t timeStamp) {
    TEntry& e = candidates_[i];
    if (!e.node) return false;
    if (e.cutOff || bytesSeen_ > e.node->GetBufferLimit()) {
      e.cutOff = true;
      return false;
    }
    const bool ok = Call(*e.node, [&](IUpStream& c) {
      return c.ProcessData(KeyOf(i), header, data, size, timeStamp, false);
    });
    if (!ok) Drop(i);
    return ok;
  }

  void Drop(size_t i) {
    TEntry& e = candidates_[i];
    if (!e.node) return;
    e.node->RegisterSender(KeyOf(i), false);
    if (e.slot == TCandidateSlot::kWavDts) dtsInWav_.reset();
    if (e.slot == TCandidateSlot::kWavAc3) ac3InWav_.reset();
    e.node.reset();
  }

  // A container parser is still present, working and within its buffer limit.
  bool ContainerStillWorking() const {
    for (const auto& e : candidates_)
      if (e.node && IsContainerSlot(e.slot) && !e.cutOff && e.node->GetOk()) return true;
    return false;
  }

  std::shared_ptr<IAudioFormatDetails> WrappedResult(const UpStreamPtr& decoder,
                                                     std::string_view formatId,
                                                     std::string_view displayName) {
    auto details = ValidDetails<IAudioFormatDetails>(decoder);
    if (!details) return nullptr;
    Relabel(*decoder, *details, formatId, displayName);
    return details;
  }

  template <class I>
  std::shared_ptr<I> FirstValid() const {
    for (const auto& e : candidates_)
      if (auto d = ValidDetails<I>(e.node)) return d;
    return EmptyDetails<I>();
  }

  const TCandidateOptions options_;
  const bool stopAtFirstResult_;
  std::vector<TEntry> candidates_;
  // The readers at the end of the two WAV-wrapper chains (full mode).
  UpStreamPtr dtsInWav_;
  UpStreamPtr ac3InWav_;
  uint64_t bytesSeen_ = 0;  // source bytes before the current block
};

}  // namespace

UpStreamPtr CreateFormatDetector(bool logPids, bool logMkv, bool logDts, bool stopAtFirstResult,
                                 bool elementary) {
  TCandidateOptions options;
  options.elementary = elementary;
  options.logPids = logPids;
  options.logMkv = logMkv;
  options.logDts = logDts;
  auto node = std::make_shared<TFormatDetector>(options, stopAtFirstResult);
  node->Build();
  return node;
}

}  // namespace kavrix
