// The host's crop: sizes, the picture that remains on every plane, and the errors.
#include <gtest/gtest.h>

#include <string>

#include "avs/host/crop_filter.h"
#include "avs/host/script_environment.h"
#include "tests/unit/avs/host/pattern_clip.h"

namespace avs_host {
namespace {

using avs_test::PatternClip;
using avs_test::PatternSample;

PClip Crop(ScriptEnvironment& env, const PClip& clip, int left, int top, int width, int height) {
  const AVSValue args[5] = {clip, left, top, width, height};
  return env.Invoke("crop", AVSValue(args, 5)).AsClip();
}

std::string CropError(ScriptEnvironment& env, const PClip& clip, int left, int top, int width,
                      int height) {
  try {
    Crop(env, clip, left, top, width, height);
  } catch (const AvisynthError& e) {
    return e.what();
  }
  return "(no error)";
}

// Every sample of the cropped frame equals the source's at the shifted position.
void ExpectCroppedPattern(const PVideoFrame& f, int left, int top, int n) {
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    const int shift = plane == PLANAR_Y ? 0 : 1;
    const BYTE* p = f->GetReadPtr(plane);
    for (int y = 0; y < f->GetHeight(plane); ++y) {
      for (int x = 0; x < f->GetRowSize(plane); ++x) {
        ASSERT_EQ(p[y * f->GetPitch(plane) + x],
                  PatternSample(plane, x + (left >> shift), y + (top >> shift), n))
            << "plane " << plane << " at " << x << "," << y;
      }
    }
  }
}

TEST(CropFilterTest, WidthAndHeightOfZeroOrLessCountFromTheEdge) {
  ScriptEnvironment env;
  for (int type : {CS_YV12, CS_I420}) {
    PClip source(new PatternClip(720, 576, type));
    PClip cropped = Crop(env, source, 8, 0, -8, 0);
    const VideoInfo& vi = cropped->GetVideoInfo();
    EXPECT_EQ(vi.width, 704);
    EXPECT_EQ(vi.height, 576);
    EXPECT_EQ(vi.pixel_type, type);
    EXPECT_EQ(vi.num_frames, 100);
    EXPECT_EQ(vi.image_type, IT_TFF);
    EXPECT_TRUE(cropped->GetParity(3));
    ExpectCroppedPattern(cropped->GetFrame(5, &env), 8, 0, 5);

    PClip inner = Crop(env, source, 16, 10, 100, -6);
    EXPECT_EQ(inner->GetVideoInfo().width, 100);
    EXPECT_EQ(inner->GetVideoInfo().height, 560);
    ExpectCroppedPattern(inner->GetFrame(7, &env), 16, 10, 7);
  }
}

TEST(CropFilterTest, CroppedFramesAreViewsOfTheSourceFrame) {
  ScriptEnvironment env;
  PClip cropped = Crop(env, new PatternClip(64, 32, CS_YV12), 4, 2, -4, -2);
  PVideoFrame f = cropped->GetFrame(0, &env);
  const BYTE* data = f->GetFrameBuffer()->GetReadPtr();
  EXPECT_EQ(f->GetReadPtr() - data, 2 * 64 + 4);
  EXPECT_EQ(f->GetReadPtr(PLANAR_V) - data, 64 * 32 + 1 * 32 + 2);
  // The source frame is gone, so the view alone holds the buffer.
  EXPECT_EQ(f->GetFrameBuffer()->GetRefcount(), 1);
  EXPECT_TRUE(f->IsWritable());
  f = PVideoFrame();
  EXPECT_EQ(env.Frames().LiveFrames(), 0u);
}

TEST(CropFilterTest, TheCropHoldsItsSource) {
  ScriptEnvironment env;
  bool destroyed = false;
  PClip cropped = Crop(env, new PatternClip(64, 32, CS_YV12, &destroyed), 2, 2, 0, 0);
  EXPECT_FALSE(destroyed);
  cropped = nullptr;
  EXPECT_TRUE(destroyed);
}

TEST(CropFilterTest, BadValuesAreClearErrors) {
  ScriptEnvironment env;
  PClip source(new PatternClip(720, 576, CS_YV12));
  EXPECT_EQ(CropError(env, source, -2, 0, 0, 0),
            "crop: left (-2) and top (0) must not be negative");
  EXPECT_EQ(CropError(env, source, 0, -2, 0, 0),
            "crop: left (0) and top (-2) must not be negative");
  EXPECT_EQ(CropError(env, source, 360, 0, -360, 0),
            "crop: nothing remains of the 720x576 picture (left 360, top 0, width -360, height 0)");
  EXPECT_EQ(CropError(env, source, 0, 0, 0, -576),
            "crop: nothing remains of the 720x576 picture (left 0, top 0, width 0, height -576)");
  EXPECT_EQ(CropError(env, source, 8, 0, 720, 0),
            "crop: the area 720x576 at (8, 0) lies outside the 720x576 picture");
  EXPECT_EQ(CropError(env, source, 0, 0, 0, 578),
            "crop: the area 720x578 at (0, 0) lies outside the 720x576 picture");
  for (auto odd : {std::make_tuple(1, 0, 0, 0), std::make_tuple(0, 3, 0, 0),
                   std::make_tuple(0, 0, -1, 0), std::make_tuple(0, 0, 0, 101)}) {
    const std::string e = CropError(env, source, std::get<0>(odd), std::get<1>(odd),
                                    std::get<2>(odd), std::get<3>(odd));
    EXPECT_EQ(e.rfind("crop: 4:2:0 video can be cropped only by even numbers", 0), 0u) << e;
  }
  const AVSValue wrong[5] = {source, 1.5f, 0, 0, 0};
  EXPECT_THROW(env.Invoke("crop", AVSValue(wrong, 5)), AvisynthError);
}

}  // namespace
}  // namespace avs_host
