// Opening: EBML header limits, the Segment scan, SeekHead chains, segment information, the time
// origin, recovery rules, and no leaks on any failure.
#include <gtest/gtest.h>

#include <string>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

constexpr uint32_t kVoid = 0xEC;

Bytes videoTracks() {
  return tracksElement({trackEntry(1, 1, "V_MPEG2")});
}
Bytes oneCluster(uint64_t timecode = 0, int16_t relative = 0) {
  return cluster(timecode, {simpleBlock(1, relative, 0x80, payload(20, 7))});
}
Bytes plainFile(const Bytes& info = infoElement()) {
  return cat({ebmlHeader(), segment(cat({info, videoTracks(), oneCluster()}))});
}

std::string openError(const Bytes& bytes, uint32_t flags = 0, uint64_t base = 0) {
  MemoryInput in(bytes);
  std::string message;
  FilePtr mf = openFile(in, flags, &message, base);
  return mf ? "opened" : message;
}

// A Seek entry naming `id` at `position` relative to the segment data.
Bytes seekEntry(uint32_t id, uint64_t position) {
  return master(0x4DBB, {element(0x53AB, idBytes(id)), uintElement(0x53AC, position)});
}

TEST(OpenHeader, DocTypeAndVersionLimits) {
  EXPECT_EQ(openError(plainFile()), "opened");
  Bytes rest = segment(cat({infoElement(), videoTracks(), oneCluster()}));
  EXPECT_EQ(openError(cat({ebmlHeader("matroska", 3), rest})),
            "File requires version 3 Matroska parser");
  EXPECT_EQ(openError(cat({ebmlHeader("webm"), rest})), "Unsupported DocType: webm");
  EXPECT_EQ(openError(cat({master(0x1A45DFA3, {uintElement(0x42F7, 2)}), rest})),
            "File requires version 2 EBML parser");
  EXPECT_EQ(openError(cat({master(0x1A45DFA3, {uintElement(0x42F2, 5)}), rest})),
            "File has identifiers longer than 5");
  EXPECT_EQ(openError(cat({master(0x1A45DFA3, {uintElement(0x42F3, 9)}), rest})),
            "File has integers longer than 9");
  EXPECT_EQ(openError(cat({master(0x1A45DFA3, {}), rest})), "opened");  // nothing to check
}

TEST(OpenHeader, WhatMayStandBeforeTheSegment) {
  Bytes seg = segment(cat({infoElement(), videoTracks(), oneCluster()}));
  EXPECT_EQ(openError(seg), "First element in file is not EBML");
  EXPECT_EQ(openError(cat({Bytes{0x81, 0x82, 0x83}, seg}), 0, 3), "opened");
  EXPECT_EQ(openError(cat({ebmlHeader(), element(kVoid, payload(50, 0)), seg})), "opened");
  EXPECT_EQ(openError(cat({ebmlHeader(), idBytes(kVoid), unknownSize(1), payload(9, 0), seg})),
            "Element EC of unspecified size before the Segment");
  EXPECT_EQ(openError({}), "Unexpected EOF at start of file");
  EXPECT_EQ(openError(ebmlHeader()), "No segments found in the file");
  EXPECT_EQ(openError(cat({ebmlHeader(), segment(cat({videoTracks(), oneCluster()}))})),
            "Couldn't find SegmentInfo");
  // The message is cut to the caller's buffer.
  MemoryInput in(seg);
  char small[6];
  EXPECT_EQ(mkv_OpenFile(in.input(), 0, 0, small, sizeof small), nullptr);
  EXPECT_STREQ(small, "First");
}

