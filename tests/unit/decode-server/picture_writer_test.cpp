#include "decode-server/picture_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "server-link/section_layout.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace decode_server {
namespace {

// A frame whose every sample tells where it is: luma (x + 3y), U 100 + row, V 200 - row.
AVFrame* PatternFrame(int width, int height, AVPixelFormat format) {
  AVFrame* frame = av_frame_alloc();
  frame->width = width;
  frame->height = height;
  frame->format = format;
  EXPECT_EQ(av_frame_get_buffer(frame, 0), 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) frame->data[0][y * frame->linesize[0] + x] = uint8_t(x + 3 * y);
  }
  const int chromaHeight = format == AV_PIX_FMT_YUV420P ? (height + 1) / 2 : height;
  for (int y = 0; y < chromaHeight; ++y) {
    std::memset(frame->data[1] + y * frame->linesize[1], 100 + y % 50, (width + 1) / 2);
    std::memset(frame->data[2] + y * frame->linesize[2], 200 - y % 50, (width + 1) / 2);
  }
  return frame;
}

int32_t Word(const std::vector<uint8_t>& view, uint32_t offset) {
  int32_t value;
  std::memcpy(&value, view.data() + offset, 4);
  return value;
}

TEST(PictureWriter, WritesNv12WithItsHeader) {
  std::vector<uint8_t> view(server::kSectionSize);
  AVFrame* frame = PatternFrame(720, 576, AV_PIX_FMT_YUV420P);
  PictureInfo info;
  info.index = 7;
  info.displayIndex = 3;
  info.flags = kPictureFlagPlaceholder;
  EXPECT_TRUE(WritePicture(view.data(), frame, info));
  EXPECT_EQ(Word(view, server::kPicHeightOffset), 576);
  EXPECT_EQ(Word(view, server::kPicWidthOffset), 720);
  const int pitch = Word(view, server::kPicPitchOffset);
  EXPECT_GE(pitch, 720);
  EXPECT_EQ(Word(view, server::kPicIndexOffset), 7);
  EXPECT_EQ(Word(view, server::kPicFlagsOffset), kPictureFlagPlaceholder);
  EXPECT_EQ(Word(view, server::kPicDisplayIndexOffset), 3);
  const uint8_t* area = view.data() + server::kPictureAreaOffset;
  EXPECT_EQ(area[5 * pitch + 9], uint8_t(9 + 15));
  const uint8_t* chroma = area + pitch * 576;
  EXPECT_EQ(chroma[10 * pitch + 2 * 17], 110);      // U of chroma row 10
  EXPECT_EQ(chroma[10 * pitch + 2 * 17 + 1], 190);  // V of chroma row 10
  av_frame_free(&frame);
}

// Every chroma sample lands in its own column, for a width whose pairs are not a multiple of any
// block size (725 luma columns: 363 pairs).
TEST(PictureWriter, ChromaSamplesKeepTheirColumns) {
  std::vector<uint8_t> view(server::kSectionSize);
  AVFrame* frame = PatternFrame(725, 64, AV_PIX_FMT_YUV420P);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 363; ++x) {
      frame->data[1][y * frame->linesize[1] + x] = uint8_t(x * 5 + y);
      frame->data[2][y * frame->linesize[2] + x] = uint8_t(x * 3 + 2 * y + 1);
    }
  }
  EXPECT_TRUE(WritePicture(view.data(), frame, PictureInfo()));
  const int pitch = Word(view, server::kPicPitchOffset);
  const uint8_t* chroma = view.data() + server::kPictureAreaOffset + pitch * 64;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 363; ++x) {
      ASSERT_EQ(chroma[y * pitch + 2 * x], uint8_t(x * 5 + y)) << "U " << x << "," << y;
      ASSERT_EQ(chroma[y * pitch + 2 * x + 1], uint8_t(x * 3 + 2 * y + 1)) << "V " << x << "," << y;
    }
  }
  av_frame_free(&frame);
}

TEST(PictureWriter, OtherChromaLayoutsBecome420) {
  std::vector<uint8_t> view(server::kSectionSize);
  AVFrame* frame = PatternFrame(64, 32, AV_PIX_FMT_YUV422P);
  EXPECT_TRUE(WritePicture(view.data(), frame, PictureInfo{}));
  const int pitch = Word(view, server::kPicPitchOffset);
  const uint8_t* chroma = view.data() + server::kPictureAreaOffset + pitch * 32;
  EXPECT_EQ(chroma[5 * pitch], 110);  // 4:2:0 row 5 is 4:2:2 row 10
  EXPECT_EQ(chroma[5 * pitch + 1], 190);
  av_frame_free(&frame);
}

// Larger than the area: clipped to 2048 bytes and 1088 luma rows, nothing written past the end of
// the section (the buffer is exactly the section's size, so a sanitizer build catches any overrun).
TEST(PictureWriter, OversizedPicturesAreClippedToTheArea) {
  std::vector<uint8_t> view(server::kSectionSize);
  AVFrame* frame = PatternFrame(2560, 1440, AV_PIX_FMT_YUV420P);
  PictureInfo info;
  EXPECT_FALSE(WritePicture(view.data(), frame, info));
  EXPECT_EQ(Word(view, server::kPicWidthOffset), 2048);
  EXPECT_EQ(Word(view, server::kPicHeightOffset), 1088);
  EXPECT_EQ(Word(view, server::kPicPitchOffset), 2048);
  EXPECT_EQ(Word(view, server::kPicFullWidthOffset), 2560);
  EXPECT_EQ(Word(view, server::kPicFullHeightOffset), 1440);
  EXPECT_TRUE(Word(view, server::kPicFlagsOffset) & kPictureFlagClipped);
  const uint8_t* lastChromaRow = view.data() + server::kPictureAreaOffset + 2048 * (1088 + 543);
  EXPECT_EQ(lastChromaRow[0], 100 + 543 % 50);
  av_frame_free(&frame);

  for (const auto& size : {std::pair<int, int>{4000, 100}, {100, 3000}, {2049, 1089}}) {
    AVFrame* odd = PatternFrame(size.first, size.second, AV_PIX_FMT_YUV420P);
    EXPECT_FALSE(WritePicture(view.data(), odd, PictureInfo{}));
    const int32_t pitch = Word(view, server::kPicPitchOffset);
    const int32_t rows = Word(view, server::kPicHeightOffset);
    EXPECT_LE(static_cast<int64_t>(pitch) * (rows + (rows + 1) / 2), server::kPictureAreaSize);
    av_frame_free(&odd);
  }
}

}  // namespace
}  // namespace decode_server
