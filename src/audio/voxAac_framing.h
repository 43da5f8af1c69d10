#pragma once
// What the AAC and MPEG audio readers share: their streams are files of self-describing
// frames that may begin with tags (ID3v2, ID3v1) and runs of zero bytes. The tags are cut off
// before the reader base sees the data and kept for the report; the first frame is only
// believed when the frames after it chain up behind it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/voxAudioReader.h"

namespace kavrix {

// One frame as a format's header parser sees it.
struct TTaggedFrame {
  size_t length = 0;
  uint32_t samples = 0;
  uint32_t sampleRate = 0;
  uint32_t kind = 0;  // the fields every frame of a stream shares
};

class TTaggedFrameReader : public TAudioReaderBase {
 public:
  bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override;
  bool Finish(TKey key) override;

 protected:
  // strict: after the tags the data must begin with a sync word (the start is not searched).
  TTaggedFrameReader(std::string role, TAudioReaderTexts texts, std::string* gapList, bool strict);

  // ---- the format's part ----
  // 0 and the frame, −1 when the header is not buffered yet, or a positive code.
  virtual int ParseFrame(const uint8_t* data, size_t size, TTaggedFrame& frame) = 0;
  virtual bool IsSync(const uint8_t* data, size_t size) const = 0;
  // Called once the tags are skipped, with the bytes after them (fewer than 4 only at the
  // end); false stops the reader (the hook reports why).
  virtual bool CheckStart(const uint8_t* data, size_t size) = 0;

  // The bytes skipped before the first frame (tags and zero runs).
  const std::string& SkippedBytes() const { return skipped_; }
  bool Strict() const { return strict_; }

  int ParseUnit(const uint8_t* data, size_t size, size_t expected, TAudioUnit& unit) override;
  bool MayStartUnit(const uint8_t* data, size_t size) override { return IsSync(data, size); }

 private:
  bool ScanTags(TKey key);
  bool EndTags(TKey key);

  const bool strict_;
  const std::string notValid_;
  bool atEnd_ = false;
  bool tagsDone_ = false;
  std::vector<uint8_t> prefix_;  // bytes not yet classified
  uint64_t skipLeft_ = 0;        // bytes of a tag still to come
  std::string skipped_;
  int64_t prefixStamp_ = kNoTimeStamp;
  bool prefixStamped_ = false;
  uint32_t kind_ = 0;  // the first frame's
};

}  // namespace kavrix
