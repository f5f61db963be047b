// Matroska files as recordings and remuxes leave them: stopped inside a cluster, with several
// MPEG-2 video tracks, with compressed frames. What is complete is indexed with a warning that
// names where the file ends; each MPEG-2 track can be chosen; a compressed track is refused by
// name. Every frame served equals ffmpeg's decode in every request order.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

// mkvmerge's file of `inputs` (with further options first); fails the test when mkvmerge does.
std::string Mkvmerge(const std::string& output, const std::vector<std::string>& inputs) {
  std::vector<std::string> argv = {"mkvmerge", "-q", "-o", output};
  argv.insert(argv.end(), inputs.begin(), inputs.end());
  const CommandResult r = e2e::Run(argv);
  EXPECT_TRUE(r.status == 0 || r.status == 1) << r.out << r.err;  // 1: warnings only
  return output;
}

// Every frame of `project`, in every request order, against ffmpeg's decode of `video`.
void ExpectServedAsFfmpeg(const std::string& project, const std::string& video) {
  const std::vector<std::string> reference = FfmpegMd5(video);
  ASSERT_FALSE(reference.empty()) << video;
  EXPECT_EQ(Info(project)["frames"], std::to_string(reference.size()));
  for (const auto& [order, frames] : RequestOrders(int(reference.size()))) {
    const std::vector<std::pair<int, std::string>> served = HashFrames(project, frames);
    ASSERT_EQ(served.size(), frames.size()) << order;
    int wrong = 0;
    for (const auto& [n, md5] : served) {
      if (md5 != reference[size_t(n)] && ++wrong <= 3) {
        ADD_FAILURE() << order << ": frame " << n << " differs from ffmpeg's";
      }
    }
    EXPECT_EQ(wrong, 0) << order;
  }
}

// Where the recording stopped: a share of the file's size, and, when `clusterOffset` is not
// negative, that many bytes into the first cluster at or after it (at a cluster's first byte, and
// inside its head, the parser meets the end before any frame that is cut). `streamed`: the file
// as ffmpeg writes it to a pipe, as a live recording is written (segment and clusters of unknown
// size), instead of mkvmerge's file.
struct Stop {
  const char* name;
  double share;
  int clusterOffset;
  bool streamed;
};

// ffmpeg's Matroska of the test stream written to a pipe: nothing in it says how long it is.
std::string StreamedMatroska(const std::string& dir) {
  const std::string output = dir + "/streamed.mkv";
  const CommandResult r = e2e::Run(
      {"sh", "-c", "ffmpeg -v error -fflags +genpts -r 25 -i \"$0\" -c copy -f matroska - > \"$1\"",
       MediaPath("es576i_open.m2v"), output});
  EXPECT_EQ(r.status, 0) << r.err;
  return output;
}

class CutMatroska : public ::testing::TestWithParam<Stop> {
 protected:
  Server server_;
};

TEST_P(CutMatroska, CompleteFramesIndexedWithWarningAndServedAsFfmpegDecodesThem) {
  const std::string dir = TempDir();
  const std::string bytes =
      ReadText(GetParam().streamed ? StreamedMatroska(dir) : MediaPath("mkv576i.mkv"));
  ASSERT_GT(bytes.size(), 100000u);
  size_t size = size_t(double(bytes.size()) * GetParam().share);
  if (GetParam().clusterOffset >= 0) {
    const size_t cluster = bytes.find("\x1F\x43\xB6\x75", size);
    ASSERT_NE(cluster, std::string::npos);
    size = cluster + size_t(GetParam().clusterOffset);
  }
  const std::string cut = dir + "/cut.mkv";
  WriteText(cut, bytes.substr(0, size));

  const std::string project = dir + "/cut.vnt";
  const CommandResult r = e2e::Run({Mpgsource(), "index", cut, "-o", project});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("\"" + cut + "\" is cut off at byte " + std::to_string(size)),
            std::string::npos)
      << r.err;
  ExpectServedAsFfmpeg(project, cut);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, CutMatroska,
    ::testing::Values(Stop{"InFirstGops", 0.12, -1, false}, Stop{"InTheMiddle", 0.47, -1, false},
                      Stop{"NearTheEnd", 0.81, -1, false}, Stop{"InTheLastFrame", 0.99, -1, false},
                      Stop{"AtAClusterStart", 0.5, 0, false}, Stop{"InAClusterHead", 0.3, 6, false},
                      Stop{"StreamedInTheMiddle", 0.55, -1, true}),
    [](const ::testing::TestParamInfo<Stop>& info) { return std::string(info.param.name); });

