// PAT and PMT sections gathered across packets, and the per-PID table.
#include "containers/voxTs_psi.h"

#include <new>

namespace kavrix::ts {

bool TSectionAssembler::Start(size_t count) {
  Reset();
  if (count == 0 || count > kSectionBufferSize) return false;
  if (!buffer_) {
    buffer_.reset(new (std::nothrow) uint8_t[kSectionBufferSize]);
    if (!buffer_) return false;
  }
  outstanding_ = static_cast<uint16_t>(count);
  return true;
}

bool TSectionAssembler::Append(const uint8_t* data, size_t size) {
  if (outstanding_ == 0 || !buffer_) return false;
  const size_t count = size < outstanding_ ? size : outstanding_;
  // gathered + outstanding never exceeds the buffer (Start checks the sum).
  for (size_t i = 0; i < count; ++i) buffer_[gathered_ + i] = data[i];
  gathered_ = static_cast<uint16_t>(gathered_ + count);
  outstanding_ = static_cast<uint16_t>(outstanding_ - count);
  return outstanding_ == 0;
}

TPsiTable::TPsiTable() : pids_(new TPidEntry[kPidCount]) {}

void TPsiTable::ResetSections() {
  pat_.Reset();
  for (size_t pid = 0; pid < kPidCount; ++pid) pids_[pid].section.Reset();
}

void TPsiTable::ProcessPat(const uint8_t* packet, const TPacketHeader& header) {
  if (!header.hasPayload) return;
  size_t pos = header.payloadOffset;
  if (header.payloadUnitStart) {
    pat_.Reset();
    // The section starts after the pointer field; its 8-byte header must be in the packet.
    const size_t start = pos + 1 + packet[pos];
    if (start + 8 > kTsPacketSize) {
      Warn(TPsiWarning::PointerFieldTooBig, 0);
      return;
    }
    const uint8_t* s = packet + start;
    if (s[0] != 0) {
      Warn(TPsiWarning::IncorrectTableId, 0);
      return;
    }
    const size_t sectionLength = ((s[1] & 0x0F) << 8) | s[2];
    // The program loop and the first CRC byte follow the header; the CRC byte is dropped.
    if (sectionLength < 13 || sectionLength > 1021) return;
    if (!pat_.Start(sectionLength - 8)) return;
    pos = start + 8;
  }
  if (!pat_.Active()) return;
  if (!pat_.Append(packet + pos, kTsPacketSize - pos)) return;
  const size_t size = pat_.Gathered() - 1;
  const uint8_t* d = pat_.Data();
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const uint16_t program = static_cast<uint16_t>((d[i] << 8) | d[i + 1]);
    if (program == 0) continue;  // the network PID
    const uint16_t pid = static_cast<uint16_t>(((d[i + 2] & 0x1F) << 8) | d[i + 3]);
    pids_[pid].kind = TStreamKind::Pmt;
  }
}

bool TPsiTable::ProcessPmt(const uint8_t* packet, const TPacketHeader& header) {
  if (!header.hasPayload) return true;
  TPidEntry& entry = pids_[header.pid];
  TSectionAssembler& section = entry.section;
  size_t pos = header.payloadOffset;
  if (header.payloadUnitStart) {
    section.Reset();
    const size_t start = pos + 1 + packet[pos];
    if (start + 12 > kTsPacketSize) {
      Warn(TPsiWarning::PointerFieldTooBig, header.pid);
      return true;
    }
    const uint8_t* s = packet + start;
    if (s[0] != 2) {
      Warn(TPsiWarning::IncorrectTableId, header.pid);
      return true;
    }
    const size_t sectionLength = ((s[1] & 0x0F) << 8) | s[2];
    const size_t programInfoLength = ((s[10] & 0x0F) << 8) | s[11];
    // At least one stream entry and the CRC must follow the program descriptors.
    if (sectionLength > 1021 || sectionLength < programInfoLength + 18) return true;
    if (start + 12 + programInfoLength > kTsPacketSize) {
      Warn(TPsiWarning::EsInfoTooBig, header.pid);
      return true;
    }
    if (!section.Start(sectionLength - 12 - programInfoLength)) return true;
    pos = start + 12 + programInfoLength;
  }
  if (!section.Active()) return true;
  if (!section.Append(packet + pos, kTsPacketSize - pos)) return true;
  return ReadEsLoop(header.pid, section.Data(), section.Gathered() - 1);
}

bool TPsiTable::ReadEsLoop(uint16_t pmtPid, const uint8_t* d, size_t size) {
  size_t pos = 0;
  while (size - pos > 4) {
    TEsEntry entry;
    entry.pmtPid = pmtPid;
    entry.originalType = d[pos];
    entry.streamType = d[pos];
    entry.pid = static_cast<uint16_t>(((d[pos + 1] & 0x1F) << 8) | d[pos + 2]);
    const size_t infoLength = ((d[pos + 3] & 0x0F) << 8) | d[pos + 4];
    pos += 5;
    if (infoLength > size - pos) {
      Warn(TPsiWarning::EsInfoTooBig, pmtPid);
      return true;
    }
    ApplyDescriptors(d + pos, infoLength, entry);
    pos += infoLength;
    if (onEntry_ && !onEntry_(entry)) return false;
  }
  return true;
}

std::string TPsiTable::BuildPidTrackTable() const {
  std::string table(kPidTrackTableSize, '\0');
  for (size_t pid = 0; pid < kPidCount; ++pid) {
    const TPidEntry& e = pids_[pid];
    if (e.kind != TStreamKind::Video && e.kind != TStreamKind::Audio &&
        e.kind != TStreamKind::Subtitle)
      continue;
    char* p = table.data() + pid * 8;
    p[0] = static_cast<char>(e.streamType);
    for (int i = 0; i < 3; ++i) p[1 + i] = e.language[i];
    for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<char>(e.registration >> (24 - 8 * i));
  }
  return table;
}

}  // namespace kavrix::ts
