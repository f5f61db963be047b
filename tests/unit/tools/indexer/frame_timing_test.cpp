// The clip's rate and timestamps from the fields its frames are shown for: 3:2 pulldown gives the
// film rate, irregular pulldown the average that keeps the duration, and timestamps follow the
// display order.
#include "tools/indexer/frame_timing.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/unit/tools/indexer/indexer_test_support.h"
#include "tools/indexer/stream_facts.h"

namespace {

using indexer::Pulldown;
using indexer::VideoIndex;

// An index of one GOP with the given coded types and fields, coded at `num`/`den`.
VideoIndex Index(const std::string& types, const std::vector<uint8_t>& fields, int num = 30000,
                 int den = 1001) {
  VideoIndex index;
  index.sequence.fpsNumerator = num;
  index.sequence.fpsDenominator = den;
  index.gops.push_back(indexer::GopRecord{0, types});
  index.displayFields = fields;
  index.pictureCount = fields.size();
  for (uint8_t f : fields) index.repeatedFields += f > 2 ? 1 : 0;
  return index;
}

TEST(FrameTiming, WithoutRepeatedFieldsTheCodedRateStays) {
  auto timing = indexer::ComputeTiming(Index("IBBP", {2, 2, 2, 2}, 25, 1));
  EXPECT_EQ(timing.pulldown, Pulldown::kNone);
  EXPECT_EQ(timing.fpsNumerator, 25);
  EXPECT_EQ(timing.fpsDenominator, 1);
  EXPECT_EQ(timing.fields, 8u);
}

// The 3:2 cadence is judged in display order, where B pictures come before the anchor that
// precedes them in coded order.
TEST(FrameTiming, RegularThreeTwoGivesTheFilmRate) {
  // Coded I3 B3 B2 P2 is shown B3 B2 I3 P2: three and two fields in turn.
  auto film = indexer::ComputeTiming(Index("IBBP", {3, 3, 2, 2}));
  EXPECT_EQ(film.pulldown, Pulldown::kRegular);
  EXPECT_EQ(film.fpsNumerator, 24000);
  EXPECT_EQ(film.fpsDenominator, 1001);
  EXPECT_EQ(film.fields, 10u);
  EXPECT_STREQ(indexer::PulldownText(film.pulldown), "film, 3:2 pulldown removed");
  // Coded I3 B2 B3 P2 is shown B2 B3 I3 P2: the cadence breaks, the rate is the average.
  auto broken = indexer::ComputeTiming(Index("IBBP", {3, 2, 3, 2}));
  EXPECT_EQ(broken.pulldown, Pulldown::kMixed);
  EXPECT_EQ(int64_t{broken.fpsNumerator} * 10 * 1001, int64_t{broken.fpsDenominator} * 4 * 60000);
}

TEST(FrameTiming, MixedPulldownKeepsTheTotalDuration) {
  // 4 frames of 3:2 film then 4 video frames: 10 + 8 = 18 fields for 8 frames.
  auto timing = indexer::ComputeTiming(Index("IPPPPPPP", {3, 2, 3, 2, 2, 2, 2, 2}));
  EXPECT_EQ(timing.pulldown, Pulldown::kMixed);
  EXPECT_EQ(timing.fields, 18u);
  // 8 frames / rate == 18 fields / (2 x 30000/1001): rate = 8 x 60000 / (18 x 1001).
  EXPECT_EQ(int64_t{timing.fpsNumerator} * 18 * 1001, int64_t{timing.fpsDenominator} * 8 * 60000);
}

TEST(FrameTiming, TimestampsFollowTheDisplayOrder) {
  // Coded I(3) B(2) B(3) P(2): shown B(2) B(3) I(3) P(2); a field lasts 1001/60 ms.
  VideoIndex index = Index("IBBP", {3, 2, 3, 2});
  EXPECT_EQ(indexer::DisplayStartFields(index), (std::vector<uint64_t>{0, 2, 5, 8}));
  EXPECT_EQ(indexer::FormatTimestampsV2(index),
            "# timestamp format v2\n0\n33.367\n83.417\n133.467\n");
  VideoIndex pal = Index("IPP", {2, 2, 2}, 25, 1);
  EXPECT_EQ(indexer::FormatTimestampsV2(pal), "# timestamp format v2\n0\n40\n80\n");
}

TEST(FrameTiming, RatesThatDoNotFitAreApproximated) {
  int num = 0, den = 0;
  indexer::FitRate(48000, 2002, &num, &den);
  EXPECT_EQ(num, 24000);
  EXPECT_EQ(den, 1001);
  // Terms beyond 32 bits: the closest fraction that fits.
  const uint64_t bigN = 60000ull * 3000000001ull, bigD = 1001ull * 6000000007ull;
  indexer::FitRate(bigN, bigD, &num, &den);
  EXPECT_GT(num, 0);
  EXPECT_GT(den, 0);
  EXPECT_NEAR(static_cast<double>(num) / den, static_cast<double>(bigN) / bigD, 1e-12);
  indexer::FitRate(5, 0, &num, &den);
  EXPECT_EQ(num, 0);
  EXPECT_EQ(den, 0);
}

// 720p film: a progressive sequence coded at 60000/1001 whose frames repeat two and three times in
// turn (repeat_first_field, with top_field_first for three). No encoder here writes those flags in
// a progressive sequence, so ffmpeg's encode gets them set in every picture coding extension;
// ffprobe's repeat_pict is the reference for the fields shown.
TEST(FrameTiming, ProgressiveSequenceFrameRepetitionGivesTheFilmRate) {
  indexer_test::TempDir dir;
  const std::string video = dir.File("film720p.m2v");
  ASSERT_TRUE(indexer_test::Ffmpeg(
      "-f lavfi -i testsrc=size=1280x720:rate=60000/1001 -frames:v 10 -c:v mpeg2video -bf 0 "
      "-g 5 -f mpeg2video " +
      video));
  std::vector<uint8_t> bytes = indexer_test::ReadFile(video);
  int pictures = 0;
  for (size_t i = 0; i + 8 < bytes.size(); ++i) {
    // 00 00 01 B5 8x: picture coding extension; its fourth byte holds top_field_first (0x80)
    // and repeat_first_field (0x02).
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && bytes[i + 3] == 0xB5 &&
        (bytes[i + 4] >> 4) == 8) {
      bytes[i + 7] = static_cast<uint8_t>((bytes[i + 7] & 0x7D) | 0x02 | (pictures % 2 ? 0x80 : 0));
      ++pictures;
    }
  }
  ASSERT_EQ(pictures, 10);
  indexer_test::WriteFile(video, bytes);

