// Program streams (VOB, MPG) and DVD VOB sets: every frame served equals ffmpeg's decode of the
// same bytes, in every order, however the stream is split into files; the facts equal ffprobe's;
// damage gives exact frames or a clear error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/allowed_skip.h"

namespace e2e {
namespace {

struct Layout {
  const char* name;
  const char* media;
  std::vector<size_t> cuts;  // byte positions where one file ends and the next begins
  size_t dropFront = 0;      // bytes cut off the start (a recording that begins inside a pack)
  bool vobNames = true;      // VTS_01_n.VOB, found from the first; else named with --next
};

bool Exists(const std::string& path) {
  return std::ifstream(path).good();
}

// Writes the media's bytes, less `dropFront`, into files split at `cuts`; returns their paths.
std::vector<std::string> Split(const Layout& layout, const std::string& dir) {
  const std::string bytes = ReadText(MediaPath(layout.media)).substr(layout.dropFront);
  std::vector<std::string> files;
  size_t from = 0;
  std::vector<size_t> ends = layout.cuts;
  ends.push_back(bytes.size());
  for (size_t i = 0; i < ends.size(); ++i) {
    const std::string name = layout.vobNames ? "VTS_01_" + std::to_string(i + 1) + ".VOB"
                                             : "part" + std::to_string(i + 1) + ".mpg";
    files.push_back(dir + "/" + name);
    WriteText(files.back(), bytes.substr(from, ends[i] - from));
    from = ends[i];
  }
  return files;
}

std::string Concat(const std::vector<std::string>& files) {
  std::string text = "concat:";
  for (size_t i = 0; i < files.size(); ++i) text += (i > 0 ? "|" : "") + files[i];
  return text;
}

std::string IndexFiles(const std::vector<std::string>& files, bool vobNames) {
  std::vector<std::string> extra;
  for (size_t i = 1; i < files.size() && !vobNames; ++i) {
    extra.push_back("--next");
    extra.push_back(files[i]);
  }
  return IndexVideo(files[0], extra);
}

class ProgramStream : public ::testing::TestWithParam<Layout> {};

// Our frame n is ffmpeg's frame n - shift: a stream that starts at an open GOP has leading
// pictures that ffmpeg drops and that are served as the first one it shows.
TEST_P(ProgramStream, EveryFrameEqualsFfmpegsDecodeOfTheJoinedFiles) {
  const Layout& layout = GetParam();
  if (!Exists(MediaPath(layout.media))) MPG_ALLOWED_SKIP("mpeg2enc or mplex not installed");
  Server server;
  const std::vector<std::string> files = Split(layout, TempDir());
  const std::vector<std::string> reference = FfmpegMd5(Concat(files));
  ASSERT_FALSE(reference.empty());
  const std::string project = IndexFiles(files, layout.vobNames);
  const int frames = std::stoi(Info(project)["frames"]);
  const int shift = frames - static_cast<int>(reference.size());
  ASSERT_GE(shift, 0);
  for (const auto& [orderName, order] : RequestOrders(frames, 40)) {
    const auto hashes = HashFrames(project, order);
    ASSERT_EQ(hashes.size(), order.size()) << orderName;
    int wrong = 0;
    for (size_t i = 0; i < order.size(); ++i) {
      const int n = std::max(order[i], shift) - shift;
      if (hashes[i].second != reference[size_t(n)] && ++wrong <= 5) {
        ADD_FAILURE() << orderName << ": frame " << order[i] << " differs from ffmpeg's " << n;
      }
    }
    EXPECT_EQ(wrong, 0) << orderName;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ProgramStream,
    ::testing::Values(Layout{"VobWithAc3AndLpcm", "vob576i.vob", {}},
                      Layout{"DvdBottomFieldFirstNtsc", "dvd480i_bff.vob", {}},
                      Layout{"MpegSystemStream", "mpeg576i.mpg", {}},
                      Layout{"OpenGopStart", "cut_open.vob", {}},
                      Layout{"MplexBottomFieldFirstPulldown", "mplex_bff_pulldown.vob", {}},
                      // Cut at byte positions that are no pack boundaries.
                      Layout{"VobSetOfThree", "vob576i.vob", {300001, 777777}},
                      Layout{"DvdSetOfTwo", "dvd480i_bff.vob", {123457}},
                      Layout{"MplexSetOfTwo", "mplex_bff_pulldown.vob", {200003}},
                      Layout{"FilesNamedInTurn", "mpeg576i.mpg", {4099, 500000}, 0, false},
                      Layout{"BeginsInsideAPack", "vob576i.vob", {}, 1000},
                      Layout{"SetBeginsInsideAPack", "dvd480i_bff.vob", {99999}, 2061}),
    [](const auto& info) { return std::string(info.param.name); });

// ffprobe's value of each entry of the first video stream, by name.
std::map<std::string, std::string> Probe(const std::string& file) {
  CommandResult r =
      Run({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
           "stream=width,height,field_order,r_frame_rate,sample_aspect_ratio,display_aspect_ratio,"
           "nb_read_frames",
           "-of", "default=nw=0", file});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::string> values;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

class ProgramStreamFacts : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramStreamFacts, InfoEqualsFfprobe) {
  Server server;
  const std::string video = MediaPath(GetParam());
  auto probe = Probe(video);
  auto info = Info(IndexVideo(video));
  EXPECT_EQ(info["width"], probe["width"]);
  EXPECT_EQ(info["height"], probe["height"]);
  EXPECT_EQ(info["frames"], probe["nb_read_frames"]);
  EXPECT_EQ(info["coded_fps"], probe["r_frame_rate"]);
  EXPECT_EQ(info["sample_aspect_ratio"], probe["sample_aspect_ratio"]);
  EXPECT_EQ(info["display_aspect_ratio"], probe["display_aspect_ratio"]);
  EXPECT_EQ(info["field_order"], probe["field_order"] == "bb" ? "bottom" : "top");
}

INSTANTIATE_TEST_SUITE_P(Media, ProgramStreamFacts,
                         ::testing::Values("vob576i.vob", "dvd480i_bff.vob", "mpeg576i.mpg"));

// A pack cut short in the middle of the stream (bytes lost in a copy): indexing and serving end
// with exact frames or a clear error, never a crash, a hang or a silently wrong frame. Frames
// before the damage are exact.
TEST(ProgramStreamDamage, APackCutShortGivesExactFramesOrAClearError) {
  Server server;
  const std::string whole = ReadText(MediaPath("vob576i.vob"));
  const std::string dir = TempDir();
  for (size_t cut : {size_t{600000}, size_t{2048 * 300 + 1000}}) {
    const std::string damaged = dir + "/damaged" + std::to_string(cut) + ".vob";
    WriteText(damaged, whole.substr(0, cut) + whole.substr(cut + 1500));
    CommandResult r =
        e2e::Run({BuildDir() + "/mpgsource", "index", damaged, "-o", damaged + ".vnt"});
    if (r.status != 0) {
      EXPECT_NE(r.err.find(damaged), std::string::npos) << r.err;
      continue;
    }
    const std::vector<std::string> reference = FfmpegMd5(damaged);
    r = e2e::Run({BuildDir() + "/mpgsource", "hash", damaged + ".vnt", "--no-server"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    int n = 0, exact = 0;
    std::string md5;
    while (lines >> n >> md5 && n < static_cast<int>(reference.size()) && md5 == reference[n]) {
      ++exact;
    }
    // The damage lies past the first 5 GOPs of 12 pictures.
    EXPECT_GE(exact, 60) << damaged;
  }
}

// The project covers every file of a set: one changed or missing since indexing is refused with
// a message that names it, never read in part.
TEST(ProgramStreamSet, AChangedOrMissingFileIsRefusedByName) {
  Server server;
  const std::vector<std::string> files =
      Split(Layout{"", "vob576i.vob", {400000, 800000}}, TempDir());
  const std::string project = IndexFiles(files, true);
  const std::string second = ReadText(files[1]);
  std::string changed = second;
  changed[1000] = static_cast<char>(changed[1000] ^ 0x55);
  WriteText(files[1], changed);
  CommandResult r = e2e::Run({BuildDir() + "/mpgsource", "info", project, "--no-server"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("not the one the VNT file was made from"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("VTS_01_2.VOB"), std::string::npos) << r.err;
  WriteText(files[1], second);
  std::remove(files[2].c_str());
  r = e2e::Run({BuildDir() + "/mpgsource", "info", project, "--no-server"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("VTS_01_3.VOB"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace e2e
