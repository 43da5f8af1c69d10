#pragma once
// The processing node. Data is pushed: a node delivers each block it produces to the
// nodes in its upstream list (the next nodes towards the destination). With two or
// more upstreams every upstream but the first is served by a persistent worker
// thread of its own (the first runs on the sender's thread), and the sender
// continues only when all have processed the block.
//
// Ownership: nodes are shared objects; a node owns its upstreams, so releasing the
// source releases the whole graph. Blocks are passed by pointer, are read-only and
// are valid only during the call; a node that keeps or edits data copies it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/voxUpStream_details.h"

namespace kavrix {

// Connection key: the sender's serial number and the upstream's position in its list.
using TKey = uint64_t;
constexpr int64_t kNoTimeStamp = -1;  // time stamps count 100 ns; -1 = none

class IUpStream;
using UpStreamPtr = std::shared_ptr<IUpStream>;
using UpStreamList = std::vector<UpStreamPtr>;

// The video announcement; its values are produced by the video readers.
struct TVideoAnnouncement {
  std::string formatId;
  bool interlaced = false;
  bool pulldownRemoved = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t aspectX = 0;
  uint32_t aspectY = 0;
  uint32_t frameRate = 0;         // frames per 1000 s
  uint32_t frameRateDivisor = 0;  // 1000, or 1001 for the NTSC rates
  uint32_t chromaFormat = 0;
  uint32_t lumaBits = 0;
  uint32_t chromaBits = 0;
  std::string codecPrivate;  // bytes
};

// The interface every node is handled through.
class IUpStream {
 public:
  virtual ~IUpStream() = default;

  virtual bool GetOk() const = 0;
  virtual void RegisterSender(TKey key, bool add) = 0;
  // Source bytes after which the node must have recognised its input.
  virtual uint64_t GetBufferLimit() = 0;

  // Announcements, passed on (possibly changed) before any data.
  virtual bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                         uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                         uint64_t frameCount) = 0;
  virtual bool OpenVideo(const TVideoAnnouncement& video) = 0;
  virtual bool OpenSubtitle(const std::string& formatId) = 0;
  virtual bool OpenContainer(const std::string& formatId, const std::string& scanInfo,
                             uint64_t size, uint64_t size2) = 0;

  virtual bool SetDelay(uint32_t index, int32_t milliseconds) = 0;
  virtual bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size,
                           int64_t timeStamp, bool boundary) = 0;
  virtual bool Finish(TKey key) = 0;
  virtual void NotifyJoin(uint8_t kind, int64_t gap) = 0;
  virtual void SetValidBits(uint32_t bits, bool forced) = 0;
  virtual bool HasContainerInfo() = 0;

  // The upstream list.
  virtual size_t GetUpstreamCount() const = 0;
  virtual UpStreamPtr GetUpstream(size_t index) const = 0;
  virtual UpStreamPtr GetSingleUpstream() const = 0;
  virtual void SetUpstream(const UpStreamPtr& node) = 0;
  virtual void SetUpstreams(const UpStreamList& nodes) = 0;
  virtual UpStreamPtr GetChainEnd() = 0;
  virtual bool AppendUpstream(const UpStreamPtr& node) = 0;
  virtual bool AppendUpstreams(const UpStreamList& nodes) = 0;

  // Messages and flags.
  virtual void ShowMessage(int kind, const std::string& text, bool important = false) = 0;
  virtual void Silence(bool recursive) = 0;
  virtual void SetLabel(const std::string& text) = 0;
  virtual void SetOptional(bool value) = 0;
  virtual bool GetOptional() const = 0;

  // Filling the node's format details (voxUpStream_details.h); the details themselves are
  // read through IAudioFormatDetails, IVideoFormatDetails, ISubtitleFormatDetails and
  // IContainerInfo.
  virtual void SetAudioFormat(const TAudioFormatParams& params) = 0;
  virtual void SetVideoFormat(const TVideoFormatParams& params) = 0;
  virtual void SetSubtitleFormat(const TSubtitleFormatParams& params) = 0;
  virtual void SetVideoCounts(uint32_t count1, uint32_t count2) = 0;
  virtual void SetGapList(const std::string& data) = 0;
};

// Finds a role or optional interface of a node (nullptr when it has none).
template <class I>
I* Query(const UpStreamPtr& node) {
  return dynamic_cast<I*>(node.get());
}
template <class I>
std::shared_ptr<I> QueryShared(const UpStreamPtr& node) {
  return std::dynamic_pointer_cast<I>(node);
}