TEST(OpenSegmentInfo, ValuesDefaultsAndLimits) {
  {
    MemoryInput in(plainFile(element(0x1549A966, floatElement(0x4489, 1234.5))));
    FilePtr mf = openFile(in, MKV_OPEN_NO_SEEK);
    ASSERT_TRUE(mf);
    EXPECT_EQ(mkv_SegmentInfo(mf.get())->timecodeScale, 1000000u);
    EXPECT_EQ(mkv_SegmentInfo(mf.get())->duration, 1234500000u);
  }
  {
    Bytes info =
        infoElement({stringElement(0x7BA9, std::string(2000, 't')), stringElement(0x4D80, "mux"),
                     stringElement(0x5741, "writer"), element(0x73A4, payload(16, 0xAB)),
                     uintElement(0x4461, 12345), stringElement(0x7BA9, "second title wins")});
    MemoryInput in(plainFile(info));
    FilePtr mf = openFile(in);
    ASSERT_TRUE(mf);
    const MkvSegmentInfo* si = mkv_SegmentInfo(mf.get());
    EXPECT_STREQ(si->title, "second title wins");
    EXPECT_STREQ(si->muxingApp, "mux");
    EXPECT_STREQ(si->writingApp, "writer");
    EXPECT_EQ(si->segmentUID[15], 0xAB);
    EXPECT_EQ(si->dateUTC, 12345);
    EXPECT_EQ(si->dateUTCValid, 1);
  }
  {
    MemoryInput in(plainFile(infoElement({stringElement(0x7BA9, std::string(2000, 't'))})));
    FilePtr mf = openFile(in);
    ASSERT_TRUE(mf);
    EXPECT_EQ(std::string(mkv_SegmentInfo(mf.get())->title), std::string(1023, 't'));
  }
}

TEST(OpenSegmentInfo, ErrorsDuringTheScanKeepWhatWasRead) {
  {
    // A zero scale is reported and not kept: times stay computable.
    Bytes info = element(0x1549A966, cat({stringElement(0x4D80, "mux"), uintElement(0x2AD7B1, 0),
                                          floatElement(0x4489, 10.0)}));
    MemoryInput in(plainFile(info));
    FilePtr mf = openFile(in, MKV_OPEN_NO_SEEK);
    ASSERT_TRUE(mf);
    EXPECT_EQ(mkv_SegmentInfo(mf.get())->timecodeScale, 1000000u);
    EXPECT_STREQ(mkv_SegmentInfo(mf.get())->muxingApp, "mux");
    EXPECT_STREQ(mkv_LastError(mf.get()), "Segment timecode scale is zero");
    EXPECT_EQ(mf->flags & MKV_ERROR_RAISED, 0u);
  }
  {
    Bytes info = infoElement({floatElement(0x4489, 10.0), element(0x73A4, payload(8, 1))});
    MemoryInput in(plainFile(info));
    FilePtr mf = openFile(in, MKV_OPEN_NO_SEEK);
    ASSERT_TRUE(mf);
    EXPECT_STREQ(mkv_LastError(mf.get()), "SegmentUID size is not 16 bytes");
    EXPECT_EQ(mkv_SegmentInfo(mf.get())->duration, 0u);  // never computed
  }
}

TEST(OpenSegment, UnknownSizeEndsAtTheFileSize) {
  Bytes bytes =
      cat({ebmlHeader(), segmentUnknownSize(cat({infoElement(), videoTracks(), oneCluster()}))});
  MemoryInput in(bytes);
  FilePtr mf = openFile(in);
  ASSERT_TRUE(mf);
  EXPECT_EQ(mkv_SegmentEnd(mf.get()), UINT64_MAX);
  EXPECT_EQ(readAll(mf.get()).size(), 1u);
  mf.reset();
  in.withFileSize = true;
  mf = openFile(in);
  ASSERT_TRUE(mf);
  EXPECT_EQ(mkv_SegmentEnd(mf.get()), bytes.size());
  EXPECT_EQ(readAll(mf.get()).size(), 1u);
}

TEST(OpenSegment, SeekHeadNamesTheSectionsAndStopsTheScan) {
  // SeekHead, Void, Cluster, Tracks, Info: the SeekHead names all three, so the scan stops after
  // it and reads each at its position.
  Bytes clusterBytes = oneCluster(1000, -2);
  Bytes tracks = videoTracks();
  Bytes info = infoElement({stringElement(0x4D80, "late info")});
  const size_t headSize = 60;
  uint64_t clusterAt = headSize, tracksAt = clusterAt + clusterBytes.size(),
           infoAt = tracksAt + tracks.size();
  Bytes head = master(0x114D9B74, {seekEntry(0x1F43B675, clusterAt),
                                   seekEntry(0x1654AE6B, tracksAt), seekEntry(0x1549A966, infoAt)});
  head = cat({head, element(kVoid, payload(headSize - head.size() - 2, 0))});
  ASSERT_EQ(head.size(), headSize);
  Bytes bytes = cat({ebmlHeader(), segment(cat({head, clusterBytes, tracks, info}))});
  MemoryInput in(bytes);
  FilePtr mf = openFile(in);
  ASSERT_TRUE(mf);
  EXPECT_STREQ(mkv_SegmentInfo(mf.get())->muxingApp, "late info");
  EXPECT_EQ(mf->firstClusterPos, mf->segmentDataPos + clusterAt);
  EXPECT_EQ(mf->firstTimecode, 998u);  // Timecode 1000, first block at -2
  ASSERT_EQ(mkv_TrackCount(mf.get()), 1u);
  std::vector<Frame> frames = readAll(mf.get());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].start, 0u);

  // The same with MKV_OPEN_NO_SEEK: the SeekHead is ignored and the scan finds everything.
  mf = openFile(in, MKV_OPEN_NO_SEEK);
  ASSERT_TRUE(mf);
  EXPECT_STREQ(mkv_SegmentInfo(mf.get())->muxingApp, "late info");
}