// Two MPEG-2 video tracks (of different sizes and rates) and an audio track: --list shows each
// MPEG-2 track with what indexing it gives, --track chooses one, the project names it and the
// plugin serves it; a track that is not MPEG-2 video is refused by number.
TEST(MatroskaTracks, EachMpeg2TrackListedChosenAndServed) {
  Server server;
  const std::string dir = TempDir();
  const std::string video =
      Mkvmerge(dir + "/two.mkv",
               {MediaPath("es576i_open.m2v"), MediaPath("es480i_bff.m2v"), MediaPath("audio.mp2")});

  const CommandResult list = e2e::Run({Mpgsource(), "index", video, "--list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("track 0: V_MPEG2 (video)  <- indexed by default\n"
                          "    MPEG-2 video in Matroska, track 0: 720x576"),
            std::string::npos)
      << list.out;
  EXPECT_NE(
      list.out.find("track 1: V_MPEG2 (video)\n    MPEG-2 video in Matroska, track 1: 720x480"),
      std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("track 2: A_MPEG/L2 (audio)\n"), std::string::npos) << list.out;

  const std::string project = IndexVideo(video, {"--track", "1"});
  EXPECT_NE(ReadText(project).find("\nTRACK 1\n"), std::string::npos);
  ExpectServedAsFfmpeg(project, MediaPath("es480i_bff.m2v"));

  // A project written before the track could be chosen has no TRACK line: the first MPEG-2 track.
  std::string old = ReadText(IndexVideo(video, {"--track", "0"}));
  const size_t line = old.find("TRACK 0\n");
  ASSERT_NE(line, std::string::npos);
  WriteText(dir + "/old.vnt", old.erase(line, 8));
  EXPECT_EQ(Info(dir + "/old.vnt")["frames"], "150");
  EXPECT_EQ(Info(dir + "/old.vnt")["width"], "720");
  EXPECT_EQ(Info(dir + "/old.vnt")["height"], "576");

  const CommandResult audio =
      e2e::Run({Mpgsource(), "index", video, "--track", "2", "-o", dir + "/audio.vnt"});
  EXPECT_NE(audio.status, 0);
  EXPECT_NE(audio.err.find("track 2 is not an MPEG-2 video track"), std::string::npos) << audio.err;
}

// Frames stored with zlib content compression are refused by the indexer and by the plugin (for a
// project that names such a file), with a message that names the compression and the remux that
// removes it, instead of "no sequence header found".
TEST(MatroskaCompression, ZlibTrackRefusedNamingTheCompression) {
  Server server;
  const std::string dir = TempDir();
  const std::string video =
      Mkvmerge(dir + "/zlib.mkv", {"--compression", "0:zlib", MediaPath("es576i_open.m2v")});
  const std::string expected =
      "track 0 (MPEG-2 video) is stored with zlib content compression, which is not supported; "
      "remux it without: mkvmerge -o OUT.mkv --compression 0:none IN.mkv";

  const CommandResult index = e2e::Run({Mpgsource(), "index", video, "-o", dir + "/zlib.vnt"});
  EXPECT_EQ(index.status, 1);
  EXPECT_NE(index.err.find("\"" + video + "\": " + expected), std::string::npos) << index.err;

  const std::string project = dir + "/hand.vnt";
  WriteText(project, "VantuIndexFileNV1\nhand-written\n" + video +
                         "\n\n\nSTREAM 2\nSIZ 720 x 576\nFPS 25 / 1\nFO 0\nCLIP 0 0 0 0\n"
                         "LUMFILT 0 0\nSEQ 0\nFRM I\n");
  const CommandResult info = e2e::Run({Mpgsource(), "info", project, "--no-server"});
  EXPECT_NE(info.status, 0);
  EXPECT_NE(info.err.find(video + ": " + expected), std::string::npos) << info.err;
}

}  // namespace
}  // namespace e2e
