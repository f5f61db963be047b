// Blocks and frames on built files: the three lacings, frame times, flags, block additions,
// unknown and skipped tracks, and resynchronisation after damage.
#include <gtest/gtest.h>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

constexpr uint64_t kMs = 1000000;

// A file with a video track 1 and an audio track 2 (default duration `audioDuration`) and the
// given clusters.
struct FrameFile {
  MemoryInput in;
  FilePtr mf;
  FrameFile(std::initializer_list<Bytes> clusters, uint64_t audioDuration = 0)
      : in(cat({ebmlHeader(),
                segment(cat(
                    {infoElement(),
                     tracksElement({trackEntry(1, 1, "V_MPEG2"),
                                    trackEntry(2, 2, "A", {uintElement(0x23E383, audioDuration)})}),
                     cat(clusters)}))})) {
    mf = openFile(in, MKV_OPEN_NO_SEEK);
  }
  ~FrameFile() { mf.reset(); }
  std::vector<Frame> frames(uint32_t mask = 0) { return readAll(mf.get(), mask); }
};

Bytes laced(uint64_t track, int16_t relative, uint8_t flags, const Bytes& header,
            const Bytes& data) {
  return element(0xA3, cat({blockBody(track, relative, flags, header), data}));
}

TEST(Lacing, XiphFixedAndEbml) {
  // Xiph: 3 frames, coded sizes 255+10 and 7; the last takes the rest.
  Bytes xiph = laced(2, 0, 0x82, Bytes{2, 255, 10, 7}, payload(300, 1));
  // Fixed: 3 frames over 10 bytes: 3 each, the tenth byte in none.
  Bytes fixed = laced(2, 10, 0x84, Bytes{2}, payload(10, 2));
  // EBML: 3 frames, first 5, second 5 + (+2) = 7, last the rest.
  Bytes ebml = laced(2, 20, 0x86, Bytes{2, 0x85, 0xC1}, payload(20, 3));
  // EBML with a single frame: no sizes are coded, the frame is the whole rest.
  Bytes single = laced(2, 30, 0x86, Bytes{0}, payload(6, 4));
  // Lacing with a count byte of 0: one frame of the whole rest.
  Bytes xiphOne = laced(2, 40, 0x82, Bytes{0}, payload(8, 5));
  FrameFile f({cluster(0, {xiph, fixed, ebml, single, xiphOne})}, 4 * kMs);
  std::vector<Frame> got = f.frames();
  std::vector<uint32_t> sizes;
  for (const Frame& fr : got) sizes.push_back(fr.size);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{265, 7, 300 - 272, 3, 3, 3, 5, 7, 8, 6, 8}));
  // Positions follow each other from the first byte after the lace header.
  EXPECT_EQ(got[1].pos, got[0].pos + 265);
  EXPECT_EQ(got[2].pos, got[1].pos + 7);
  // With a default duration every laced frame gets its own exact time.
  EXPECT_EQ(got[0].start, 0u);
  EXPECT_EQ(got[1].start, 4 * kMs);
  EXPECT_EQ(got[2].start, 8 * kMs);
  EXPECT_EQ(got[2].end, 12 * kMs);
  for (const Frame& fr : got) EXPECT_EQ(fr.flags, MKV_FRAME_KEY) << fr.start;
}

TEST(Lacing, SizesBeyondTheBlockDropTheBlockOnly) {
  Bytes tooBig = laced(2, 0, 0x82, Bytes{1, 255, 255, 10}, payload(100, 1));  // 520 > 100
  Bytes ebmlWrap = laced(2, 0, 0x86, Bytes{2, 0x90, 0x80}, payload(100, 1));  // 16, 16-63 < 0
  Bytes ebmlBig = laced(2, 0, 0x86, Bytes{1, 0x40, 0xFF}, payload(100, 1));   // 255 > 100
  for (const Bytes& bad : {tooBig, ebmlWrap, ebmlBig}) {
    FrameFile f({cluster(0, {simpleBlock(1, 0, 0x80, payload(5, 1)), bad}),
                 cluster(100, {simpleBlock(1, 0, 0x80, payload(6, 2))})});
    std::vector<Frame> got = f.frames();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size, 5u);
    EXPECT_EQ(got[1].size, 6u);  // reading went on at the next cluster
    EXPECT_EQ(got[1].start, 100 * kMs);
    for (const Frame& fr : got) EXPECT_LE(fr.pos + fr.size, f.in.data.size());
  }
}

