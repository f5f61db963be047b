#include "decode-server/coded_picture_tracker.h"

#include <gtest/gtest.h>

#include <vector>

namespace decode_server {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Picture(int type, int temporalReference = 0) {
  return {0x00,
          0x00,
          0x01,
          0x00,
          static_cast<uint8_t>(temporalReference >> 2),
          static_cast<uint8_t>(((temporalReference & 3) << 6) | (type << 3)),
          0xff,
          0xf8};
}
// Picture coding extension with the given picture_structure (1 top, 2 bottom, 3 frame).
Bytes PictureExtension(int structure) {
  return {0x00, 0x00, 0x01, 0xB5, 0x8f, 0xff, static_cast<uint8_t>(0xf0 | structure), 0x80, 0x80};
}
Bytes Slice() {
  return {0x00, 0x00, 0x01, 0x01, 0x12, 0x34};
}
Bytes Sequence() {
  return {0x00, 0x00, 0x01, 0xB3, 0x2d, 0x02, 0x40, 0x33, 0xff, 0xff, 0xe0};
}
// GOP header with time code 01:02:03:04.
Bytes Gop(bool closed, bool broken) {
  const uint32_t bits = (1u << 26) | (2u << 20) | (1u << 19) | (3u << 13) | (4u << 7) |
                        (closed ? 1u << 6 : 0) | (broken ? 1u << 5 : 0);
  return {0x00,
          0x00,
          0x01,
          0xB8,
          static_cast<uint8_t>(bits >> 24),
          static_cast<uint8_t>(bits >> 16),
          static_cast<uint8_t>(bits >> 8),
          static_cast<uint8_t>(bits)};
}

CodedPictureTracker::UnitAction Feed(CodedPictureTracker& tracker, const Bytes& unit) {
  return tracker.OnUnit(unit.data(), unit.size());
}

std::vector<int64_t> DisplayOrder(const CodedPictureTracker& tracker) {
  std::vector<int64_t> order;
  for (int64_t k = 0; k < tracker.codedFrames(); ++k) order.push_back(tracker.DisplayIndexOf(k));
  return order;
}

TEST(CodedPictureTracker, AnchorsWaitForTheNextAnchorBFramesShowAtOnce) {
  CodedPictureTracker closed;  // coded I P B B P B B
  for (int type : {1, 2, 3, 3, 2, 3, 3}) Feed(closed, Picture(type));
  EXPECT_EQ(DisplayOrder(closed), (std::vector<int64_t>{0, 3, 1, 2, -1, 4, 5}));
  closed.Finish();
  EXPECT_EQ(DisplayOrder(closed), (std::vector<int64_t>{0, 3, 1, 2, 6, 4, 5}));

  CodedPictureTracker open;  // an open GOP: its leading B frames take the first places
  for (int type : {1, 3, 3, 2}) Feed(open, Picture(type));
  open.Finish();
  EXPECT_EQ(DisplayOrder(open), (std::vector<int64_t>{2, 0, 1, 3}));
  EXPECT_EQ(open.placedFrames(), 4);
}

TEST(CodedPictureTracker, PacketsHoldWholeFramesWithTheHeadersBeforeThem) {
  CodedPictureTracker tracker;
  EXPECT_FALSE(Feed(tracker, Sequence()).flushBefore);
  EXPECT_FALSE(Feed(tracker, Gop(false, false)).flushBefore);
  auto first = Feed(tracker, Picture(1));
  EXPECT_FALSE(first.flushBefore);
  EXPECT_TRUE(first.startsFrame);
  EXPECT_EQ(first.codedIndex, 0);
  EXPECT_FALSE(Feed(tracker, PictureExtension(3)).flushBefore);
  EXPECT_FALSE(Feed(tracker, Slice()).flushBefore);
  auto second = Feed(tracker, Picture(3));
  EXPECT_TRUE(second.flushBefore);
  EXPECT_EQ(second.codedIndex, 1);
  Feed(tracker, Slice());
  EXPECT_TRUE(Feed(tracker, Sequence()).flushBefore);
  EXPECT_FALSE(Feed(tracker, Gop(true, false)).flushBefore) << "headers share the next packet";
  EXPECT_FALSE(Feed(tracker, Picture(1)).flushBefore);
  Feed(tracker, Slice());
  auto end = Feed(tracker, Bytes{0x00, 0x00, 0x01, 0xB7});
  EXPECT_TRUE(end.flushBefore);
  EXPECT_TRUE(end.flushAfter);
  EXPECT_EQ(DisplayOrder(tracker), (std::vector<int64_t>{1, 0, 2})) << "the end shows the anchor";
  EXPECT_EQ(tracker.width(), 0x2d0);
  EXPECT_EQ(tracker.height(), 0x240);
  EXPECT_EQ(tracker.units(), 12);
}

TEST(CodedPictureTracker, FieldPicturePairsCountAsOneFrame) {
  CodedPictureTracker tracker;
  Feed(tracker, Picture(1));
  Feed(tracker, PictureExtension(1));
  Feed(tracker, Slice());
  auto secondField = Feed(tracker, Picture(2));
  EXPECT_FALSE(secondField.flushBefore);
  EXPECT_FALSE(secondField.startsFrame);
  Feed(tracker, PictureExtension(2));
  Feed(tracker, Slice());
  auto next = Feed(tracker, Picture(3));  // a B frame made of two fields
  EXPECT_TRUE(next.flushBefore);
  EXPECT_EQ(next.codedIndex, 1);
  Feed(tracker, PictureExtension(2));
  Feed(tracker, Slice());
  EXPECT_FALSE(Feed(tracker, Picture(3)).startsFrame);
  Feed(tracker, PictureExtension(1));
  Feed(tracker, Slice());
  EXPECT_TRUE(Feed(tracker, Picture(2)).startsFrame);
  EXPECT_EQ(tracker.codedFrames(), 3);
}

TEST(CodedPictureTracker, DamagedUnitsNeverBreakTheCount) {
  CodedPictureTracker tracker;
  const Bytes junk{0x12, 0x34, 0x56};
  EXPECT_FALSE(Feed(tracker, junk).startsFrame);
  EXPECT_FALSE(Feed(tracker, Bytes{0x00, 0x00, 0x01}).startsFrame);
  EXPECT_TRUE(Feed(tracker, Bytes{0x00, 0x00, 0x01, 0x00}).startsFrame)
      << "cut short, still a picture";
  EXPECT_TRUE(Feed(tracker, Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x38}).startsFrame) << "type 7";
  Feed(tracker, Bytes{0x00, 0x00, 0x01, 0xB5});        // extension cut short
  Feed(tracker, Bytes{0x00, 0x00, 0x01, 0xB3, 0x01});  // sequence header cut short
  Feed(tracker, Bytes{0x00, 0x00, 0x01, 0xB8, 0x00});  // GOP header cut short
  tracker.Finish();
  EXPECT_EQ(tracker.codedFrames(), 2);
  EXPECT_EQ(tracker.placedFrames(), 2);
  EXPECT_FALSE(tracker.firstGop().seen);
}

