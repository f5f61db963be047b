// Our declarations against the host's binary layout on the data model this build targets (32-bit,
// 64-bit Linux or 64-bit Windows). The expected offsets are the host's, written out here as plain
// numbers; a host that fills its frames and counts a clip's references by those offsets must meet
// the inline operations the plugin compiles in.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "avs/avisynth.h"

namespace {

// Offsets and sizes in bytes of the fields that a plugin's inline code reads and writes.
struct HostLayout {
  const char* model;
  size_t bufferSize, bufferDataSize, bufferSequence, bufferRefcount, counterSize;
  size_t frameRefcountSize, frameVfb, frameOffset, framePitch, frameRowSize, frameHeight,
      frameOffsetU, frameOffsetV, framePitchUV;
  size_t clipRefcnt, clipRefcntSize;
  size_t valueSize;
};

constexpr HostLayout kIlp32 = {"ILP32", 16, 4, 8, 12, 4, 4, 4, 8, 12, 16, 20, 24, 28, 32, 4, 4, 8};
constexpr HostLayout kLp64 = {"LP64", 32, 8, 16, 24, 8, 8, 8, 16, 20, 24, 28, 32, 36, 40, 8, 8, 16};
constexpr HostLayout kLlp64 = {"LLP64", 24, 8,  12, 16, 4,  4, 8, 16,
                               20,      24, 28, 32, 36, 40, 8, 4, 16};

const HostLayout& Host() {
  if (sizeof(void*) == 4) return kIlp32;
  return sizeof(long) == 8 ? kLp64 : kLlp64;
}

// Reads or writes a host integer of `size` bytes (4 or 8) at `at`.
int64_t ReadHost(const unsigned char* at, size_t size) {
  if (size == 8) {
    int64_t v;
    std::memcpy(&v, at, 8);
    return v;
  }
  int32_t v;
  std::memcpy(&v, at, 4);
  return v;
}

void WriteHost(unsigned char* at, size_t size, int64_t value) {
  if (size == 8) {
    std::memcpy(at, &value, 8);
  } else {
    const int32_t v = static_cast<int32_t>(value);
    std::memcpy(at, &v, 4);
  }
}

TEST(HostLayoutTest, FrameBufferCountersAreWhereTheHostKeepsThem) {
  const HostLayout& h = Host();
  SCOPED_TRACE(h.model);
  EXPECT_EQ(sizeof(VideoFrameBuffer), h.bufferSize);
  EXPECT_EQ(offsetof(VideoFrameBuffer, data_size), h.bufferDataSize);
  EXPECT_EQ(offsetof(VideoFrameBuffer, sequence_number), h.bufferSequence);
  EXPECT_EQ(sizeof(VideoFrameBuffer::sequence_number), h.counterSize);
  EXPECT_EQ(offsetof(VideoFrameBuffer, refcount), h.bufferRefcount);
  EXPECT_EQ(sizeof(VideoFrameBuffer::refcount), h.counterSize);
}

TEST(HostLayoutTest, FrameFieldsAreWhereTheHostKeepsThem) {
  const HostLayout& h = Host();
  SCOPED_TRACE(h.model);
  EXPECT_EQ(offsetof(VideoFrame, refcount), 0u);
  EXPECT_EQ(sizeof(VideoFrame::refcount), h.frameRefcountSize);
  EXPECT_EQ(offsetof(VideoFrame, vfb), h.frameVfb);
  EXPECT_EQ(offsetof(VideoFrame, offset), h.frameOffset);
  EXPECT_EQ(offsetof(VideoFrame, pitch), h.framePitch);
  EXPECT_EQ(offsetof(VideoFrame, row_size), h.frameRowSize);
  EXPECT_EQ(offsetof(VideoFrame, height), h.frameHeight);
  EXPECT_EQ(offsetof(VideoFrame, offsetU), h.frameOffsetU);
  EXPECT_EQ(offsetof(VideoFrame, offsetV), h.frameOffsetV);
  EXPECT_EQ(offsetof(VideoFrame, pitchUV), h.framePitchUV);
  EXPECT_EQ(sizeof(VideoInfo), 48u);
  EXPECT_EQ(sizeof(AVSValue), h.valueSize);
}

// A frame exactly as the host lays it out in memory, handed out after the host took the luma
// write pointer twice (sequence number 2), held once.
TEST(HostLayoutTest, AHostMadeFrameIsWritableAndWrittenWhereTheHostReads) {
  const HostLayout& h = Host();
  SCOPED_TRACE(h.model);
  alignas(16) static unsigned char pixels[64 * 48];
  alignas(8) unsigned char bufferImage[64] = {};
  alignas(8) unsigned char frameImage[64] = {};
  BYTE* data = pixels;
  std::memcpy(bufferImage, &data, sizeof data);
  WriteHost(bufferImage + h.bufferDataSize, 4, sizeof pixels);
  WriteHost(bufferImage + h.bufferSequence, h.counterSize, 2);
  WriteHost(bufferImage + h.bufferRefcount, h.counterSize, 1);

  VideoFrameBuffer buffer;
  std::memcpy(&buffer, bufferImage, sizeof buffer);
  VideoFrameBuffer* vfb = &buffer;
  WriteHost(frameImage, h.frameRefcountSize, 1);
  std::memcpy(frameImage + h.frameVfb, &vfb, sizeof vfb);
  WriteHost(frameImage + h.frameOffset, 4, 0);
  WriteHost(frameImage + h.framePitch, 4, 64);
  WriteHost(frameImage + h.frameRowSize, 4, 64);
  WriteHost(frameImage + h.frameHeight, 4, 32);
  WriteHost(frameImage + h.frameOffsetU, 4, 64 * 32);
  WriteHost(frameImage + h.frameOffsetV, 4, 64 * 32 + 32 * 16);
  WriteHost(frameImage + h.framePitchUV, 4, 32);
  VideoFrame frame;
  std::memcpy(&frame, frameImage, sizeof frame);

  ASSERT_TRUE(frame.IsWritable());
  EXPECT_EQ(frame.GetWritePtr(), pixels);
  EXPECT_EQ(frame.GetWritePtr(PLANAR_U), pixels + 64 * 32);
  EXPECT_EQ(frame.GetPitch(PLANAR_V), 32);
  EXPECT_EQ(frame.GetRowSize(PLANAR_U), 32);
  EXPECT_EQ(frame.GetHeight(), 32);

  // The write advanced the host's sequence number, and nothing else of the buffer.
  std::memcpy(bufferImage, &buffer, sizeof buffer);
  EXPECT_EQ(ReadHost(bufferImage + h.bufferSequence, h.counterSize), 3);
  EXPECT_EQ(ReadHost(bufferImage + h.bufferRefcount, h.counterSize), 1);

  // Held twice, the frame is not writable: the host reads the plugin's count where it keeps it.
  frame.AddRef();
  std::memcpy(frameImage, &frame, sizeof frame);
  EXPECT_EQ(ReadHost(frameImage, h.frameRefcountSize), 2);
  EXPECT_EQ(frame.GetWritePtr(), nullptr);
}

class CountedClip : public IClip {
 public:
  PVideoFrame GetFrame(int, IScriptEnvironment*) override { return PVideoFrame(); }
  bool GetParity(int) override { return false; }
  void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
  void SetCacheHints(int, int) override {}
  const VideoInfo& GetVideoInfo() override { return vi_; }

 private:
  VideoInfo vi_{};
};

// The host adds and drops a clip's references itself, on the whole count at the host's offset; a
// clip made over memory that is not zero must start at 0 there.
TEST(HostLayoutTest, TheHostCountsAClipsReferencesAtItsOffset) {
  const HostLayout& h = Host();
  SCOPED_TRACE(h.model);
  alignas(CountedClip) unsigned char storage[sizeof(CountedClip) + 16];
  std::memset(storage, 0xA5, sizeof storage);
  CountedClip* clip = new (storage) CountedClip;
  EXPECT_EQ(ReadHost(storage + h.clipRefcnt, h.clipRefcntSize), 0);

  WriteHost(storage + h.clipRefcnt, h.clipRefcntSize, 1);  // the host's AddRef
  EXPECT_EQ(clip->RefCount(), 1);
  clip->AddRef();  // the plugin's
  EXPECT_EQ(ReadHost(storage + h.clipRefcnt, h.clipRefcntSize), 2);
  clip->~CountedClip();
}

}  // namespace
