// Stream-type classification and the descriptors that change a stream type.
#include <cstdio>

#include "containers/voxTs_psi.h"

namespace kavrix::ts {

const char* KindName(TStreamKind kind) {
  switch (kind) {
    case TStreamKind::Pmt:
      return "PMT";
    case TStreamKind::Video:
      return "video";
    case TStreamKind::Audio:
      return "audio";
    case TStreamKind::Subtitle:
      return "subtitle";
    default:
      return "?";
  }
}

std::string StreamTypeText(uint8_t streamType) {
  char text[4];
  std::snprintf(text, sizeof text, "$%02X", streamType);
  return text;
}

TClassification ClassifyStreamType(uint8_t streamType, uint32_t registration) {
  using K = TStreamKind;
  switch (streamType) {
    case 0x01:
    case 0x02:
      return {K::Video, "mpeg2", "MPEG2", ", MPEG2"};
    case 0x1B:
      return {K::Video, "h264", "h264/AVC", ", h264/AVC"};
    case 0x20:
      return {K::Video, "h264", "h264/AVC (right eye)", ", h264/AVC (right eye)"};
    case 0x24:
      return {K::Video, "h265", "h265/HEVC", ", h265/HEVC"};
    case 0xD1:
      return {K::Video, "dirac", "DIRAC", ", DIRAC"};
    case 0xEA:
      return {K::Video, "vc1", "VC-1", ", VC-1"};
    case 0x80:
      // Blu-ray and HD DVD use 0x80 for PCM; elsewhere it is MPEG-2 video.
      if (registration == FourCc("HDMV")) return {K::Audio, "m2ts/pcm", "RAW/PCM", ", RAW/PCM"};
      if (registration == FourCc("BSSD")) return {K::Audio, "ts/pcm", "RAW/PCM", ", RAW/PCM"};
      return {K::Video, "mpeg2", "MPEG2", ", MPEG2"};
    case 0x03:
      return {K::Audio, "mp2", "MP2", ", MP2 (MPEG-1 Audio Layer II)"};
    case 0x04:
      return {K::Audio, "mp2", "MP2", ", MP2 (MPEG-2 Audio Layer II)"};
    case 0x06:
      return {K::Audio, "?", "?", ", probably AC3 or DTS"};
    case 0x0F:
      return {K::Audio, "aac", "AAC", ", AAC (MPEG-2 Part 7 Audio)"};
    case 0x11:
      return {K::Audio, "aac", "AAC", ", AAC (MPEG-4 Part 3 Audio)"};
    case 0x81:
      return {K::Audio, "ac3", "AC3", ", AC3"};
    case 0x82:
      return {K::Audio, "dts", "DTS", ", DTS"};
    case 0x83:
      return {K::Audio, "thd/ac3", "TrueHD/AC3", ", TrueHD"};
    case 0x84:
    case 0x87:
      return {K::Audio, "ac3", "E-AC3", ", E-AC3"};
    case 0x85:
      return {K::Audio, "dts", "DTS", ", DTS Hi-Res"};
    case 0x86:
      return {K::Audio, "dts", "DTS", ", DTS Master Audio"};
    case 0xA1:
      return {K::Audio, "ac3", "E-AC3", ", E-AC3 (secondary)"};
    case 0xA2:
      return {K::Audio, "dtslbr", "DTS Express", ", DTS Express"};
    case 0x90:
      return {K::Subtitle, "m2ts/sub", "Subtitle (PGS)", ", Subtitle (PGS)"};
    case 0x92:
      return {K::Subtitle, "m2ts/sub", "Subtitle (PGS)", ", Subtitle (Text)"};
    case 0x93:
      return {K::Subtitle, "ts/dvbsub", "Subtitle (DVB)", ", Subtitle (DVB)"};
    default:
      return {};
  }
}

namespace {

// A language code for display: the three bytes without surrounding blanks and zeros.
std::string TrimmedLanguage(const std::array<char, 3>& code) {
  std::string text(code.data(), code.size());
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  size_t first = 0;
  while (first < text.size() && (text[first] == ' ' || text[first] == '\0')) ++first;
  return text.substr(first);
}

bool TakeLanguage(const uint8_t* body, size_t length, TEsEntry& entry) {
  if (length < 3) return false;
  for (size_t i = 0; i < 3; ++i) entry.language[i] = static_cast<char>(body[i]);
  return true;
}

}  // namespace

void ApplyDescriptors(const uint8_t* data, size_t size, TEsEntry& entry) {
  size_t pos = 0;
  // A descriptor is at least its tag and length byte (some carry no body).
  while (size - pos >= 2) {
    const uint8_t tag = data[pos];
    const size_t length = data[pos + 1];
    if (length > size - pos - 2) break;  // the descriptor does not fit
    const uint8_t* body = data + pos + 2;
    pos += 2 + length;
    uint8_t& type = entry.streamType;
    switch (tag) {
      case 0x05: {  // registration
        if (length < 4) break;
        const uint32_t id = (uint32_t(body[0]) << 24) | (uint32_t(body[1]) << 16) |
                            (uint32_t(body[2]) << 8) | body[3];
        entry.registration = id;
        if (id == FourCc("DTS1") || id == FourCc("DTS2") || id == FourCc("DTS3"))
          type = 0x82;
        else if (id == FourCc("AC-3") && type != 0x83)
          type = 0x81;
        else if (id == FourCc("VC-1"))
          type = 0xEA;
        else if (id == FourCc("BSSD"))
          type = 0x80;
        else if (id == FourCc("drac"))
          type = 0xD1;
        entry.descriptorText += ", \"" + std::string(reinterpret_cast<const char*>(body), 4) + "\"";
        break;
      }
      case 0x09:  // conditional access: an encrypted private stream is unusable
        if (type == 0x06) type = 0xFF;
        break;
      case 0x0A:  // language
        if (TakeLanguage(body, length, entry))
          entry.descriptorText += ", " + TrimmedLanguage(entry.language);
        break;
      case 0x52:  // stream identifier
        if (length >= 1) entry.descriptorText += ", stream id " + std::to_string(body[0]);
        break;
      case 0x56:  // teletext: never a track
        type = 0xFF;
        TakeLanguage(body, length, entry);
        entry.descriptorText += ", DVB Teletext " + TrimmedLanguage(entry.language);
        break;
      case 0x59:  // DVB subtitles
        type = 0x93;
        TakeLanguage(body, length, entry);
        entry.descriptorText += ", DVB Subtitle " + TrimmedLanguage(entry.language);
        break;
      case 0x6A:
      case 0x7A:
        if (type == 0x06) type = 0x81;
        entry.descriptorText += ", DVB AC3";
        break;
      case 0x7B:
        if (type == 0x06) type = 0x82;
        entry.descriptorText += ", DVB DTS";
        break;
      case 0x81:
        if (type == 0x06) type = 0x81;
        entry.descriptorText += ", ATSC AC3";
        break;
      default:
        entry.descriptorText += ", descriptor " + StreamTypeText(tag);
        break;
    }
  }
}

}  // namespace kavrix::ts
