// Opening scans of the source file set: EVO/VOB program streams and TS/M2TS transport
// streams, their first and last time stamps, the programme tables and the joins.
#include <algorithm>
#include <cstdlib>

#include "core/voxUpStream_console.h"
#include "io/voxFileStream.h"

namespace kavrix {

namespace {

constexpr uint64_t kTsHeadPackets = 51200;
constexpr uint64_t kTsTailPackets = 153600;
constexpr uint64_t kEvoAlignment = 2048;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Keeps the earlier (smaller) or later (larger) of two 32-bit time stamps, around the wrap.
void KeepSmaller(int64_t& kept, uint32_t pts) {
  if (kept < 0 || ts::PtsDiff(pts, static_cast<uint32_t>(kept)) < 0) kept = pts;
}
void KeepLarger(int64_t& kept, uint32_t pts) {
  if (kept < 0 || ts::PtsDiff(pts, static_cast<uint32_t>(kept)) > 0) kept = pts;
}

bool IsEvoPesId(uint8_t id) {
  return id == 0xBD || (id >= 0xC0 && id <= 0xCF) || (id >= 0xE0 && id <= 0xE3) || id == 0xFD;
}

// The first position at or after pos where the sync byte repeats at packet spacing (up
// to three packets, as far as the data goes).
size_t FindSync(const uint8_t* data, size_t size, size_t pos, size_t packetSize) {
  const size_t syncOffset = packetSize - ts::kTsPacketSize;
  for (; pos + packetSize <= size; ++pos) {
    bool good = true;
    for (size_t k = 0; k < 3 && pos + k * packetSize + packetSize <= size; ++k)
      if (data[pos + k * packetSize + syncOffset] != ts::kSyncByte) {
        good = false;
        break;
      }
    if (good) return pos;
  }
  return size;
}

}  // namespace

uint32_t DetectPacketSize(const uint8_t* data, size_t size) {
  size_t n = 10;
  while (size / ts::kM2tsPacketSize >= n) {
    bool a = true, b = true;
    for (size_t k = 0; k < n && (a || b); ++k) {
      if (data[k * ts::kTsPacketSize] != ts::kSyncByte) a = false;
      if (data[k * ts::kM2tsPacketSize + 4] != ts::kSyncByte) b = false;
    }
    if (a && b) {
      n *= 2;
      if (n >= 65536) return 0;
      continue;
    }
    if (a) return ts::kTsPacketSize;
    if (b) return ts::kM2tsPacketSize;
    return 0;
  }
  return 0;  // the data ran out before one spacing was ruled out
}

bool TSourceFiles::ReadForScan(size_t i, uint64_t offset, size_t count) {
  if (count > kBufferSize) count = kBufferSize;
  const int64_t got = files_[i].handle.ReadAt(buffer_, count, offset);
  if (got != static_cast<int64_t>(count)) {
    Fail("Error reading file \"" + files_[i].name + "\".");
    return false;
  }
  return true;
}

// ---- EVO / VOB ----

void TSourceFiles::WalkEvo(const uint8_t* d, size_t size, bool head, TWalk& walk) {
  size_t pos = 0;
  // A pack header reads its 14th byte and a time stamp bytes 9 to 13: 14 bytes at least.
  while (size - pos >= 14) {
    const uint8_t* p = d + pos;
    const uint32_t code = Be32(p);
    if (code == 0) {
      pos += 2;
      continue;
    }
    if (code == 1) {
      pos += 1;
      continue;
    }
    if ((code >> 8) != 1) {
      walk.foreignCode = true;
      return;
    }
    const uint8_t id = static_cast<uint8_t>(code);
    size_t unit;
    if (id == 0xBA) {
      unit = 14 + (p[13] & 7);
    } else if (id == 0xBB || id == 0xBC || id == 0xBE || id == 0xBF || IsEvoPesId(id)) {
      unit = 6 + ((size_t(p[4]) << 8) | p[5]);
    } else {
      walk.foreignCode = true;
      return;
    }
    if (unit > size - pos) return;  // the unit runs past the data read
    if (IsEvoPesId(id) && unit >= 14 && (p[7] & 0x80) != 0) {
      ts::TPesHeader pes;
      ts::ParsePesHeader(p, unit, pes);
      if (pes.hasPts) {
        const bool video = id >= 0xE0;
        if (head) {
          if (walk.firstAny < 0) walk.firstAny = pes.pts32;
          if (video && walk.firstVideo < 0) walk.firstVideo = pes.pts32;
        } else {
          KeepLarger(walk.lastAny, pes.pts32);
          if (video) KeepLarger(walk.lastVideo, pes.pts32);
        }
      }
    }
    if (id == 0xBF && unit >= 6 + 53 && p[6] == 1 && walk.navigationLength == 0) {
      // Navigation data: start and end time of the object at payload bytes 45 and 49.
      const uint64_t start = Be32(p + 6 + 45);
      uint64_t end = Be32(p + 6 + 49);
      while (end < start) end += uint64_t(15) << 32;
      walk.navigationLength = end - start;  // 0 (both unset) counts as none
    }
    pos += unit;
    if (head && walk.firstVideo >= 0 && walk.navigationLength > 0) return;
  }
}

void TSourceFiles::ScanEvo(size_t i) {
  TFile& f = files_[i];
  if (i > 0 && f.usable == 0) return;  // an empty later part says nothing
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(kHeadScanSize, f.usable));
  if (!ReadForScan(i, FileOffset(i), headSize)) return;
  TWalk head, tail;
  if (headSize < 14) {
    head.foreignCode = true;
  } else {
    WalkEvo(buffer_, headSize, true, head);
  }
  if (head.foreignCode) {
    if (i == 0)
      isEvo_ = false;
    else
      lengthUnknown_ = true;
    return;
  }
  if (head.navigationLength == 0) {
    // The tail: at most one buffer, starting on a 2048-byte boundary (rounded up so the
    // read never exceeds the buffer).
    const uint64_t begin = FileOffset(i), end = begin + f.usable;
    uint64_t start = begin;
    if (f.usable > kBufferSize) {
      start = end - kBufferSize;
      start = (start + kEvoAlignment - 1) / kEvoAlignment * kEvoAlignment;
    }
    if (!ReadForScan(i, start, static_cast<size_t>(end - start))) return;
    WalkEvo(buffer_, static_cast<size_t>(end - start), false, tail);
  }
  NoteTimeStamps(i, head, tail);
}

