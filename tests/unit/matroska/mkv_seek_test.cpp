// Seeking on real clips against an independent walk of their frames, the cluster scan of files
// without cues, and the seek rules on small built files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_reference.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

struct Walked {
  std::vector<RefFrame> video;  // the video track's frames in file order
  uint32_t videoIndex = 0;
};

// The clip with its video frames from mkvinfo; false when the media is missing.
bool load(const std::string& name, RefFile& ref, std::unique_ptr<MemoryInput>& in, FilePtr& mf,
          Walked& walk) {
  std::string path = mediaPath(name);
  if (path.empty() || !haveTool("mkvinfo")) return false;
  ref = describeWithMkvinfo(path);
  in = std::make_unique<MemoryInput>(readFile(path));
  mf = openFile(*in);
  if (!mf) return false;
  int number = -1;
  for (uint32_t i = 0; i < mkv_TrackCount(mf.get()); ++i) {
    if (mkv_TrackEntry(mf.get(), i)->trackType == 1) {
      walk.videoIndex = i;
      number = mkv_TrackEntry(mf.get(), i)->trackNumber;
      break;
    }
  }
  for (const RefFrame& f : ref.frames) {
    if (f.track == number) walk.video.push_back(f);
  }
  mkv_SelectTracks(mf.get(), ~(1u << walk.videoIndex));
  return !walk.video.empty();
}

size_t indexOfPos(const Walked& walk, uint64_t pos) {
  for (size_t i = 0; i < walk.video.size(); ++i) {
    if (walk.video[i].pos == pos) return i;
  }
  return SIZE_MAX;
}

class SeekClip : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!load(GetParam(), ref, in, mf, walk)) GTEST_SKIP() << "media or mkvinfo missing";
    origin = ref.origin();
    // The key frames where a run can start: the cue points, or (without cues) every cluster's
    // first video frame.
    for (size_t i = 0; i < walk.video.size(); ++i) {
      if (walk.video[i].key) keyFrames.push_back(i);
    }
  }
  uint64_t startOf(size_t i) const { return walk.video[i].timestamp - origin; }

  RefFile ref;
  std::unique_ptr<MemoryInput> in;
  FilePtr mf;
  Walked walk;
  uint64_t origin = 0;
  std::vector<size_t> keyFrames;
};

// After a seek to the time of a key frame, the next frame is that key frame and the rest follow
// in file order: a decoder can start the GOP at its first coded picture, even when the GOP is
// open and its leading B pictures (stored after the I picture) show earlier.
TEST_P(SeekClip, SeekToEveryKeyFrameDeliversItFirst) {
  ASSERT_GT(keyFrames.size(), 3u);
  // With a long read span the I picture and its leading pictures are queued together, which is
  // where a reordered head would be dropped; with a short one the I picture comes alone.
  for (uint32_t preferred : {65536u, 1u << 20}) {
    in->preferredSize = preferred;
    int openGops = 0;
    for (size_t k : keyFrames) {
      const uint64_t t = startOf(k);
      mkv_Seek(mf.get(), t, 0, walk.videoIndex);
      std::vector<Frame> got = readAll(mf.get(), 0, 4);
      ASSERT_EQ(got.size(), std::min<size_t>(4, walk.video.size() - k)) << "time " << t;
      SCOPED_TRACE("key frame at " + std::to_string(walk.video[k].pos) + ", read size " +
                   std::to_string(preferred));
      EXPECT_EQ(got[0].pos, walk.video[k].pos);
      EXPECT_EQ(got[0].start, t);
      EXPECT_TRUE(got[0].flags & MKV_FRAME_KEY);
      for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i].pos, walk.video[k + i].pos);
      if (got.size() > 1 && got[1].start < got[0].start) ++openGops;
    }
    EXPECT_GT(openGops, 0);
  }
}

// Between key frames: the frames delivered are a contiguous run of the file's frames starting
// at or after the target; every frame passed over since the cluster the seek started from
// either starts before the target or was a reordered picture stored ahead of earlier ones.
TEST_P(SeekClip, SeekBetweenKeyFramesDeliversFromTheTarget) {
  for (size_t i = 1; i + 1 < walk.video.size(); i += 5) {
    const uint64_t t = startOf(i) + 1;  // just after a frame's start
    mkv_Seek(mf.get(), t, 0, walk.videoIndex);
    std::vector<Frame> got = readAll(mf.get(), 0, 6);
    if (got.empty()) continue;  // nothing at or after t in the rest of the file
    SCOPED_TRACE("target " + std::to_string(t));
    size_t first = indexOfPos(walk, got[0].pos);
    ASSERT_NE(first, SIZE_MAX);
    EXPECT_GE(got[0].start, t);
    for (size_t j = 1; j < got.size(); ++j) EXPECT_EQ(got[j].pos, walk.video[first + j].pos);
    // The last key frame not after t started the search.
    size_t from = 0;
    for (size_t k : keyFrames) {
      if (startOf(k) <= t) from = std::max(from, k);
    }
    for (size_t j = std::min(from, first); j < first; ++j) {
      bool early = startOf(j) < t;
      bool reordered =
          !walk.video[j].key && j + 1 < walk.video.size() && startOf(j) > startOf(j + 1);
      EXPECT_TRUE(early || reordered) << "frame " << j << " passed over";
    }
  }
}

