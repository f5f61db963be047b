// IndexVideo on real clips made by ffmpeg: picture types against ffprobe, GOP positions against the
// bytes of the file, sequence parameters, PID choice, and the refusals.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "tests/unit/tools/indexer/indexer_test_support.h"
#include "tools/indexer/indexer.h"

namespace {

using indexer::Carriage;
using indexer::StreamLayout;
using indexer::VideoIndex;
using namespace indexer_test;

struct Expected {
  const char* name;
  Carriage carriage;
  int packetSize;
  int pid;
  int width, height, fpsNumerator, fpsDenominator, fieldOrder;
  bool progressive;
};

const Expected kClips[] = {
    {"es576i_open.m2v", Carriage::kElementary, 0, 0, 720, 576, 25, 1, 0, false},
    {"ts576i.ts", Carriage::kTransport, 188, 0x1E1, 720, 576, 25, 1, 0, false},
    {"m2ts576i.m2ts", Carriage::kTransport, 192, 0x1011, 720, 576, 25, 1, 0, false},
    {"es1080p_closed.m2v", Carriage::kElementary, 0, 0, 1920, 1080, 25, 1, 0, true},
    {"es480i_bff.m2v", Carriage::kElementary, 0, 0, 720, 480, 30000, 1001, 1, false},
};

class ClipTest : public ::testing::TestWithParam<Expected> {};

TEST_P(ClipTest, MatchesFfprobeAndTheFileBytes) {
  const Expected& want = GetParam();
  const std::string path = Media(want.name);
  VideoIndex index;
  StreamLayout layout;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_EQ(Index(path, &index, &layout, &error, &warnings), indexer::kIndexOk) << error;
  EXPECT_TRUE(warnings.empty()) << warnings.front();

  EXPECT_EQ(layout.carriage, want.carriage);
  EXPECT_EQ(layout.packetSize, want.packetSize);
  EXPECT_EQ(layout.pid, want.pid);
  EXPECT_EQ(index.sequence.width, want.width);
  EXPECT_EQ(index.sequence.height, want.height);
  EXPECT_EQ(index.sequence.fpsNumerator, want.fpsNumerator);
  EXPECT_EQ(index.sequence.fpsDenominator, want.fpsDenominator);
  EXPECT_EQ(index.fieldOrder, want.fieldOrder);
  EXPECT_EQ(index.sequence.progressiveSequence, want.progressive);

  // The stream starts with a closed GOP, so ffmpeg shows every coded picture: same count, same
  // types in display order.
  const std::string coded = CodedTypes(index);
  EXPECT_EQ(index.pictureCount, coded.size());
  EXPECT_EQ(DisplayOrder(coded), FfprobeTypes(path));

  // Every GOP opens with an I picture at a sequence header that the plugin's reader finds exactly
  // at the GOP's position.
  const std::vector<uint8_t> file = ReadFile(path);
  const std::vector<uint8_t> header = {0x00, 0x00, 0x01, 0xB3};
  ASSERT_FALSE(index.gops.empty());
  for (const indexer::GopRecord& gop : index.gops) {
    ASSERT_FALSE(gop.types.empty());
    EXPECT_EQ(gop.types[0], 'I');
    ASSERT_LT(gop.position + 4, file.size());
    std::vector<uint8_t> at;
    if (want.carriage == Carriage::kElementary) {
      at.assign(file.begin() + gop.position, file.begin() + gop.position + 4);
    } else {
      at = TsBytesAt(file, want.packetSize, want.pid, gop.position, 4);
    }
    EXPECT_EQ(at, header) << "GOP at " << gop.position;
  }
  // Sequence headers in an ES: one GOP per header.
  if (want.carriage == Carriage::kElementary) {
    size_t headers = 0;
    for (auto it = file.begin();
         (it = std::search(it, file.end(), header.begin(), header.end())) != file.end(); ++it) {
      ++headers;
    }
    EXPECT_EQ(index.gops.size(), headers);
  }
}

INSTANTIATE_TEST_SUITE_P(Media, ClipTest, ::testing::ValuesIn(kClips),
                         [](const ::testing::TestParamInfo<Expected>& info) {
                           std::string name = info.param.name;
                           std::replace_if(
                               name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
                           return name;
                         });

TEST(IndexVideo, TransportStreamsIndexLikeTheirElementaryStream) {
  VideoIndex es, ts, m2ts;
  StreamLayout layout;
  std::string error;
  ASSERT_EQ(Index(Media("es576i_open.m2v"), &es, &layout, &error), indexer::kIndexOk) << error;
  ASSERT_EQ(Index(Media("ts576i.ts"), &ts, &layout, &error), indexer::kIndexOk) << error;
  ASSERT_EQ(Index(Media("m2ts576i.m2ts"), &m2ts, &layout, &error), indexer::kIndexOk) << error;
  ASSERT_EQ(es.gops.size(), ts.gops.size());
  ASSERT_EQ(es.gops.size(), m2ts.gops.size());
  for (size_t i = 0; i < es.gops.size(); ++i) {
    EXPECT_EQ(es.gops[i].types, ts.gops[i].types) << "GOP " << i;
    EXPECT_EQ(es.gops[i].types, m2ts.gops[i].types) << "GOP " << i;
  }
}

// Matroska: the frames of the first V_MPEG2 track; a GOP's position is the start time of the
// frame with the sequence header, which ffprobe reports as the key packet's time.
TEST(IndexVideo, MatroskaGopsAtTheTimesOfTheirKeyFrames) {
  VideoIndex es;
  StreamLayout layout;
  std::string error;
  ASSERT_EQ(Index(Media("es576i_open.m2v"), &es, &layout, &error), indexer::kIndexOk) << error;
  for (const char* name : {"mkv576i.mkv", "ffmpeg576i.mkv", "mkv576i_ts.mkv", "mkv576i_nocues.mkv",
                           "mkv_audio_first.mkv"}) {
    SCOPED_TRACE(name);
    VideoIndex index;
    ASSERT_EQ(Index(Media(name), &index, &layout, &error), indexer::kIndexOk) << error;
    EXPECT_EQ(layout.carriage, Carriage::kMatroska);
    EXPECT_EQ(layout.track, std::string(name) == "mkv_audio_first.mkv" ? 1 : 0);
    EXPECT_EQ(CodedTypes(index), CodedTypes(es));
    EXPECT_EQ(index.sequence.width, 720);
    EXPECT_EQ(index.fieldOrder, 0);
    ASSERT_EQ(index.gops.size(), es.gops.size());

    std::string keys = Shell(
        "ffprobe -v error -select_streams v -show_packets -show_entries "
        "packet=pts_time,flags -of csv=p=0 '" +
        Media(name) + "' | grep K");
    std::vector<double> times;
    for (size_t at = 0; at < keys.size(); at = keys.find('\n', at) + 1)
      times.push_back(atof(&keys[at]));
    ASSERT_EQ(times.size(), index.gops.size());
    for (size_t i = 0; i < times.size(); ++i) {
      double want = (times[i] - times[0]) * 1e9;
      double got = static_cast<double>(index.gops[i].position - index.gops[0].position);
      EXPECT_NEAR(got, want, 1e6) << "GOP " << i;
    }
  }
}

TEST(IndexVideo, StreamCutAtAnOpenGopKeepsEveryCodedPicture) {
  VideoIndex whole, cut;
  StreamLayout layout;
  std::string error;
  ASSERT_EQ(Index(Media("es576i_open.m2v"), &whole, &layout, &error), indexer::kIndexOk) << error;
  ASSERT_EQ(Index(Media("cut_open.m2v"), &cut, &layout, &error), indexer::kIndexOk) << error;
  // The cut file is the original from its second sequence header on.
  ASSERT_EQ(cut.gops.size() + 1, whole.gops.size());
  const uint64_t shift = whole.gops[1].position;
  for (size_t i = 0; i < cut.gops.size(); ++i) {
    EXPECT_EQ(cut.gops[i].position + shift, whole.gops[i + 1].position);
    EXPECT_EQ(cut.gops[i].types, whole.gops[i + 1].types);
  }
  // Its first GOP is open: I then B pictures that need the missing GOP. ffmpeg drops those
  // leading pictures; the index keeps them.
  const std::string coded = CodedTypes(cut);
  size_t leading = coded.find_first_not_of('B', 1) - 1;
  ASSERT_GT(leading, 0u);
  EXPECT_EQ(DisplayOrder(coded).substr(leading), FfprobeTypes(Media("cut_open.m2v")));
}

TEST(IndexVideo, PidOptionChoosesTheStream) {
  VideoIndex index;
  StreamLayout layout;
  std::string error;
  EXPECT_EQ(Index(Media("ts576i.ts"), &index, &layout, &error, nullptr, 0x1E1), indexer::kIndexOk)
      << error;
  EXPECT_EQ(layout.pid, 0x1E1);
  EXPECT_EQ(index.pictureCount, 150u);

  // The audio PID carries no MPEG-2 video; a PID with no packets at all says so.
  EXPECT_EQ(Index(Media("ts576i.ts"), &index, &layout, &error, nullptr, 0x1E2),
            indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("no MPEG-2 video"), std::string::npos) << error;
  EXPECT_EQ(Index(Media("ts576i.ts"), &index, &layout, &error, nullptr, 0x777),
            indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("no packets on PID 1911"), std::string::npos) << error;
  EXPECT_EQ(Index(Media("ts576i.ts"), &index, &layout, &error, nullptr, 9000),
            indexer::kIndexBadOptions);

  // An elementary stream ignores a PID, with a warning.
  std::vector<std::string> warnings;
  EXPECT_EQ(Index(Media("es576i_open.m2v"), &index, &layout, &error, &warnings, 0x1E1),
            indexer::kIndexOk);
  EXPECT_EQ(warnings.size(), 1u);
}

TEST(IndexVideo, RefusesWhatIsNotMpeg2VideoWithItsReason) {
  TempDir dir;
  VideoIndex index;
  StreamLayout layout;
  std::string error;

  EXPECT_EQ(Index(Media("audio.wav"), &index, &layout, &error), indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("audio.wav"), std::string::npos) << error;

  ASSERT_TRUE(Ffmpeg("-i " + Media("audio.wav") + " -t 1 -c:a mp2 -f mpegts " + dir.File("a.ts")));
  EXPECT_EQ(Index(dir.File("a.ts"), &index, &layout, &error), indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("no MPEG-2 video stream (found MPEG audio"), std::string::npos) << error;

  if (Ffmpeg("-f lavfi -i testsrc=size=176x144:rate=25 -frames:v 10 -c:v libx264 -f mpegts " +
             dir.File("h264.ts"))) {
    EXPECT_EQ(Index(dir.File("h264.ts"), &index, &layout, &error), indexer::kIndexNotMpeg2);
    EXPECT_NE(error.find("H.264 video"), std::string::npos) << error;
  }

  ASSERT_TRUE(
      Ffmpeg("-f lavfi -i testsrc=size=176x144:rate=25 -frames:v 10 -c:v mpeg1video -f "
             "mpeg1video " +
             dir.File("m1.m1v")));
  EXPECT_EQ(Index(dir.File("m1.m1v"), &index, &layout, &error), indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("MPEG-1"), std::string::npos) << error;

  // A VCD-like MPEG-1 system stream with MPEG-1 video.
  ASSERT_TRUE(Ffmpeg("-i " + dir.File("m1.m1v") + " -c copy -f mpeg " + dir.File("ps.mpg")));
  EXPECT_EQ(Index(dir.File("ps.mpg"), &index, &layout, &error), indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("MPEG-1 video"), std::string::npos) << error;
  EXPECT_NE(error.find("only MPEG-2"), std::string::npos) << error;

  EXPECT_EQ(Index(Media("mkv_no_mpeg2.mkv"), &index, &layout, &error), indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("no MPEG-2 video track"), std::string::npos) << error;
  std::vector<uint8_t> mkv = ReadFile(Media("mkv576i.mkv"));
  mkv.resize(60);  // the EBML header and the start of the segment only
  WriteFile(dir.File("short.mkv"), mkv);
  EXPECT_EQ(Index(dir.File("short.mkv"), &index, &layout, &error), indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("short.mkv"), std::string::npos) << error;

  WriteText(dir.File("empty.m2v"), "");
  EXPECT_EQ(Index(dir.File("empty.m2v"), &index, &layout, &error), indexer::kIndexNotMpeg2);
  EXPECT_NE(error.find("empty"), std::string::npos) << error;

  EXPECT_EQ(Index(dir.File("missing.m2v"), &index, &layout, &error), indexer::kIndexCannotRead);
  EXPECT_NE(error.find("missing.m2v"), std::string::npos) << error;
  EXPECT_EQ(Index(dir.path(), &index, &layout, &error), indexer::kIndexCannotRead);
}

// What is not a regular file is refused without being opened for reading or waited on (a FIFO
// with no writer would block an open for ever), and called what it is.
struct NotRegular {
  const char* kind;
  const char* reason;
};

class IndexVideoInput : public ::testing::TestWithParam<NotRegular> {};

TEST_P(IndexVideoInput, IsRefusedAtOnceAndCalledWhatItIs) {
  TempDir dir;
  const std::string kind = GetParam().kind;
  std::string path = dir.File("input.m2v");
  if (kind == "fifo") {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  } else if (kind == "socket") {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
  } else if (kind == "device") {
    path = "/dev/zero";
  } else {
    path = dir.path();
  }
  VideoIndex index;
  StreamLayout layout;
  std::string error;
  EXPECT_EQ(Index(path, &index, &layout, &error), indexer::kIndexCannotRead);
  EXPECT_EQ(error, "cannot read \"" + path + "\": " + GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(Kinds, IndexVideoInput,
                         ::testing::Values(NotRegular{"fifo", "a FIFO, not a regular file"},
                                           NotRegular{"socket", "a socket, not a regular file"},
                                           NotRegular{"device", "a device, not a regular file"},
                                           NotRegular{"folder", "a folder, not a regular file"}),
                         [](const ::testing::TestParamInfo<NotRegular>& info) {
                           return std::string(info.param.kind);
                         });

// 188-byte packets padded to 204 bytes, as DVB streams with Reed-Solomon bytes are.
TEST(IndexVideo, RefusesOtherPacketSizes) {
  TempDir dir;
  std::vector<uint8_t> ts = ReadFile(Media("ts576i.ts"));
  std::vector<uint8_t> padded;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    padded.insert(padded.end(), ts.begin() + at, ts.begin() + at + 188);
    padded.insert(padded.end(), 16, 0xFF);
  }
  WriteFile(dir.File("dvb.ts"), padded);
  VideoIndex index;
  StreamLayout layout;
  std::string error;
  EXPECT_EQ(Index(dir.File("dvb.ts"), &index, &layout, &error), indexer::kIndexUnsupported);
  EXPECT_NE(error.find("204-byte packets"), std::string::npos) << error;
}

TEST(IndexVideo, DamagedTransportStreamRegainsSync) {
  TempDir dir;
  std::vector<uint8_t> ts = ReadFile(Media("ts576i.ts"));
  VideoIndex clean, damaged;
  StreamLayout layout;
  std::string error;
  ASSERT_EQ(Index(Media("ts576i.ts"), &clean, &layout, &error), indexer::kIndexOk) << error;
  // Junk in front of the first packet and 100 stray bytes after the 2000th packet.
  // Laid out in a vector sized once: GCC 12 at -O3 takes range inserts into a small vector for
  // out-of-bounds copies (-Warray-bounds).
  const auto cut = ts.begin() + 2000 * 188;
  std::vector<uint8_t> bytes(37 + ts.size() + 100);
  auto at = std::fill_n(bytes.begin(), 37, uint8_t{0x11});
  at = std::copy(ts.begin(), cut, at);
  at = std::fill_n(at, 100, uint8_t{0x47});
  std::copy(cut, ts.end(), at);
  WriteFile(dir.File("damaged.ts"), bytes);
  std::vector<std::string> warnings;
  ASSERT_EQ(Index(dir.File("damaged.ts"), &damaged, &layout, &error, &warnings), indexer::kIndexOk)
      << error;
  EXPECT_EQ(CodedTypes(damaged), CodedTypes(clean));
  ASSERT_EQ(damaged.gops.size(), clean.gops.size());
  for (size_t i = 0; i < clean.gops.size(); ++i) {
    uint64_t shift = clean.gops[i].position < 2000 * 188 ? 37 : 137;
    EXPECT_EQ(damaged.gops[i].position, clean.gops[i].position + shift);
  }
  // The run of 0x47 bytes is taken for a packet, as ffmpeg's demuxer takes it, and hides the
  // real packet that starts inside it: the indexer names the damage that both decoders see.
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].find("sync"), std::string::npos);
  EXPECT_NE(warnings[1].find("1 break(s) in the continuity counter"), std::string::npos);
}

// PES headers that flag PTS and DTS but say D = 5: the plugin's reader passes over D bytes, and
// the indexer's model of it must too. Following the flags instead, the model found every GOP
// start 5 bytes off, declared the GOPs unreachable and merged them into the first.
TEST(IndexVideo, PesHeadersWithBothTimestampsFlaggedButFiveBytesOfHeaderData) {
  TempDir dir;
  const std::vector<uint8_t> ts = ReadFile(Media("ts576i.ts"));
  VideoIndex clean, shortened;
  StreamLayout layout;
  std::string error;
  ASSERT_EQ(Index(Media("ts576i.ts"), &clean, &layout, &error), indexer::kIndexOk) << error;
  // Each video PES header with D = 10 and both flags loses its DTS: D becomes 5 and the packet's
  // adaptation field grows by 5 bytes of stuffing, so the payload stays where it was.
  std::vector<uint8_t> bytes;
  bytes.reserve(ts.size());
  size_t rewritten = 0;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    const uint8_t* k = &ts[at];
    const int pid = ((k[1] << 8) | k[2]) & 0x1FFF;
    const int control = (k[3] >> 4) & 3;
    const size_t h = control == 3 ? 5 + k[4] : 4;
    const bool shorten = pid == layout.pid && (k[1] & 0x40) && (control == 1 || control == 3) &&
                         h + 19 <= 188 && k[h] == 0 && k[h + 1] == 0 && k[h + 2] == 1 &&
                         (k[h + 7] & 0xC0) == 0xC0 && k[h + 8] == 10;
    if (!shorten) {
      bytes.insert(bytes.end(), k, k + 188);
      continue;
    }
    bytes.insert(bytes.end(), {k[0], k[1], k[2], uint8_t((k[3] & 0xCF) | 0x30)});
    if (control == 3) {
      bytes.push_back(uint8_t(k[4] + 5));
      bytes.insert(bytes.end(), k + 5, k + h);
      if (k[4] == 0) bytes.push_back(0x00);  // a new field needs its flags byte
      bytes.insert(bytes.end(), k[4] == 0 ? 4 : 5, 0xFF);
    } else {
      bytes.insert(bytes.end(), {4, 0x00, 0xFF, 0xFF, 0xFF});
    }
    bytes.insert(bytes.end(), k + h, k + h + 8);
    bytes.push_back(5);
    bytes.insert(bytes.end(), k + h + 9, k + h + 14);  // the PTS
    bytes.insert(bytes.end(), k + h + 19, k + 188);
    ++rewritten;
  }
  ASSERT_EQ(bytes.size(), ts.size());
  ASSERT_GE(rewritten, clean.gops.size());
  WriteFile(dir.File("short-pes.ts"), bytes);
  std::vector<std::string> warnings;
  ASSERT_EQ(Index(dir.File("short-pes.ts"), &shortened, &layout, &error, &warnings),
            indexer::kIndexOk)
      << error;
  EXPECT_TRUE(warnings.empty()) << warnings[0];
  EXPECT_EQ(CodedTypes(shortened), CodedTypes(clean));
  ASSERT_EQ(shortened.gops.size(), clean.gops.size());
  for (size_t i = 0; i < clean.gops.size(); ++i) {
    EXPECT_EQ(TsBytesAt(bytes, 188, layout.pid, shortened.gops[i].position, 4),
              (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB3}))
        << "GOP " << i;
  }
}

}  // namespace
