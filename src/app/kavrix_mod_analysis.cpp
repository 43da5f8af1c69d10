// The analysis run over the start of the sources, trailing tags, the RAW/PCM fallback, a
// damaged start, the disc probes and the top-level order of the analysis steps.
#include "app/kavrix_mod_analysis.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>

#include "app/kavrix_mod.h"
#include "containers/voxFormatDetector.h"
#include "core/voxText.h"
#include "core/voxUpStream_console.h"
#include "io/voxFileStream.h"
#include "platform/voxPlatform_patch.h"

namespace kavrix {

namespace {

constexpr uint64_t kAnalysisReadLimit = 314572800;  // 300 MiB
constexpr uint64_t kDamageLimit = 5242880;          // a damaged start is handled below 5 MiB
constexpr uint64_t kMaxTagBytes = 16777216;         // trailing tags beyond this are not believed

template <class I>
std::shared_ptr<I> ValidOrNull(const std::shared_ptr<I>& details) {
  return details && details->GetValid() ? details : nullptr;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool RunDetection(const TOptions& options, uint64_t skip, TSourceAnalysis& analysis) {
  UpStreamPtr source = CreateSourceFiles(options.Sources, skip, 0, kAnalysisReadLimit,
                                         options.Playlist, 24000, 1001);
  if (!source || !source->GetOk()) return false;
  auto* files = Query<TSourceFiles>(source);
  analysis.totalSize = files->GetSize();
  analysis.firstFileSize = files->UsableSize(0);
  UpStreamPtr detector =
      CreateFormatDetector(options.LogPids, options.LogMkv, options.LogDts, true, false);
  if (!detector) return false;
  source->AppendUpstream(detector);
  // The result does not depend on how the run ended: the detector stops the source as soon
  // as it knows, and a source it could not read to the end still tells what it holds.
  source->ProcessData(0, false, nullptr, 0, kNoTimeStamp, false);
  auto* results = Query<IFormatDetector>(detector);
  analysis.audio = ValidOrNull(results->GetAudioDetails());
  analysis.video = ValidOrNull(results->GetVideoDetails());
  analysis.subtitle = ValidOrNull(results->GetSubtitleDetails());
  std::shared_ptr<IContainerInfo> container = results->GetContainerInfo();
  analysis.container = container && container->HasContainerInfo() ? container : nullptr;

  if (analysis.audio) {
    const std::string id = analysis.audio->GetFormatId();
    if (id == "mp1" || id == "mp2" || id == "mp3" || id == "aac") {
      const uint64_t tags = MeasureTrailingTags(*files);
      if (tags > 0 && tags <= analysis.totalSize && tags <= kMaxTagBytes) {
        std::string bytes(size_t(tags), '\0');
        if (ReadSourceBytes(*files, analysis.totalSize - tags,
                            reinterpret_cast<uint8_t*>(bytes.data()), bytes.size())) {
          analysis.audio->SetAuxText5(bytes);
        }
      }
    }
  }
  return true;
}

// Where an APE tag ends `tail` bytes before the end: the tag's bytes, or 0 when there is
// none or it claims more than the source holds.
uint64_t ApeTagSize(ISourceFiles& source, uint64_t total, uint64_t tail) {
  if (total < tail || total - tail < 32) return 0;
  uint8_t footer[32];
  if (!ReadSourceBytes(source, total - tail - 32, footer, sizeof footer)) return 0;
  if (std::memcmp(footer, "APETAGEX", 8) != 0) return 0;
  const uint32_t version = Le32(footer + 8);
  const uint64_t size = Le32(footer + 12);  // items and footer
  const uint32_t flags = Le32(footer + 20);
  if (size < 32) return 0;
  // Version 2 tags may carry a 32-byte header in front; version 1 tags never do.
  const bool header = version >= 2000 && (flags & 0x80000000u) != 0;
  const uint64_t bytes = size + (header ? 32 : 0);
  if (bytes > total - tail) return 0;
  return bytes;
}

}  // namespace

bool TSourceAnalysis::FoundSomething() const {
  return audio || video || subtitle || container;
}

bool ReadSourceBytes(ISourceFiles& source, uint64_t position, uint8_t* buffer, size_t count) {
  if (position > source.GetSize() || count > source.GetSize() - position) return false;
  if (!source.Seek(position)) return false;
  size_t done = 0;
  while (done < count) {
    size_t n = count - done;  // a read stops early where one file ends and the next begins
    if (!source.ReadData(buffer + done, n) || n == 0) return false;
    done += n;
  }
  return true;
}

uint64_t MeasureTrailingTags(ISourceFiles& source) {
  const uint64_t total = source.GetSize();
  uint64_t tags = 0;

  // An ID3v2 tag with a footer ("3DI"), else an ID3v1 tag ("TAG").
  if (total >= 10) {
    uint8_t f[10];
    if (!ReadSourceBytes(source, total - 10, f, sizeof f)) return 0;
    const bool footer = f[0] == '3' && f[1] == 'D' && f[2] == 'I' && f[3] != 0xFF && f[4] != 0xFF &&
                        ((f[6] | f[7] | f[8] | f[9]) & 0x80) == 0;
    if (footer) {
      const uint64_t size =
          uint64_t(f[6]) << 21 | uint64_t(f[7]) << 14 | uint64_t(f[8]) << 7 | f[9];
      if (size + 20 > total) return 0;
      tags = size + 20;
    } else if (total >= 128) {
      uint8_t t[3];
      if (!ReadSourceBytes(source, total - 128, t, sizeof t)) return 0;
      if (std::memcmp(t, "TAG", 3) == 0) tags = 128;
    }
  }

  tags += ApeTagSize(source, total, tags);

  // Lyrics3: version 2 gives its size, version 1 is found by its start marker.
  if (total - tags >= 9) {
    uint8_t end[9];
    if (!ReadSourceBytes(source, total - tags - 9, end, sizeof end)) return tags;
    if (std::memcmp(end, "LYRICS200", 9) == 0) {
      if (total - tags < 15) return tags;
      uint8_t digits[6];
      if (!ReadSourceBytes(source, total - tags - 15, digits, sizeof digits)) return tags;
      uint64_t size = 0;
      for (uint8_t d : digits) {
        if (d < '0' || d > '9') return tags;
        size = size * 10 + (d - '0');
      }
      if (size + 15 > total - tags) return tags;
      tags += size + 15;
    } else if (std::memcmp(end, "LYRICSEND", 9) == 0) {
      // At most 5,100 bytes of lyrics between "LYRICSBEGIN" and "LYRICSEND".
      const uint64_t window = std::min<uint64_t>(5100 + 11, total - tags - 9);
      std::string text(size_t(window), '\0');
      if (!ReadSourceBytes(source, total - tags - 9 - window,
                           reinterpret_cast<uint8_t*>(text.data()), text.size())) {
        return tags;
      }
      const size_t begin = text.find("LYRICSBEGIN");
      if (begin == std::string::npos) return tags;
      tags += (window - begin) + 9;
    }
  }

  tags += ApeTagSize(source, total, tags);
  return tags;
}

bool AnalyseSource(const TOptions& options, TSourceAnalysis& analysis) {
  analysis.audio = nullptr;
  analysis.video = nullptr;
  analysis.subtitle = nullptr;
  analysis.container = nullptr;
  try {
    return RunDetection(options, options.SkipBytes, analysis);
  } catch (const std::bad_alloc&) {
    WriteMessage(kMsgError, "The source analysis couldn't allocate enough memory.");
    return false;
  }
}

bool AnalyseRawSource(const TOptions& options, TSourceAnalysis& analysis) {
  const bool given = !options.Actions.empty() && options.Actions[0].Override &&
                     options.Actions[0].PcmChannels != 0 && options.Actions[0].PcmBits != 0 &&
                     options.Actions[0].PcmEndianness != 0;
  if (!given) {
    WriteMessage(kMsgNormal, "This might be a RAW/PCM file. Trying to figure out the details.");
    WriteMessage(kMsgNormal, "This will probably take a while. Please be patient...");
  }
  (void)analysis;
  // The RAW/PCM analyzer plugs in here once it exists: a source file set like the analysis's
  // but limited to 50 MiB, the analyzer behind it set up from the PCM parameters of the only
  // destination (zeros otherwise), and its audio details taken as the source's. Until then
  // nothing is found and the caller reports the undetected format.
  return false;
}

std::string DamagePattern(uint64_t size, uint32_t packetSize) {
  const uint32_t unit = packetSize == 192 ? 192 : 188;
  const uint32_t sync = unit == 192 ? 4 : 0;
  std::string pattern(size_t(size), '\0');
  for (uint64_t i = sync; i < size; i += unit) pattern[size_t(i)] = char(0x47);
  return pattern;
}

bool IsDamagedStart(const uint8_t* data, size_t size, uint32_t packetSize) {
  const size_t unit = packetSize == 192 ? 192 : 188;
  const size_t sync = unit == 192 ? 4 : 0;
  // A packet that lies wholly inside the region and is followed by two more sync bytes at the
  // packet spacing is intact. Look-ahead bytes past the region are not available here, so a
  // packet counts only when its two followers lie inside the data too.
  for (size_t p = 0; p + unit <= size; ++p) {
    if (p + sync + 2 * unit >= size) break;
    if (data[p + sync] == 0x47 && data[p + sync + unit] == 0x47 &&
        data[p + sync + 2 * unit] == 0x47) {
      return false;
    }
  }
  return true;
}

bool HandleDamagedStart(TOptions& options, TSourceAnalysis& analysis) {
  if (analysis.damageHandled || !analysis.container) return true;
  const uint64_t damage = analysis.container->GetDamagePosition();
  if (damage == 0 || damage >= kDamageLimit || damage * 20 >= analysis.totalSize) return true;
  analysis.damageHandled = true;
  ClearProgress();

  bool fixed = false;
  if (options.Fix && !options.Sources.empty() && damage <= analysis.firstFileSize) {
    // Only a damage at the very start is repaired; the bytes are read through a source file
    // set (the skip applied), then overwritten in place in the first file.
    UpStreamPtr source = CreateSourceFiles({options.Sources[0]}, options.SkipBytes, 0,
                                           kAnalysisReadLimit, false, 24000, 1001);
    auto* files = source && source->GetOk() ? Query<TSourceFiles>(source) : nullptr;
    if (files) {
      // The packet size the source itself shows; the container's name when it cannot tell.
      uint32_t packetSize = files->PacketSize();
      if (packetSize != 188 && packetSize != 192)
        packetSize = analysis.container->GetContainerId() == "m2ts" ? 192 : 188;
      std::string region(size_t(damage), '\0');
      uint8_t* bytes = reinterpret_cast<uint8_t*>(region.data());
      if (ReadSourceBytes(*files, 0, bytes, region.size()) &&
          IsDamagedStart(bytes, region.size(), packetSize)) {
        const std::string pattern = DamagePattern(damage, packetSize);
        source.reset();
        fixed =
            platform::PatchFile(options.Sources[0], options.SkipBytes,
                                reinterpret_cast<const uint8_t*>(pattern.data()), pattern.size());
      }
    }
  }
  if (fixed) {
    WriteMessage(kMsgWarning,
                 "Fixed first " + std::to_string(damage) + " bytes of damaged source file...");
    return AnalyseSource(options, analysis);
  }

  const uint64_t original = options.SkipBytes;
  options.SkipBytes = original + damage;
  WriteMessage(kMsgWarning, "Skipping " + std::to_string(damage) +
                                " bytes to work around damaged source file...");
  WriteMessage(kMsgWarning, "Hint: You can use the option \"-fix\" to clean up the damage.");
  if (AnalyseSource(options, analysis)) return true;
  options.SkipBytes = original;
  return AnalyseSource(options, analysis);
}

// ---- disc structures ----

namespace {

std::string Joined(const std::filesystem::path& folder, const char* relative) {
  return (folder / relative).lexically_normal().string();
}

std::filesystem::path FolderOf(const std::string& path, bool& isFolder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  absolute = absolute.lexically_normal();
  isFolder = fs::is_directory(absolute, ec);
  if (isFolder) return absolute;
  return absolute.parent_path();
}

// The disc readers: they read the index and playlists and list the titles. They arrive with
// the Blu-ray and HD DVD playlist readers; until then no structure is recognised.
bool ReadHdDvdTitles(const std::string& indexFile, const std::string& playlistPlace) {
  (void)indexFile;
  (void)playlistPlace;
  return false;
}

bool ReadBluRayTitles(const std::string& playlistPlace) {
  (void)playlistPlace;
  return false;
}

}  // namespace

std::vector<std::string> HdDvdIndexCandidates(const std::string& path) {
  bool isFolder = false;
  const std::filesystem::path folder = FolderOf(path, isFolder);
  std::vector<std::string> out;
  for (const char* relative : {"HVDVD_TS/HVA00001.VTI", "HVA00001.VTI", "HDDVD_TS/HVA00001.VTI",
                               "../HVDVD_TS/HVA00001.VTI", "../HDDVD_TS/HVA00001.VTI"}) {
    out.push_back(Joined(folder, relative));
  }
  return out;
}

std::vector<std::string> HdDvdPlaylistFolders(const std::string& path) {
  bool isFolder = false;
  const std::filesystem::path folder = FolderOf(path, isFolder);
  if (!isFolder) return {std::filesystem::absolute(path).lexically_normal().string()};
  return {Joined(folder, "ADV_OBJ"), folder.string(), Joined(folder, "../ADV_OBJ")};
}

std::vector<std::string> BluRayPlaylistFolders(const std::string& path) {
  bool isFolder = false;
  const std::filesystem::path folder = FolderOf(path, isFolder);
  if (!isFolder) return {std::filesystem::absolute(path).lexically_normal().string()};
  return {Joined(folder, "BDMV"), folder.string(), Joined(folder, "../BDMV"), Joined(folder, ".."),
          Joined(folder, "../..")};
}

bool ProbeHdDvd(const std::string& path) {
  for (const std::string& index : HdDvdIndexCandidates(path)) {
    for (const std::string& place : HdDvdPlaylistFolders(path)) {
      if (ReadHdDvdTitles(index, place)) return true;
    }
  }
  return false;
}

bool ProbeBluRay(const std::string& path) {
  for (const std::string& place : BluRayPlaylistFolders(path)) {
    if (ReadBluRayTitles(place)) return true;
  }
  return false;
}

// ---- the top level ----

TAnalysisResult AnalyseAndList(TOptions& options) {
  TAnalysisResult result;
  auto analysis = std::make_shared<TSourceAnalysis>();
  // Added destinations copy the first record as the command line left it.
  const TAction templateAction = options.Actions.empty() ? TAction{} : options.Actions[0];

  if (!AnalyseSource(options, *analysis)) return result;
  if (!HandleDamagedStart(options, *analysis)) return result;
  if (analysis->IsContainer()) {
    ListContainerSource(options, *analysis);
  } else if (!DescribeElementarySource(options, *analysis)) {
    return result;
  }
  AddCheckDestinations(options, *analysis);
  if (options.Demux) AddDemuxDestinations(options, *analysis, templateAction);
  if (!AssignTracks(options, *analysis)) return result;

  result.ok = true;
  result.foundSomething = analysis->FoundSomething();
  result.analysis = analysis;
  return result;
}

}  // namespace kavrix