TEST(FrameTimes, RelativeTimesScalesAndDurations) {
  // Cluster Timecode 1000; first block at -2 sets the origin 998.
  Bytes group =
      master(0xA0, {element(0xA1, blockBody(1, 5, 0x00, payload(3, 1))), uintElement(0x9B, 20)});
  Bytes groupLaced =
      master(0xA0, {uintElement(0x9B, 9),
                    element(0xA1, cat({blockBody(2, 6, 0x02, Bytes{2, 1, 1}), payload(5, 0)}))});
  FrameFile f({cluster(1000, {simpleBlock(1, -2, 0x80, payload(4, 1)),
                              simpleBlock(1, -4, 0x80, payload(4, 2)), group, groupLaced})});
  ASSERT_TRUE(f.mf);
  EXPECT_EQ(f.mf->firstTimecode, 998u);
  std::vector<Frame> got = f.frames(2);  // video only
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].start, 0u);
  EXPECT_EQ(got[0].flags, MKV_FRAME_KEY | MKV_FRAME_END_INEXACT);
  EXPECT_EQ(got[1].start, 2 * kMs);  // 2 ticks before the origin: its magnitude
  EXPECT_EQ(got[2].start, 7 * kMs);
  EXPECT_EQ(got[2].end, 27 * kMs);
  EXPECT_EQ(got[2].flags, MKV_FRAME_KEY);  // a Block without ReferenceBlock is a key block
  // Three laced frames, BlockDuration 9 ticks, no default duration.
  mkv_Seek(f.mf.get(), 0, 0, 0);
  std::vector<Frame> audio = f.frames(1);
  ASSERT_EQ(audio.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(audio[i].start, 8 * kMs);
    EXPECT_EQ(audio[i].end, 8 * kMs);
    EXPECT_TRUE(audio[i].flags & MKV_FRAME_END_INEXACT);
  }
  EXPECT_EQ(audio[2].end, 17 * kMs);
  EXPECT_EQ(audio[2].flags, MKV_FRAME_KEY | MKV_FRAME_START_INEXACT);
}

TEST(FrameTimes, SignedRelativeTimecodeAndTrackScale) {
  Bytes tracks = tracksElement({trackEntry(1, 1, "V", {floatElement(0x23314F, 0.5)})});
  MemoryInput in(
      cat({ebmlHeader(),
           segment(cat(
               {infoElement(), tracks,
                cluster(40000, {simpleBlock(1, 0, 0x80, payload(1, 0)),
                                element(0xA3, cat({sizeBytes(1), Bytes{0x80, 0x00, 0x80}}))})}))}));
  FilePtr mf = openFile(in, MKV_OPEN_NO_SEEK);
  ASSERT_TRUE(mf);
  std::vector<Frame> got = readAll(mf.get());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].start, 32768 * kMs / 2);  // 0x8000 is -32768 ticks, magnitude, times 0.5
  mf.reset();
}

TEST(FrameFlags, KeyDiscardableAndAdditions) {
  Bytes additions =
      master(0x75A1, {master(0xA6, {uintElement(0xEE, 0x1FF), element(0xA5, Bytes{9, 9})}),
                      master(0xA6, {element(0xA5, Bytes{8})}),
                      master(0xA6, {element(0xA5, Bytes{7}), element(0xA5, Bytes{6})})});
  Bytes group = master(0xA0, {element(0xA1, blockBody(1, 10, 0x01, payload(3, 1))), additions,
                              uintElement(0xFB, 0xFFFF, 2)});
  FrameFile f({cluster(0, {simpleBlock(1, 0, 0x01, payload(4, 1)), group,
                           laced(1, 20, 0x83, Bytes{1, 2}, payload(6, 1))})});
  std::vector<Frame> got = f.frames();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].flags, MKV_FRAME_END_INEXACT | MKV_FRAME_DISCARDABLE);  // not a key block
  EXPECT_EQ(got[1].flags,
            MKV_FRAME_END_INEXACT | MKV_FRAME_DISCARDABLE);  // ReferenceBlock after it
  // The additions: id 0x1FF keeps its low 8 bits; the next BlockMore keeps the id; one with two
  // BlockAdditional gives no frame.
  EXPECT_EQ(got[2].flags, (0xFFu << 24) | MKV_FRAME_START_INEXACT | MKV_FRAME_END_INEXACT);
  EXPECT_EQ(got[2].size, 2u);
  EXPECT_EQ(got[3].flags, (0xFFu << 24) | MKV_FRAME_START_INEXACT | MKV_FRAME_END_INEXACT);
  EXPECT_EQ(f.in.data[got[3].pos], 8);
  EXPECT_EQ(got[4].flags, MKV_FRAME_KEY | MKV_FRAME_END_INEXACT);
  EXPECT_EQ(got[5].flags, MKV_FRAME_KEY | MKV_FRAME_END_INEXACT | MKV_FRAME_START_INEXACT |
                              MKV_FRAME_DISCARDABLE);
}

