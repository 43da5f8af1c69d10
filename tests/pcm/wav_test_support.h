#pragma once
// Helpers of the WAV tests: a recording sink, a seekable sink that keeps its file image, a
// builder of RIFF files with any chunk layout, and a walker that finds a file's data chunk.
#include <cstring>
#include <string>
#include <vector>

#include "core/voxUpStream.h"
#include "test_support.h"

namespace kavrix::test {

// Records the announcement and every byte delivered to it.
class TRecorder : public TUpStream {
 public:
  TRecorder() : TUpStream("recorder") {}
  bool OpenAudio(const std::string& formatId, uint32_t channels, uint32_t channelMask,
                 uint32_t bits, uint32_t sampleRate, bool bigEndian, uint64_t frameCount) override {
    ++opens;
    this->formatId = formatId;
    this->channels = channels;
    this->channelMask = channelMask;
    this->bits = bits;
    this->sampleRate = sampleRate;
    this->bigEndian = bigEndian;
    this->frameCount = frameCount;
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    bytes.insert(bytes.end(), data, data + size);
    ++blocks;
    return true;
  }
  bool Finish(TKey) override {
    ++finishes;
    return true;
  }

  int opens = 0;
  int finishes = 0;
  int blocks = 0;
  std::string formatId;
  uint32_t channels = 0, channelMask = 0, bits = 0, sampleRate = 0;
  bool bigEndian = false;
  uint64_t frameCount = 0;
  Bytes bytes;
};

// A seekable sink that keeps the first bytes of the file it stands for and counts the rest
// (writes of gigabytes cost nothing).
class TImageSink : public TUpStream, public ISeekableUpStream {
 public:
  explicit TImageSink(bool seekable = true) : TUpStream("image sink"), seekable_(seekable) {}
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    for (size_t i = 0; i < size && position_ + i < image.size(); ++i)
      image[position_ + i] = data[i];
    position_ += size;
    size_ = std::max(size_, position_);
    return true;
  }
  bool Finish(TKey) override { return true; }
  uint64_t GetPosition() override { return position_; }
  bool SetPosition(uint64_t p) override {
    if (!seekable_) return false;
    position_ = p;
    return true;
  }
  uint64_t GetSize() override { return size_; }
  uint32_t Le32At(size_t at) const {
    return uint32_t(image[at]) | uint32_t(image[at + 1]) << 8 | uint32_t(image[at + 2]) << 16 |
           uint32_t(image[at + 3]) << 24;
  }

  Bytes image = Bytes(256, 0);

 private:
  const bool seekable_;
  uint64_t position_ = 0;
  uint64_t size_ = 0;
};

inline void PutLe(Bytes& b, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// One chunk as stored: id, size field (the payload's size unless given), payload, pad byte.
inline Bytes Chunk(const std::string& id, const Bytes& payload, bool pad = true,
                   int64_t sizeField = -1) {
  Bytes c(id.begin(), id.end());
  PutLe(c, sizeField < 0 ? payload.size() : uint64_t(sizeField), 4);
  c.insert(c.end(), payload.begin(), payload.end());
  if (pad && (payload.size() & 1)) c.push_back(0);
  return c;
}

// The payload of a plain fmt chunk.
inline Bytes Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes f;
  PutLe(f, tag, 2);
  PutLe(f, channels, 2);
  PutLe(f, rate, 4);
  PutLe(f, uint64_t(rate) * channels * (bits / 8), 4);
  PutLe(f, channels * (bits / 8), 2);
  PutLe(f, bits, 2);
  return f;
}

// The payload of an extensible fmt chunk with the given sub-format GUID's first word.
inline Bytes FmtExtensible(uint16_t channels, uint32_t rate, uint16_t bits, uint16_t validBits,
                           uint32_t mask, uint32_t guidWord = 1) {
  Bytes f = Fmt(0xFFFE, channels, rate, bits);
  PutLe(f, 22, 2);
  PutLe(f, validBits, 2);
  PutLe(f, mask, 4);
  PutLe(f, guidWord, 4);
  const uint8_t rest[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  f.insert(f.end(), rest, rest + 12);
  return f;
}

// "RIFF" size "WAVE" and the chunks.
inline Bytes Riff(const std::vector<Bytes>& chunks, const char* magic = "RIFF") {
  Bytes body{'W', 'A', 'V', 'E'};
  for (const auto& c : chunks) body.insert(body.end(), c.begin(), c.end());
  Bytes f(magic, magic + 4);
  PutLe(f, body.size(), 4);
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

// The payload of the first "data" chunk of a well-formed file (its stored size), or empty.
inline Bytes DataChunk(const Bytes& file) {
  size_t at = 12;
  while (at + 8 <= file.size()) {
    const uint32_t size = uint32_t(file[at + 4]) | uint32_t(file[at + 5]) << 8 |
                          uint32_t(file[at + 6]) << 16 | uint32_t(file[at + 7]) << 24;
    if (std::memcmp(&file[at], "data", 4) == 0) {
      const size_t end = std::min(file.size(), at + 8 + size_t(size));
      return Bytes(file.begin() + long(at + 8), file.begin() + long(end));
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

}  // namespace kavrix::test
