#include "platform/file.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace platform;

namespace {

TEST(FileTest, SeeksAndTellsBeyondFourGigabytes) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  // A sparse file: writing one byte past 4 GiB costs no disk space.
  const uint64_t far = (uint64_t{1} << 32) + 12345;
  ASSERT_EQ(SeekFile(file, far), 0);
  EXPECT_EQ(TellFile(file), static_cast<int64_t>(far));
  ASSERT_EQ(std::fputc('z', file), 'z');
  ASSERT_EQ(SeekFile(file, far), 0);
  EXPECT_EQ(std::fgetc(file), 'z');
  EXPECT_EQ(TellFile(file), static_cast<int64_t>(far + 1));
  ASSERT_EQ(SeekFile(file, 0), 0);
  EXPECT_EQ(TellFile(file), 0);
  EXPECT_EQ(SeekFile(file, ~uint64_t{0}), -1);
  std::fclose(file);
  EXPECT_EQ(SeekFile(nullptr, 0), -1);
  EXPECT_EQ(TellFile(nullptr), -1);
}

}  // namespace