TEST(FrameDelivery, EarliestHeadFirstUnknownAndSkippedTracksPassedOver) {
  FrameFile f(
      {cluster(0, {simpleBlock(2, 0, 0x80, payload(2, 1)), simpleBlock(9, 0, 0x80, payload(2, 1)),
                   simpleBlock(1, 0, 0x80, payload(3, 1)), simpleBlock(2, 5, 0x80, payload(4, 1)),
                   simpleBlock(1, 5, 0x80, payload(5, 1))})});
  std::vector<Frame> got = f.frames();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].track, 0u);  // equal starts: lower index first
  EXPECT_EQ(got[1].track, 1u);
  EXPECT_EQ(got[2].track, 0u);
  f.mf->flags &= ~MKV_OPEN_NO_SEEK;
  mkv_Seek(f.mf.get(), 0, 0, 0);
  mkv_SelectTracks(f.mf.get(), 1);
  got = f.frames();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].track, 1u);
}

TEST(Resynchronisation, DamagedClustersAreLeftForTheNextOne) {
  Bytes early = cluster(0, {});
  early = element(0x1F43B675, cat({simpleBlock(1, 0, 0x80, payload(3, 1)), uintElement(0xE7, 0)}));
  Bytes huge = cat({idBytes(0xA3), sizeBytes(4194305), blockBody(1, 1, 0x80, payload(10, 1))});
  FrameFile f({cluster(0, {simpleBlock(1, 0, 0x80, payload(2, 1))}), early,
               cluster(10, {simpleBlock(1, 0, 0x80, payload(4, 1)), huge}),
               cluster(20, {master(0xA0, {uintElement(0x9B, 1)})}),
               cluster(30, {simpleBlock(1, 0, 0x80, payload(5, 1))})});
  std::vector<Frame> got = f.frames();
  std::vector<uint64_t> starts;
  for (const Frame& fr : got) starts.push_back(fr.start / kMs);
  EXPECT_EQ(starts, (std::vector<uint64_t>{0, 10, 30}));
  EXPECT_NE(mkv_LastError(f.mf.get()), nullptr);
}

TEST(Resynchronisation, AFourthErrorEndsReadingUntilASeek) {
  // A block ahead of its cluster's Timecode.
  Bytes broken = element(0x1F43B675, simpleBlock(1, 0, 0x80, payload(2, 1)));
  FrameFile f({cluster(0, {simpleBlock(1, 0, 0x80, payload(2, 1))}), broken, broken, broken, broken,
               cluster(50, {simpleBlock(1, 0, 0x80, payload(2, 1))})});
  std::vector<Frame> got = f.frames();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(f.mf->flags & MKV_ERROR_RAISED);
  EXPECT_TRUE(f.frames().empty());
  mkv_SelectTracks(f.mf.get(), 2);  // refused while the error stands
  EXPECT_EQ(f.mf->skipMask, 0u);
  f.mf->flags &= ~MKV_OPEN_NO_SEEK;
  mkv_Seek(f.mf.get(), 0, 0, 0);
  EXPECT_EQ(f.frames().size(), 1u);
}

TEST(FramePool, RecordsAreRecycledAndAllocationFailureIsAnError) {
  Bytes content = uintElement(0xE7, 0);
  for (int i = 0; i < 1200; ++i) {
    Bytes block = simpleBlock(1, static_cast<int16_t>(i), 0x80, payload(1, 1));
    content.insert(content.end(), block.begin(), block.end());
  }
  FrameFile f({element(0x1F43B675, content)});
  f.in.preferredSize = 64;  // spans of 32 bytes
  EXPECT_EQ(f.frames().size(), 1200u);
  EXPECT_EQ(f.mf->poolCount, 1u);  // the span is short: records come back before more are read
  FrameFile g({element(0x1F43B675, content)});
  g.in.preferredSize = 1 << 20;  // a long span queues 1200 records at once
  g.in.allocBudget = 1;
  std::vector<Frame> got = g.frames();
  EXPECT_LT(got.size(), 1200u);
  EXPECT_STREQ(mkv_LastError(g.mf.get()), "Ouf of memory");
}

}  // namespace