TEST(CodedPictureTracker, ReadsTheFirstGopHeaderOfTheRun) {
  CodedPictureTracker tracker;
  Feed(tracker, Gop(false, true));
  Feed(tracker, Picture(1));
  Feed(tracker, Gop(true, false));
  const GopHeader& gop = tracker.firstGop();
  EXPECT_TRUE(gop.seen);
  EXPECT_FALSE(gop.closedGop);
  EXPECT_TRUE(gop.brokenLink);
  EXPECT_EQ(gop.TimeCode(), "01:02:03:04");
}

// A new picture size or sample aspect ratio ends the frames before it: the first picture after
// the new sequence header places the waiting anchor at once and says so, so that the decoder can
// be drained before it. A new frame rate alone changes nothing for the decoder.
TEST(CodedPictureTracker, FormatChangePlacesTheWaitingAnchor) {
  const Bytes sd = Sequence();                                                         // 720x576
  const Bytes ntsc{0x00, 0x00, 0x01, 0xB3, 0x2d, 0x01, 0xe0, 0x33, 0xff, 0xff, 0xe0};  // 720x480
  Bytes narrow = sd;
  narrow[7] = static_cast<uint8_t>(0x20 | (narrow[7] & 0x0F));  // 4:3 instead of 16:9
  Bytes rate = sd;
  rate[7] = static_cast<uint8_t>((rate[7] & 0xF0) | 4);  // 30000/1001
  // A display extension whose 960x576 rectangle shows the 16:9 picture at 4:3: its samples become
  // 16:15 instead of 64:45.
  const Bytes display{0x00, 0x00, 0x01, 0xB5, 0x2A, 0x0F, 0x02, 0x12, 0x00};
  struct Case {
    const char* name;
    std::vector<Bytes> headers;
    bool change;
  };
  const Case cases[] = {{"the same sequence again", {sd}, false},
                        {"a new size", {ntsc}, true},
                        {"a new aspect ratio code", {narrow}, true},
                        {"a display rectangle that changes the samples", {sd, display}, true},
                        {"a new frame rate", {rate}, false}};
  for (const Case& c : cases) {
    CodedPictureTracker tracker;
    EXPECT_FALSE(Feed(tracker, sd).formatChange) << "the run's first sequence header";
    EXPECT_FALSE(Feed(tracker, Picture(1)).formatChange) << "the run's first picture";
    Feed(tracker, Picture(2));
    for (const Bytes& header : c.headers) EXPECT_FALSE(Feed(tracker, header).formatChange);
    EXPECT_EQ(tracker.DisplayIndexOf(1), -1) << "the P frame waits for the next anchor";
    const auto action = Feed(tracker, Picture(1));
    EXPECT_EQ(action.formatChange, c.change) << c.name;
    EXPECT_EQ(tracker.DisplayIndexOf(1), 1) << c.name;
    tracker.Finish();
    EXPECT_EQ(tracker.DisplayIndexOf(2), 2) << c.name;
  }
}

}  // namespace
}  // namespace decode_server
