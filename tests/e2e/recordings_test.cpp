// What real recordings carry, on streams of two independent encoders (ffmpeg and mjpegtools'
// mpeg2enc): a picture-size change inside the stream, film with 3:2 pulldown flags, mixed pulldown,
// the facts `info` reports, several programs in one transport stream, and one sequence header for
// many GOPs. Every served frame is checked against ffmpeg's own decode, in several request orders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

bool HaveMedia(const std::string& name) {
  std::ifstream in(MediaPath(name));
  return in.good();
}

#define REQUIRE_MEDIA(name) \
  if (!HaveMedia(name)) GTEST_SKIP() << name << " needs mpeg2enc (mjpegtools)"

// ffmpeg's decode of `file`, one MD5 per decoded picture (no frames dropped or repeated for
// timing: pulldown streams have frames of different durations).
std::vector<std::string> DecodedMd5(const std::string& file, const std::string& vf = "") {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-threads",
                                   "1",      "-i",       file, "-map",  "0:v:0"};
  if (!vf.empty()) {
    argv.push_back("-vf");
    argv.push_back(vf);
  }
  for (const char* a : {"-fps_mode", "passthrough", "-f", "framemd5", "-pix_fmt", "yuv420p", "-"}) {
    argv.push_back(a);
  }
  CommandResult r = Run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> md5s;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    md5s.push_back(line.substr(line.rfind(' ') + 1));
  }
  return md5s;
}

// ffprobe's value of `entry` (e.g. "stream=sample_aspect_ratio") per line.
std::vector<std::string> Probe(const std::string& file, const std::string& entry) {
  CommandResult r = e2e::Run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                              entry, "-of", "csv=p=0", file});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> values;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) values.push_back(line.substr(0, line.find(',')));
  }
  return values;
}

// Serves every request order and compares each frame with reference[frame].
void ExpectFramesMatch(const std::string& project, const std::vector<std::string>& reference,
                       int shuffledCount = -1) {
  const int frames = static_cast<int>(reference.size());
  for (const auto& [orderName, order] : RequestOrders(frames, shuffledCount)) {
    auto hashes = HashFrames(project, order);
    ASSERT_EQ(hashes.size(), order.size()) << orderName;
    int wrong = 0;
    for (size_t i = 0; i < order.size(); ++i) {
      if (hashes[i].second != reference[order[i]] && ++wrong <= 5) {
        ADD_FAILURE() << orderName << ": request " << i << " for frame " << order[i]
                      << " differs from the reference";
      }
    }
    EXPECT_EQ(wrong, 0) << orderName << ": wrong frames";
  }
}

// The server's scaling of pictures of another size (libavfilter's scale filter).
constexpr const char* kScaleTo576 = "scale=720:576:flags=bicubic:interl=-1";

// sizechange.m2v: 60 frames of 720x576 (ffmpeg), then 720x480 (48 by mpeg2enc, 30 by ffmpeg).
// Reference: each part decoded on its own by ffmpeg (its decode of the joined stream loses the
// picture it holds back at the size change), the 720x480 part through ffmpeg's own scale filter
// with the server's settings. The 720x576 part is compared unscaled, exactly.
std::vector<std::string> SizeChangeReference() {
  std::vector<std::string> reference = DecodedMd5(MediaPath("sizechange_a.m2v"));
  EXPECT_EQ(reference.size(), 60u);
  for (const std::string& md5 : DecodedMd5(MediaPath("sizechange_b.m2v"), kScaleTo576)) {
    reference.push_back(md5);
  }
  return reference;
}

TEST(SizeChange, FramesAfterTheChangeAreScaledToTheClipInEveryOrder) {
  REQUIRE_MEDIA("sizechange.m2v");
  Server server;
  const std::string project = IndexVideo(MediaPath("sizechange.m2v"));
  auto info = Info(project);
  EXPECT_EQ(info["width"], "720");
  EXPECT_EQ(info["height"], "576");
  EXPECT_EQ(info["size_changes"], "[{\"frame\": 60, \"width\": 720, \"height\": 480}]");
  const std::vector<std::string> reference = SizeChangeReference();
  ASSERT_EQ(std::stoi(info["frames"]), static_cast<int>(reference.size()));
  ExpectFramesMatch(project, reference, 80);
}

