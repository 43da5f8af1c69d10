#pragma once
// Helpers of the source-file tests: temporary files, a recording sink, ffprobe answers.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/voxUpStream.h"
#include "io/voxFileStream.h"

namespace kavrix::testing {

namespace fs = std::filesystem;

inline std::string Fixture(const std::string& name) {
  return std::string(KAVRIX_FIXTURES) + "/ts/" + name;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// A folder of its own under the system's temporary folder, removed at the end.
class TTempDir {
 public:
  TTempDir() {
    std::random_device rd;
    path_ =
        fs::temp_directory_path() / ("kavrix-test-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  // A file of random bytes.
  std::string Random(const std::string& name, size_t size, uint32_t seed) const {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    WriteAll(File(name), data);
    return File(name);
  }

 private:
  fs::path path_;
};

inline uint64_t Fnv1a(uint64_t hash, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001B3ull;
  return hash;
}
constexpr uint64_t kFnvStart = 0xCBF29CE484222325ull;

// A sink that hashes (and optionally keeps) what it receives and records the announcements
// and join notices, with the number of bytes received before each notice.
class TRecordingSink : public TUpStream {
 public:
  explicit TRecordingSink(bool keep = true) : TUpStream("recording sink"), keep_(keep) {}
  bool OpenContainer(const std::string& formatId, const std::string& scanInfo, uint64_t size,
                     uint64_t size2) override {
    containers.push_back(formatId);
    scanInfoSize = scanInfo.size();
    containerSize = size;
    containerSize2 = size2;
    return true;
  }
  bool OpenAudio(const std::string& formatId, uint32_t, uint32_t, uint32_t, uint32_t, bool,
                 uint64_t frameCount) override {
    audio.push_back(formatId);
    audioFrames = frameCount;
    return true;
  }
  bool ProcessData(TKey, bool, const uint8_t* data, size_t size, int64_t, bool) override {
    hash = Fnv1a(hash, data, size);
    if (keep_) bytes.append(reinterpret_cast<const char*>(data), size);
    received += size;
    largestBlock = std::max(largestBlock, size);
    ++blocks;
    return !failAfter || received < failAfter;
  }
  void NotifyJoin(uint8_t kind, int64_t gap) override { joins.push_back({kind, gap, received}); }
  bool Finish(TKey) override {
    ++finished;
    return true;
  }

  struct TJoin {
    uint8_t kind;
    int64_t gap;
    uint64_t at;
  };
  std::vector<std::string> containers, audio;
  size_t scanInfoSize = 0;
  uint64_t containerSize = 0, containerSize2 = 0, audioFrames = 0;
  uint64_t hash = kFnvStart, received = 0, failAfter = 0;
  size_t largestBlock = 0, blocks = 0;
  int finished = 0;
  std::string bytes;
  std::vector<TJoin> joins;

 private:
  bool keep_;
};

inline std::shared_ptr<TSourceFiles> Open(const std::vector<std::string>& files, uint64_t skip = 0,
                                          uint64_t cut = 0, uint64_t limit = 0,
                                          bool playlist = false, uint32_t num = 24000,
                                          uint32_t den = 1001) {
  auto node = CreateSourceFiles(files, skip, cut, limit, playlist, num, den);
  auto source = std::dynamic_pointer_cast<TSourceFiles>(node);
  EXPECT_NE(source, nullptr);
  source->Silence(false);  // keep the console quiet; Messages() still records everything
  return source;
}

inline bool HasMessage(const TSourceFiles& source, int kind, const std::string& text) {
  for (const TSourceMessage& m : source.Messages())
    if (m.kind == kind && m.text == text) return true;
  return false;
}

inline std::string MessagesText(const TSourceFiles& source) {
  std::string all;
  for (const TSourceMessage& m : source.Messages())
    all += std::to_string(m.kind) + ": " + m.text + "\n";
  return all;
}

// ffprobe's view of a file, asked at test time.
struct TProbeStream {
  int index = 0;
  std::string codec;
  uint16_t pid = 0;
  std::string language;
  // Low 32 bits of the smallest and largest time stamp, taken around the wrap.
  int64_t first = -1, last = -1;
};

inline bool HaveFfprobe() {
  return std::system("ffprobe -version > /dev/null 2>&1") == 0;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, ',')) fields.push_back(field);
  return fields;
}

inline std::vector<TProbeStream> Probe(const std::string& file, const TTempDir& tmp) {
  const std::string streamsFile = tmp.File("streams.csv"), packetsFile = tmp.File("packets.csv");
  std::system(("ffprobe -v error -show_entries stream=index,codec_name,id:stream_tags=language "
               "-of csv=p=0 '" +
               file + "' > '" + streamsFile + "'")
                  .c_str());
  std::system(("ffprobe -v error -show_entries packet=stream_index,pts -of csv=p=0 '" + file +
               "' > '" + packetsFile + "'")
                  .c_str());
  std::map<int, TProbeStream> streams;
  for (const std::string& line : Lines(ReadAll(streamsFile))) {
    const auto f = Split(line);
    if (f.size() < 3) continue;
    TProbeStream s;
    s.index = std::stoi(f[0]);
    s.codec = f[1];
    s.pid = static_cast<uint16_t>(std::stoul(f[2], nullptr, 16));
    if (f.size() > 3) s.language = f[3];
    streams[s.index] = s;
  }
  std::map<int, std::pair<uint32_t, std::pair<int64_t, int64_t>>> spans;  // origin, min, max
  for (const std::string& line : Lines(ReadAll(packetsFile))) {
    const auto f = Split(line);
    if (f.size() < 2 || f[1] == "N/A") continue;
    const int index = std::stoi(f[0]);
    const uint32_t pts = static_cast<uint32_t>(std::stoull(f[1]) & 0xFFFFFFFFull);
    auto it = spans.find(index);
    if (it == spans.end()) {
      spans[index] = {pts, {0, 0}};
      continue;
    }
    const int64_t d = static_cast<int32_t>(pts - it->second.first);
    it->second.second.first = std::min(it->second.second.first, d);
    it->second.second.second = std::max(it->second.second.second, d);
  }
  std::vector<TProbeStream> result;
  for (auto& [index, s] : streams) {
    auto it = spans.find(index);
    if (it != spans.end()) {
      s.first = static_cast<uint32_t>(it->second.first + it->second.second.first);
      s.last = static_cast<uint32_t>(it->second.first + it->second.second.second);
    }
    result.push_back(s);
  }
  return result;
}

}  // namespace kavrix::testing
