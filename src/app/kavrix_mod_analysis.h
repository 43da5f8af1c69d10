#pragma once
// What the sources hold: the analysis run over the start of the data (the format detector
// behind the source file set), the trailing tags of MPEG audio and AAC files, a damaged start
// of a transport stream, the description and numbered track list, the hidden "%check%"
// destinations, the "-demux" destinations and the assignment of tracks by file extension.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/kavrix_mod_options.h"
#include "core/voxUpStream_details.h"

namespace kavrix {

class ISourceFiles;

// The results of the analysis, owned by the driver for the rest of the run.
struct TSourceAnalysis {
  std::shared_ptr<IAudioFormatDetails> audio;
  std::shared_ptr<IVideoFormatDetails> video;
  std::shared_ptr<ISubtitleFormatDetails> subtitle;
  std::shared_ptr<IContainerInfo> container;  // set only when the source is a container
  uint64_t totalSize = 0;                     // bytes of the source files after the skip
  uint64_t firstFileSize = 0;                 // bytes of the first file after the skip
  uint32_t LeadingEntries = 0;  // listing entries before the first track ("Joined", chapters)
  std::string ChapterText;      // the chapter list of a disc title; empty = none
  uint32_t VideoRate = 0;       // frames per 1000 s of the first video, halved when interlaced
  std::vector<uint32_t> FailedTracks;  // tracks whose bitstream could not be parsed
  bool damageHandled = false;          // a damaged start was skipped or fixed already

  bool IsContainer() const { return container != nullptr; }
  bool FoundSomething() const;
};

// One entry of the numbered listing, in listing order.
enum class TTrackKind { kVideo, kAudio, kSubtitle, kChapters };
struct TListedTrack {
  TTrackKind kind = TTrackKind::kAudio;
  uint32_t number = 0;
  uint32_t id = 0;  // the container's id (PID, stream id); 0 for elementary sources
  std::string formatId;
  std::string description;
  std::string language;  // three-letter code
  std::string name;      // track name
  bool verified = false;
  std::shared_ptr<IVideoFormatDetails> video;
};
std::vector<TListedTrack> ListedTracks(const TSourceAnalysis& analysis);

// ---- the analysis ----

// Runs the source files through the format detector; false when the source cannot be opened.
bool AnalyseSource(const TOptions& options, TSourceAnalysis& analysis);
// The RAW/PCM fallback for sources named ".raw" or "...pcm..."; false when it found nothing.
bool AnalyseRawSource(const TOptions& options, TSourceAnalysis& analysis);
// Bytes of ID3v1, ID3v2-footer, APE and Lyrics3 tags at the end of the source (0 = none).
// Every claimed size is checked against the source; a claim beyond it ends the scan.
uint64_t MeasureTrailingTags(ISourceFiles& source);
// Reads exactly count bytes at position; false when they cannot all be read.
bool ReadSourceBytes(ISourceFiles& source, uint64_t position, uint8_t* buffer, size_t count);
// The bytes that overwrite a damaged start: units of 188 bytes (192 for M2TS, whose sync
// byte follows a 4-byte time code), each a sync byte and zeros.
std::string DamagePattern(uint64_t size, uint32_t packetSize);
// True when the first `size` bytes hold no intact packet (a sync byte where three packets
// in a row expect one), so that the damage is at the very start.
bool IsDamagedStart(const uint8_t* data, size_t size, uint32_t packetSize);
// Skips or repairs a damaged start and analyses again; false when the analysis fails.
bool HandleDamagedStart(TOptions& options, TSourceAnalysis& analysis);

// ---- the listing ----

// Prints the description of an elementary source; false (after the error) when nothing
// was detected.
bool DescribeElementarySource(const TOptions& options, TSourceAnalysis& analysis);
// Prints the container's heading, titles, leading entries, tracks, warnings and failures.
void ListContainerSource(const TOptions& options, TSourceAnalysis& analysis);
// "Bitstream parsing for tracks 2-4, 6 and 7 failed." (or the one-track text).
std::string FailedTracksText(const std::vector<uint32_t>& tracks);
// The heading's frame rate: "23.976p", "50i", "24p /1.001".
std::string FrameRateText(uint32_t rate, bool interlaced, bool pulldown, uint32_t divisor);
// "Chapters, 12 chapters with names"; empty when the text holds no chapter.
std::string ChapterSummary(std::string_view chapterText);
// The English name of a three-letter language code; the lower-cased code when unknown.
std::string LanguageName(std::string_view code);
// A listing line's description with the language and the delay: the language goes after the
// first comma, the delay at the end of the first line.
std::string TrackLineText(const std::string& description, const std::string& language,
                          bool hasDelay, int32_t delay);

// ---- destinations ----

// The hidden analysis destinations; removes the "%globaloptions%" placeholder and gives the
// destinations of an elementary source track 1.
void AddCheckDestinations(TOptions& options, const TSourceAnalysis& analysis);
// One destination per track, named after the source; copies of the template record.
void AddDemuxDestinations(TOptions& options, const TSourceAnalysis& analysis,
                          const TAction& templateAction);
// Gives every destination without a track number the track its extension asks for; false
// (after the error) when there is none.
bool AssignTracks(TOptions& options, const TSourceAnalysis& analysis);
// The description cleaned for a file name (quotes, slashes, "h264/AVC", " (" and " /" cuts).
std::string CleanedDescription(const TListedTrack& track);
// The file extension of a track's format (".m2v", ".thd+ac3", ".pcm", ".unknownAudio", ...).
std::string TrackExtension(const TListedTrack& track, bool speedChange);
// A composed name piece with "/" and NUL replaced, so it never becomes a path separator.
std::string SafeNamePiece(std::string_view piece);

// ---- disc structures ----

// The places a disc structure is looked for around a path, in search order.
std::vector<std::string> HdDvdIndexCandidates(const std::string& path);
std::vector<std::string> HdDvdPlaylistFolders(const std::string& path);
std::vector<std::string> BluRayPlaylistFolders(const std::string& path);
// Recognise a disc structure and list its titles; false when none was found.
bool ProbeHdDvd(const std::string& path);
bool ProbeBluRay(const std::string& path);

// ---- the top level ----

struct TAnalysisResult;
// Analysis, damaged start, description or listing, then the added destinations and the
// assignment of tracks.
TAnalysisResult AnalyseAndList(TOptions& options);

}  // namespace kavrix