// Regression (picture-size change): the same frame after the change came out differently after
// different earlier requests, because rows beyond the smaller picture kept older bytes.
TEST(SizeChange, AFrameDoesNotDependOnEarlierRequests) {
  REQUIRE_MEDIA("sizechange.m2v");
  Server server;
  const std::string project = IndexVideo(MediaPath("sizechange.m2v"));
  const std::string alone = HashFrames(project, {100})[0].second;
  EXPECT_EQ(HashFrames(project, {0, 100})[1].second, alone);
  EXPECT_EQ(HashFrames(project, {99, 100})[1].second, alone);
  EXPECT_EQ(HashFrames(project, {59, 100})[1].second, alone);
  EXPECT_EQ(alone, SizeChangeReference()[100]);
}

// Sequence headers that change something other than the picture size inside one stream (joined
// encodes, as broadcasts switch between 4:3 and 16:9). Reference: each part decoded on its own by
// ffmpeg, joined. The law: every frame equals it in every order, the change is listed at the first
// frame of the second part, and the frames the indexer says ffmpeg's whole-file decode leaves out
// are exactly the frames it leaves out.
struct SequenceChangeCase {
  const char* file;
  std::vector<const char*> parts;
  const char* listKey;  // the info --json list that names the change
  const char* scale;    // ffmpeg's filter bringing the second part to the clip's size, or ""
};

class SequenceChange : public ::testing::TestWithParam<SequenceChangeCase> {};

