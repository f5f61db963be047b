// Every frame served through the real plugin, link and decoding server equals ffmpeg's sequential
// decode of the same file, whatever the order of requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

struct Stream {
  const char* name;
  const char* file;
};

class FrameAccuracy : public ::testing::TestWithParam<Stream> {};

// Serves the frames of every request order and compares each with the reference. `shift`: our
// frame n is reference frame n - shift (a stream that starts at an open GOP, whose leading pictures
// ffmpeg drops); frames below `lowest` are served as frame `lowest`.
void ExpectAllOrdersMatch(const std::string& project, const std::vector<std::string>& reference,
                          int frameCount, int shift, int lowest,
                          const std::vector<std::string>& clip = {}, int shuffledCount = -1) {
  for (const auto& [orderName, frames] : RequestOrders(frameCount, shuffledCount)) {
    auto hashes = HashFrames(project, frames, clip);
    ASSERT_EQ(hashes.size(), frames.size()) << orderName;
    int wrong = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      int n = std::max(frames[i], lowest) - shift;
      ASSERT_GE(n, 0);
      ASSERT_LT(n, static_cast<int>(reference.size())) << orderName;
      if (hashes[i].second != reference[n]) {
        if (++wrong <= 5) {
          ADD_FAILURE() << orderName << ": request " << i << " for frame " << frames[i]
                        << " differs from reference frame " << n;
        }
      }
    }
    EXPECT_EQ(wrong, 0) << orderName << ": wrong frames";
  }
}

TEST_P(FrameAccuracy, EveryFrameInEveryOrder) {
  Server server;
  std::string video = MediaPath(GetParam().file);
  std::vector<std::string> reference = FfmpegMd5(video);
  std::string project = IndexVideo(video);
  auto info = Info(project);
  int frames = std::stoi(info["frames"]);
  ASSERT_GE(frames, static_cast<int>(reference.size()));
  int shift = frames - static_cast<int>(reference.size());
  ExpectAllOrdersMatch(project, reference, frames, shift, shift);
}

INSTANTIATE_TEST_SUITE_P(Streams, FrameAccuracy,
                         ::testing::Values(Stream{"Es576iOpenGop", "es576i_open.m2v"},
                                           Stream{"Ts576i", "ts576i.ts"},
                                           Stream{"M2ts576i", "m2ts576i.m2ts"},
                                           Stream{"Es1080pClosedGop", "es1080p_closed.m2v"},
                                           Stream{"Es480iBottomFieldFirst", "es480i_bff.m2v"},
                                           Stream{"CutAtOpenGop", "cut_open.m2v"},
                                           Stream{"MkvFromEs", "mkv576i.mkv"},
                                           Stream{"MkvFromTsWithAudio", "mkv576i_ts.mkv"},
                                           Stream{"MkvWithoutCues", "mkv576i_nocues.mkv"},
                                           Stream{"MkvByFfmpeg", "ffmpeg576i.mkv"},
                                           Stream{"MkvAudioTrackFirst", "mkv_audio_first.mkv"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The deinterlacer of the decoding server: bwdif, one picture per field, in time order.
constexpr const char* kBwdif = "bwdif=mode=send_field:parity=auto:deint=all";

TEST(Deinterlace, DoubleRateMatchesFfmpegsFilter) {
  Server server;
  std::string video = MediaPath("es576i_open.m2v");
  std::vector<std::string> reference = FfmpegMd5(video, kBwdif);
  std::string project = IndexVideo(video);
  auto info = Info(project, {"--deinterlace", "2"});
  int frames = std::stoi(info["frames"]);
  ASSERT_EQ(frames, static_cast<int>(reference.size())) << "twice the frames";
  EXPECT_EQ(info["fps_numerator"], "50");
  ExpectAllOrdersMatch(project, reference, frames, 0, 1, {"--deinterlace", "2"}, 60);
}

TEST(Deinterlace, SingleRateTakesTheChosenField) {
  Server server;
  std::string video = MediaPath("es576i_open.m2v");
  std::vector<std::string> both = FfmpegMd5(video, kBwdif);
  // Top field first: the top field's picture is the first of each pair, the bottom's the second.
  for (int field = 0; field < 2; ++field) {
    std::vector<std::string> reference;
    for (size_t i = field; i < both.size(); i += 2) reference.push_back(both[i]);
    std::string project = IndexVideo(video);
    std::vector<std::string> clip = {"--deinterlace", "1"};
    if (field == 1) clip.push_back("--bottom-field");
    int frames = std::stoi(Info(project, clip)["frames"]);
    ASSERT_EQ(frames, static_cast<int>(reference.size()));
    ExpectAllOrdersMatch(project, reference, frames, 0, 1, clip, 40);
  }
}

TEST(ClipOptions, I420GivesTheSameBytes) {
  Server server;
  std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  std::vector<int> frames = {0, 17, 16, 70, 149};
  EXPECT_EQ(Info(project, {"--i420"})["pixel_type"], "I420");
  EXPECT_EQ(Info(project)["pixel_type"], "YV12");
  EXPECT_EQ(HashFrames(project, frames, {"--i420"}), HashFrames(project, frames));
}

TEST(ClipOptions, CropAndLumaTableGiveTheExpectedPlanes) {
  Server server;
  std::string video = MediaPath("es576i_open.m2v");
  // Crop left 8, right 16, top 4, bottom 2; luma offset +10 (gamma 0).
  std::string project = IndexVideo(video, {"--crop", "8,16,4,2", "--lumfilt", "0,10"});
  auto info = Info(project);
  EXPECT_EQ(info["width"], "696");
  EXPECT_EQ(info["height"], "570");
  std::vector<std::string> reference =
      FfmpegMd5(video, "crop=696:570:8:4,lutyuv=y=clip(val+10\\,0\\,255):u=val:v=val");
  std::vector<int> frames = {0, 1, 2, 40, 39, 100, 149};
  auto hashes = HashFrames(project, frames);
  ASSERT_EQ(hashes.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(hashes[i].second, reference[frames[i]]) << "frame " << frames[i];
  }
}

TEST(ClipOptions, ParityFollowsTheFieldOrder) {
  Server server;
  EXPECT_EQ(Info(IndexVideo(MediaPath("es576i_open.m2v")))["parity"], "top");
  EXPECT_EQ(Info(IndexVideo(MediaPath("es480i_bff.m2v")))["parity"], "bottom");
}

}  // namespace
}  // namespace e2e