// Nodes that can report and move their output position (destination file, file simulator).
class ISeekableUpStream {
 public:
  virtual ~ISeekableUpStream() = default;
  virtual uint64_t GetPosition() = 0;
  virtual bool SetPosition(uint64_t position) = 0;
  virtual uint64_t GetSize() = 0;
};

// Readers whose stream starts later than its first time stamp says.
class IInitialDelay {
 public:
  virtual ~IInitialDelay() = default;
  virtual bool HasInitialDelay() = 0;
  virtual int64_t GetInitialDelay() = 0;  // milliseconds
};

// Video readers and the format detector.
class IVideoInfo {
 public:
  virtual ~IVideoInfo() = default;
  virtual uint32_t GetFrameDuration() = 0;  // 100 ns units, 0 until known
};

// Role interfaces without operations, recognised with Query<>.
class IPassThrough {
 public:
  virtual ~IPassThrough() = default;
};
class IFileSimulator {
 public:
  virtual ~IFileSimulator() = default;
};

class TFanOut;  // the worker threads of a node with two or more upstreams

// The node base class. Every node carries the format details of the stream it produces.
class TUpStream : public IUpStream,
                  public TFormatDetails,
                  public std::enable_shared_from_this<TUpStream> {
 public:
  // Role: the node's fixed English name used in its messages ("WAV writer").
  explicit TUpStream(std::string role);
  ~TUpStream() override;
  TUpStream(const TUpStream&) = delete;
  TUpStream& operator=(const TUpStream&) = delete;

  bool GetOk() const override { return ok_.load(std::memory_order_acquire); }
  void RegisterSender(TKey key, bool add) override;
  uint64_t GetBufferLimit() override { return 10485760; }

  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override;
  bool OpenVideo(const TVideoAnnouncement& video) override;
  bool OpenSubtitle(const std::string& formatId) override;
  bool OpenContainer(const std::string& formatId, const std::string& scanInfo, uint64_t size,
                     uint64_t size2) override;
  bool SetDelay(uint32_t index, int32_t milliseconds) override;
  bool Finish(TKey key) override;
  void NotifyJoin(uint8_t kind, int64_t gap) override;
  void SetValidBits(uint32_t bits, bool forced) override;  // the valid-bitdepth notice
  using TAudioDetails::SetValidBits;                       // the details' field
  bool HasContainerInfo() override { return TContainerDetails::HasContainerInfo(); }

  size_t GetUpstreamCount() const override { return upstreams_.size(); }
  UpStreamPtr GetUpstream(size_t index) const override;
  UpStreamPtr GetSingleUpstream() const override;
  void SetUpstream(const UpStreamPtr& node) override;
  void SetUpstreams(const UpStreamList& nodes) override;
  UpStreamPtr GetChainEnd() override;
  bool AppendUpstream(const UpStreamPtr& node) override;
  bool AppendUpstreams(const UpStreamList& nodes) override;

  void ShowMessage(int kind, const std::string& text, bool important = false) override;
  void Silence(bool recursive) override;
  void SetLabel(const std::string& text) override;
  void SetOptional(bool value) override;
  bool GetOptional() const override { return optional_.load(std::memory_order_acquire); }

  void SetAudioFormat(const TAudioFormatParams& params) override {
    TAudioDetails::SetAudioFormat(params);
  }
  void SetVideoFormat(const TVideoFormatParams& params) override {
    TVideoDetails::SetVideoFormat(params);
  }
  void SetSubtitleFormat(const TSubtitleFormatParams& params) override {
    TSubtitleDetails::SetSubtitleFormat(params);
  }
  void SetVideoCounts(uint32_t count1, uint32_t count2) override {
    TVideoDetails::SetVideoCounts(count1, count2);
  }
  void SetGapList(const std::string& data) override { TVideoDetails::SetGapList(data); }

  const std::string& Role() const { return role_; }
  // An exception escaped this node's operation: the node fails with its memory message.
  void ReportException();
  TKey KeyOf(size_t index) const { return (serial_ << 16) | index; }

 protected:
  // Hands one block to every upstream (in parallel with two or more).
  virtual bool DeliverData(bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                           bool boundary);

  // Passing on.
  bool OpenAudioUpstreams(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                          uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                          uint64_t frameCount);
  bool OpenVideoUpstreams(const TVideoAnnouncement& video);
  bool OpenSubtitleUpstreams(const std::string& formatId);
  bool OpenContainerUpstreams(const std::string& formatId, const std::string& scanInfo,
                              uint64_t size, uint64_t size2);
  bool SetDelayUpstreams(uint32_t index, int32_t milliseconds);
  bool FinishUpstreams();
  void NotifyJoinUpstreams(uint8_t kind, int64_t gap);

  // The node convention's checks and failures; each returns false after a failure.
  bool Fail(const std::string& text);  // Ok := false and the text as an error
  bool FailNoUpstream() { return Fail("The " + role_ + " upstream property is not set."); }
  bool FailFormat() { return Fail("The " + role_ + " received a non-supported data format."); }
  bool FailNoFormat() { return Fail("The " + role_ + " didn't receive the format information."); }
  bool FailMemory() { return Fail("The " + role_ + " couldn't allocate enough memory."); }
  // Ok, then upstream set, then the format accepted.
  bool CheckAnnouncement(bool formatSupported);
  // Ok, then upstream set, then an announcement received.
  bool CheckData(bool announced);
  void SetOk(bool ok) { ok_.store(ok, std::memory_order_release); }

  // Output buffers, by index (an index beyond the list reads as empty).
  uint8_t* GetOutputBuffer(size_t index) const;
  size_t GetOutputSize(size_t index) const;
  void SetOutputSize(size_t index, size_t size);  // never beyond the capacity
  bool ReserveOutput(size_t index, size_t size);
  bool AppendOutput(size_t index, const uint8_t* data, size_t size);
  void ConsumeOutput(size_t index, size_t count);
  void FreeOutput(size_t index);

  // The node's own lock, for nodes with several senders (recursive: Finish may call
  // the node's own ProcessData while holding it).
  std::recursive_mutex& NodeLock() { return lock_; }

  const UpStreamList& Upstreams() const { return upstreams_; }
  const std::vector<TKey>& SenderKeys() const { return senderKeys_; }
  int32_t GetDelay(uint32_t index) const { return index < delays_.size() ? delays_[index] : 0; }
  const std::vector<int32_t>& Delays() const { return delays_; }
  uint32_t ValidBits() const { return validBits_; }
  bool ValidBitsForced() const { return validBitsForced_; }
  bool IsSilenced() const { return silenced_.load(std::memory_order_acquire); }
  const std::string& Label() const { return label_; }

  bool absorbsDelays_ = false;  // delay nodes apply delays themselves and set this

 private:
  struct TOutputBuffer {
    uint8_t* data = nullptr;
    size_t capacity = 0;
    size_t used = 0;
  };
  void StopWorkers();

  const std::string role_;
  const uint64_t serial_;
  std::atomic<bool> ok_{true};
  std::atomic<bool> optional_{false};
  std::recursive_mutex lock_;
  UpStreamList upstreams_;
  std::vector<TKey> senderKeys_;
  std::unique_ptr<TFanOut> fanOut_;
  std::vector<TOutputBuffer> outputBuffers_;
  std::atomic<bool> silenced_{false};
  bool silenceRecursive_ = false;
  std::string label_;
  std::vector<int32_t> delays_;
  uint32_t validBits_ = 0;
  bool validBitsForced_ = false;
};