  VideoIndex index;
  indexer::StreamLayout layout;
  std::string error;
  ASSERT_EQ(indexer_test::Index(video, &index, &layout, &error), indexer::kIndexOk) << error;
  ASSERT_TRUE(index.sequence.progressiveSequence);
  const indexer::ClipTiming timing = indexer::ComputeTiming(index);
  EXPECT_EQ(timing.pulldown, Pulldown::kFrameRepeat);
  EXPECT_EQ(timing.fpsNumerator, 24000);
  EXPECT_EQ(timing.fpsDenominator, 1001);
  EXPECT_STREQ(indexer::PulldownText(timing.pulldown), "film, 2:3 frame repetition removed");
  EXPECT_EQ(indexer::FactsOf(index, timing).pulldown, "frame-2:3");

  const std::string probe = indexer_test::Shell(
      "ffprobe -v error -select_streams v:0 -show_entries frame=repeat_pict -of csv=p=0 '" + video +
      "'");
  uint64_t fields = 0;
  size_t frames = 0;
  for (size_t at = 0; at < probe.size();) {
    const size_t end = probe.find('\n', at);
    const std::string line = probe.substr(at, end == std::string::npos ? end : end - at);
    if (!line.empty()) {
      fields += 2 + std::stoul(line);
      ++frames;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  EXPECT_EQ(frames, 10u);
  EXPECT_EQ(timing.fields, fields);
}

}  // namespace
