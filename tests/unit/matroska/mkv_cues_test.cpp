// The cue index: the entry for the first cluster, values carried between cue points, stable
// order, failure leaving no cues, and the rebase to frame-time units.
#include <gtest/gtest.h>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

Bytes cuePoint(uint64_t time, std::initializer_list<Bytes> positions) {
  return master(0xBB, {uintElement(0xB3, time), element(0xB7, cat(positions))});
}

// Cues placed before the first cluster, so that the Segment scan reads them.
struct EarlyCueFile {
  MemoryInput in;
  FilePtr mf;
  uint64_t firstCluster = 0;
  EarlyCueFile(const Bytes& cues, uint64_t firstTimecode)
      : in(cat(
            {ebmlHeader(),
             segment(cat({infoElement(), tracksElement({trackEntry(1, 1, "V")}), cues,
                          cluster(firstTimecode, {simpleBlock(1, 0, 0x80, payload(4, 1))})}))})) {
    mf = openFile(in);
    if (mf) firstCluster = mf->firstClusterPos - mf->segmentDataPos;
  }
  ~EarlyCueFile() { mf.reset(); }
};

TEST(Cues, ReadSortedAndRebased) {
  // Read during the scan (before the cluster): the entry for the first cluster is added at the
  // end of the open, ahead of the others.
  Bytes cues =
      master(0x1C53BB6B,
             {cuePoint(50, {uintElement(0xF7, 1), uintElement(0xF1, 500), uintElement(0x5378, 3)}),
              cuePoint(20, {uintElement(0xF1, 300)}),
              cuePoint(20, {uintElement(0xF1, 400), uintElement(0xF7, 2)}),
              cuePoint(5, {uintElement(0xEA, 0), master(0xDB, {uintElement(0x96, 1)})})});
  EarlyCueFile f(cues, 10);
  ASSERT_TRUE(f.mf);
  std::vector<std::tuple<uint64_t, uint64_t, uint64_t>> got;
  for (uint32_t i = 0; i < f.mf->cueCount; ++i) {
    got.emplace_back(f.mf->cues[i].time, f.mf->cues[i].clusterPos, f.mf->cues[i].block);
  }
  // Times in ticks - first timecode, scaled: 5 ticks before the origin wraps like every time.
  const uint64_t ms = 1000000;
  std::vector<std::tuple<uint64_t, uint64_t, uint64_t>> expected = {
      {0, f.firstCluster, 0},
      {5 * ms - 10 * ms, 400, 3},  // before the origin: wraps; values carried over
      {10 * ms, 300, 3},
      {10 * ms, 400, 3},  // equal times keep their file order
      {40 * ms, 500, 3}};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(f.mf->cues[2].track, 1);
  EXPECT_EQ(f.mf->cues[3].track, 2);
}

TEST(Cues, FirstPointAtTheFirstClusterNeedsNoExtraEntry) {
  EarlyCueFile probe(master(0x1C53BB6B, {cuePoint(0, {uintElement(0xF1, 0)})}), 0);
  ASSERT_TRUE(probe.mf);
  const uint64_t first = probe.firstCluster;
  // The cues before the cluster: position of the cluster shifts by the Cues' own size, which is
  // the same for both files below (same-length numbers).
  Bytes at = master(0x1C53BB6B, {cuePoint(0, {uintElement(0xF1, first + 100, 2)}),
                                 cuePoint(5, {uintElement(0xF1, first + 200, 2)})});
  EarlyCueFile f(at, 0);
  ASSERT_TRUE(f.mf);
  uint64_t firstPos = f.firstCluster;
  Bytes same = master(0x1C53BB6B, {cuePoint(0, {uintElement(0xF1, firstPos, 2)}),
                                   cuePoint(5, {uintElement(0xF1, first + 200, 2)})});
  EarlyCueFile g(same, 0);
  ASSERT_TRUE(g.mf);
  EXPECT_EQ(g.mf->cueCount, 2u);
  EXPECT_EQ(f.mf->cueCount, 3u);
  EXPECT_EQ(g.mf->cues[1].time, 5000000u);
}

TEST(Cues, LongReversedTablesSortStablyAndQuickly) {
  Bytes points;
  for (uint64_t i = 0; i < 3000; ++i) {
    Bytes point = cuePoint(100000 - i / 2, {uintElement(0xF1, 1000 + i, 3)});
    points.insert(points.end(), point.begin(), point.end());
  }
  EarlyCueFile f(element(0x1C53BB6B, points), 0);
  ASSERT_TRUE(f.mf);
  ASSERT_EQ(f.mf->cueCount, 3001u);
  EXPECT_EQ(f.mf->cues[0].clusterPos, f.firstCluster);
  for (uint32_t i = 2; i < f.mf->cueCount; ++i) {
    const MkvCuePoint& a = f.mf->cues[i - 1];
    const MkvCuePoint& b = f.mf->cues[i];
    ASSERT_TRUE(a.time < b.time || (a.time == b.time && a.clusterPos < b.clusterPos)) << i;
  }
}

TEST(Cues, AnyErrorLeavesTheFileWithoutCues) {
  Bytes bad = master(0x1C53BB6B,
                     {cuePoint(1, {uintElement(0xF1, 0)}), cuePoint(2, {uintElement(0xF7, 256)})});
  EarlyCueFile f(bad, 0);
  ASSERT_TRUE(f.mf);
  EXPECT_EQ(f.mf->cueCount, 0u);
  EXPECT_EQ(f.mf->sectionsParsed & kParsedCues, 0u);
  EXPECT_STREQ(mkv_LastError(f.mf.get()), "CueTrack points to an invalid track: 256");
  // Reading is not refused because of it, even without the duration measurement.
  EXPECT_EQ(f.mf->flags & MKV_ERROR_RAISED, 0u);
  EXPECT_EQ(readAll(f.mf.get()).size(), 1u);
  mkv_Seek(f.mf.get(), 1, 0, 0);  // a scan then builds a table
  EXPECT_EQ(f.mf->cueCount, 1u);
}

}  // namespace