TEST_P(SequenceChange, EveryFrameIsThePartsOwnInEveryOrderAndFfmpegsLossIsNamed) {
  const SequenceChangeCase& c = GetParam();
  REQUIRE_MEDIA(c.file);
  Server server;
  std::vector<std::string> reference;
  size_t firstPart = 0;
  for (const char* part : c.parts) {
    for (const std::string& md5 : DecodedMd5(MediaPath(part), firstPart ? c.scale : "")) {
      reference.push_back(md5);
    }
    if (firstPart == 0) firstPart = reference.size();
  }
  const std::string project = IndexVideo(MediaPath(c.file));
  auto info = Info(project);
  ASSERT_EQ(std::stoi(info["frames"]), static_cast<int>(reference.size()));
  EXPECT_EQ(info[c.listKey].rfind("[{\"frame\": " + std::to_string(firstPart), 0) == 0 ||
                info[c.listKey] == "[" + std::to_string(firstPart) + "]",
            true)
      << c.listKey << ": " << info[c.listKey];
  ExpectFramesMatch(project, reference, 40);

  std::vector<std::string> withoutDrops = reference;
  const std::string drops = info["frames_ffmpeg_drops"];
  for (size_t at = drops.find_last_of("0123456789"); at != std::string::npos;) {
    const size_t begin = drops.find_last_not_of("0123456789", at) + 1;
    withoutDrops.erase(withoutDrops.begin() + std::stoi(drops.substr(begin, at + 1 - begin)));
    at = begin > 0 ? drops.find_last_of("0123456789", begin - 1) : std::string::npos;
  }
  EXPECT_EQ(DecodedMd5(MediaPath(c.file), c.scale), withoutDrops)
      << "frames_ffmpeg_drops: " << drops;
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, SequenceChange,
    ::testing::Values(
        SequenceChangeCase{
            "aspectchange.m2v", {"format_a.m2v", "format_wide.m2v"}, "aspect_changes", ""},
        SequenceChangeCase{
            "ratechange.m2v", {"format_a.m2v", "format_ntsc.m2v"}, "rate_changes", ""},
        SequenceChangeCase{
            "matrixchange.m2v", {"format_a.m2v", "format_matrix.m2v"}, "matrix_changes", ""},
        SequenceChangeCase{"sizechange.m2v",
                           {"sizechange_a.m2v", "sizechange_b.m2v"},
                           "size_changes",
                           kScaleTo576}),
    [](const ::testing::TestParamInfo<SequenceChangeCase>& info) {
      std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

// With a frame-rate change every frame's time follows the rate in force: the timestamps equal the
// times ffmpeg gives the frames when it puts the stream in Matroska (which keeps milliseconds).
TEST(SequenceChangeTiming, TimestampsFollowTheRateChangeAsFfmpegTimesThem) {
  const std::string dir = TempDir();
  CommandResult r = e2e::Run({BuildDir() + "/mpgsource", "index", MediaPath("ratechange.m2v"), "-o",
                              dir + "/p.vnt", "--timestamps", dir + "/t.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = e2e::Run({"ffmpeg", "-nostdin", "-v", "error", "-fflags", "+genpts", "-i",
                MediaPath("ratechange.m2v"), "-c", "copy", dir + "/ff.mkv"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = e2e::Run({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                "packet=pts_time", "-of", "csv=p=0", dir + "/ff.mkv"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<double> ffmpeg;
  std::istringstream lines(r.out);
  for (double t; lines >> t;) ffmpeg.push_back(t * 1000);
  std::sort(ffmpeg.begin(), ffmpeg.end());
  std::ifstream ours(dir + "/t.txt");
  std::string header;
  std::getline(ours, header);
  EXPECT_EQ(header, "# timestamp format v2");
  std::vector<double> times;
  for (double t; ours >> t;) times.push_back(t);
  ASSERT_EQ(times.size(), ffmpeg.size());
  for (size_t i = 0; i < times.size(); ++i) {
    EXPECT_NEAR(times[i], ffmpeg[i] - ffmpeg[0], 1.0) << "frame " << i;
  }
  EXPECT_GT(times.back(), 36 * 40 + 35 * 33.3) << "the second part runs at 30000/1001";
}

TEST(SizeChange, IndexerWarningNamesTheChange) {
  REQUIRE_MEDIA("sizechange.m2v");
  CommandResult r = e2e::Run({BuildDir() + "/mpgsource", "index", MediaPath("sizechange.m2v"), "-o",
                              TempDir() + "/p.vnt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("frame 60 720x480"), std::string::npos) << r.err;
}

TEST(Pulldown, FilmKeepsItsDurationAndEveryFrame) {
  REQUIRE_MEDIA("pulldown32.m2v");
  Server server;
  const std::string video = MediaPath("pulldown32.m2v");
  const std::string project = IndexVideo(video);
  auto info = Info(project);
  // 120 film frames flagged for 29.97 playback: one frame per coded frame, at the film rate.
  EXPECT_EQ(info["frames"], "120");
  EXPECT_EQ(info["fps_numerator"], "24000");
  EXPECT_EQ(info["fps_denominator"], "1001");
  EXPECT_EQ(info["pulldown"], "3:2");
  EXPECT_EQ(info["pulldown_note"], "film, 3:2 pulldown removed");
  EXPECT_EQ(info["coded_fps"], "30000/1001");
  EXPECT_EQ(info["scan"], "progressive");
  CommandResult text = e2e::Run({BuildDir() + "/mpgsource", "info", project, "--no-server"});
  EXPECT_NE(text.out.find("film, 3:2 pulldown removed"), std::string::npos) << text.out;
  const std::vector<std::string> reference = DecodedMd5(video);
  ASSERT_EQ(reference.size(), 120u);
  ExpectFramesMatch(project, reference, 60);
}

// Mixed content: film with pulldown, 29.97 video, film again. Each frame's time comes from the
// fields shown before it; ffprobe's timestamps and repeat_pict values are the reference.
TEST(Pulldown, MixedContentGetsTimestampsAndAnAverageRate) {
  REQUIRE_MEDIA("pulldown_mixed.m2v");
  Server server;
  const std::string video = MediaPath("pulldown_mixed.m2v");
  const std::string timestamps = TempDir() + "/times.txt";
  const std::string project = IndexVideo(video, {"--timestamps", timestamps});
  auto info = Info(project);
  EXPECT_EQ(info["pulldown"], "mixed");
  EXPECT_EQ(info["scan"], "mixed");
  const int frames = std::stoi(info["frames"]);
  EXPECT_EQ(frames, 48 + 60 + 48);

  // Fields shown: 2 per frame plus ffprobe's repeat_pict (the repeated field).
  long fields = 0;
  for (const std::string& repeat : Probe(video, "frame=repeat_pict"))
    fields += 2 + std::stol(repeat);
  EXPECT_EQ(std::stol(info["fields"]), fields);
  // The rate keeps the total duration: frames / rate == fields / (2 x 30000/1001).
  const double rate = std::stod(info["fps_numerator"]) / std::stod(info["fps_denominator"]);
  EXPECT_NEAR(frames / rate, fields / (2 * 30000.0 / 1001), 1e-9);

  std::ifstream in(timestamps);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "# timestamp format v2");
  std::vector<double> ours;
  while (std::getline(in, line)) ours.push_back(std::stod(line));
  ASSERT_EQ(static_cast<int>(ours.size()), frames);
  const std::vector<std::string> probed = Probe(video, "frame=best_effort_timestamp_time");
  ASSERT_EQ(probed.size(), ours.size());
  const double first = std::stod(probed[0]);
  int compared = 0;
  for (size_t i = 0; i < ours.size(); ++i) {
    if (probed[i] == "N/A") continue;  // ffprobe cannot time the stream's last picture
    EXPECT_NEAR(ours[i], (std::stod(probed[i]) - first) * 1000, 0.02) << "frame " << i;
    ++compared;
  }
  EXPECT_GE(compared, frames - 2);

  const std::vector<std::string> reference = DecodedMd5(video);
  ASSERT_EQ(static_cast<int>(reference.size()), frames);
  ExpectFramesMatch(project, reference, 60);
}

// Sample aspect ratio and colour description as ffprobe reads them from the same streams.
TEST(StreamFacts, AspectRatioAndColourMatchFfprobe) {
  Server server;
  for (const char* name : {"es576i_open.m2v", "sizechange.m2v", "pulldown32.m2v"}) {
    if (!HaveMedia(name)) continue;
    SCOPED_TRACE(name);
    const std::string video = MediaPath(name);
    auto info = Info(IndexVideo(video));
    EXPECT_EQ(info["sample_aspect_ratio"], Probe(video, "stream=sample_aspect_ratio")[0]);
    EXPECT_EQ(info["display_aspect_ratio"], Probe(video, "stream=display_aspect_ratio")[0]);
    const std::string primaries = Probe(video, "stream=color_primaries")[0];
    if (primaries == "unknown") {
      EXPECT_EQ(info.count("color_primaries"), 0u);
    } else {
      EXPECT_EQ(info["color_primaries"], primaries);
      EXPECT_EQ(info["color_transfer"], Probe(video, "stream=color_transfer")[0]);
      EXPECT_EQ(info["color_space"], Probe(video, "stream=color_space")[0]);
    }
  }
}

// The Y4M header of `pipe` tells progressive streams from interlaced ones.
TEST(StreamFacts, PipeHeaderSaysProgressiveOrTheFieldOrder) {
  Server server;
  struct Case {
    const char* file;
    const char* scan;
    const char* y4m;
  };
  for (const Case& c : {Case{"es1080p_closed.m2v", "progressive", " Ip "},
                        Case{"es576i_open.m2v", "interlaced", " It "},
                        Case{"es480i_bff.m2v", "interlaced", " Ib "}}) {
    SCOPED_TRACE(c.file);
    const std::string project = IndexVideo(MediaPath(c.file));
    auto info = Info(project);
    EXPECT_EQ(info["scan"], c.scan);
    CommandResult r =
        e2e::Run({BuildDir() + "/mpgsource", "pipe", project, "--frames", "0", "--no-server"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string header = r.out.substr(0, r.out.find('\n'));
    EXPECT_NE(header.find(c.y4m), std::string::npos) << header;
  }
}

TEST(Programs, ListShowsEveryProgramAndTheDefaultPick) {
  Server server;
  const std::string video = MediaPath("two_programs.ts");
  CommandResult r = e2e::Run({BuildDir() + "/mpgsource", "index", video, "--list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("program 1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("program 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("PID 256 (0x100): MPEG-2 video (stream type 0x2)  <- indexed by default"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("PID 512 (0x200): MPEG-2 video"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("PID 512 (0x200): MPEG-2 video (stream type 0x2)  <-"), std::string::npos);
  // The default pick and the other program's video, each served exactly.
  EXPECT_EQ(Info(IndexVideo(video))["height"], "576");
  const std::string second = IndexVideo(video, {"--pid", "512"});
  EXPECT_EQ(Info(second)["height"], "480");
  const std::vector<std::string> reference = DecodedMd5(MediaPath("es480i_bff.m2v"));
  auto hashes = HashFrames(second, {40, 3, 89});
  ASSERT_EQ(hashes.size(), 3u);
  EXPECT_EQ(hashes[0].second, reference[40]);
  EXPECT_EQ(hashes[1].second, reference[3]);
  EXPECT_EQ(hashes[2].second, reference[89]);
}

// mpeg2enc without a sequence header per GOP: one GOP in the index, a warning that says what it
// costs, and still every frame right.
TEST(OneSequenceHeader, WarnsAndServesEveryFrame) {
  REQUIRE_MEDIA("oneseq.m2v");
  Server server;
  const std::string video = MediaPath("oneseq.m2v");
  const std::string project = TempDir() + "/oneseq.vnt";
  CommandResult r = e2e::Run({BuildDir() + "/mpgsource", "index", video, "-o", project});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("random access decodes from the last sequence header"), std::string::npos)
      << r.err;
  const std::vector<std::string> reference = DecodedMd5(video);
  ASSERT_EQ(std::stoi(Info(project)["frames"]), static_cast<int>(reference.size()));
  ExpectFramesMatch(project, reference, 30);
}

}  // namespace
}  // namespace e2e
