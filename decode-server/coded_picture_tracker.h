// Follows the coded pictures of an MPEG-2 video stream unit by unit, independently of the decoder:
// it counts coded frames, gives each its place in display order, and says where one coded frame's
// data ends so that the units can be handed to the decoder as whole-frame packets.
//
// Display order: a B frame is shown as soon as it is decoded; an I or P frame (an anchor) is shown
// when the next anchor arrives or the sequence ends. This is the order in which an MPEG-2 decoder
// outputs pictures, and it needs nothing from temporal_reference, which damaged streams get wrong.
// A run that starts at an open GOP therefore gives that GOP's leading B frames the first display
// places, before the GOP's I frame, exactly as the project index numbers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace decode_server {

// MPEG-2 start codes (the byte after 00 00 01).
constexpr uint8_t kPictureStartCode = 0x00;
constexpr uint8_t kLastSliceStartCode = 0xAF;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kExtensionStartCode = 0xB5;
constexpr uint8_t kSequenceEndCode = 0xB7;
constexpr uint8_t kGroupStartCode = 0xB8;

// picture_coding_type values.
constexpr int kCodingTypeI = 1;
constexpr int kCodingTypeP = 2;
constexpr int kCodingTypeB = 3;

struct GopHeader {
  bool seen = false;
  bool closedGop = false;
  bool brokenLink = false;
  int hours = 0, minutes = 0, seconds = 0, pictures = 0;
  std::string TimeCode() const;  // "hh:mm:ss:ff"
};

class CodedPictureTracker {
 public:
  // What a unit means for the packet being assembled.
  struct UnitAction {
    bool flushBefore = false;  // the packet so far holds a whole frame: send it before this unit
    bool flushAfter = false;   // send the packet right after this unit (sequence end)
    bool startsFrame = false;  // this unit is the picture header of a new coded frame
    int64_t codedIndex = -1;   // with startsFrame: the frame's number in coded order
    int codingType = 0;        // with startsFrame: its picture_coding_type
    // The first picture after sequence headers that change what libavcodec starts afresh for
    // (picture size, sample aspect ratio, or progressive_sequence where the height rounds
    // differently to 16 and 32 lines): the frames before it are complete (the anchor waiting for
    // its place gets it), and the decoder is to be drained before this unit, as at the end of the
    // data, so that it never drops the picture it holds.
    bool formatChange = false;
  };

  // Classifies one unit (00 00 01 and the bytes up to the next start code). Bytes that do not
  // begin with a start code, and truncated headers, are tolerated: they never break the count.
  UnitAction OnUnit(const uint8_t* data, size_t size);

  // End of the data: the anchor still waiting for its display place gets it.
  void Finish();

  // Display place of coded frame `codedIndex`, or -1 while it has none yet (an anchor waiting for
  // the next anchor) or when no such frame was seen.
  int64_t DisplayIndexOf(int64_t codedIndex) const;

  // Gives the waiting anchor its display place now. Used when the decoder shows a picture earlier
  // than this tracker expected; keeps the two in step.
  void PlacePendingAnchor();

  int64_t codedFrames() const { return static_cast<int64_t>(displayOf_.size()); }
  int64_t placedFrames() const { return nextDisplay_; }
  int64_t units() const { return units_; }
  const GopHeader& firstGop() const { return firstGop_; }
  // Size from the last sequence header (0 until one was seen).
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  // What the decoder's output depends on, from the sequence headers in force.
  struct Format {
    int width = 0, height = 0;
    int64_t sarNumerator = 0, sarDenominator = 0;
    bool progressiveSequence = false;
    bool operator==(const Format& o) const {
      return width == o.width && height == o.height && sarNumerator == o.sarNumerator &&
             sarDenominator == o.sarDenominator && progressiveSequence == o.progressiveSequence;
    }
  };
  void OnSequenceExtension(const uint8_t* body, size_t size);
  void OnDisplayExtension(const uint8_t* body, size_t size);
  // Whether the first picture after sequence headers starts afresh in libavcodec.
  bool FormatChanges();

  void StartFrame(int codingType, UnitAction* action);

  std::vector<int64_t> displayOf_;  // display place per coded frame, -1 until placed
  int64_t pendingAnchor_ = -1;      // coded index of the anchor waiting for its place
  int64_t nextDisplay_ = 0;
  int64_t units_ = 0;
  bool packetHasPicture_ = false;  // the packet being assembled holds a picture header
  bool inPicture_ = false;         // the last header seen was a picture header (extensions follow)
  bool currentIsSecondField_ = false;
  bool awaitingSecondField_ = false;  // the last frame so far consists of a single field picture
  GopHeader firstGop_;
  int width_ = 0;
  int height_ = 0;
  // The latest sequence header's fields; the display rectangle stays until another display
  // extension.
  int aspectRatioCode_ = 0;
  int displayWidth_ = 0, displayHeight_ = 0;
  bool progressiveSequence_ = false;
  bool sequenceSeen_ = false;  // a sequence header came since the last picture
  bool framesFormatKnown_ = false;
  Format framesFormat_;  // of the frames so far
};

}  // namespace decode_server