// Forwards everything unchanged: an empty chain head, a fan-out point.
class TPassThrough : public TUpStream, public IPassThrough {
 public:
  TPassThrough() : TUpStream("pass-through") {}
  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bitsPerSample, uint32_t sampleRate, bool bigEndian,
                 uint64_t frameCount) override;
  bool OpenVideo(const TVideoAnnouncement& video) override;
  bool OpenSubtitle(const std::string& formatId) override;
  bool OpenContainer(const std::string& formatId, const std::string& scanInfo, uint64_t size,
                     uint64_t size2) override;
  bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override;
};

// A sink that behaves like a destination file without writing: it counts bytes.
class TFileSimulator : public TUpStream, public ISeekableUpStream, public IFileSimulator {
 public:
  TFileSimulator() : TUpStream("file simulator") {}
  bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override;
  bool Finish(TKey) override { return true; }
  uint64_t GetPosition() override { return position_; }
  bool SetPosition(uint64_t position) override;
  uint64_t GetSize() override { return size_; }

 private:
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

UpStreamPtr CreatePassThrough();
UpStreamPtr CreateFileSimulator();
// A node that delivers every block on a thread of its own (copied into a small ring), so the
// nodes before and after it work at the same time; announcements, joins and the end wait for
// the blocks queued before them.
UpStreamPtr CreateThreadBoundary();

}  // namespace kavrix
