// The clip-size record that follows REQUEST_INIT's operands.
#include <gtest/gtest.h>

#include <vector>

#include "server-link/clip_size.h"
#include "server-link/section_layout.h"

namespace server {
namespace {

TEST(ClipSize, RecordReadsBackAndLeavesTheOperandsAlone) {
  std::vector<unsigned char> view(0x40, 0xAB);
  PutClipSize(view.data(), 720, 576);
  int32_t width = 0, height = 0;
  ASSERT_TRUE(GetClipSize(view.data(), &width, &height));
  EXPECT_EQ(width, 720);
  EXPECT_EQ(height, 576);
  // The command word and the three operands are untouched.
  for (uint32_t at = kRequestOffset; at < kOperand3Offset + 4; ++at) EXPECT_EQ(view[at], 0xAB);
}

TEST(ClipSize, StaleOrInvalidBytesAreNoRecord) {
  std::vector<unsigned char> view(0x40, 0);
  int32_t width = 1, height = 1;
  EXPECT_FALSE(GetClipSize(view.data(), &width, &height)) << "zeros";
  PutClipSize(view.data(), 720, 576);
  view[kClipHeightOffset] ^= 1;  // a unit's bytes that happen to hold the tag
  EXPECT_FALSE(GetClipSize(view.data(), &width, &height));
  for (auto size : {std::pair<int, int>{0, 576}, std::pair<int, int>{720, -1},
                    std::pair<int, int>{9000, 576}}) {
    PutClipSize(view.data(), size.first, size.second);
    EXPECT_FALSE(GetClipSize(view.data(), &width, &height)) << size.first << "x" << size.second;
  }
  EXPECT_EQ(width, 1);
  EXPECT_EQ(height, 1);
}

}  // namespace
}  // namespace server
