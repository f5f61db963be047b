// Transport streams built packet by packet around a real elementary stream: start codes split
// across packets, other PIDs between them, damaged packets and 192-byte packets. The GOP
// positions must lead the plugin's reader (modelled by TsBytesAt) to the sequence headers.
#include "tools/indexer/transport_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "tests/unit/tools/indexer/indexer_test_support.h"
#include "tools/indexer/mpeg2_scanner.h"
#include "tools/indexer/psi_tables.h"

namespace {

using namespace indexer_test;

constexpr int kVideoPid = 0x100;
constexpr int kAudioPid = 0x101;
constexpr int kPmtPid = 0x42;

class TsBuilder {
 public:
  explicit TsBuilder(int packetSize) : packetSize_(packetSize) {}
  std::vector<uint8_t> bytes;
  bool steadyLastPrefixByte = false;

  // One packet; payloads shorter than 184 bytes get adaptation-field stuffing. Returns the file
  // offset of the payload's first byte.
  uint64_t Packet(int pid, bool unitStart, const uint8_t* payload, size_t size,
                  bool error = false) {
    if (packetSize_ == 192) {
      // The 4-byte prefix of 192-byte packets, with steady sync-like bytes in it.
      bytes.insert(bytes.end(), {0x47, 0x47, static_cast<uint8_t>(count_),
                                 static_cast<uint8_t>(steadyLastPrefixByte ? 0x47 : ~count_)});
    }
    bytes.push_back(0x47);
    bytes.push_back(static_cast<uint8_t>((error ? 0x80 : 0) | (unitStart ? 0x40 : 0) | (pid >> 8)));
    bytes.push_back(static_cast<uint8_t>(pid & 0xFF));
    const bool stuffed = size < 184;
    // Each PID counts its own packets, as a multiplexer does.
    bytes.push_back(static_cast<uint8_t>((stuffed ? 0x30 : 0x10) | (counters_[pid]++ & 0x0F)));
    ++count_;
    if (stuffed) {
      size_t field = 183 - size;
      bytes.push_back(static_cast<uint8_t>(field));
      if (field > 0) {
        bytes.push_back(0x00);
        bytes.insert(bytes.end(), field - 1, 0xFF);
      }
    }
    uint64_t at = bytes.size();
    bytes.insert(bytes.end(), payload, payload + size);
    return at;
  }

  // A PSI section (without its CRC) in one or more packets.
  void Section(int pid, std::vector<uint8_t> section) {
    uint32_t crc = indexer::SectionCrc(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8)
      section.push_back(static_cast<uint8_t>(crc >> shift));
    section.insert(section.begin(), 0x00);  // pointer_field
    for (size_t at = 0; at < section.size(); at += 184) {
      std::vector<uint8_t> part(section.begin() + at,
                                section.begin() + std::min(section.size(), at + 184));
      part.resize(184, 0xFF);
      Packet(pid, at == 0, part.data(), part.size());
    }
  }

