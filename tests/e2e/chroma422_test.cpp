// 4:2:2 video (the 422P profile) served exactly: as YUY2 by default, equal to ffmpeg's decode in
// packed 4:2:2, and as 4:2:0 on request, equal to ffmpeg's field-aware conversion
// (scale=interl=-1 -pix_fmt yuv420p), whatever the order of requests; deinterlaced too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

// The deinterlacer of the decoding server: bwdif, one picture per field, in time order.
constexpr const char* kBwdif = "bwdif=mode=send_field:parity=auto:deint=all";
// ffmpeg's field-aware 4:2:2 to 4:2:0 conversion: each field's chroma from that field alone.
constexpr const char* kFieldAware = "scale=interl=-1";

// Media made by scripts/make-media.sh: 4:2:2 interlaced (fields of different colour) and
// progressive, in an elementary stream, a transport stream and Matroska.
const char* const kMedia[] = {"es422i.m2v", "ts422i_1080.ts", "es422p.m2v", "mkv422i.mkv"};

struct Output {
  const char* name;
  std::vector<std::string> clip;  // the clip options of mpgsource
  const char* pixelType;          // what info reports
  const char* pixFmt;             // the ffmpeg pixel format whose framemd5 hash prints
  std::string filter;             // ffmpeg's filter chain before that format
};

// Output picture n of `clip` in every request order equals reference[max(n, lowest) - shift].
void ExpectEveryOrderMatches(const std::string& project, const std::vector<std::string>& clip,
                             const std::vector<std::string>& reference, int frames, int shift,
                             int lowest, int shuffledCount = -1) {
  for (const auto& [orderName, order] : RequestOrders(frames, shuffledCount)) {
    const auto hashes = HashFrames(project, order, clip);
    ASSERT_EQ(hashes.size(), order.size()) << orderName;
    int wrong = 0;
    for (size_t i = 0; i < order.size(); ++i) {
      const int n = std::max(order[i], lowest) - shift;
      ASSERT_GE(n, 0);
      ASSERT_LT(n, static_cast<int>(reference.size())) << orderName;
      if (hashes[i].second != reference[n] && ++wrong <= 5) {
        ADD_FAILURE() << orderName << ": request " << i << " for frame " << order[i]
                      << " differs from ffmpeg's frame " << n;
      }
    }
    EXPECT_EQ(wrong, 0) << orderName << ": wrong frames";
  }
}

struct Case {
  const char* media;
  Output output;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.media << " as " << c.output.name;
}

std::vector<Case> AllCases() {
  const Output outputs[] = {
      {"Yuy2", {}, "YUY2", "yuyv422", ""},
      {"Yv12", {"--yv12"}, "YV12", "yuv420p", kFieldAware},
      {"I420", {"--yv12", "--i420"}, "I420", "yuv420p", kFieldAware},
  };
  std::vector<Case> cases;
  for (const char* media : kMedia) {
    for (const Output& output : outputs) cases.push_back({media, output});
  }
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name = info.param.media;
  name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }),
             name.end());
  return name + info.param.output.name;
}

// Law: every frame equals ffmpeg's decode in the chosen output format, in every request order.
class Chroma422Frames : public ::testing::TestWithParam<Case> {};

TEST_P(Chroma422Frames, EqualFfmpegInEveryOrder) {
  Server server;
  const Case& c = GetParam();
  const std::string video = MediaPath(c.media);
  const std::vector<std::string> reference = FfmpegMd5(video, c.output.filter, c.output.pixFmt);
  const std::string project = IndexVideo(video);
  auto info = Info(project, c.output.clip);
  EXPECT_EQ(info["pixel_type"], c.output.pixelType);
  EXPECT_EQ(info["chroma"], "4:2:2");
  const int frames = std::stoi(info["frames"]);
  ASSERT_GE(frames, static_cast<int>(reference.size()));
  const int shift = frames - static_cast<int>(reference.size());
  ExpectEveryOrderMatches(project, c.output.clip, reference, frames, shift, shift);
}

INSTANTIATE_TEST_SUITE_P(Media, Chroma422Frames, ::testing::ValuesIn(AllCases()), CaseName);

// The interlaced media must tell a field-aware conversion from one that mixes the fields (or takes
// the even chroma rows only): else the law above would prove nothing for YV12.
TEST(Chroma422Media, FieldsOfTheInterlacedMediaHaveTheirOwnColour) {
  for (const char* media : {"es422i.m2v", "ts422i_1080.ts"}) {
    const std::string video = MediaPath(media);
    const auto fieldAware = FfmpegMd5(video, kFieldAware);
    const auto progressive = FfmpegMd5(video, "scale=interl=0");
    ASSERT_EQ(fieldAware.size(), progressive.size());
    int same = 0;
    for (size_t i = 0; i < fieldAware.size(); ++i) same += fieldAware[i] == progressive[i];
    EXPECT_EQ(same, 0) << media;
  }
}

// Law: deinterlaced 4:2:2 equals ffmpeg's bwdif, in 4:2:2 (YUY2) and converted to 4:2:0 after
// it, at double rate (both pictures) and single rate (the chosen field's picture).
struct DeinterlaceCase {
  const char* name;
  Output output;
  int mode;
  bool bottom;
};

void PrintTo(const DeinterlaceCase& c, std::ostream* os) {
  *os << c.name;
}

class Chroma422Deinterlaced : public ::testing::TestWithParam<DeinterlaceCase> {};