// Both containers: the file's time stamps and its share of the playing time.
void TSourceFiles::NoteTimeStamps(size_t i, const TWalk& head, const TWalk& tail) {
  TFile& f = files_[i];
  if (head.firstVideo >= 0 && tail.lastVideo >= 0) {
    f.first = head.firstVideo;
    f.last = tail.lastVideo;
  } else {
    f.first = head.firstAny;
    f.last = tail.lastAny;
  }
  if (f.first >= 0 && f.last >= 0) {
    const int32_t span = ts::PtsDiff(static_cast<uint32_t>(f.last), static_cast<uint32_t>(f.first));
    if (span > 0) length_ += static_cast<uint64_t>(span);
  } else if (head.navigationLength > 0) {
    length_ += head.navigationLength;
  }
}

// ---- TS / M2TS ----

bool TSourceFiles::OnPmtEntry(const ts::TEsEntry& entry) {
  const ts::TClassification c = ts::ClassifyStreamType(entry.streamType, entry.registration);
  if (c.kind == ts::TStreamKind::None) return true;  // not a stream of ours
  ts::TPidEntry& pid = (*pidTable_)[entry.pid];
  if (pid.kind == ts::TStreamKind::None) {
    pid.kind = c.kind;
    pid.streamType = entry.streamType;
    pid.language = entry.language;
    pid.registration = entry.registration;
    return true;
  }
  if (pid.kind == c.kind && pid.streamType == entry.streamType) return true;
  scanInconsistent_ = true;
  if (scanFile_ == 0) {
    const std::string begin = "The program type (" + std::to_string(entry.pid) + ") changes from ";
    if (pid.kind == c.kind)
      ShowMessage(kMsgWarning, begin + ts::StreamTypeText(pid.streamType) + " to " +
                                   ts::StreamTypeText(entry.streamType) + ".");
    else
      ShowMessage(kMsgWarning,
                  begin + ts::KindName(pid.kind) + " to " + ts::KindName(c.kind) + ".");
  }
  return false;
}

void TSourceFiles::WalkTsHead(const uint8_t* d, size_t size, TWalk& walk) {
  const size_t ps = packetSize_;
  const size_t syncOffset = ps - ts::kTsPacketSize;
  for (size_t pos = 0; ps <= size - pos; pos += ps) {
    const uint8_t* packet = d + pos + syncOffset;
    ts::TPacketHeader h;
    if (!ts::ParsePacketHeader(packet, h)) return;
    if (h.transportError || !h.hasPayload) continue;
    if (h.pid == 0) {
      pidTable_->ProcessPat(packet, h);
      continue;
    }
    const ts::TStreamKind kind = (*pidTable_)[h.pid].kind;
    if (kind == ts::TStreamKind::Pmt) {
      pidTable_->ProcessPmt(packet, h);
      if (scanInconsistent_) {
        walk.inconsistent = true;
        return;
      }
    } else if ((kind == ts::TStreamKind::Video || kind == ts::TStreamKind::Audio) &&
               h.payloadUnitStart && h.scrambling == 0) {
      ts::TPesHeader pes;
      const ts::TPesResult r =
          ts::ParseUnitStart(packet + h.payloadOffset, ts::kTsPacketSize - h.payloadOffset, pes);
      if (r == ts::TPesResult::NotPes) {
        walk.foreignCode = true;
        return;
      }
      if (r == ts::TPesResult::Ok && pes.hasPts) {
        KeepSmaller(walk.firstAny, pes.pts32);
        if (kind == ts::TStreamKind::Video) KeepSmaller(walk.firstVideo, pes.pts32);
      }
    }
  }
}

