// Packet headers, PAT/PMT assembly, descriptors, classification and PES headers, on
// hand-built bytes; the damaged cases check that no reader leaves its bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "containers/voxTs_psi.h"

namespace kavrix::ts {
namespace {

using Bytes = std::vector<uint8_t>;

// One 188-byte packet; adaptation < 0 means no adaptation field.
Bytes Packet(uint16_t pid, bool pusi, const Bytes& payload, int adaptation = -1,
             bool payloadBit = true) {
  Bytes p(kTsPacketSize, 0xFF);
  p[0] = kSyncByte;
  p[1] = static_cast<uint8_t>((pusi ? 0x40 : 0) | (pid >> 8));
  p[2] = static_cast<uint8_t>(pid);
  p[3] = static_cast<uint8_t>((adaptation >= 0 ? 0x20 : 0) | (payloadBit ? 0x10 : 0));
  size_t pos = 4;
  if (adaptation >= 0) {
    p[4] = static_cast<uint8_t>(adaptation);
    pos = 5 + static_cast<size_t>(adaptation);
  }
  for (size_t i = 0; i < payload.size() && pos + i < kTsPacketSize; ++i) p[pos + i] = payload[i];
  return p;
}

TPacketHeader Header(const Bytes& packet) {
  TPacketHeader h;
  EXPECT_TRUE(ParsePacketHeader(packet.data(), h));
  return h;
}

Bytes Section(uint8_t tableId, const Bytes& header, const Bytes& body) {
  // table_id, section_length, the rest of the header, the body, a CRC (not checked).
  const size_t length = header.size() + body.size() + 4;
  Bytes s = {tableId, static_cast<uint8_t>(0xB0 | (length >> 8)), static_cast<uint8_t>(length)};
  s.insert(s.end(), header.begin(), header.end());
  s.insert(s.end(), body.begin(), body.end());
  s.insert(s.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  return s;
}

Bytes Pat(const std::vector<std::pair<uint16_t, uint16_t>>& programs) {
  Bytes body;
  for (auto [number, pid] : programs)
    body.insert(body.end(),
                {uint8_t(number >> 8), uint8_t(number), uint8_t(0xE0 | (pid >> 8)), uint8_t(pid)});
  return Section(0, {0, 1, 0xC1, 0, 0}, body);
}

struct TEs {
  uint8_t type;
  uint16_t pid;
  Bytes descriptors;
};

Bytes EsLoop(const std::vector<TEs>& streams) {
  Bytes body;
  for (const TEs& e : streams) {
    body.insert(body.end(),
                {e.type, uint8_t(0xE0 | (e.pid >> 8)), uint8_t(e.pid),
                 uint8_t(0xF0 | (e.descriptors.size() >> 8)), uint8_t(e.descriptors.size())});
    body.insert(body.end(), e.descriptors.begin(), e.descriptors.end());
  }
  return body;
}

Bytes Pmt(const Bytes& programInfo, const Bytes& loop) {
  Bytes header = {0,
                  1,
                  0xC1,
                  0,
                  0,
                  0xE1,
                  0x00,
                  uint8_t(0xF0 | (programInfo.size() >> 8)),
                  uint8_t(programInfo.size())};
  header.insert(header.end(), programInfo.begin(), programInfo.end());
  return Section(2, header, loop);
}

Bytes WithPointer(const Bytes& section, uint8_t pointer = 0) {
  Bytes payload(1 + pointer, 0xFF);
  payload[0] = pointer;
  payload.insert(payload.end(), section.begin(), section.end());
  return payload;
}

struct TRecorder {
  std::vector<TEsEntry> entries;
  std::vector<TPsiWarning> warnings;
  void Attach(TPsiTable& table) {
    table.SetEntryCallback([this](const TEsEntry& e) {
      entries.push_back(e);
      return true;
    });
    table.SetWarningCallback([this](TPsiWarning w, uint16_t) { warnings.push_back(w); });
  }
};

TEST(TsPacket, AdaptationFieldBounds) {
  struct TCase {
    int adaptation;
    bool payloadBit;
    bool hasPayload, tooBig;
    size_t offset;
  } cases[] = {
      {-1, true, true, false, 4},    {0, true, true, false, 5},     {182, true, true, false, 187},
      {183, true, false, true, 188}, {200, true, false, true, 188}, {183, false, false, false, 188},
  };
  for (const TCase& c : cases) {
    const TPacketHeader h = Header(Packet(0x100, true, {}, c.adaptation, c.payloadBit));
    EXPECT_EQ(h.hasPayload, c.hasPayload) << c.adaptation;
    EXPECT_EQ(h.adaptationTooBig, c.tooBig) << c.adaptation;
    if (h.hasPayload) {
      EXPECT_EQ(h.payloadOffset, c.offset);
    }
    EXPECT_LE(h.payloadOffset, kTsPacketSize);
  }
  Bytes p = Packet(0x1FFF, false, {}, 1);
  p[5] = 0x80;
  EXPECT_TRUE(Header(p).discontinuity);
  EXPECT_EQ(Header(p).pid, 0x1FFF);
  p[0] = 0x46;
  TPacketHeader h;
  EXPECT_FALSE(ParsePacketHeader(p.data(), h));
}

TEST(TsPsi, PatMarksProgramMapPids) {
  TPsiTable table;
  TRecorder rec;
  rec.Attach(table);
  const Bytes p = Packet(0, true, WithPointer(Pat({{0, 0x10}, {1, 0x1000}, {2, 0x1FFF}}), 3));
  table.ProcessPat(p.data(), Header(p));
  EXPECT_EQ(table[0x1000].kind, TStreamKind::Pmt);
  EXPECT_EQ(table[0x1FFF].kind, TStreamKind::Pmt);
  EXPECT_EQ(table[0x10].kind, TStreamKind::None);  // the network PID
  EXPECT_TRUE(rec.warnings.empty());
}

TEST(TsPsi, DamagedTablesAreDroppedWithAWarning) {
  struct TCase {
    const char* name;
    bool pat;
    Bytes payload;
    TPsiWarning warning;
  };
  const Bytes pmtHeaderPastPacket = WithPointer(Pmt(Bytes(180, 0x00), EsLoop({{0x1B, 0x100, {}}})));
  const TCase cases[] = {
      {"patPointerPastPacket", true, WithPointer(Pat({{1, 0x1000}}), 182),
       TPsiWarning::PointerFieldTooBig},
      {"pmtPointerPastPacket", false, WithPointer(Pmt({}, EsLoop({{0x1B, 0x100, {}}})), 176),
       TPsiWarning::PointerFieldTooBig},
      {"pmtHeaderPastPacket", false, pmtHeaderPastPacket, TPsiWarning::EsInfoTooBig},
      {"pmtWrongTable", false, WithPointer(Section(3, Bytes(9, 0), Bytes(10, 0))),
       TPsiWarning::IncorrectTableId},
  };
  for (const TCase& c : cases) {
    TPsiTable table;
    TRecorder rec;
    rec.Attach(table);
    table[0x1000].kind = TStreamKind::Pmt;
    const Bytes p = Packet(c.pat ? 0 : 0x1000, true, c.payload);
    if (c.pat)
      table.ProcessPat(p.data(), Header(p));
    else
      table.ProcessPmt(p.data(), Header(p));
    ASSERT_EQ(rec.warnings.size(), 1u) << c.name;
    EXPECT_EQ(rec.warnings[0], c.warning) << c.name;
    EXPECT_TRUE(rec.entries.empty()) << c.name;
    EXPECT_EQ(table[0x1000].kind, TStreamKind::Pmt) << c.name;
  }
}

TEST(TsPsi, PmtAcrossPacketsAndEsInfoPastTheSection) {
  // Forty streams with a language each: the section needs two packets.
  std::vector<TEs> streams;
  for (uint16_t i = 0; i < 40; ++i)
    streams.push_back({0x81, uint16_t(0x1100 + i), {0x0A, 4, 'd', 'e', 'u', 0}});
  const Bytes payload = WithPointer(Pmt({0x05, 4, 'H', 'D', 'M', 'V'}, EsLoop(streams)));
  ASSERT_GT(payload.size(), 184u);
  TPsiTable table;
  TRecorder rec;
  rec.Attach(table);
  table[0x1000].kind = TStreamKind::Pmt;
  // Three packets; the entries come once the last one completes the section.
  std::vector<Bytes> packets;
  for (size_t pos = 0; pos < payload.size(); pos += 184) {
    const size_t end = std::min(payload.size(), pos + 184);
    packets.push_back(
        Packet(0x1000, pos == 0, Bytes(payload.begin() + pos, payload.begin() + end)));
  }
  ASSERT_EQ(packets.size(), 3u);
  for (const Bytes& p : packets) {
    EXPECT_TRUE(rec.entries.empty());
    EXPECT_TRUE(table.ProcessPmt(p.data(), Header(p)));
  }
  ASSERT_EQ(rec.entries.size(), 40u);
  EXPECT_EQ(rec.entries[39].pid, 0x1100 + 39);
  EXPECT_EQ(std::string(rec.entries[39].language.data(), 3), "deu");
  EXPECT_EQ(rec.entries[0].descriptorText, ", deu");
  // A repeated second packet does not report the section again.
  EXPECT_TRUE(table.ProcessPmt(packets[2].data(), Header(packets[2])));
  EXPECT_EQ(rec.entries.size(), 40u);

  // An ES_info_length that runs past the section stops the loop after the good entries.
  Bytes loop = EsLoop({{0x1B, 0x100, {}}, {0x81, 0x101, {}}});
  loop[5 + 3] = 0xF0;
  loop[5 + 4] = 0x40;  // 64 bytes of descriptors that are not there
  TPsiTable broken;
  TRecorder rec2;
  rec2.Attach(broken);
  broken[0x1000].kind = TStreamKind::Pmt;
  const Bytes p = Packet(0x1000, true, WithPointer(Pmt({}, loop)));
  broken.ProcessPmt(p.data(), Header(p));
  ASSERT_EQ(rec2.entries.size(), 1u);
  EXPECT_EQ(rec2.entries[0].pid, 0x100);
  ASSERT_EQ(rec2.warnings.size(), 1u);
  EXPECT_EQ(rec2.warnings[0], TPsiWarning::EsInfoTooBig);
}

TEST(TsPsi, DescriptorsChangeTheStreamType) {
  struct TCase {
    uint8_t type;
    Bytes descriptors;
    uint8_t expected;
    const char* text;
  } cases[] = {
      {0x06, {0x6A, 1, 0}, 0x81, ", DVB AC3"},
      {0x06, {0x7A, 0}, 0x81, ", DVB AC3"},
      {0x06, {0x7B, 0}, 0x82, ", DVB DTS"},
      {0x06, {0x81, 0}, 0x81, ", ATSC AC3"},
      {0x06, {0x09, 4, 0, 0, 0, 0}, 0xFF, ""},
      {0x1B, {0x09, 4, 0, 0, 0, 0}, 0x1B, ""},
      {0x06, {0x05, 4, 'D', 'T', 'S', '2'}, 0x82, ", \"DTS2\""},
      {0x06, {0x05, 4, 'A', 'C', '-', '3'}, 0x81, ", \"AC-3\""},
      {0x83, {0x05, 4, 'A', 'C', '-', '3'}, 0x83, ", \"AC-3\""},
      {0x06, {0x05, 4, 'V', 'C', '-', '1'}, 0xEA, ", \"VC-1\""},
      {0x06, {0x05, 4, 'B', 'S', 'S', 'D'}, 0x80, ", \"BSSD\""},
      {0x06, {0x05, 4, 'd', 'r', 'a', 'c'}, 0xD1, ", \"drac\""},
      {0x06, {0x56, 5, 'e', 'n', 'g', 0x09, 0x88}, 0xFF, ", DVB Teletext eng"},
      {0x06, {0x59, 8, 'f', 'r', 'a', 0x10, 0, 1, 0, 1}, 0x93, ", DVB Subtitle fra"},
      {0x81, {0x52, 1, 7, 0x0A, 4, 'e', 'n', ' ', 0}, 0x81, ", stream id 7, en"},
      {0x81, {0xC4, 0}, 0x81, ", descriptor $C4"},
      // Descriptors that do not fit are not read.
      {0x06, {0x6A, 9, 0}, 0x06, ""},
      {0x06, {0x05, 2, 'D', 'T'}, 0x06, ""},
  };
  for (const TCase& c : cases) {
    TEsEntry e;
    e.streamType = c.type;
    ApplyDescriptors(c.descriptors.data(), c.descriptors.size(), e);
    EXPECT_EQ(e.streamType, c.expected) << c.text;
    EXPECT_EQ(e.descriptorText, c.text);
  }
}

TEST(TsClassify, TypeTable) {
  struct TCase {
    uint8_t type;
    uint32_t registration;
    TStreamKind kind;
    std::string formatId, suffix;
  } cases[] = {
      {0x02, 0, TStreamKind::Video, "mpeg2", ", MPEG2"},
      {0x20, 0, TStreamKind::Video, "h264", ", h264/AVC (right eye)"},
      {0x80, 0, TStreamKind::Video, "mpeg2", ", MPEG2"},
      {0x80, FourCc("HDMV"), TStreamKind::Audio, "m2ts/pcm", ", RAW/PCM"},
      {0x80, FourCc("BSSD"), TStreamKind::Audio, "ts/pcm", ", RAW/PCM"},
      {0x06, 0, TStreamKind::Audio, "?", ", probably AC3 or DTS"},
      {0x83, 0, TStreamKind::Audio, "thd/ac3", ", TrueHD"},
      {0x86, 0, TStreamKind::Audio, "dts", ", DTS Master Audio"},
      {0xA2, 0, TStreamKind::Audio, "dtslbr", ", DTS Express"},
      {0x92, 0, TStreamKind::Subtitle, "m2ts/sub", ", Subtitle (Text)"},
      {0x93, 0, TStreamKind::Subtitle, "ts/dvbsub", ", Subtitle (DVB)"},
      {0xFF, 0, TStreamKind::None, "", ""},
      {0x05, 0, TStreamKind::None, "", ""},
  };
  for (const TCase& c : cases) {
    const TClassification r = ClassifyStreamType(c.type, c.registration);
    EXPECT_EQ(r.kind, c.kind) << int(c.type);
    EXPECT_EQ(r.formatId, c.formatId) << int(c.type);
    EXPECT_EQ(r.logSuffix, c.suffix) << int(c.type);
  }
  EXPECT_EQ(StreamTypeText(0x0A), "$0A");
}

TEST(TsPes, UnitStartsAndTimeStamps) {
  // PTS 0x1_2345_6789 (33 bits): the low 32 bits are kept beside the full value.
  const uint64_t pts = 0x123456789ull;
  const Bytes stamp = {uint8_t(0x21 | ((pts >> 29) & 0x0E)), uint8_t(pts >> 22),
                       uint8_t(((pts >> 14) & 0xFE) | 1), uint8_t(pts >> 7),
                       uint8_t((pts << 1) | 1)};
  Bytes pes = {0, 0, 0, 0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5};
  pes.insert(pes.end(), stamp.begin(), stamp.end());
  struct TCase {
    const char* name;
    Bytes data;
    TPesResult result;
    bool hasPts;
  } cases[] = {
      {"withZeros", pes, TPesResult::Ok, true},
      {"stampCut", Bytes(pes.begin(), pes.end() - 1), TPesResult::Ok, false},
      {"headerOnly", Bytes(pes.begin(), pes.begin() + 12), TPesResult::Ok, false},
      {"startOnly", Bytes(pes.begin(), pes.begin() + 8), TPesResult::TooShort, false},
      {"onlyZeros", Bytes(30, 0), TPesResult::TooShort, false},
      {"shortStart", {0, 0, 1}, TPesResult::TooShort, false},
      {"padding", {0, 0, 1, 0xBE, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF}, TPesResult::NotPes, false},
      {"noStartCode", {0x47, 0, 1, 0xE0, 0, 0}, TPesResult::NotPes, false},
  };
  for (const TCase& c : cases) {
    TPesHeader h;
    EXPECT_EQ(ParseUnitStart(c.data.data(), c.data.size(), h), c.result) << c.name;
    EXPECT_EQ(h.hasPts, c.hasPts) << c.name;
    if (h.hasPts) {
      EXPECT_EQ(h.pts33, pts);
      EXPECT_EQ(h.pts32, 0x23456789u);
      EXPECT_EQ(h.streamId, 0xE0);
    }
  }
  EXPECT_EQ(PtsDiff(5, 0xFFFFFFF0u), 21);
  EXPECT_EQ(PtsDiff(0xFFFFFFF0u, 5), -21);
}

TEST(TsPsi, PidTrackTableLayout) {
  TPsiTable table;
  TPidEntry& e = table[0x1100];
  e.kind = TStreamKind::Audio;
  e.streamType = 0x81;
  e.language = {'d', 'e', 'u'};
  e.registration = FourCc("AC-3");
  table[0x1000].kind = TStreamKind::Pmt;
  const std::string t = table.BuildPidTrackTable();
  ASSERT_EQ(t.size(), 65536u);
  EXPECT_EQ(t.substr(0x1100 * 8, 8), std::string("\x81"
                                                 "deuAC-3",
                                                 8));
  EXPECT_EQ(t.substr(0x1000 * 8, 8), std::string(8, '\0'));
}

}  // namespace
}  // namespace kavrix::ts
