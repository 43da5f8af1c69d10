// Transport packet headers and PES headers.
#include "containers/voxTs_psi.h"

namespace kavrix::ts {

bool ParsePacketHeader(const uint8_t* packet, TPacketHeader& header) {
  header = TPacketHeader{};
  if (packet[0] != kSyncByte) return false;
  header.transportError = (packet[1] & 0x80) != 0;
  header.payloadUnitStart = (packet[1] & 0x40) != 0;
  header.pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
  header.scrambling = static_cast<uint8_t>(packet[3] >> 6);
  header.hasAdaptation = (packet[3] & 0x20) != 0;
  header.hasPayload = (packet[3] & 0x10) != 0;
  header.continuity = packet[3] & 0x0F;
  size_t offset = 4;
  if (header.hasAdaptation) {
    const size_t length = packet[4];
    // The discontinuity flag exists only when the field has a body inside the packet.
    if (length > 0 && length <= kTsPacketSize - 5) header.discontinuity = (packet[5] & 0x80) != 0;
    offset = 5 + length;
  }
  if (header.hasPayload && offset >= kTsPacketSize) {
    header.adaptationTooBig = true;
    header.hasPayload = false;
  }
  header.payloadOffset = offset < kTsPacketSize ? offset : kTsPacketSize;
  return true;
}

bool IsTsMediaStreamId(uint8_t id) {
  return id == 0xBD || (id >= 0xC0 && id <= 0xEF) || id == 0xFD;
}

TPesResult ParsePesHeader(const uint8_t* data, size_t size, TPesHeader& header) {
  header = TPesHeader{};
  if (size < 4) return TPesResult::TooShort;
  if (data[0] != 0 || data[1] != 0 || data[2] != 1) return TPesResult::NotPes;
  header.streamId = data[3];
  if (size < 6) return TPesResult::TooShort;
  header.packetLength = static_cast<uint16_t>((data[4] << 8) | data[5]);
  // The optional header (flags in bytes 6-8) exists for every stream id this reader is
  // asked about except padding and the private stream 2; the caller decides.
  if (size < 9) return TPesResult::Ok;
  if ((data[7] & 0x80) != 0 && size >= 14) {
    const uint8_t* p = data + 9;
    header.pts33 = (uint64_t(p[0] & 0x0E) << 29) | (uint64_t(p[1]) << 22) |
                   (uint64_t(p[2] & 0xFE) << 14) | (uint64_t(p[3]) << 7) | (p[4] >> 1);
    header.pts32 = static_cast<uint32_t>(header.pts33 & 0xFFFFFFFFu);
    header.hasPts = true;
  }
  return TPesResult::Ok;
}

TPesResult ParseUnitStart(const uint8_t* payload, size_t size, TPesHeader& header) {
  size_t pos = 0;
  // Zero bytes may precede the start code; the last two belong to it.
  while (pos + 2 < size && payload[pos] == 0 && payload[pos + 1] == 0 && payload[pos + 2] == 0)
    ++pos;
  if (size - pos < 4) {
    header = TPesHeader{};
    return TPesResult::TooShort;
  }
  if (payload[pos] != 0 || payload[pos + 1] != 0 || payload[pos + 2] != 1 ||
      !IsTsMediaStreamId(payload[pos + 3])) {
    header = TPesHeader{};
    header.streamId = payload[pos + 3];
    return TPesResult::NotPes;
  }
  return ParsePesHeader(payload + pos, size - pos, header);
}

}  // namespace kavrix::ts
