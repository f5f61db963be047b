#include <gtest/gtest.h>

#include <cstring>

#include "decoder_test_support.h"
#include "reader/avc_decoder.h"

namespace {

using dectest::Bytes;

constexpr int kBuf = CAVCDecoder::kBufferSize;
constexpr int kFill = CAVCDecoder::kFillSize;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Bytes that never form 0x47 or a start code: 0x10 + (i mod 48), and a tag at the front.
Bytes Filler(size_t size, unsigned char tag) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(0x10 + (i * 7 + tag) % 48);
  return out;
}

std::vector<Bytes> CutFile(const Bytes& data, size_t limit = SIZE_MAX) {
  auto d = dectest::NewDecoder();
  dectest::Attach(*d, dectest::MemoryFile(data), 0);
  EXPECT_EQ(d->AlignStream(0), 0);
  return dectest::CutUnits(*d, limit);
}

// ---- Elementary streams ----

TEST(EsUnits, RealStreamFromEveryGopMatchesPlainSearch) {
  const Bytes es = dectest::ReadFile(dectest::MediaPath("es576i_open.m2v"));
  const std::vector<size_t> gops = dectest::SequenceHeaders(es);
  ASSERT_EQ(gops.size(), 13u);
  auto d = dectest::NewDecoder();
  dectest::Attach(*d, std::fopen(dectest::MediaPath("es576i_open.m2v").c_str(), "rb"), 0);
  for (size_t gop : gops) {
    ASSERT_EQ(d->AlignStream(gop), 0);
    const std::vector<Bytes> units = dectest::CutUnits(*d);
    ASSERT_TRUE(dectest::SameUnits(units, dectest::ReferenceUnits(es, gop))) << "from " << gop;
    EXPECT_EQ(units[0][3], 0xB3);
    EXPECT_EQ(d->GetAnnexbNALU(), 0);
  }
}

TEST(EsUnits, SmallCraftedCases) {
  // Bytes before the first start code go; zeros in front of a start code stay with the unit
  // before it; two start codes in a row make a three-byte unit.
  const Bytes data = {0xAB, 0xCD, 0, 0, 1, 0xB3, 0x11, 0, 0, 0, 1, 0, 0, 1, 0xB8, 0x22};
  const std::vector<Bytes> expected = {{0, 0, 1, 0xB3, 0x11, 0}, {0, 0, 1}, {0, 0, 1, 0xB8, 0x22}};
  EXPECT_TRUE(dectest::SameUnits(CutFile(data), expected));
  EXPECT_TRUE(CutFile({}).empty());
  EXPECT_TRUE(CutFile({0, 0, 0, 0}).empty());
  EXPECT_EQ(CutFile({0, 0, 1}), std::vector<Bytes>{Bytes({0, 0, 1})});
}

TEST(EsUnits, DataEndingInsideAUnitDeliversItThenNothing) {
  auto d = dectest::NewDecoder();
  dectest::Attach(*d, dectest::MemoryFile({0, 0, 1, 0xB3, 1, 2, 0, 0}), 0);
  d->AlignStream(0);
  ASSERT_EQ(d->GetAnnexbNALU(), 1);
  EXPECT_EQ(Bytes(d->unit.data, d->unit.data + d->unit.length), Bytes({0, 0, 1, 0xB3, 1, 2, 0, 0}));
  EXPECT_EQ(d->endOfData, 1);
  EXPECT_EQ(d->GetAnnexbNALU(), 0);
  EXPECT_EQ(d->GetAnnexbNALU(), 0);
  // A reposition starts afresh.
  d->AlignStream(0);
  EXPECT_EQ(d->GetAnnexbNALU(), 1);
}

TEST(EsUnits, StartCodesAcrossARefill) {
  // The 01 of a start code lands on the last byte of the first fill, the first byte of the
  // second, and the second byte of the second.
  for (size_t start : {size_t(kFill - 3), size_t(kFill - 2), size_t(kFill - 1)}) {
    Bytes data = Filler(kFill + 64, 1);
    for (size_t at : {size_t(0), size_t(1000), start, size_t(kFill + 40)}) {
      data[at] = 0;
      data[at + 1] = 0;
      data[at + 2] = 1;
    }
    EXPECT_TRUE(dectest::SameUnits(CutFile(data), dectest::ReferenceUnits(data))) << start;
  }
}

