#include "tools/indexer/transport_damage.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint64_t kEsOffset = 100000;  // file offset of the elementary stream's first byte

// A 188-byte packet of the video PID at `offset` with continuity counter `counter`.
struct Packet {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(188, 0xFF);
  indexer::TsPacket packet;
  Packet(uint64_t offset, int counter, bool payload = true, bool flagged = false,
         bool discontinuity = false) {
    bytes[0] = 0x47;
    bytes[1] = uint8_t((flagged ? 0x80 : 0) | 0x01);
    bytes[2] = 0xE1;
    bytes[3] = uint8_t((payload ? 0x30 : 0x20) | (counter & 0x0F));
    bytes[4] = payload ? 1 : 183;  // an adaptation field of one byte, or filling the packet
    bytes[5] = discontinuity ? 0x80 : 0x00;
    packet = indexer::TsPacket{bytes.data(), bytes.size(), offset};
  }
};

void Feed(indexer::TransportDamage* damage, const Packet& p) {
  damage->OnVideoPacket(p.packet, indexer::ParsePacket(p.packet));
}

// Two GOPs, "I P B" each, in coded order, with the file offsets of their picture headers; the
// second GOP's B picture ends in a slice with one data byte when `shortSlice`.
struct Stream {
  std::vector<uint8_t> es;
  std::vector<uint64_t> gops, pictures;
};

Stream TwoGops(bool shortSlice) {
  Stream s;
  auto code = [&](uint8_t c, size_t body) {
    s.es.insert(s.es.end(), {0, 0, 1, c});
    s.es.insert(s.es.end(), body, 0x55);
  };
  for (int g = 0; g < 2; ++g) {
    s.gops.push_back(kEsOffset + s.es.size());
    code(0xB3, 8);
    for (int type : {1, 2, 3}) {
      s.pictures.push_back(kEsOffset + s.es.size());
      s.es.insert(s.es.end(), {0, 0, 1, 0, 0, uint8_t(type << 3), 0, 0});
      code(0x01, 300);
      code(0x02, g == 1 && type == 3 && shortSlice ? 1 : 300);
    }
  }
  code(0xB7, 0);  // sequence end
  return s;
}

indexer::VideoIndex IndexOf(const Stream& s) {
  indexer::VideoIndex index;
  index.gops = {{s.gops[0], "IPB"}, {s.gops[1], "IPB"}};
  index.pictureCount = 6;
  index.sequence.height = 576;
  return index;
}

// A break in the continuity counter between the payloads ending at `before` and starting at `at`.
void Break(indexer::TransportDamage* damage, uint64_t before, uint64_t at) {
  Feed(damage, Packet(before - 187, 3));
  Feed(damage, Packet(at - 6, 5));
}

TEST(TransportDamage, AGopWhoseIPictureIsDamagedJoinsTheGopBefore) {
  const Stream s = TwoGops(false);
  for (const bool inI : {true, false}) {
    SCOPED_TRACE(inI ? "I picture" : "P picture");
    indexer::TransportDamage damage;
    const uint64_t at = inI ? s.pictures[3] + 100 : s.pictures[4] + 100;
    Break(&damage, at - 1, at);
    damage.OnVideoBytes(s.es.data(), s.es.size(), kEsOffset);
    indexer::VideoIndex index = IndexOf(s);
    const indexer::TransportDamageReport report = damage.Apply(&index);
    EXPECT_EQ(report.lostPacketBreaks, 1u);
    EXPECT_EQ(report.joinedGops, inI ? 1u : 0u);
    ASSERT_EQ(index.gops.size(), inI ? 1u : 2u);
    ASSERT_EQ(index.damagedGops.size(), 1u);
    EXPECT_EQ(index.damagedGops[0].gop, inI ? 0u : 1u);
    EXPECT_EQ(index.damagedGops[0].lastFrame, 5u);
  }
}

TEST(TransportDamage, CounterRulesOfTheMultiplex) {
  const Stream s = TwoGops(false);
  indexer::TransportDamage damage;
  // A packet without payload keeps the counter; a discontinuity indicator allows a new count.
  Feed(&damage, Packet(1000, 7));
  Feed(&damage, Packet(1188, 7, false));
  Feed(&damage, Packet(1376, 8));
  Feed(&damage, Packet(1564, 2, true, false, true));
  Feed(&damage, Packet(1752, 3));
  EXPECT_FALSE(damage.damaged());
  // A flagged packet is damage wherever its counter stands.
  Feed(&damage, Packet(s.pictures[5] - 10, 4, true, true));
  EXPECT_TRUE(damage.damaged());
  damage.OnVideoBytes(s.es.data(), s.es.size(), kEsOffset);
  indexer::VideoIndex index = IndexOf(s);
  const indexer::TransportDamageReport report = damage.Apply(&index);
  EXPECT_EQ(report.flaggedPackets, 1u);
  EXPECT_EQ(report.lostPacketBreaks, 0u);
  EXPECT_EQ(index.gops.size(), 2u);
}

TEST(TransportDamage, PicturesThatDecodeToNothingAreNamedInDisplayOrder) {
  const Stream s = TwoGops(true);
  indexer::TransportDamage damage;
  Break(&damage, s.pictures[5] + 400, s.pictures[5] + 401);
  damage.OnVideoBytes(s.es.data(), s.es.size(), kEsOffset);
  // A spliced slice start code below the picture (row 40 of 36) in the first GOP's P picture.
  indexer::VideoIndex index = IndexOf(s);
  Stream spliced = TwoGops(false);
  spliced.es[s.pictures[1] - kEsOffset + 8 + 3] = 0x29;
  indexer::TransportDamage damage2;
  Break(&damage2, s.pictures[1] + 20, s.pictures[1] + 21);
  damage2.OnVideoBytes(spliced.es.data(), spliced.es.size(), kEsOffset);
  indexer::VideoIndex index2 = IndexOf(s);
  // Display order (a B picture at once, an I or P picture when the next one comes): the second
  // GOP's B picture (coded 5) is frame 4, the first GOP's P picture (coded 1) frame 2.
  EXPECT_EQ(damage.Apply(&index).undecodableFrames, (std::vector<uint64_t>{4}));
  EXPECT_EQ(index.framesFfmpegDrops, (std::vector<uint64_t>{4}));
  EXPECT_EQ(damage2.Apply(&index2).undecodableFrames, (std::vector<uint64_t>{2}));

  // A picture header with no slice after it (a P picture before the second GOP): display frame 3.
  Stream bare = TwoGops(false);
  const std::vector<uint8_t> header = {0, 0, 1, 0, 0, 2 << 3, 0, 0};
  bare.es.insert(bare.es.begin() + long(bare.gops[1] - kEsOffset), header.begin(), header.end());
  indexer::TransportDamage damage3;
  Break(&damage3, s.pictures[4] + 20, s.pictures[4] + 21);
  damage3.OnVideoBytes(bare.es.data(), bare.es.size(), kEsOffset);
  indexer::VideoIndex index3 = IndexOf(s);
  index3.gops[0].types = "IPBP";
  index3.gops[1].position += header.size();
  index3.pictureCount = 7;
  EXPECT_EQ(damage3.Apply(&index3).undecodableFrames, (std::vector<uint64_t>{3}));
}

}  // namespace
