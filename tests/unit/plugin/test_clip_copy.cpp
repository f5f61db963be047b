// Copying the server's NV12 picture into the host's planar frame: the chroma split, the luma
// table, and server headers that do not fit the frame or the picture area.
#include <gmock/gmock.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "tests/unit/plugin/test_clip_fixture.h"

namespace {

using Plane = std::function<int(int x, int y)>;

// Compares every visible byte of the three planes with the expected values.
::testing::AssertionResult Planes(const PVideoFrame& frame, const Plane& luma, const Plane& u,
                                  const Plane& v) {
  for (int y = 0; y < frame->GetHeight(); ++y) {
    for (int x = 0; x < frame->GetRowSize(); ++x) {
      const int got = frame->GetReadPtr()[y * frame->GetPitch() + x];
      if (got != luma(x, y)) {
        return ::testing::AssertionFailure()
               << "luma (" << x << "," << y << ") " << got << " != " << luma(x, y);
      }
    }
  }
  for (int y = 0; y < frame->GetHeight(PLANAR_U); ++y) {
    for (int x = 0; x < frame->GetRowSize(PLANAR_U); ++x) {
      const int gu = frame->GetReadPtr(PLANAR_U)[y * frame->GetPitch(PLANAR_U) + x];
      const int gv = frame->GetReadPtr(PLANAR_V)[y * frame->GetPitch(PLANAR_V) + x];
      if (gu != u(x, y) || gv != v(x, y)) {
        return ::testing::AssertionFailure() << "chroma (" << x << "," << y << ") " << gu << "/"
                                             << gv << " != " << u(x, y) << "/" << v(x, y);
      }
    }
  }
  return ::testing::AssertionSuccess();
}

const unsigned char* Area(MPGSource& source) {
  return source.Core().Link().View() + server::kPictureAreaOffset;
}

TEST_F(ClipTest, ChromaIsSplitAndTheLumaTableApplied) {
  spec_.lumGamma = 40;
  spec_.lumOffset = 10;
  Make(0);
  const unsigned char* table = Source().Core().Decoder().lumTable;
  ASSERT_TRUE(Source().Core().Decoder().lumFilterOn);
  ASSERT_NE(table[100], 100);
  PVideoFrame frame;
  Fetch(20, &frame);
  EXPECT_TRUE(Holds(frame, 20, 0, table));
  // Chroma straight from the interleaved rows, luma through the table.
  EXPECT_TRUE(Planes(
      frame, [&](int x, int y) { return table[Area(Source())[y * 128 + x]]; },
      [&](int i, int y) { return Area(Source())[128 * 48 + y * 128 + 2 * i]; },
      [&](int i, int y) { return Area(Source())[128 * 48 + y * 128 + 2 * i + 1]; }));
}

// 60 chroma pairs per row: whole blocks of pairs and a few left over, each sample in its column.
TEST_F(ClipTest, ChromaRowsOfAnyWidthAreSplitSampleBySample) {
  spec_.width = 120;
  Make(0, "w=120");
  PVideoFrame frame;
  Fetch(20, &frame);
  ASSERT_EQ(frame->GetRowSize(PLANAR_U), 60);
  EXPECT_TRUE(Holds(frame, 20, 0));
}

TEST_F(ClipTest, WiderServerPictureIsCutToTheFrame) {
  Make(0, "w=4096,pitch=4096");
  PVideoFrame frame;
  Fetch(20, &frame);
  EXPECT_TRUE(Holds(frame, 20, 0));
}

// Regression (picture-size change inside a stream): a picture smaller than the clip lands
// top-left on black; the rows and columns it does not cover never show what the area held before,
// so the frame is the same whatever was requested earlier.
TEST_F(ClipTest, SmallerPictureLandsTopLeftOnBlack) {
  Make(0, "w=40,h=20,pitch=64");
  // Earlier pictures of the full size leave their bytes in the area below and right of the
  // smaller picture.
  std::memset(Source().Core().Link().View() + server::kPictureAreaOffset, 0xEE, 64 * 96);
  PVideoFrame frame;
  Fetch(20, &frame);
  ASSERT_EQ(frame->GetRowSize(), 64);
  ASSERT_EQ(frame->GetHeight(), 48);
  EXPECT_TRUE(Planes(
      frame, [](int x, int y) { return x < 40 && y < 20 ? scripted::LumaAt(20, 0, x, y) : 16; },
      [](int i, int y) { return i < 20 && y < 10 ? scripted::UAt(20, 0, i, y) : 128; },
      [](int i, int y) { return i < 20 && y < 10 ? scripted::VAt(20, 0, i, y) : 128; }));
}

// Headers describing a picture the area cannot hold: no size, rows overlapping (pitch below the
// width), the luma rows filling the whole area with no room for chroma, rows past the area's end.
// Each is an error, never a black or partly black frame, and the clip serves again afterwards.
TEST_F(ClipTest, APictureThatCannotBePlacedIsAnError) {
  for (const char* options : {"pitch=-64", "pitch=0", "h=-5", "w=-3", "w=0", "w=64,pitch=16",
                              "h=1632,pitch=2048", "w=100000,pitch=100000"}) {
    SCOPED_TRACE(options);
    Make(0, options);
    try {
      Fetch(20);
      ADD_FAILURE() << "a picture that cannot be placed was served";
    } catch (const AvisynthError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("cannot be placed"));
    }
    clip_ = nullptr;
    server_.Stop(SIGTERM);
  }
}