TEST(EsUnits, StreamOfExactlyOneFill) {
  Bytes data = Filler(kFill, 2);
  for (size_t at : {size_t(0), size_t(kFill - 10)}) {
    data[at] = 0;
    data[at + 1] = 0;
    data[at + 2] = 1;
  }
  auto d = dectest::NewDecoder();
  dectest::Attach(*d, dectest::MemoryFile(data), 0);
  d->AlignStream(0);
  EXPECT_TRUE(dectest::SameUnits(dectest::CutUnits(*d), dectest::ReferenceUnits(data)));
  EXPECT_EQ(d->endOfData, 1);
  unsigned char byte;
  EXPECT_EQ(d->GetRawByte(&byte), -1);
  EXPECT_EQ(d->GetRawByte(&byte), -1);
}

TEST(EsUnits, StartCodeSearchGivesUpAfterOneBufferLessOne) {
  // The start code's last byte is the 7,999,999th byte read: found.
  Bytes data = Filler(kBuf + 16, 3);
  data[kBuf - 4] = 0;
  data[kBuf - 3] = 0;
  data[kBuf - 2] = 1;
  auto d = dectest::NewDecoder();
  dectest::Attach(*d, dectest::MemoryFile(data), 0);
  d->AlignStream(0);
  EXPECT_EQ(d->GetAnnexbNALU(), 1);
  // One byte later: not found within the limit.
  data = Filler(kBuf + 16, 3);
  data[kBuf - 3] = 0;
  data[kBuf - 2] = 0;
  data[kBuf - 1] = 1;
  auto e = dectest::NewDecoder();
  dectest::Attach(*e, dectest::MemoryFile(data), 0);
  e->AlignStream(0);
  EXPECT_EQ(e->GetAnnexbNALU(), -1);
}

TEST(EsUnits, UnitLongerThanTheUnitBufferIsCutNotOverrun) {
  const Bytes data = Concat({{0, 0, 1, 0xB5}, Filler(kBuf + 10, 4), {0, 0, 1, 0xB8, 0xAA}});
  auto d = dectest::NewDecoder();
  dectest::Attach(*d, dectest::MemoryFile(data), 0);
  d->AlignStream(0);
  ASSERT_EQ(d->GetAnnexbNALU(), 1);
  EXPECT_EQ(d->unit.length, kBuf);
  EXPECT_EQ(0, std::memcmp(d->unit.data, data.data(), kBuf));
  ASSERT_EQ(d->GetAnnexbNALU(), 1);
  EXPECT_EQ(Bytes(d->unit.data, d->unit.data + d->unit.length), Bytes({0, 0, 1, 0xB8, 0xAA}));
  EXPECT_EQ(d->GetAnnexbNALU(), 0);
}

// ---- Transport streams made by ffmpeg ----

struct TsCase {
  const char* file;
  int packetSize;
  int pid;
};

class TsUnits : public ::testing::TestWithParam<TsCase> {};