TEST(OpenSegment, SeekHeadCyclesEndAfterTenHeads) {
  // Two SeekHeads that name each other, after them Info, Tracks and a Cluster.
  Bytes a = master(0x114D9B74, {seekEntry(0x114D9B74, 30)});
  a = cat({a, element(kVoid, payload(30 - a.size() - 2, 0))});
  Bytes b = master(0x114D9B74, {seekEntry(0x114D9B74, 0)});
  b = cat({b, element(kVoid, payload(30 - b.size() - 2, 0))});
  ASSERT_EQ(a.size(), 30u);
  MemoryInput in(
      cat({ebmlHeader(), segment(cat({a, b, infoElement(), videoTracks(), oneCluster()}))}));
  FilePtr mf = openFile(in);
  ASSERT_TRUE(mf);
  EXPECT_EQ(mkv_TrackCount(mf.get()), 1u);
  Bytes twice = master(0x114D9B74, {seekEntry(0x114D9B74, 20), seekEntry(0x114D9B74, 0)});
  MemoryInput bad(
      cat({ebmlHeader(), segment(cat({infoElement(), videoTracks(), twice, oneCluster()}))}));
  mf = openFile(bad);
  ASSERT_TRUE(mf);  // the error ends the scan; Info and Tracks were read before it
  EXPECT_STREQ(mkv_LastError(mf.get()), "SeekHead contains more than one SeekHead pointer");
  mf.reset();
}

TEST(OpenSegment, NoClustersAndTheTimeOrigin) {
  MemoryInput in(cat({ebmlHeader(), segment(cat({infoElement(), videoTracks()}))}));
  FilePtr mf = openFile(in);
  ASSERT_TRUE(mf);
  EXPECT_EQ(mf->firstClusterPos, mkv_SegmentEnd(mf.get()));
  EXPECT_EQ(mf->firstTimecode, 0u);
  EXPECT_TRUE(readAll(mf.get()).empty());
  mkv_Seek(mf.get(), 5, 0, 0);
  EXPECT_TRUE(readAll(mf.get()).empty());
}

// Every allocation failing in turn: the open either succeeds or fails with a message, and every
// block it took comes back (the input checks at its destruction).
TEST(OpenSegment, OutOfMemoryAnywhereLeaksNothing) {
  Bytes bytes = cat(
      {ebmlHeader(),
       segment(cat(
           {infoElement({stringElement(0x7BA9, "title"), stringElement(0x4D80, "m")}),
            tracksElement(
                {trackEntry(1, 1, "V_MPEG2",
                            {stringElement(0x536E, "video"), element(0x63A2, payload(30, 1))}),
                 trackEntry(2, 2, "A_MPEG/L2")}),
            master(0x1254C367, {master(0x7373, {master(0x67C8, {stringElement(0x45A3, "N"),
                                                                stringElement(0x4487, "V")})})}),
            oneCluster(), cluster(40, {simpleBlock(2, 0, 0x80, payload(9, 1))})}))});
  int succeeded = 0;
  for (long budget = 0; budget < 60; ++budget) {
    MemoryInput in(bytes);
    in.allocBudget = budget;
    std::string message;
    FilePtr mf = openFile(in, 0, &message);
    if (mf) {
      ++succeeded;
      readAll(mf.get());
    } else {
      EXPECT_FALSE(message.empty());
      EXPECT_NE(message, "untouched");
    }
  }
  EXPECT_GT(succeeded, 0);
}

}  // namespace