// A 4:2:2 project is a YUY2 clip that asks the server for 4:2:2 pictures. A server that delivers
// a 4:2:0 picture instead (one that does not know 4:2:2 pictures: the scripted server here) gets
// an error naming the way out, never a frame with guessed chroma; asked for YV12, the same project
// is served from the 4:2:0 pictures.
TEST_F(ClipTest, FourTwoTwoProjectGivenAFourTwoZeroPictureIsAnError) {
  StartServer();
  {
    FILE* project = std::fopen(media_.project.c_str(), "ab");
    ASSERT_NE(project, nullptr);
    std::fputs("CHROMA 422\n", project);
    std::fclose(project);
  }
  ASSERT_EQ(TryMake(media_.project, 0), "");
  EXPECT_EQ(clip_->GetVideoInfo().pixel_type, CS_YUY2);
  try {
    Fetch(20);
    ADD_FAILURE() << "a 4:2:0 picture was served as a 4:2:2 frame";
  } catch (const AvisynthError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("yv12=true"));
  }
  clip_ = nullptr;
  clip_ = new MPGSource(media_.project.c_str(), false, 0, true, &env_, true);
  EXPECT_EQ(clip_->GetVideoInfo().pixel_type, CS_YV12);
  PVideoFrame frame;
  Fetch(20, &frame);
  EXPECT_TRUE(Holds(frame, 20, 0));
}

// A host whose new frames are already held elsewhere (so not writable), or shaped unlike the
// clip's format.
class OddFramesEnvironment : public avs_host::ScriptEnvironment {
 public:
  explicit OddFramesEnvironment(bool shared) : shared_(shared) {}
  PVideoFrame NewVideoFrame(const VideoInfo& vi, int align) override {
    if (shared_) {
      held_ = ScriptEnvironment::NewVideoFrame(vi, align);
      return held_;
    }
    VideoInfo smaller = vi;
    smaller.height -= 16;
    return ScriptEnvironment::NewVideoFrame(smaller, align);
  }
  PVideoFrame held_;

 private:
  bool shared_;
};

TEST_F(ClipTest, AFrameThatCannotBeWrittenIsAnErrorNotABlankFrame) {
  Make(0);
  for (bool shared : {true, false}) {
    OddFramesEnvironment odd(shared);
    try {
      clip_->GetFrame(20, &odd);
      ADD_FAILURE() << "a frame was served into a frame that cannot hold it";
    } catch (const AvisynthError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(shared ? "not writable" : "clip's size"));
    }
    odd.held_ = nullptr;
  }
  // Nothing of the clip's state was spoiled: the next request is served exactly.
  PVideoFrame frame;
  Fetch(20, &frame);
  EXPECT_TRUE(Holds(frame, 20, 0));
}

}  // namespace
