// Frames: plane layout and alignment for YV12 and I420, the writable rule, reference counts and
// recycling, subframes and copies.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "avs/host/frame_store.h"
#include "avs/host/script_environment.h"

namespace avs_host {
namespace {

VideoInfo Format(int width, int height, int pixel_type) {
  VideoInfo vi{};
  vi.width = width;
  vi.height = height;
  vi.pixel_type = pixel_type;
  return vi;
}

TEST(FrameLayoutTest, Yv12PutsVAfterYAndUAfterV) {
  ScriptEnvironment env;
  PVideoFrame f = env.NewVideoFrame(Format(720, 576, CS_YV12), 16);
  EXPECT_EQ(f->GetPitch(), 720);
  EXPECT_EQ(f->GetPitch(PLANAR_U), 360);
  EXPECT_EQ(f->GetRowSize(), 720);
  EXPECT_EQ(f->GetRowSize(PLANAR_V), 360);
  EXPECT_EQ(f->GetHeight(), 576);
  EXPECT_EQ(f->GetHeight(PLANAR_U), 288);
  const BYTE* base = f->GetReadPtr();
  EXPECT_EQ(f->GetReadPtr(PLANAR_V) - base, 720 * 576);
  EXPECT_EQ(f->GetReadPtr(PLANAR_U) - base, 720 * 576 + 360 * 288);
  EXPECT_GE(f->GetFrameBuffer()->GetDataSize(), 720 * 576 * 3 / 2);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 16, 0u);
}

TEST(FrameLayoutTest, I420PutsUFirstAndPitchFollowsAlignment) {
  ScriptEnvironment env;
  PVideoFrame f = env.NewVideoFrame(Format(1000, 10, CS_I420), 32);
  EXPECT_EQ(f->GetPitch(), 1024);
  EXPECT_EQ(f->GetPitch(PLANAR_V), 512);
  EXPECT_EQ(f->GetRowSize(), 1000);
  EXPECT_EQ(f->GetRowSize(PLANAR_U), 500);
  EXPECT_EQ(f->GetRowSize(PLANAR_U_ALIGNED), 512);
  EXPECT_EQ(f->GetRowSize(PLANAR_Y_ALIGNED), 1008);
  const BYTE* base = f->GetReadPtr();
  EXPECT_EQ(f->GetReadPtr(PLANAR_U) - base, 1024 * 10);
  EXPECT_EQ(f->GetReadPtr(PLANAR_V) - base, 1024 * 10 + 512 * 5);

  // Odd pitches round the chroma pitch up; alignment 1 and a negative one are accepted.
  PVideoFrame odd = env.NewVideoFrame(Format(719, 4, CS_YV12), 1);
  EXPECT_EQ(odd->GetPitch(), 719);
  EXPECT_EQ(odd->GetPitch(PLANAR_U), 360);
  EXPECT_EQ(env.NewVideoFrame(Format(100, 4, CS_YV12), -64)->GetPitch(), 128);

  // YUY2: one packed plane of width * 2 bytes a row, no chroma planes.
  PVideoFrame packed = env.NewVideoFrame(Format(360, 4, CS_YUY2), 64);
  EXPECT_EQ(packed->GetRowSize(), 720);
  EXPECT_EQ(packed->GetPitch(), 768);
  EXPECT_EQ(packed->GetRowSize(PLANAR_U), 0);
  EXPECT_EQ(packed->GetHeight(PLANAR_U), 0);
}

TEST(FrameLayoutTest, BadRequestsAreErrors) {
  ScriptEnvironment env;
  EXPECT_THROW(env.NewVideoFrame(Format(64, 64, 0x50000001), 16), AvisynthError);  // RGB24
  EXPECT_THROW(env.NewVideoFrame(Format(0, 64, CS_YV12), 16), AvisynthError);
  EXPECT_THROW(env.NewVideoFrame(Format(64, -2, CS_YV12), 16), AvisynthError);
  EXPECT_THROW(env.NewVideoFrame(Format(64, 64, CS_YV12), 24), AvisynthError);
  EXPECT_THROW(env.NewVideoFrame(Format(1 << 20, 1 << 20, CS_YV12), 16), AvisynthError);
}

TEST(FrameCountTest, WritableOnlyWhileHeldOnce) {
  ScriptEnvironment env;
  PVideoFrame f = env.NewVideoFrame(Format(64, 32, CS_YV12));
  EXPECT_TRUE(f->IsWritable());
  const int seq = f->GetFrameBuffer()->GetSequenceNumber();
  BYTE* y = f->GetWritePtr();
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(f->GetFrameBuffer()->GetSequenceNumber(), seq + 1);
  {
    PVideoFrame second = f;
    EXPECT_EQ(f->refcount, 2);
    EXPECT_FALSE(f->IsWritable());
    EXPECT_EQ(f->GetWritePtr(), nullptr);
    EXPECT_NE(f->GetWritePtr(PLANAR_U), nullptr);  // chroma pointers are not checked
  }
  EXPECT_EQ(f->refcount, 1);
  EXPECT_TRUE(f->IsWritable());
  {
    // A subframe holds the buffer too.
    PVideoFrame sub = env.Subframe(f, 0, 64, 32, 16);
    EXPECT_EQ(f->GetFrameBuffer()->GetRefcount(), 2);
    EXPECT_FALSE(f->IsWritable());
    EXPECT_FALSE(sub->IsWritable());
  }
  EXPECT_EQ(f->GetFrameBuffer()->GetRefcount(), 1);
  EXPECT_TRUE(f->IsWritable());
}

TEST(FrameCountTest, ReleasedFramesAreRecycled) {
  ScriptEnvironment env;
  const VideoInfo vi = Format(64, 32, CS_YV12);
  for (int i = 0; i < 200; ++i) {
    PVideoFrame a = env.NewVideoFrame(vi);
    PVideoFrame b = env.NewVideoFrame(vi);
    EXPECT_TRUE(a->IsWritable());
    EXPECT_NE(a->GetFrameBuffer(), b->GetFrameBuffer());
  }
  EXPECT_EQ(env.Frames().LiveFrames(), 0u);
  EXPECT_LE(env.Frames().BufferCount(), 2u);
  PVideoFrame held = env.NewVideoFrame(vi);
  EXPECT_EQ(env.Frames().LiveFrames(), 1u);
  // A buffer that is still in use is never handed out again.
  PVideoFrame other = env.NewVideoFrame(vi);
  EXPECT_NE(held->GetFrameBuffer(), other->GetFrameBuffer());
}

TEST(SubframeTest, SharesTheBufferWithinBounds) {
  ScriptEnvironment env;
  PVideoFrame f = env.NewVideoFrame(Format(64, 32, CS_YV12));
  BYTE* y = f->GetWritePtr();
  for (int i = 0; i < 64 * 32; ++i) y[i] = static_cast<BYTE>(i);
  PVideoFrame sub = env.Subframe(f, 64 * 2 + 4, 128, 32, 10);
  EXPECT_EQ(sub->GetReadPtr()[0], static_cast<BYTE>(64 * 2 + 4));
  EXPECT_EQ(sub->GetReadPtr()[128], static_cast<BYTE>(64 * 4 + 4));
  EXPECT_EQ(sub->GetPitch(PLANAR_U), f->GetPitch(PLANAR_U));
  EXPECT_THROW(env.Subframe(f, -1, 64, 64, 1), AvisynthError);
  EXPECT_THROW(env.Subframe(f, 0, 64, 64, 1000), AvisynthError);
  EXPECT_THROW(env.Subframe(f, 0, 64, -1, 1), AvisynthError);
  EXPECT_THROW(env.Subframe(PVideoFrame(), 0, 64, 64, 1), AvisynthError);
}

TEST(SubframeTest, MakeWritableCopiesEveryPlane) {
  ScriptEnvironment env;
  for (int type : {CS_YV12, CS_I420}) {
    PVideoFrame f = env.NewVideoFrame(Format(48, 16, type));
    BYTE* y = f->GetWritePtr();
    std::memset(y, 1, 48 * 16);
    std::memset(f->GetWritePtr(PLANAR_U), 2, 24 * 8);
    std::memset(f->GetWritePtr(PLANAR_V), 3, 24 * 8);
    EXPECT_FALSE(env.MakeWritable(&f));  // already writable: nothing to do
    PVideoFrame shared = f;
    ASSERT_TRUE(env.MakeWritable(&f));
    EXPECT_NE(f->GetFrameBuffer(), shared->GetFrameBuffer());
    EXPECT_TRUE(f->IsWritable());
    EXPECT_EQ(f->GetRowSize(PLANAR_V), 24);
    EXPECT_EQ(f->GetReadPtr()[47 + 15 * f->GetPitch()], 1);
    EXPECT_EQ(f->GetReadPtr(PLANAR_U)[23 + 7 * f->GetPitch(PLANAR_U)], 2);
    EXPECT_EQ(f->GetReadPtr(PLANAR_V)[0], 3);
    EXPECT_EQ(f->GetReadPtr(PLANAR_U) < f->GetReadPtr(PLANAR_V), type == CS_I420);
  }
}

TEST(BitBltTest, CopiesRowsBetweenPitches) {
  ScriptEnvironment env;
  BYTE src[4 * 8], dst[3 * 6];
  for (int i = 0; i < 32; ++i) src[i] = static_cast<BYTE>(i);
  std::memset(dst, 0xEE, sizeof(dst));
  env.BitBlt(dst, 6, src, 8, 5, 3);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(dst[4], 4);
  EXPECT_EQ(dst[5], 0xEE);  // beyond the row size
  EXPECT_EQ(dst[6], 8);
  EXPECT_EQ(dst[16], 20);
  env.BitBlt(dst, 6, src, 8, 0, 3);  // nothing to copy
  env.BitBlt(dst, 6, src, 8, 5, -1);
  EXPECT_EQ(dst[6], 8);
}

}  // namespace
}  // namespace avs_host