  void Tables(int streams = 2) {
    Section(0, {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01,
                static_cast<uint8_t>(0xE0 | (kPmtPid >> 8)), kPmtPid & 0xFF});
    std::vector<uint8_t> pmt = {0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1,
                                0x00, 0x00, 0xE1, 0x00, 0xF0, 0x00};
    // Audio streams first, so that the video is not simply the first entry.
    for (int i = 0; i + 1 < streams; ++i) {
      int pid = kAudioPid + i;
      pmt.insert(pmt.end(), {0x04, static_cast<uint8_t>(0xE0 | (pid >> 8)),
                             static_cast<uint8_t>(pid & 0xFF), 0xF0, 0x00});
    }
    pmt.insert(pmt.end(),
               {0x02, static_cast<uint8_t>(0xE0 | (kVideoPid >> 8)), kVideoPid & 0xFF, 0xF0, 0x00});
    size_t length = pmt.size() - 3 + 4;
    pmt[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
    pmt[2] = static_cast<uint8_t>(length & 0xFF);
    Section(kPmtPid, pmt);
  }

 private:
  int packetSize_;
  int count_ = 0;
  std::map<int, int> counters_;  // continuity counter per PID
};

const uint8_t kPesHeader[14] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80,
                                0x80, 0x05, 0x21, 0x00, 0x01, 0x00, 0x01};

struct Muxed {
  std::vector<uint8_t> file;
  std::vector<uint64_t> offsetOf;  // file offset of each elementary stream byte
};

// Carries `es` on kVideoPid. Packets end right after the first, second or third byte of
// selected start codes, audio packets (one of them flagged with the transport error bit) sit
// between the halves, and a packet that starts a PES packet without room for its header is
// thrown in.
Muxed Mux(const std::vector<uint8_t>& es, const std::vector<uint64_t>& gops, int packetSize,
          bool steadyLastPrefixByte = false) {
  TsBuilder ts(packetSize);
  ts.steadyLastPrefixByte = steadyLastPrefixByte;
  ts.Tables(3);
  std::set<uint64_t> cuts;
  for (size_t i = 1; i < gops.size(); ++i) cuts.insert(gops[i] + 1 + i % 3);
  Muxed m;
  m.offsetOf.resize(es.size());
  std::vector<uint8_t> junk(184, 0x00);
  junk[5] = 0x01;
  junk[6] = 0xB3;  // a sequence header start code that must not be seen
  uint64_t at = 0;
  size_t packets = 0;
  bool first = true;
  while (at < es.size()) {
    std::vector<uint8_t> payload(184);
    size_t head = first ? sizeof kPesHeader : 0;
    if (first) memcpy(payload.data(), kPesHeader, head);
    size_t take = std::min<uint64_t>(184 - head, es.size() - at);
    auto cut = cuts.upper_bound(at);
    bool atCut = cut != cuts.end() && *cut - at <= take;
    if (atCut) take = *cut - at;
    memcpy(payload.data() + head, es.data() + at, take);
    uint64_t offset = ts.Packet(kVideoPid, first, payload.data(), head + take) + head;
    for (size_t i = 0; i < take; ++i) m.offsetOf[at + i] = offset + i;
    at += take;
    first = false;
    if (atCut) {
      ts.Packet(kAudioPid, false, junk.data(), junk.size());
      ts.Packet(kAudioPid, false, junk.data(), junk.size(), true);
    }
    if (++packets == 50) {
      // Starts a PES packet but leaves only 8 bytes: the reader drops it whole.
      ts.Packet(kVideoPid, true, junk.data(), 8);
    }
  }
  m.file = ts.bytes;
  return m;
}

TEST(TransportStream, GopPositionsLeadTheReaderToSplitSequenceHeaders) {
  const std::vector<uint8_t> es = ReadFile(Media("es576i_open.m2v"));
  indexer::Mpeg2Scanner scanner;
  scanner.Feed(es.data(), es.size(), 0);
  scanner.Finish();
  const indexer::VideoIndex& esIndex = scanner.index();
  std::vector<uint64_t> gops;
  for (const auto& gop : esIndex.gops) gops.push_back(gop.position);

  for (int packetSize : {188, 192}) {
    TempDir dir;
    Muxed m = Mux(es, gops, packetSize);
    WriteFile(dir.File("muxed.ts"), m.file);
    indexer::VideoIndex index;
    indexer::StreamLayout layout;
    std::string error;
    ASSERT_EQ(Index(dir.File("muxed.ts"), &index, &layout, &error), indexer::kIndexOk) << error;
    EXPECT_EQ(layout.packetSize, packetSize);
    EXPECT_EQ(layout.pid, kVideoPid);
    EXPECT_EQ(CodedTypes(index), CodedTypes(esIndex));
    ASSERT_EQ(index.gops.size(), gops.size());
    for (size_t i = 0; i < gops.size(); ++i) {
      EXPECT_EQ(index.gops[i].position, m.offsetOf[gops[i]]) << "GOP " << i;
      EXPECT_EQ(TsBytesAt(m.file, packetSize, kVideoPid, index.gops[i].position, 4),
                (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB3}))
          << "GOP " << i << " with " << packetSize << "-byte packets";
    }
  }
}

// A 0x47 right in front of every sync byte (a steady byte of the arrival time stamp) must not
// mislead the packet search: every GOP is reached at its own position.
TEST(TransportStream, SyncLikeBytesInFrontOfPacketsDoNotMisleadTheSearch) {
  const std::vector<uint8_t> es = ReadFile(Media("es1080p_closed.m2v"));
  indexer::Mpeg2Scanner scanner;
  scanner.Feed(es.data(), es.size(), 0);
  scanner.Finish();
  std::vector<uint64_t> gops;
  for (const auto& gop : scanner.index().gops) gops.push_back(gop.position);
  ASSERT_GT(gops.size(), 1u);
  TempDir dir;
  Muxed m = Mux(es, gops, 192, true);
  WriteFile(dir.File("misleading.m2ts"), m.file);
  indexer::VideoIndex index;
  indexer::StreamLayout layout;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_EQ(Index(dir.File("misleading.m2ts"), &index, &layout, &error, &warnings),
            indexer::kIndexOk)
      << error;
  EXPECT_EQ(CodedTypes(index), CodedTypes(scanner.index()));
  ASSERT_EQ(index.gops.size(), gops.size());
  for (size_t i = 0; i < gops.size(); ++i) {
    EXPECT_EQ(index.gops[i].position, m.offsetOf[gops[i]]) << "GOP " << i;
  }
  EXPECT_TRUE(warnings.empty()) << warnings[0];
}

