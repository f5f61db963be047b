// The clip's rate and timestamps from the fields its frames are shown for: 3:2 pulldown gives the
// film rate, irregular pulldown the average that keeps the duration, and timestamps follow the
// display order.
#include "tools/indexer/frame_timing.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

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

}  // namespace