TEST_P(Chroma422Deinterlaced, EqualsBwdif) {
  Server server;
  const DeinterlaceCase& c = GetParam();
  const std::string video = MediaPath("es422i.m2v");
  std::string filter = kBwdif;
  if (!c.output.filter.empty()) filter += "," + c.output.filter;
  const std::vector<std::string> both = FfmpegMd5(video, filter, c.output.pixFmt);
  // Top field first: the top field's picture is the first of each pair.
  std::vector<std::string> reference;
  if (c.mode == 2) {
    reference = both;
  } else {
    for (size_t i = c.bottom ? 1 : 0; i < both.size(); i += 2) reference.push_back(both[i]);
  }
  std::vector<std::string> clip = c.output.clip;
  clip.insert(clip.end(), {"--deinterlace", std::to_string(c.mode)});
  if (c.bottom) clip.push_back("--bottom-field");
  const std::string project = IndexVideo(video);
  auto info = Info(project, clip);
  EXPECT_EQ(info["pixel_type"], c.output.pixelType);
  const int frames = std::stoi(info["frames"]);
  ASSERT_EQ(frames, static_cast<int>(reference.size()));
  // The first picture served with deinterlacing is picture 1 (as for 4:2:0).
  ExpectEveryOrderMatches(project, clip, reference, frames, 0, 1, 40);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Chroma422Deinterlaced,
    ::testing::Values(
        DeinterlaceCase{"Yuy2DoubleRate", {"Yuy2", {}, "YUY2", "yuyv422", ""}, 2, false},
        DeinterlaceCase{"Yuy2BottomField", {"Yuy2", {}, "YUY2", "yuyv422", ""}, 1, true},
        DeinterlaceCase{
            "Yv12DoubleRate", {"Yv12", {"--yv12"}, "YV12", "yuv420p", kFieldAware}, 2, false},
        DeinterlaceCase{
            "Yv12TopField", {"Yv12", {"--yv12"}, "YV12", "yuv420p", kFieldAware}, 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Law: the project's crop and luma table apply to YUY2 frames as to planar ones: equal to ffmpeg's
// crop and lut in packed 4:2:2.
TEST(Chroma422Options, CropAndLumaTableGiveTheExpectedFrames) {
  Server server;
  const std::string video = MediaPath("es422i.m2v");
  // Crop left 8, right 16, top 4, bottom 2; luma offset +10 (gamma 0).
  const std::string project = IndexVideo(video, {"--crop", "8,16,4,2", "--lumfilt", "0,10"});
  auto info = Info(project);
  EXPECT_EQ(info["width"], "696");
  EXPECT_EQ(info["height"], "570");
  EXPECT_EQ(info["pixel_type"], "YUY2");
  const std::vector<std::string> reference =
      FfmpegMd5(video, "crop=696:570:8:4,lutyuv=y=clip(val+10\\,0\\,255):u=val:v=val", "yuyv422");
  const std::vector<int> frames = {0, 1, 2, 40, 39, 13, 59};
  const auto hashes = HashFrames(project, frames);
  ASSERT_EQ(hashes.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(hashes[i].second, reference[frames[i]]) << "frame " << frames[i];
  }
}

// Law: the command-line host names what it serves. info names the video's chroma format and the
// pixel type; pipe writes a YUV4MPEG2 colour space that ffmpeg reads back to its own decode.
TEST(Chroma422Naming, PipeWritesFramesFfmpegReadsAsItsOwnDecode) {
  Server server;
  const std::string video = MediaPath("es422i.m2v");
  const std::string project = IndexVideo(video);
  const std::string stream = TempDir() + "/out.y4m";
  for (const auto& [clip, pixFmt, filter, tag] :
       {std::make_tuple(std::vector<std::string>{}, "yuv422p", "", "C422"),
        std::make_tuple(std::vector<std::string>{"--yv12"}, "yuv420p", kFieldAware, "C420mpeg2")}) {
    std::vector<std::string> argv = {Mpgsource(), "pipe", project, "-o", stream, "--force"};
    argv.insert(argv.end(), clip.begin(), clip.end());
    const CommandResult piped = e2e::Run(argv);
    ASSERT_EQ(piped.status, 0) << piped.err;
    const std::string header = ReadText(stream).substr(0, 80);
    EXPECT_NE(header.find(std::string(" ") + tag + "\n"), std::string::npos) << header;
    EXPECT_EQ(FfmpegMd5(stream, "", pixFmt), FfmpegMd5(video, filter, pixFmt)) << tag;
  }
}

TEST(Chroma422Naming, InfoAndHashHelpNameTheFormats) {
  Server server;
  auto plain = Info(IndexVideo(MediaPath("es576i_open.m2v")));
  EXPECT_EQ(plain["chroma"], "4:2:0");
  EXPECT_EQ(plain["pixel_type"], "YV12");
  auto yv12 = Info(IndexVideo(MediaPath("es422p.m2v")), {"--yv12"});
  EXPECT_EQ(yv12["chroma"], "4:2:2");
  EXPECT_EQ(yv12["pixel_type"], "YV12");
  const CommandResult help = e2e::Run({Mpgsource(), "hash", "--help"});
  // The hash of each kind of frame is named by the ffmpeg pixel format whose framemd5 it equals.
  EXPECT_NE(help.out.find("yuv420p"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("yuyv422"), std::string::npos) << help.out;
}

}  // namespace
}  // namespace e2e