TEST_P(SeekClip, SeekToZeroRestartsAtTheFirstFrameWithoutReading) {
  readAll(mf.get(), 0, 30);
  int reads = in->reads;
  mkv_Seek(mf.get(), 0, 0, walk.videoIndex);
  EXPECT_EQ(in->reads, reads);
  std::vector<Frame> got = readAll(mf.get());
  ASSERT_EQ(got.size(), walk.video.size());
  EXPECT_EQ(got[0].pos, walk.video[0].pos);
  // A target after everything drops what it reads and leaves reading where that batch ended.
  mkv_Seek(mf.get(), UINT64_MAX, 0, walk.videoIndex);
  std::vector<Frame> rest = readAll(mf.get());
  EXPECT_LT(rest.size(), walk.video.size());
}

INSTANTIATE_TEST_SUITE_P(Clips, SeekClip,
                         ::testing::Values("mkv576i.mkv", "mkv576i_ts.mkv", "mkv576i_nocues.mkv",
                                           "ffmpeg576i.mkv"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST(ClusterScan, BuildsTheIndexOnceFromTheClusters) {
  RefFile ref;
  std::unique_ptr<MemoryInput> in;
  FilePtr mf;
  Walked walk;
  if (!load("mkv576i_nocues.mkv", ref, in, mf, walk)) GTEST_SKIP() << "media missing";
  ASSERT_EQ(mf->cueCount, 0u);
  in->progressCalls.clear();
  mkv_Seek(mf.get(), 1, 0, walk.videoIndex);
  // Clusters probed about a tenth of the segment apart, in file order, never the last one (no
  // Cluster follows it); each entry's time is its cluster's Timecode.
  ASSERT_GE(mf->cueCount, 5u);
  ASSERT_LE(mf->cueCount, 11u);
  uint64_t previous = 0;
  for (uint32_t i = 0; i < mf->cueCount; ++i) {
    uint64_t pos = mf->cues[i].clusterPos + mf->segmentDataPos;
    auto at = std::find(ref.clusterPositions.begin(), ref.clusterPositions.end(), pos);
    ASSERT_NE(at, ref.clusterPositions.end());
    EXPECT_NE(at + 1, ref.clusterPositions.end());
    EXPECT_TRUE(i == 0 || pos > previous);
    previous = pos;
    size_t n = static_cast<size_t>(at - ref.clusterPositions.begin());
    EXPECT_EQ(mf->cues[i].time, ref.clusterTimestamps.at(n) - ref.origin());
  }
  EXPECT_EQ(mf->cues[0].clusterPos + mf->segmentDataPos, ref.clusterPositions[0]);
  ASSERT_FALSE(in->progressCalls.empty());
  EXPECT_EQ(in->progressCalls.back(), std::make_pair(uint64_t{0}, uint64_t{0}));
  EXPECT_EQ(in->progressCalls.front().second, mf->segmentEnd);
  size_t calls = in->progressCalls.size();
  mkv_Seek(mf.get(), 2000000000, 0, walk.videoIndex);
  EXPECT_EQ(in->progressCalls.size(), calls);  // the table is kept

  // A cancelled scan keeps what it found (here nothing): the first cluster stands in.
  FilePtr again = openFile(*in);
  ASSERT_TRUE(again);
  in->progressResult = 0;
  mkv_Seek(again.get(), 2000000000, 0, walk.videoIndex);
  ASSERT_EQ(again->cueCount, 1u);
  EXPECT_EQ(again->cues[0].clusterPos + again->segmentDataPos, ref.clusterPositions[0]);
}

// A small file: one cluster whose video frames are stored in decode order 400, 200, 300 (ms).
Bytes reorderedFile(uint8_t headFlags) {
  Bytes tracks = tracksElement({trackEntry(1, 1, "V_MPEG2")});
  Bytes clusterBytes = cluster(
      0, {simpleBlock(1, 0, 0x80, payload(10, 1)), simpleBlock(1, 400, headFlags, payload(10, 2)),
          simpleBlock(1, 200, 0x00, payload(10, 3)), simpleBlock(1, 300, 0x00, payload(10, 4))});
  return cat({ebmlHeader(), segment(cat({infoElement(), tracks, clusterBytes}))});
}

TEST(SeekRules, ReorderedHeadIsDroppedUnlessItIsAKeyFrame) {
  MemoryInput plain(reorderedFile(0x00));
  MemoryInput key(reorderedFile(0x80));
  FilePtr mf = openFile(plain);
  ASSERT_TRUE(mf);
  mkv_Seek(mf.get(), 100000000, 0, 0);
  std::vector<Frame> got = readAll(mf.get());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].start, 200000000u);
  EXPECT_EQ(got[1].start, 300000000u);

  mf = openFile(key);
  ASSERT_TRUE(mf);
  mkv_Seek(mf.get(), 100000000, 0, 0);
  got = readAll(mf.get());
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].start, 400000000u);
  EXPECT_TRUE(got[0].flags & MKV_FRAME_KEY);
}

TEST(SeekRules, NoSeekFlagAndBadTrackLeaveReadingAlone) {
  MemoryInput in(reorderedFile(0x00));
  FilePtr mf = openFile(in, MKV_OPEN_NO_SEEK);
  ASSERT_TRUE(mf);
  mkv_Seek(mf.get(), 300000000, 0, 0);
  EXPECT_EQ(readAll(mf.get()).size(), 4u);
  mf = openFile(in);
  mkv_Seek(mf.get(), 300000000, 0, 7);
  EXPECT_EQ(readAll(mf.get()).size(), 4u);
}

}  // namespace
