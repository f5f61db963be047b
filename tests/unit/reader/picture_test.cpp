#include "reader/picture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

uintptr_t Address(const void* p) {
  return reinterpret_cast<uintptr_t>(p);
}

TEST(AlignedMalloc, BlocksAreAlignedUsableAndFreed) {
  for (uint32_t alignment : {1u, 2u, 16u, 32u, 64u, 128u}) {
    for (uint32_t size : {0u, 1u, 100u, 4096u}) {
      unsigned char* block = static_cast<unsigned char*>(aligned_malloc(size, alignment));
      ASSERT_NE(block, nullptr);
      EXPECT_EQ(Address(block) % alignment, 0u) << alignment;
      // The stored distance leads back into the same allocation: 1 to `alignment`.
      EXPECT_GE(block[-1], 1);
      EXPECT_LE(block[-1], alignment);
      std::memset(block, 0xAB, size);  // every byte usable (ASan checks the bounds)
      aligned_free(block);
    }
  }
  aligned_free(nullptr);
}

TEST(AlignedMalloc, NoAlignmentKeepsOneByteInFront) {
  unsigned char* block = static_cast<unsigned char*>(aligned_malloc(10, 0));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[-1], 1);
  aligned_free(block);
}

TEST(AlignedMalloc, AlignmentsThatOneByteCannotServeAreRefused) {
  EXPECT_EQ(aligned_malloc(16, 256), nullptr);
  EXPECT_EQ(aligned_malloc(16, 24), nullptr);
}

TEST(CreateYV12Pict, PitchesAndChromaSizesByFormat) {
  YV12PICT* hd = create_YV12PICT(1080, 1920, 1);
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(hd->lumaPitch, 1920);
  EXPECT_EQ(hd->chromaPitch, 960);
  EXPECT_EQ(hd->chromaWidth, 960);
  EXPECT_EQ(hd->chromaHeight, 540);
  EXPECT_EQ(hd->lumaWidth, 1920);
  EXPECT_EQ(hd->lumaHeight, 1080);
  EXPECT_EQ(Address(hd->lumaPlane) % 32, 0u);
  EXPECT_EQ(Address(hd->uPlane) % 16, 0u);
  EXPECT_EQ(Address(hd->vPlane) % 16, 0u);
  // Every plane byte is writable.
  std::memset(hd->lumaPlane, 1, size_t(hd->lumaPitch) * 1080);
  std::memset(hd->uPlane, 2, size_t(hd->chromaPitch) * 540);
  std::memset(hd->vPlane, 3, size_t(hd->chromaPitch) * 540);
  destroy_YV12PICT(hd);

  YV12PICT* sd = create_YV12PICT(576, 720, 1);
  EXPECT_EQ(sd->chromaPitch, 368);
  EXPECT_EQ(sd->lumaPitch, 736);
  destroy_YV12PICT(sd);

  YV12PICT* p422 = create_YV12PICT(576, 720, 2);
  EXPECT_EQ(p422->chromaWidth, 360);
  EXPECT_EQ(p422->chromaHeight, 576);
  destroy_YV12PICT(p422);

  YV12PICT* p444 = create_YV12PICT(576, 720, 3);
  EXPECT_EQ(p444->chromaWidth, 720);
  EXPECT_EQ(p444->chromaHeight, 576);
  EXPECT_EQ(p444->chromaPitch, 720);
  destroy_YV12PICT(p444);
}

TEST(CreateYV12Pict, OddWidthStillFitsEveryLumaRow) {
  YV12PICT* p = create_YV12PICT(4, 33, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_GE(p->lumaPitch, 33);
  EXPECT_EQ(p->lumaPitch % 32, 0);
  std::memset(p->lumaPlane, 0, size_t(p->lumaPitch) * 4);
  destroy_YV12PICT(p);
}

}  // namespace
