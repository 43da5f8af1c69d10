#include "core/voxUpStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/voxUpStream_console.h"
#include "core/voxUpStream_fanout.h"

namespace kavrix {

namespace {

std::atomic<uint64_t> g_nextSerial{1};

// No single output buffer may grow beyond this; a larger request is a memory failure
// (it guards the size arithmetic as much as the machine).
constexpr size_t kMaxOutputBuffer = size_t(1) << 34;

// An exception thrown by an upstream must not cross into its sender: the upstream
// fails with its memory message.
bool UpstreamThrew(IUpStream& up) {
  if (auto* node = dynamic_cast<TUpStream*>(&up)) node->ReportException();
  return false;
}

}  // namespace

TUpStream::TUpStream(std::string role)
    : role_(std::move(role)), serial_(g_nextSerial.fetch_add(1, std::memory_order_relaxed)) {}

TUpStream::~TUpStream() {
  StopWorkers();
  for (auto& b : outputBuffers_) std::free(b.data);
}

void TUpStream::StopWorkers() {
  fanOut_.reset();
}

void TUpStream::ReportException() {
  FailMemory();
}

void TUpStream::RegisterSender(TKey key, bool add) {
  if (add) {
    senderKeys_.push_back(key);
  } else {
    std::erase(senderKeys_, key);
  }
}

// ---- announcements and other virtual operations: the base behaviour ----

bool TUpStream::OpenAudio(const std::string&, uint32_t, uint32_t, uint32_t, uint32_t, bool,
                          uint64_t) {
  return true;
}
bool TUpStream::OpenVideo(const TVideoAnnouncement&) {
  return true;
}
bool TUpStream::OpenSubtitle(const std::string&) {
  return true;
}
bool TUpStream::OpenContainer(const std::string&, const std::string&, uint64_t, uint64_t) {
  return true;
}

bool TUpStream::SetDelay(uint32_t index, int32_t milliseconds) {
  if (!GetOk()) return false;
  if (delays_.size() <= index) delays_.resize(size_t(index) + 1, 0);
  delays_[index] = milliseconds;
  SetDelayUpstreams(index, milliseconds);
  return GetOk();
}

bool TUpStream::Finish(TKey) {
  if (!GetOk()) return false;
  return FinishUpstreams();
}

void TUpStream::NotifyJoin(uint8_t kind, int64_t gap) {
  if (GetOk()) NotifyJoinUpstreams(kind, gap);
}

void TUpStream::SetValidBits(uint32_t bits, bool forced) {
  if (!forced && validBitsForced_) return;
  validBits_ = bits;
  validBitsForced_ = forced;
  for (auto& up : upstreams_) up->SetValidBits(bits, forced);
}

// ---- delivery ----

bool TUpStream::DeliverData(bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                            bool boundary) {
  const size_t count = upstreams_.size();
  if (count < 2) {
    if (count == 0) return false;
    IUpStream& up = *upstreams_[0];
    bool ok;
    try {
      ok = up.ProcessData(KeyOf(0), header, data, size, timeStamp, boundary);
    } catch (...) {
      ok = UpstreamThrew(up);
    }
    return ok || up.GetOptional();
  }
  if (!fanOut_) {
    try {
      fanOut_ = std::make_unique<TFanOut>();
      if (!fanOut_->Start(upstreams_, serial_ << 16)) {
        fanOut_.reset();
        return FailMemory();
      }
    } catch (...) {
      fanOut_.reset();
      return FailMemory();
    }
  }
  return fanOut_->Deliver(TFanOut::TBlock{header, data, size, timeStamp, boundary});
}

// ---- passing on ----

template <class Op>
static bool PassOn(const UpStreamList& ups, Op op) {
  bool result = !ups.empty();
  for (size_t i = 0; i < ups.size(); ++i) {
    IUpStream& up = *ups[i];
    bool ok;
    try {
      ok = op(up, i);
    } catch (...) {
      ok = UpstreamThrew(up);
    }
    if (!ok && !up.GetOptional()) return false;
  }
  return result;
}

bool TUpStream::OpenAudioUpstreams(const std::string& formatId, uint32_t channels,
                                   uint32_t channelMask, uint32_t bitsPerSample,
                                   uint32_t sampleRate, bool bigEndian, uint64_t frameCount) {
  // Both back channels without back centre or sides: the pair is the side pair. Only when
  // none of back centre and the centre pair (0x1C0) is present, else channels would be
  // relabelled in the middle of the order.
  if ((channelMask & 0x30) == 0x30 && (channelMask & 0x700) == 0 && (channelMask & 0x1C0) == 0)
    channelMask = channelMask - 0x30 + 0x600;
  return PassOn(upstreams_, [&](IUpStream& up, size_t) {
    return up.OpenAudio(formatId, channels, channelMask, bitsPerSample, sampleRate, bigEndian,
                        frameCount);
  });
}

bool TUpStream::OpenVideoUpstreams(const TVideoAnnouncement& video) {
  return PassOn(upstreams_, [&](IUpStream& up, size_t) { return up.OpenVideo(video); });
}

bool TUpStream::OpenSubtitleUpstreams(const std::string& formatId) {
  return PassOn(upstreams_, [&](IUpStream& up, size_t) { return up.OpenSubtitle(formatId); });
}

bool TUpStream::OpenContainerUpstreams(const std::string& formatId, const std::string& scanInfo,
                                       uint64_t size, uint64_t size2) {
  return PassOn(upstreams_, [&](IUpStream& up, size_t) {
    return up.OpenContainer(formatId, scanInfo, size, size2);
  });
}

bool TUpStream::SetDelayUpstreams(uint32_t index, int32_t milliseconds) {
  if (absorbsDelays_) return !upstreams_.empty();
  return PassOn(upstreams_,
                [&](IUpStream& up, size_t) { return up.SetDelay(index, milliseconds); });
}

bool TUpStream::FinishUpstreams() {
  return PassOn(upstreams_, [&](IUpStream& up, size_t i) { return up.Finish(KeyOf(i)); });
}

void TUpStream::NotifyJoinUpstreams(uint8_t kind, int64_t gap) {
  for (auto& up : upstreams_) up->NotifyJoin(kind, gap);
}

// ---- the convention's checks ----

bool TUpStream::Fail(const std::string& text) {
  SetOk(false);
  ShowMessage(kMsgError, text);
  return false;
}

bool TUpStream::CheckAnnouncement(bool formatSupported) {
  if (!GetOk()) return false;
  if (upstreams_.empty()) return FailNoUpstream();
  if (!formatSupported) return FailFormat();
  return true;
}

bool TUpStream::CheckData(bool announced) {
  if (!GetOk()) return false;
  if (upstreams_.empty()) return FailNoUpstream();
  if (!announced) return FailNoFormat();
  return true;
}

// ---- the upstream list ----

UpStreamPtr TUpStream::GetUpstream(size_t index) const {
  return index < upstreams_.size() ? upstreams_[index] : nullptr;
}

UpStreamPtr TUpStream::GetSingleUpstream() const {
  return upstreams_.size() == 1 ? upstreams_[0] : nullptr;
}

void TUpStream::SetUpstream(const UpStreamPtr& node) {
  SetUpstreams(UpStreamList{node});
}

void TUpStream::SetUpstreams(const UpStreamList& nodes) {
  if (!GetOk()) return;
  // Workers serve the positions of the old list; they are rebuilt at the next delivery.
  StopWorkers();
  for (size_t i = 0; i < upstreams_.size(); ++i) upstreams_[i]->RegisterSender(KeyOf(i), false);
  UpStreamList list;
  list.reserve(nodes.size());
  for (auto& n : nodes)
    if (n) list.push_back(n);
  upstreams_ = std::move(list);
  for (size_t i = 0; i < upstreams_.size(); ++i) {
    IUpStream& up = *upstreams_[i];
    up.RegisterSender(KeyOf(i), true);
    if (silenceRecursive_) up.Silence(true);
    if (GetOptional()) up.SetOptional(true);
    if (!label_.empty()) up.SetLabel(label_);
    if (!absorbsDelays_)
      for (size_t j = 0; j < delays_.size(); ++j) up.SetDelay(uint32_t(j), delays_[j]);
  }
}

UpStreamPtr TUpStream::GetChainEnd() {
  UpStreamPtr current = weak_from_this().lock();
  if (!current) return nullptr;
  while (current->GetUpstreamCount() > 0) current = current->GetUpstream(0);
  return current;
}

bool TUpStream::AppendUpstream(const UpStreamPtr& node) {
  return AppendUpstreams(UpStreamList{node});
}

bool TUpStream::AppendUpstreams(const UpStreamList& nodes) {
  UpStreamPtr end = GetChainEnd();
  if (!end || !end->GetOk() || end->GetUpstreamCount() != 0) return false;
  end->SetUpstreams(nodes);
  return true;
}

// ---- messages and flags ----

void TUpStream::ShowMessage(int kind, const std::string& text, bool important) {
  if (silenced_.load(std::memory_order_acquire) && !(important && !GetOptional())) return;
  if (label_.empty()) {
    WriteMessage(kind, text);
  } else {
    WriteMessage(kind, "[" + label_ + "] " + text);
  }
}

void TUpStream::Silence(bool recursive) {
  silenced_.store(true, std::memory_order_release);
  // Silence stays recursive once it was asked for recursively.
  silenceRecursive_ = silenceRecursive_ || recursive;
  if (recursive)
    for (auto& up : upstreams_) up->Silence(true);
}

void TUpStream::SetLabel(const std::string& text) {
  label_ = text;
  for (auto& up : upstreams_) up->SetLabel(text);
}

void TUpStream::SetOptional(bool value) {
  optional_.store(value, std::memory_order_release);
  for (auto& up : upstreams_) up->SetOptional(value);
}

// ---- output buffers ----

uint8_t* TUpStream::GetOutputBuffer(size_t index) const {
  return index < outputBuffers_.size() ? outputBuffers_[index].data : nullptr;
}

size_t TUpStream::GetOutputSize(size_t index) const {
  return index < outputBuffers_.size() ? outputBuffers_[index].used : 0;
}

void TUpStream::SetOutputSize(size_t index, size_t size) {
  if (index < outputBuffers_.size())
    outputBuffers_[index].used = std::min(size, outputBuffers_[index].capacity);
}

bool TUpStream::ReserveOutput(size_t index, size_t size) {
  if (size > kMaxOutputBuffer) return false;
  if (index >= outputBuffers_.size()) {
    if (!GetOk()) return false;
    try {
      outputBuffers_.resize(index * 2 + 8);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  TOutputBuffer& b = outputBuffers_[index];
  if (b.capacity < size || !b.data) {
    if (!GetOk()) return false;
    const size_t capacity = size == 0 ? 65536 : size * 2;
    auto* grown = static_cast<uint8_t*>(std::realloc(b.data, capacity));
    if (!grown) return false;  // the old block stays valid
    b.data = grown;
    b.capacity = capacity;
  }
  return b.capacity >= size;
}

bool TUpStream::AppendOutput(size_t index, const uint8_t* data, size_t size) {
  if (size == 0) return true;
  const size_t used = GetOutputSize(index);
  if (size > kMaxOutputBuffer || !ReserveOutput(index, used + size)) return false;
  TOutputBuffer& b = outputBuffers_[index];
  std::memcpy(b.data + b.used, data, size);
  b.used += size;
  return true;
}

void TUpStream::ConsumeOutput(size_t index, size_t count) {
  if (index >= outputBuffers_.size()) return;
  TOutputBuffer& b = outputBuffers_[index];
  count = std::min(count, b.used);
  b.used -= count;
  if (b.used > 0 && count > 0) std::memmove(b.data, b.data + count, b.used);
}

void TUpStream::FreeOutput(size_t index) {
  if (index >= outputBuffers_.size()) return;
  TOutputBuffer& b = outputBuffers_[index];
  std::free(b.data);
  b = TOutputBuffer{};
}

// ---- TPassThrough ----

bool TPassThrough::OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                             uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                             uint64_t frameCount) {
  return GetOk() && OpenAudioUpstreams(formatId, channels, channelMask, bitsPerSample, sampleRate,
                                       bigEndian, frameCount);
}

bool TPassThrough::OpenVideo(const TVideoAnnouncement& video) {
  return GetOk() && OpenVideoUpstreams(video);
}

bool TPassThrough::OpenSubtitle(const std::string& formatId) {
  return GetOk() && OpenSubtitleUpstreams(formatId);
}

bool TPassThrough::OpenContainer(const std::string& formatId, const std::string& scanInfo,
                                 uint64_t size, uint64_t size2) {
  return GetOk() && OpenContainerUpstreams(formatId, scanInfo, size, size2);
}

bool TPassThrough::ProcessData(TKey, bool header, const uint8_t* data, size_t size,
                               int64_t timeStamp, bool boundary) {
  return GetOk() && DeliverData(header, data, size, timeStamp, boundary);
}

// ---- TFileSimulator ----

bool TFileSimulator::ProcessData(TKey, bool, const uint8_t*, size_t size, int64_t, bool) {
  position_ += size;
  if (position_ > size_) size_ = position_;
  return true;
}

bool TFileSimulator::SetPosition(uint64_t position) {
  position_ = std::min(position, size_);
  return true;
}

UpStreamPtr CreatePassThrough() {
  return std::make_shared<TPassThrough>();
}
UpStreamPtr CreateFileSimulator() {
  return std::make_shared<TFileSimulator>();
}

}  // namespace kavrix
