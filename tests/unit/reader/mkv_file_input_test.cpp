#include "reader/mkv_file_input.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "decoder_test_support.h"

namespace {

using dectest::Bytes;

TEST(MkvFileInput, OperationsOverARealFile) {
  const std::string path = dectest::MediaPath("mkv576i.mkv");
  const Bytes file = dectest::ReadFile(path);
  ASSERT_GT(file.size(), 1000u);
  FILE* stream = std::fopen(path.c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  MkvFileInput record;
  std::memset(&record, 0x5A, sizeof record);
  InitMkvFileInput(&record, stream);
  EXPECT_EQ(record.inputFile, stream);
  EXPECT_EQ(record.lastError, 0);
  MkvInput* input = &record.ops;

  unsigned char buffer[16];
  ASSERT_EQ(input->read(input, 0, buffer, 4), 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes({0x1A, 0x45, 0xDF, 0xA3}));
  ASSERT_EQ(input->read(input, 100, buffer, 16), 16);
  EXPECT_EQ(Bytes(buffer, buffer + 16), Bytes(file.begin() + 100, file.begin() + 116));
  // Short at the end, nothing (not an error) at and past it.
  EXPECT_EQ(input->read(input, file.size() - 2, buffer, 16), 2);
  EXPECT_EQ(input->read(input, file.size(), buffer, 16), 0);
  EXPECT_EQ(input->read(input, file.size() + 1000, buffer, 16), 0);

  // The first Cluster (1F 43 B6 75), found by a plain search of the file.
  size_t cluster = 0;
  while (!(file[cluster] == 0x1F && file[cluster + 1] == 0x43 && file[cluster + 2] == 0xB6 &&
           file[cluster + 3] == 0x75)) {
    ++cluster;
  }
  EXPECT_EQ(input->scan(input, 0, 0x1F43B675), int64_t(cluster));
  EXPECT_EQ(input->scan(input, cluster, 0x1F43B675), int64_t(cluster));
  EXPECT_EQ(input->scan(input, 0, 0x1A45DFA3), 0);
  EXPECT_EQ(input->scan(input, 1, 0x1A45DFA3), -1);

  EXPECT_EQ(input->cacheSize(input), kMkvFileInputReadSize);
  EXPECT_EQ(input->progress(input, 1, 2), 1);
  EXPECT_EQ(input->fileSize, nullptr);
  void* block = input->alloc(input, 10);
  ASSERT_NE(block, nullptr);
  block = input->realloc(input, block, 100000);
  ASSERT_NE(block, nullptr);
  input->free(input, block);
  input->free(input, nullptr);
  std::fclose(stream);
}

TEST(MkvFileInput, AFailedReadLeavesItsErrorForTheMessage) {
  dectest::TempDir dir;
  const std::string path = dir.Path("write-only");
  dectest::WriteFile(path, std::string("some bytes"));
  FILE* stream = std::fopen(path.c_str(), "ab");  // not open for reading
  ASSERT_NE(stream, nullptr);
  MkvFileInput record;
  InitMkvFileInput(&record, stream);
  unsigned char buffer[4];
  errno = 0;
  EXPECT_EQ(record.ops.read(&record.ops, 0, buffer, 4), -1);
  EXPECT_NE(record.lastError, 0);
  EXPECT_STREQ(record.ops.errorText(&record.ops), std::strerror(record.lastError));
  std::fclose(stream);
}

// The scan's window starts empty: a signature of zeros matches only four zero bytes of the file.
TEST(MkvFileInput, ScanMatchesOnlyBytesOfTheFile) {
  dectest::TempDir dir;
  for (const Bytes& bytes : {Bytes{0, 0, 0}, Bytes{7, 0, 0, 0, 0}}) {
    dectest::WriteFile(dir.Path("zeros"), bytes);
    FILE* stream = std::fopen(dir.Path("zeros").c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    MkvFileInput record;
    InitMkvFileInput(&record, stream);
    EXPECT_EQ(record.ops.scan(&record.ops, 0, 0), bytes.size() == 3 ? -1 : 1);
    std::fclose(stream);
  }
}

}  // namespace
