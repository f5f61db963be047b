// The indexer's model of the plugin's transport stream positioning (ReaderReachesPosition) against
// the plugin's reader itself (CAVCDecoder::AlignStream), position by position, on crafted streams.
#include "tools/indexer/reader_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/unit/reader/decoder_test_support.h"
#include "tools/indexer/byte_source.h"

namespace {

constexpr int kVideoPid = 0x1E1;
constexpr int kOtherPid = 0x100;

struct PacketSpec {
  int pid = kVideoPid;
  bool error = false;
  bool unitStart = false;
  int control = 1;
  int adaptationLength = 0;  // written as given, even when it claims more than the packet holds
  int pesFlags = 0;          // 0x80 PTS, 0x40 DTS
  int headerData = 0;        // D, with D bytes of optional fields written (as far as they fit)
  uint8_t extra = 0x00;      // the 4 bytes in front of a 192-byte packet
};

// Appends one packet of `packetSize` bytes; what the fields do not fill is payload from `random`.
void AddPacket(std::vector<uint8_t>* file, int packetSize, const PacketSpec& s,
               std::mt19937* random) {
  std::vector<uint8_t> p;
  if (packetSize == 192) p.assign(4, s.extra);
  const size_t end = p.size() + 188;
  p.push_back(0x47);
  p.push_back(static_cast<uint8_t>((s.error ? 0x80 : 0) | (s.unitStart ? 0x40 : 0) | (s.pid >> 8)));
  p.push_back(static_cast<uint8_t>(s.pid));
  p.push_back(static_cast<uint8_t>(s.control << 4));
  if (s.control & 2) {
    p.push_back(static_cast<uint8_t>(s.adaptationLength));
    for (int i = 0; i < s.adaptationLength; ++i) p.push_back(0xFF);
  }
  if (s.unitStart) {
    const uint8_t fixed[9] = {0,
                              0,
                              1,
                              0xE0,
                              0,
                              0,
                              0x80,
                              static_cast<uint8_t>(s.pesFlags),
                              static_cast<uint8_t>(s.headerData)};
    p.insert(p.end(), fixed, fixed + 9);
    for (int i = 0; i < s.headerData; ++i) p.push_back(0x21);
  }
  // Payload: mostly bytes that cannot pass for sync bytes, now and then a 0x47.
  while (p.size() < end) p.push_back((*random)() % 40 == 0 ? 0x47 : 0x10 + (*random)() % 40);
  p.resize(end);
  file->insert(file->end(), p.begin(), p.end());
}

// Compares the model with the reader at every position of `file`; returns the number of positions
// that both reach.
size_t CompareAtEveryPosition(const std::vector<uint8_t>& file, int packetSize) {
  indexer::MemorySource source(file);
  std::unique_ptr<CAVCDecoder> reader = dectest::NewDecoder();
  dectest::Attach(*reader, dectest::MemoryFile(file), 1, packetSize, kVideoPid);
  size_t reached = 0;
  for (uint64_t position = 0; position < file.size(); ++position) {
    const bool model = indexer::ReaderReachesPosition(&source, packetSize, kVideoPid, position);
    const bool real = reader->AlignStream(position) == 0;
    EXPECT_EQ(model, real) << "position " << position << " (packet " << position / packetSize
                           << ", byte " << position % packetSize << ") with " << packetSize
                           << "-byte packets";
    if (model != real) return reached;  // one report per stream is enough
    if (real) {
      unsigned char byte = 0;
      EXPECT_EQ(reader->GetTSByte(&byte), 0);
      EXPECT_EQ(byte, file[position]) << position;
      ++reached;
    }
  }
  return reached;
}

class ReaderCheck : public ::testing::TestWithParam<int> {};

// Timestamps flagged but fewer header-data bytes than they take: the reader passes over D bytes,
// so the payload starts right after them, and the model must agree (it once followed the flags,
// found the payload 5 bytes later and declared every such GOP unreachable).
TEST_P(ReaderCheck, PesHeadersWhoseFlagsPromiseMoreThanTheirLength) {
  const int P = GetParam();
  std::mt19937 random(7);
  std::vector<uint8_t> file;
  const int cases[][2] = {{0xC0, 5}, {0xC0, 0}, {0xC0, 9}, {0xC0, 10}, {0xC0, 14},
                          {0x80, 5}, {0x80, 3}, {0x40, 5}, {0x00, 7}};
  for (const auto& c : cases) {
    PacketSpec start;
    start.unitStart = true;
    start.pesFlags = c[0];
    start.headerData = c[1];
    AddPacket(&file, P, start, &random);
    AddPacket(&file, P, PacketSpec{}, &random);
  }
  EXPECT_GT(CompareAtEveryPosition(file, P), file.size() / 2);

  // Each unit-start packet's payload begins 4 + 9 + D bytes after its sync byte.
  indexer::MemorySource source(file);
  const uint64_t sync = P == 192 ? 4 : 0;
  for (size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
    const uint64_t packet = 2 * k * uint64_t(P) + sync;
    const uint64_t payload = packet + 4 + 9 + uint64_t(cases[k][1]);
    EXPECT_TRUE(indexer::ReaderReachesPosition(&source, P, kVideoPid, payload)) << k;
    EXPECT_FALSE(indexer::ReaderReachesPosition(&source, P, kVideoPid, payload - 1)) << k;
  }
}

// Streams of every kind of packet the reader meets: other PIDs, the error bit, each adaptation
// control, adaptation lengths up to 255, PES headers that do not fit, stray 0x47 bytes.
TEST_P(ReaderCheck, AgreesWithTheReaderOnMixedStreams) {
  const int P = GetParam();
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> file;
    for (int n = 0; n < 40; ++n) {
      PacketSpec s;
      const unsigned pick = random() % 100;
      s.pid = pick < 80 ? kVideoPid : kOtherPid;
      s.error = random() % 20 == 0;
      const unsigned control = random() % 100;
      s.control = control < 50 ? 1 : control < 85 ? 3 : control < 93 ? 2 : 0;
      const unsigned length = random() % 10;
      s.adaptationLength = length < 7   ? int(random() % 20)
                           : length < 9 ? 160 + int(random() % 24)
                                        : 184 + int(random() % 72);
      s.unitStart = random() % 5 < 2;
      const int flags[] = {0x00, 0x80, 0xC0, 0x40};
      s.pesFlags = flags[random() % 4];
      const unsigned d = random() % 10;
      s.headerData = d < 6   ? int(random() % 16)
                     : d < 9 ? int(random() % 40)
                             : 160 + int(random() % 96);
      s.extra = random() % 4 == 0 ? 0x47 : 0x00;
      AddPacket(&file, P, s, &random);
    }
    EXPECT_GT(CompareAtEveryPosition(file, P), 0u) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, ReaderCheck, ::testing::Values(188, 192));

}  // namespace
