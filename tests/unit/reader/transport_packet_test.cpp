// The one set of transport packet rules, against ffmpeg's own demultiplexer: the elementary
// stream that the packet search gathers from a real stream is the stream ffmpeg copies out of it,
// however the bytes arrive in the buffer.
#include "reader/transport_packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "decoder_test_support.h"
#include "tests/support/command_output.h"

namespace {

using dectest::Bytes;

// The elementary stream of the first video stream, as ffmpeg copies it out, and its PID.
Bytes FfmpegVideo(const std::string& path, int* pid) {
  *pid = std::stoi(test_support::CommandOutput(
                       "ffprobe -v error -select_streams v:0 -show_entries stream=id -of "
                       "default=nw=1:nk=1 '" +
                       path + "'"),
                   nullptr, 0);
  const std::string out = test_support::CommandOutput("ffmpeg -v error -i '" + path +
                                                      "' -map 0:v:0 -c copy -f mpeg2video -");
  return Bytes(out.begin(), out.end());
}

// Gathers the stream bytes of `pid` with the packet search, handing it the file in pieces of
// random size (at most `piece` bytes), as a reader with a refilled buffer would; each refill
// keeps the bytes the search asked to see again.
Bytes Gather(const Bytes& file, size_t packetSize, int pid, size_t piece, unsigned seed) {
  std::mt19937 random(seed);
  Bytes buffer, out;
  size_t fed = 0, from = 0;
  for (;;) {
    const bool ends = fed == file.size();
    const ts::Search found =
        ts::FindStreamPacket(buffer.data(), buffer.size(), from, packetSize, pid, ends);
    if (found.result == ts::Search::kFound) {
      const size_t at = found.sync;
      out.insert(out.end(), buffer.begin() + long(at + found.packet.stream),
                 buffer.begin() + long(at + found.packet.end));
      from = at + packetSize;
      continue;
    }
    if (found.result == ts::Search::kEnd) return out;
    EXPECT_FALSE(ends);
    if (ends) return out;
    const size_t keep =
        found.resume > packetSize ? std::min(found.resume - packetSize, buffer.size()) : 0;
    buffer.erase(buffer.begin(), buffer.begin() + long(keep));
    from = found.resume - keep;
    const size_t take = std::min(file.size() - fed, 1 + size_t(random() % piece));
    buffer.insert(buffer.end(), file.begin() + long(fed), file.begin() + long(fed + take));
    fed += take;
  }
}

struct Source {
  const char* media;
  size_t packetSize;
  size_t cutAt;  // bytes dropped from the front: a recording that starts inside a packet
};

class SameStreamAsFfmpeg : public ::testing::TestWithParam<Source> {};

TEST_P(SameStreamAsFfmpeg, InEveryPiecing) {
  const Source& source = GetParam();
  dectest::TempDir dir;
  const Bytes whole = dectest::ReadFile(dectest::MediaPath(source.media));
  ASSERT_GT(whole.size(), source.cutAt);
  const Bytes file(whole.begin() + long(source.cutAt), whole.end());
  const std::string path = dir.Path("input.ts");
  dectest::WriteFile(path, file);
  int pid = -1;
  const Bytes expected = FfmpegVideo(path, &pid);
  ASSERT_GT(expected.size(), 100000u);
  // ffmpeg drops a PES packet's bytes until it has seen the packet's start; the reader hands
  // them on and the unit cutter passes over them up to the first start code. So the streams agree
  // from ffmpeg's first byte on, and nothing before it holds a sequence header to decode from.
  const auto agrees = [&](const Bytes& got) -> ::testing::AssertionResult {
    if (got.size() < expected.size() ||
        !std::equal(expected.begin(), expected.end(), got.end() - long(expected.size()))) {
      return ::testing::AssertionFailure() << "not ffmpeg's stream: " << got.size() << " bytes";
    }
    const Bytes head(got.begin(), got.end() - long(expected.size()));
    const Bytes sequence = {0, 0, 1, 0xB3};
    if (std::search(head.begin(), head.end(), sequence.begin(), sequence.end()) != head.end()) {
      return ::testing::AssertionFailure() << "a sequence header before ffmpeg's stream";
    }
    return ::testing::AssertionSuccess();
  };
  EXPECT_TRUE(agrees(Gather(file, source.packetSize, pid, file.size(), 1))) << "in one piece";
  for (size_t piece : {size_t(1), size_t(200), size_t(5000), size_t(300000)}) {
    EXPECT_TRUE(agrees(Gather(file, source.packetSize, pid, piece, unsigned(piece))))
        << "pieces of up to " << piece << " bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(
    RealStreams, SameStreamAsFfmpeg,
    ::testing::Values(Source{"ts576i.ts", 188, 0}, Source{"ts576i.ts", 188, 1000},
                      Source{"m2ts576i.m2ts", 192, 0}, Source{"m2ts576i.m2ts", 192, 3001},
                      Source{"two_programs.ts", 188, 0}, Source{"ts422i_1080.ts", 188, 77}));

// The header rules on crafted packets: where the payload and the elementary stream begin.
TEST(TransportPacket, HeaderRules) {
  struct Case {
    const char* what;
    Bytes head;     // the packet's first bytes; the rest is 0xAA
    size_t length;  // bytes present
    int pid;
    size_t payload, stream, end;
  };
  const Case cases[] = {
      {"payload only", {0x47, 0x01, 0x00, 0x10}, 188, 0x100, 4, 4, 188},
      {"adaptation field then payload", {0x47, 0x01, 0x00, 0x30, 7}, 188, 0x100, 12, 12, 188},
      {"adaptation field fills the packet",
       {0x47, 0x01, 0x00, 0x30, 183},
       188,
       0x100,
       188,
       188,
       188},
      {"adaptation field claims too much",
       {0x47, 0x01, 0x00, 0x30, 200},
       188,
       0x100,
       188,
       188,
       188},
      {"adaptation field only (control 2)", {0x47, 0x01, 0x00, 0x20, 7}, 188, 0x100, 188, 188, 188},
      {"reserved control 0", {0x47, 0x01, 0x00, 0x00}, 188, 0x100, 188, 188, 188},
      {"PES header with 5 optional bytes",
       {0x47, 0x41, 0x00, 0x10, 0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5},
       188,
       0x100,
       4,
       18,
       188},
      {"PES flags promise more than D holds",
       {0x47, 0x41, 0x00, 0x10, 0, 0, 1, 0xE0, 0, 0, 0x80, 0xC0, 2},
       188,
       0x100,
       4,
       15,
       188},
      {"PES header does not fit", {0x47, 0x41, 0x00, 0x30, 176}, 188, 0x100, 181, 188, 188},
      {"PES optional bytes run past the end",
       {0x47, 0x41, 0x00, 0x30, 170, 0},
       188,
       0x100,
       175,
       188,
       188},
      {"cut short by the end of the data", {0x47, 0x01, 0x00, 0x10}, 100, 0x100, 4, 4, 100},
      {"header cut short", {0x47, 0x01, 0x00}, 3, -1, 3, 3, 3},
  };
  for (const Case& c : cases) {
    Bytes packet(188, 0xAA);
    std::copy(c.head.begin(), c.head.end(), packet.begin());
    if (c.length == 188 && c.head.size() > 5 && c.head[3] == 0x30 && c.head[4] >= 170) {
      // The PES header's length byte right behind the adaptation field.
      packet[5 + c.head[4] + 8 < 188 ? 5 + c.head[4] + 8 : 187] = 0x20;
    }
    const ts::Packet parsed = ts::ParsePacket(packet.data(), c.length);
    EXPECT_EQ(parsed.pid, c.pid) << c.what;
    EXPECT_EQ(parsed.payload, c.payload) << c.what;
    EXPECT_EQ(parsed.stream, c.stream) << c.what;
    EXPECT_EQ(parsed.end, c.end) << c.what;
  }
}

}  // namespace
