// Damaged real files: cut at many lengths and with bytes flipped. Opening returns a file or
// null with a message; reading and seeking end, never crash, and return every block they took.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <tuple>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

// Opens, reads every frame, seeks to a few places and reads a little after each. Every frame
// reported lies inside the data the input has.
void exercise(MemoryInput& in, uint32_t flags = 0) {
  std::string message;
  FilePtr mf = openFile(in, flags, &message);
  if (!mf) {
    ASSERT_FALSE(message.empty());
    ASSERT_NE(message, "untouched");
    return;
  }
  uint32_t tracks = mkv_TrackCount(mf.get());
  std::vector<Frame> frames = readAll(mf.get(), 0, 20000);
  ASSERT_LT(frames.size(), 20000u);  // reading ended by itself
  for (const Frame& f : frames) {
    ASSERT_LT(f.track, tracks);
    ASSERT_LE(f.pos + f.size, in.data.size());
  }
  for (uint64_t t : {uint64_t{1}, uint64_t{2000000000}, uint64_t{0}, UINT64_MAX}) {
    mkv_Seek(mf.get(), t, 0, 0);
    std::vector<Frame> after = readAll(mf.get(), 0, 8);
    for (const Frame& f : after) ASSERT_LE(f.pos + f.size, in.data.size());
  }
}

class Damage : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string path = mediaPath("mkv576i_ts.mkv");
    if (path.empty()) GTEST_SKIP() << "media missing (build target test_media)";
    original = readFile(path);
    ASSERT_GT(original.size(), 100000u);
  }
  Bytes original;
};

// Every length up to 64 KiB (headers, SeekHead, Info, Tracks and the first clusters), then a
// sample of longer ones.
TEST_F(Damage, CutFilesOpenOrFailCleanly) {
  // The frames of the whole file: a cut file reports some of these and nothing else (a frame
  // whose block is cut is still reported by its position and size; reading it comes up short).
  std::set<std::tuple<uint32_t, uint64_t, uint32_t>> real;
  {
    MemoryInput whole(original);
    FilePtr mf = openFile(whole);
    ASSERT_TRUE(mf);
    for (const Frame& f : readAll(mf.get())) real.emplace(f.track, f.pos, f.size);
  }
  MemoryInput in(original);
  int opened = 0;
  auto cutAt = [&](size_t length) {
    in.limit = length;
    std::string message;
    // The duration measurement reads the same clusters again: exercised on every 16th cut.
    FilePtr mf = openFile(in, length % 16 == 0 ? 0 : MKV_OPEN_NO_SEEK, &message);
    if (!mf) {
      ASSERT_FALSE(message.empty());
      return;
    }
    ++opened;
    std::vector<Frame> frames = readAll(mf.get(), 0, 20000);
    ASSERT_LT(frames.size(), 20000u);
    for (const Frame& f : frames) {
      ASSERT_TRUE(real.count({f.track, f.pos, f.size})) << "cut at " << length;
    }
  };
  for (size_t length = 0; length <= 65536; ++length) {
    cutAt(length);
    if (HasFatalFailure()) return;
  }
  for (size_t length = 65537; length < original.size(); length += 4999) {
    in.limit = length;
    exercise(in);
    if (HasFatalFailure()) return;
  }
  // Info and Tracks stand in the first few kilobytes: most cuts open.
  EXPECT_GT(opened, 60000);
}

TEST_F(Damage, FlippedBytesNeverCrashOrLoop) {
  std::mt19937 random(12345);
  MemoryInput in(original);
  for (int round = 0; round < 300; ++round) {
    in.data = original;
    int flips = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < flips; ++i) {
      // Half of the damage lands in the first kilobytes, where the structure is dense.
      size_t where = (random() % 2) ? random() % 6000 : random() % in.data.size();
      in.data[where] ^= static_cast<uint8_t>(1 + random() % 255);
    }
    exercise(in, round % 3 == 0 ? MKV_OPEN_NO_SEEK : 0);
    if (HasFatalFailure()) return;
  }
}

TEST_F(Damage, ReadFailuresAreErrorsNotCrashes) {
  for (int failFrom : {0, 1, 2, 5, 20, 200}) {
    MemoryInput in(original);
    in.failReadsFrom = failFrom;
    std::string message;
    FilePtr mf = openFile(in, 0, &message);
    if (!mf) {
      EXPECT_EQ(message, "I/O Error: simulated read failure");
      continue;
    }
    readAll(mf.get(), 0, 20000);
  }
}

}  // namespace