void TSourceFiles::WalkTsTail(const uint8_t* d, size_t size, TWalk& walk) {
  const size_t ps = packetSize_;
  const size_t syncOffset = ps - ts::kTsPacketSize;
  // The window is aligned to the file end; a cut last packet misaligns it, so find the
  // packets first and again after any damage.
  size_t pos = FindSync(d, size, 0, ps);
  while (pos < size && ps <= size - pos) {
    const uint8_t* packet = d + pos + syncOffset;
    ts::TPacketHeader h;
    if (!ts::ParsePacketHeader(packet, h)) {
      pos = FindSync(d, size, pos + 1, ps);
      continue;
    }
    pos += ps;
    if (h.transportError || !h.hasPayload || !h.payloadUnitStart || h.scrambling != 0) continue;
    const ts::TStreamKind kind = (*pidTable_)[h.pid].kind;
    if (kind != ts::TStreamKind::Video && kind != ts::TStreamKind::Audio) continue;
    ts::TPesHeader pes;
    if (ts::ParseUnitStart(packet + h.payloadOffset, ts::kTsPacketSize - h.payloadOffset, pes) ==
            ts::TPesResult::Ok &&
        pes.hasPts) {
      KeepLarger(walk.lastAny, pes.pts32);
      if (kind == ts::TStreamKind::Video) KeepLarger(walk.lastVideo, pes.pts32);
    }
  }
}

uint32_t TSourceFiles::JoinTolerance() const {
  // Ten frame durations in 90 kHz ticks; an unusable rate counts as 24000/1001.
  uint64_t num = frameRateNum_, den = frameRateDen_;
  if (num / 1000 == 0 || den == 0) {
    num = 24000;
    den = 1001;
  }
  return static_cast<uint32_t>(den * 900 / (num / 1000));
}

void TSourceFiles::ScanTs(size_t i) {
  TFile& f = files_[i];
  if (i > 0 && f.usable == 0) return;  // an empty later part says nothing
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(kHeadScanSize, f.usable));
  if (!ReadForScan(i, FileOffset(i), headSize)) return;
  const uint32_t size = headSize >= 1920 ? DetectPacketSize(buffer_, headSize) : 0;
  if (i == 0) {
    if (size == 0) {
      isTs_ = false;
      return;
    }
    packetSize_ = size;
  } else if (size != packetSize_) {
    // A part with another packet size (or none) cannot be parsed as one stream.
    HandleInconsistency(i);
    return;
  }
  scanFile_ = i;
  scanInconsistent_ = false;
  TWalk head, tail;
  pidTable_->ResetSections();  // a section cut off in the previous file does not go on here
  const size_t headLimit =
      static_cast<size_t>(std::min<uint64_t>(headSize, uint64_t(packetSize_) * kTsHeadPackets));
  WalkTsHead(buffer_, headLimit, head);
  if (head.inconsistent) {
    if (i > 0) {
      HandleInconsistency(i);
      return;
    }
    // The first file keeps what it has found so far; its tail still gives the end time.
  } else if (head.foreignCode) {
    if (i == 0)
      isTs_ = false;
    else
      lengthUnknown_ = true;
    return;
  }
  const uint64_t tailBytes = uint64_t(packetSize_) * kTsTailPackets;
  const uint64_t begin = FileOffset(i), end = begin + f.usable;
  const uint64_t start = f.usable > tailBytes ? end - tailBytes : begin;
  if (!ReadForScan(i, start, static_cast<size_t>(end - start))) return;
  WalkTsTail(buffer_, static_cast<size_t>(end - start), tail);
  NoteTimeStamps(i, head, tail);
  if (packetSize_ == ts::kTsPacketSize && i > 0 && f.first >= 0 && files_[i - 1].last >= 0) {
    const int32_t gap =
        ts::PtsDiff(static_cast<uint32_t>(f.first), static_cast<uint32_t>(files_[i - 1].last));
    if (std::abs(static_cast<int64_t>(gap)) <= JoinTolerance()) f.first = files_[i - 1].last;
  }
}

void TSourceFiles::HandleInconsistency(size_t i) {
  uint64_t rest = 0;
  for (size_t k = i; k < files_.size(); ++k) rest += files_[k].usable;
  if (rest < kDropLimit) {
    DropFilesFrom(i);
    return;
  }
  const std::string number = std::to_string(i + 1);
  ShowMessage(
      kMsgWarning,
      playlist_
          ? "This playlist contains m2ts parts with different track properties (" + number + ")."
          : "You're trying to join m2ts parts with different track properties (" + number + ").");
  SetOk(false);
}

void TSourceFiles::DropFilesFrom(size_t i) {
  uint64_t rest = 0;
  for (size_t k = i; k < files_.size(); ++k) rest += files_[k].usable;
  const size_t following = files_.size() - i - 1;
  std::string text = "The part \"" + files_[i].name + "\" has different track properties; it";
  if (following > 0)
    text += " and the " + std::to_string(following) + (following == 1 ? " part" : " parts") +
            " after it";
  text += " (" + std::to_string(rest) + " bytes) will not be read.";
  ShowMessage(kMsgWarning, text);
  totalSize_ -= rest;
  files_.resize(i);
}

}  // namespace kavrix
