#include "io/voxFileStream_dest.h"

#include <algorithm>

#include "core/voxText.h"
#include "core/voxUpStream_console.h"
#include "io/voxFileStream_writer.h"

namespace kavrix {

namespace {

std::mutex g_createdLock;
std::vector<std::string> g_created;

void RecordCreated(const std::string& name) {
  std::lock_guard<std::mutex> guard(g_createdLock);
  g_created.push_back(name);
}

}  // namespace

std::string InsertDelayIntoName(const std::string& fileName, int64_t delaySum) {
  if (delaySum == 0) return fileName;
  const size_t at = ExtensionStart(fileName);
  return fileName.substr(0, at) + " DELAY " + std::to_string(delaySum) + "ms" + fileName.substr(at);
}

std::vector<std::string> GetCreatedFiles() {
  std::lock_guard<std::mutex> guard(g_createdLock);
  return g_created;
}

void ClearCreatedFiles() {
  std::lock_guard<std::mutex> guard(g_createdLock);
  g_created.clear();
}

TDestFile::TDestFile(std::string fileName, uint32_t* resultBits, const std::string& fixedContent,
                     const std::string& header, std::string trailer)
    : TUpStream("destination file"),
      fileName_(std::move(fileName)),
      resultBits_(resultBits),
      trailer_(std::move(trailer)),
      isStdout_(IsStdoutName(fileName_)) {
  if (fileName_.find("%check%") != std::string::npos) {
    discard_ = true;  // stands for an output that only checks the source
    return;
  }
  // The creation header is held like a header block: the file is created by the
  // first real write, when the chain's delays are known.
  if (!header.empty() &&
      !AppendOutput(0, reinterpret_cast<const uint8_t*>(header.data()), header.size())) {
    Fail("The file writer couldn't allocate enough memory.");
    return;
  }
  if (!fixedContent.empty()) {
    if (!AppendOutput(0, reinterpret_cast<const uint8_t*>(fixedContent.data()),
                      fixedContent.size())) {
      Fail("The file writer couldn't allocate enough memory.");
      return;
    }
    if (!Flush() || !Settle()) WriteFailed();
    writer_.reset();
    discard_ = true;
    if (!isStdout_) file_.Close();
    closed_ = true;
  }
}

TDestFile::~TDestFile() = default;

bool TDestFile::WriteFailed() {
  return Fail("Writing the destination file failed.");
}

bool TDestFile::Write(const uint8_t* data, size_t size) {
  if (!GetOk() || size == 0) return GetOk();
  if (closed_) return false;
  if (!file_.IsOpen()) {
    ShowMessage(kMsgNormal, "Creating file \"" + fileName_ + "\"...");
    int64_t delaySum = 0;
    for (int32_t d : Delays()) delaySum += d;
    const std::string name = InsertDelayIntoName(fileName_, delaySum);
    if (isStdout_) {
      file_.UseStandardOutput();
    } else {
      auto created = file_.Create(name);
      if (created == platform::TOutputFile::TCreate::kPathMissing) {
        const size_t slash = name.rfind('/');
        if (slash != std::string::npos && slash > 0 && platform::MakeFolder(name.substr(0, slash)))
          created = file_.Create(name);
      }
      if (created != platform::TOutputFile::TCreate::kOk)
        return Fail("The destination file \"" + name + "\" could not be created.");
      RecordCreated(name);
    }
    createdName_ = name;
    writer_ = std::make_unique<TBackgroundWriter>(file_);
  }
  if (!writer_->Write(data, size)) return false;
  filePosition_ += size;
  fileSize_ = std::max(fileSize_, filePosition_);
  return true;
}

bool TDestFile::Settle() {
  return !writer_ || writer_->Drain();
}

bool TDestFile::Flush() {
  const size_t buffered = GetOutputSize(0);
  if (buffered == 0) return GetOk();
  if (!Write(GetOutputBuffer(0), buffered)) return false;
  SetOutputSize(0, 0);
  return true;
}

bool TDestFile::ProcessData(TKey, bool header, const uint8_t* data, size_t size, int64_t, bool) {
  if (!GetOk() || discard_) return GetOk();
  if (GetUpstreamCount() > 0) return Fail("The destination file upstream property is set.");
  if (closed_) return WriteFailed();
  if (!header) streaming_ = true;
  if (!streaming_) {
    // Header blocks stay in memory until real data follows: a writer may still rewrite them.
    if (!AppendOutput(0, data, size))
      return Fail("The file writer couldn't allocate enough memory.");
    return true;
  }
  if (GetOutputSize(0) != 0 && !Flush()) return GetOk() ? WriteFailed() : false;
  if (!Write(data, size)) return GetOk() ? WriteFailed() : false;
  return true;
}

bool TDestFile::Finish(TKey) {
  if (!GetOk()) return false;
  if (closed_ || discard_) return true;
  if (!Flush() || !Settle()) return GetOk() ? WriteFailed() : false;
  if (!trailer_.empty()) {
    // The trailer goes behind everything written, wherever the position was moved.
    if ((!isStdout_ && filePosition_ != fileSize_ && !file_.SeekTo(fileSize_)) ||
        !Write(reinterpret_cast<const uint8_t*>(trailer_.data()), trailer_.size()))
      return GetOk() ? WriteFailed() : false;
  }
  if (!Settle()) return GetOk() ? WriteFailed() : false;
  writer_.reset();
  file_.Close();
  closed_ = true;
  if (resultBits_) *resultBits_ = ValidBits();
  return true;
}

uint64_t TDestFile::GetPosition() {
  return filePosition_ + GetOutputSize(0);
}

uint64_t TDestFile::GetSize() {
  return std::max(fileSize_, filePosition_ + GetOutputSize(0));
}

bool TDestFile::SetPosition(uint64_t position) {
  if (!GetOk() || isStdout_ || discard_ || closed_) return false;
  if (position == GetPosition()) return true;
  if (!Flush() || !Settle()) return GetOk() ? WriteFailed() : false;
  if (!file_.SeekTo(position)) return false;
  filePosition_ = position;
  return true;
}

UpStreamPtr CreateDestFile(const std::string& fileName, uint32_t* resultBits,
                           const std::string& fixedContent, const std::string& header,
                           const std::string& trailer) {
  return std::make_shared<TDestFile>(fileName, resultBits, fixedContent, header, trailer);
}

}  // namespace kavrix