TEST(TransportStream, DetectsPacketSizeFromSyncSpacing) {
  size_t first = 99;
  std::vector<uint8_t> ts = ReadFile(Media("ts576i.ts"));
  EXPECT_EQ(indexer::DetectPacketSize(ts.data(), ts.size(), &first), 188);
  EXPECT_EQ(first, 0u);
  std::vector<uint8_t> m2ts = ReadFile(Media("m2ts576i.m2ts"));
  EXPECT_EQ(indexer::DetectPacketSize(m2ts.data(), m2ts.size(), &first), 192);
  EXPECT_EQ(first, 4u);
  std::vector<uint8_t> es = ReadFile(Media("es576i_open.m2v"));
  EXPECT_EQ(indexer::DetectPacketSize(es.data(), es.size(), &first), 0);
  // A stream cut inside a packet: the first whole packet is found.
  EXPECT_EQ(indexer::DetectPacketSize(ts.data() + 100, ts.size() - 100, &first), 188);
  EXPECT_EQ(first, 88u);
}

// Hands a packet's payload to the table collector, as the indexer does.
void AddPayload(indexer::PsiCollector* psi, const indexer::TsPacket& packet) {
  const ts::Packet parsed = indexer::ParsePacket(packet);
  if (!parsed.HasPayload()) return;
  psi->AddPayload(parsed.pid, parsed.unitStart, packet.bytes + parsed.payload,
                  parsed.end - parsed.payload);
}

TEST(TransportStream, ProgramTablesOfARealStream) {
  std::vector<uint8_t> ts = ReadFile(Media("ts576i.ts"));
  indexer::MemorySource source(ts);
  indexer::TsPacketReader reader(&source, 188, 0);
  indexer::PsiCollector psi;
  indexer::TsPacket packet;
  while (!psi.Complete() && reader.Next(&packet)) AddPayload(&psi, packet);
  ASSERT_TRUE(psi.Complete());
  ASSERT_EQ(psi.programs().size(), 1u);
  const indexer::Program& program = psi.programs()[0];
  ASSERT_EQ(program.streams.size(), 2u);
  EXPECT_EQ(program.streams[0].streamType, 0x02);
  EXPECT_EQ(program.streams[0].pid, 0x1E1);
  EXPECT_EQ(program.streams[1].pid, 0x1E2);
}

TEST(TransportStream, TablesAcrossPacketsAndDamagedTables) {
  // A PMT of 40 streams spans two packets; the video comes last.
  TsBuilder ts(188);
  ts.Tables(40);
  indexer::MemorySource source(ts.bytes);
  indexer::TsPacketReader reader(&source, 188, 0);
  indexer::PsiCollector psi;
  indexer::TsPacket packet;
  while (reader.Next(&packet)) AddPayload(&psi, packet);
  ASSERT_TRUE(psi.Complete());
  ASSERT_EQ(psi.programs()[0].streams.size(), 40u);
  EXPECT_EQ(psi.programs()[0].streams.back().pid, kVideoPid);

  // A PAT whose CRC does not match is not taken.
  TsBuilder bad(188);
  bad.Tables();
  bad.bytes[4 + 1 + 9] ^= 0x01;  // the program number inside the PAT
  indexer::PsiCollector damaged;
  indexer::TsPacket first{bad.bytes.data(), 188, 0};
  AddPayload(&damaged, first);
  EXPECT_FALSE(damaged.HavePat());

  // The CRC of a real section (CRC included) comes out 0.
  std::vector<uint8_t> real = ReadFile(Media("ts576i.ts"));
  size_t length = ((real[6] & 0x0F) << 8 | real[7]) + 3;
  EXPECT_EQ(indexer::SectionCrc(&real[5], length), 0u);
}

}  // namespace
