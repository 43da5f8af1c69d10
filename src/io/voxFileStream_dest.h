#pragma once
// The destination file: the last node of every chain that produces a file.
// The file is created only when the first bytes are written (so a chain that fails
// early leaves nothing behind), with the chain's remaining delay in its name; header
// blocks stay in memory until real data follows so writers can still rewrite them.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/voxText.h"
#include "core/voxUpStream.h"
#include "platform/voxPlatform_output.h"

namespace kavrix {

class TBackgroundWriter;

class IDestFile {
 public:
  virtual ~IDestFile() = default;
  // The name the file got (with the delay inserted); empty until it was created.
  virtual std::string GetCreatedName() = 0;
};

class TDestFile : public TUpStream, public ISeekableUpStream, public IDestFile {
 public:
  // resultBits, when set, receives the last valid-bitdepth notice at Finish.
  TDestFile(std::string fileName, uint32_t* resultBits, const std::string& fixedContent,
            const std::string& header, std::string trailer);
  ~TDestFile() override;

  bool ProcessData(TKey key, bool header, const uint8_t* data, size_t size, int64_t timeStamp,
                   bool boundary) override;
  bool Finish(TKey key) override;

  uint64_t GetPosition() override;
  bool SetPosition(uint64_t position) override;
  uint64_t GetSize() override;
  std::string GetCreatedName() override { return createdName_; }

 private:
  bool Write(const uint8_t* data, size_t size);
  bool Flush();
  bool Settle();  // every byte written so far is in the file
  bool WriteFailed();

  const std::string fileName_;
  uint32_t* const resultBits_;
  const std::string trailer_;
  const bool isStdout_;
  platform::TOutputFile file_;
  std::unique_ptr<TBackgroundWriter> writer_;  // goes before the file closes
  std::string createdName_;
  uint64_t fileSize_ = 0;
  uint64_t filePosition_ = 0;
  bool streaming_ = false;
  bool discard_ = false;
  bool closed_ = false;  // finished: later writes fail instead of creating the file again
};

UpStreamPtr CreateDestFile(const std::string& fileName, uint32_t* resultBits = nullptr,
                           const std::string& fixedContent = {}, const std::string& header = {},
                           const std::string& trailer = {});

// The name a destination gets with a delay sum inserted before its extension
// ("movie.ac3", -60 → "movie DELAY -60ms.ac3"); only the last path component has one.
std::string InsertDelayIntoName(const std::string& fileName, int64_t delaySum);

// Every file the destination files of this process created, in order; a failed run
// removes exactly these.
std::vector<std::string> GetCreatedFiles();
void ClearCreatedFiles();

}  // namespace kavrix
