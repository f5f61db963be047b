// The scaler that brings pictures of another size to the clip's size.
#include "decode-server/picture_scaler.h"

#include <gtest/gtest.h>

#include "decode-server/run_decoder.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace decode_server {
namespace {

TEST(PictureScaler, PicturesOfTheSizePassThroughUntouched) {
  PictureScaler scaler(720, 576);
  AVFrame* frame = MakeBlackFrame(720, 576);
  ASSERT_NE(frame, nullptr);
  AVFrame* same = scaler.Fit(frame);
  EXPECT_EQ(same, frame);
  av_frame_free(&same);

  PictureScaler none(0, 0);
  frame = MakeBlackFrame(352, 288);
  AVFrame* kept = none.Fit(frame);
  EXPECT_EQ(kept, frame) << "no size set: as decoded";
  av_frame_free(&kept);
}

TEST(PictureScaler, OtherSizesComeOutAtTheSetSize) {
  PictureScaler scaler(720, 576);
  // Two sizes in turn: the filter is made anew for each input size.
  for (int round = 0; round < 2; ++round) {
    for (auto size : {std::pair<int, int>{720, 480}, std::pair<int, int>{1920, 1080}}) {
      AVFrame* frame = MakeBlackFrame(size.first, size.second);
      ASSERT_NE(frame, nullptr);
      frame->pts = 42;
      AVFrame* scaled = scaler.Fit(frame);
      ASSERT_NE(scaled, nullptr);
      EXPECT_EQ(scaled->width, 720);
      EXPECT_EQ(scaled->height, 576);
      EXPECT_EQ(scaled->pts, 42);
      // Black stays black.
      EXPECT_EQ(scaled->data[0][100 * scaled->linesize[0] + 300], 16);
      EXPECT_EQ(scaled->data[1][100 * scaled->linesize[1] + 100], 128);
      av_frame_free(&scaled);
    }
  }
}

}  // namespace
}  // namespace decode_server