TEST_P(TsUnits, EveryGopAlignsToItsSequenceHeaderAndCutsTheEsUnits) {
  const TsCase c = GetParam();
  const Bytes es = dectest::ReadFile(dectest::MediaPath("es576i_open.m2v"));
  const Bytes ts = dectest::ReadFile(dectest::MediaPath(c.file));
  const dectest::Payload payload = dectest::DemuxVideo(ts, c.packetSize, c.pid);
  ASSERT_EQ(payload.bytes, es);  // the muxer carried the stream unchanged
  const std::vector<size_t> inPayload = dectest::SequenceHeaders(payload.bytes);
  const std::vector<size_t> inEs = dectest::SequenceHeaders(es);
  ASSERT_EQ(inPayload.size(), 13u);

  auto d = dectest::NewDecoder();
  dectest::Attach(*d, std::fopen(dectest::MediaPath(c.file).c_str(), "rb"), 1, c.packetSize, c.pid);
  for (size_t k = 0; k < inPayload.size(); ++k) {
    const uint64_t position = payload.offsets[inPayload[k]];
    ASSERT_EQ(d->AlignStream(position), 0) << position;
    // Units from the first GOP are all of the ES's units; later GOPs: the first few.
    const std::vector<Bytes> units = dectest::CutUnits(*d, k == 0 ? SIZE_MAX : 40);
    std::vector<Bytes> expected = dectest::ReferenceUnits(es, inEs[k]);
    if (k != 0) expected.resize(std::min<size_t>(40, expected.size()));
    ASSERT_TRUE(dectest::SameUnits(units, expected)) << "GOP " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Media, TsUnits,
                         ::testing::Values(TsCase{"ts576i.ts", 188, 0x1E1},
                                           TsCase{"m2ts576i.m2ts", 192, 0x1011}));

// ---- Crafted transport streams ----

struct TsOptions {
  bool error = false;
  int control = -1;  // -1: payload only when the body fills the packet, else adaptation + payload
  Bytes extra = {0, 0, 0, 0};
};

// One packet; `body` follows the header (and an adaptation field of stuffing when it is short).
Bytes Packet(int packetSize, int pid, bool start, const Bytes& body, const TsOptions& o = {}) {
  Bytes p;
  if (packetSize == 192) p = o.extra;
  const size_t base = p.size();
  const int control = o.control >= 0 ? o.control : (body.size() == 184 ? 1 : 3);
  p.push_back(0x47);
  p.push_back(static_cast<unsigned char>((o.error ? 0x80 : 0) | (start ? 0x40 : 0) | (pid >> 8)));
  p.push_back(static_cast<unsigned char>(pid));
  p.push_back(static_cast<unsigned char>(control << 4));
  if (control >= 2) {
    const int a = 183 - int(body.size());
    p.push_back(static_cast<unsigned char>(a));
    if (a > 0) p.push_back(0);
    for (int i = 1; i < a; ++i) p.push_back(0xFF);
  }
  p.insert(p.end(), body.begin(), body.end());
  p.resize(base + 188, 0xFF);
  return p;
}

// A PES header: with PTS and DTS (10 bytes of header data), with PTS only (5), or with D bytes.
Bytes Pes(int headerData, int flags) {
  Bytes h = {0,
             0,
             1,
             0xE0,
             0,
             0,
             0x80,
             static_cast<unsigned char>(flags),
             static_cast<unsigned char>(headerData)};
  for (int i = 0; i < headerData; ++i) h.push_back(0x21);
  return h;
}

struct CraftedTs {
  Bytes file;
  Bytes payload;  // what the video PID carries
};

constexpr int kVideo = 0x1E1;
constexpr int kOther = 0x100;

CraftedTs MakeCraftedTs(int P) {
  CraftedTs t;
  auto add = [&](const Bytes& packet) {
    t.file.insert(t.file.end(), packet.begin(), packet.end());
  };
  auto video = [&](bool start, const Bytes& header, const Bytes& data, const TsOptions& o = {}) {
    add(Packet(P, kVideo, start, Concat({header, data}), o));
    t.payload.insert(t.payload.end(), data.begin(), data.end());
  };
  // A packet of another PID whose payload holds a fake video header at a non-sync position.
  Bytes fake = Filler(184, 9);
  fake[50] = 0x47;
  fake[51] = 0x41;
  fake[52] = 0xE1;
  fake[53] = 0x10;
  add(Packet(P, kOther, false, fake));
  // A start code split across packets, and a 0x47 inside video payload.
  Bytes a = Concat({{0, 0, 1, 0xB3}, Filler(184 - 19 - 7, 5), {0x47, 0, 0}});
  video(true, Pes(10, 0xC0), a);
  add(Packet(P, kOther, false, fake));
  video(false, {}, Filler(184, 6), TsOptions{true});  // error bit: delivered, as ffmpeg does
  add(Packet(P, kVideo, false, Filler(184, 7), TsOptions{false, 0}));  // control 0
  add(Packet(P, kVideo, false, {}, TsOptions{false, 2}));              // adaptation only
  video(false, {}, Concat({{1, 0xB5}, Filler(182, 8)}));
  add(Packet(P, kVideo, true, Filler(7, 10)));  // no room for PES
  // A PES header whose header data runs past the packet's end.
  const Bytes longHeader = Pes(20, 0x80);
  add(Packet(P, kVideo, true, Bytes(longHeader.begin(), longHeader.begin() + 19)));
  video(true, Pes(5, 0x80), Concat({{0, 0}, Filler(50, 11)}));
  TsOptions stamped;
  stamped.extra = {0x47, 0x41, 0xE1, 0x10};  // a fake header in the 4 extra bytes
  video(false, {}, Concat({{1, 0xB8}, Filler(120, 12)}), stamped);
  video(false, {}, Concat({Filler(60, 13), {0, 0, 1, 0x00}}));
  add(Packet(P, kOther, false, Filler(184, 14)));
  return t;
}

class CraftedTsReader : public ::testing::TestWithParam<int> {};

TEST_P(CraftedTsReader, DeliversExactlyTheVideoPayload) {
  const CraftedTs t = MakeCraftedTs(GetParam());
  auto d = dectest::NewDecoder();
  dectest::Attach(*d, dectest::MemoryFile(t.file), 1, GetParam(), kVideo);
  d->InitializeBuffer();
  Bytes got;
  unsigned char byte;
  while (d->GetTSByte(&byte) == 0) got.push_back(byte);
  EXPECT_EQ(got, t.payload);

  // The same payload cut into units.
  const dectest::Payload payload = dectest::DemuxVideo(t.file, GetParam(), kVideo);
  ASSERT_EQ(payload.bytes, t.payload);
  ASSERT_EQ(d->AlignStream(payload.offsets[0]), 0);
  EXPECT_TRUE(dectest::SameUnits(dectest::CutUnits(*d), dectest::ReferenceUnits(t.payload)));
}

TEST_P(CraftedTsReader, AlignStreamDeliversTheByteAtThePositionOrNothing) {
  const int P = GetParam();
  const CraftedTs t = MakeCraftedTs(P);
  const dectest::Payload payload = dectest::DemuxVideo(t.file, P, kVideo);
  auto d = dectest::NewDecoder();
  dectest::Attach(*d, dectest::MemoryFile(t.file), 1, P, kVideo);
  size_t checked = 0;
  for (size_t i = 0; i < payload.offsets.size(); i += 7) {
    ASSERT_EQ(d->AlignStream(payload.offsets[i]), 0) << payload.offsets[i];
    unsigned char byte;
    ASSERT_EQ(d->GetTSByte(&byte), 0);
    EXPECT_EQ(byte, t.payload[i]) << payload.offsets[i];
    ++checked;
  }
  EXPECT_GT(checked, 50u);
  // Positions that are no payload byte of the video packet found: no data for that request.
  const size_t firstVideo = size_t(P);  // the second packet
  for (uint64_t position : {uint64_t(firstVideo + 1), uint64_t(P / 2), uint64_t(t.file.size())}) {
    EXPECT_EQ(d->AlignStream(position), -1) << position;
    EXPECT_EQ(d->GetAnnexbNALU(), 0) << position;
  }
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, CraftedTsReader, ::testing::Values(188, 192));

TEST(CraftedTsReader, NonsensePacketSizesAndPidsEndTheStream) {
  const CraftedTs t = MakeCraftedTs(188);
  const std::pair<int, int> settings[] = {{3, kVideo}, {0, kVideo}, {-188, kVideo},
                                          {188, 9000}, {188, -1},   {100000, kVideo},
                                          {4, kVideo}, {5, kVideo}};
  for (auto [packetSize, pid] : settings) {
    auto d = dectest::NewDecoder();
    dectest::Attach(*d, dectest::MemoryFile(t.file), 1, packetSize, pid);
    d->InitializeBuffer();
    unsigned char byte;
    size_t delivered = 0;
    while (delivered < t.file.size() && d->GetTSByte(&byte) == 0) ++delivered;
    EXPECT_LT(delivered, t.file.size()) << packetSize << " " << pid;
    d->AlignStream(200);
    while (d->GetAnnexbNALU() == 1) {
    }
  }
}

}  // namespace
