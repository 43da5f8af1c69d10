#pragma once
// Helpers every test folder shares: bytes from and to files, fixtures, a scratch folder that
// goes away with the test, and the console captured while a test runs.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/voxUpStream_console.h"

namespace kavrix::test {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// A committed fixture: "audio/ac3_51_448.ac3".
inline std::string FixturePath(const std::string& relative) {
  return std::string(KAVRIX_FIXTURES) + "/" + relative;
}

// A scratch folder below the system's temporary folder, removed at the end of the test.
class TScratch {
 public:
  TScratch() {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      const auto path = std::filesystem::temp_directory_path() /
                        ("kavrix-test-" + std::to_string(random()) + std::to_string(attempt));
      std::error_code ec;
      if (std::filesystem::create_directory(path, ec)) dir_ = path.string();
    }
  }
  ~TScratch() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  TScratch(const TScratch&) = delete;
  TScratch& operator=(const TScratch&) = delete;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Writes the bytes into the folder; returns the file's path.
  std::string Write(const std::string& name, const Bytes& data) const {
    WriteBytes(Path(name), data);
    return Path(name);
  }

 private:
  std::string dir_;
};

// Everything the console writer shows while the object lives (plain text, no colours).
class TConsoleCapture {
 public:
  TConsoleCapture() {
    ResetConsoleForTests();
    SetConsoleSink([this](int, std::string_view bytes) { text_.append(bytes); }, false, false);
  }
  ~TConsoleCapture() { ResetConsoleForTests(); }
  TConsoleCapture(const TConsoleCapture&) = delete;
  TConsoleCapture& operator=(const TConsoleCapture&) = delete;

  const std::string& Text() const { return text_; }
  void Clear() { text_.clear(); }

 private:
  std::string text_;
};

}  // namespace kavrix::test
