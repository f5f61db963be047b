#include "decode-server/coded_picture_tracker.h"

#include <cstdio>

#include "reader/mpeg2_sample_ratio.h"

namespace decode_server {

namespace {

bool HasStartCode(const uint8_t* data, size_t size) {
  return size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1;
}

// picture_structure values of the picture coding extension: 1 top field, 2 bottom field, 3 frame.
constexpr int kFramePicture = 3;
constexpr uint8_t kSequenceExtensionId = 1;
constexpr uint8_t kSequenceDisplayExtensionId = 2;
constexpr uint8_t kPictureCodingExtensionId = 8;

}  // namespace

std::string GopHeader::TimeCode() const {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", hours, minutes, seconds, pictures);
  return text;
}

CodedPictureTracker::UnitAction CodedPictureTracker::OnUnit(const uint8_t* data, size_t size) {
  UnitAction action;
  ++units_;
  if (!HasStartCode(data, size)) return action;  // stray bytes travel with the current packet
  const uint8_t code = data[3];
  const uint8_t* body = data + 4;
  const size_t bodySize = size - 4;

  if (code == kPictureStartCode) {
    // temporal_reference (10 bits) then picture_coding_type (3 bits). A header too short to hold
    // the type still counts as a picture: the index counted it too.
    int codingType = kCodingTypeP;
    if (bodySize >= 2) codingType = (body[1] >> 3) & 7;
    inPicture_ = true;
    if (awaitingSecondField_) {
      // The second field of a field-picture pair belongs to the frame of the first.
      awaitingSecondField_ = false;
      currentIsSecondField_ = true;
      return action;
    }
    currentIsSecondField_ = false;
    action.flushBefore = packetHasPicture_;
    if (sequenceSeen_) {
      sequenceSeen_ = false;
      if (FormatChanges()) {
        action.formatChange = true;
        PlacePendingAnchor();
      }
    }
    StartFrame(codingType, &action);
    packetHasPicture_ = true;
    return action;
  }
  if (code == kExtensionStartCode) {
    if (inPicture_ && bodySize >= 3 && (body[0] >> 4) == kPictureCodingExtensionId) {
      const int structure = body[2] & 3;
      if (structure != kFramePicture && !currentIsSecondField_) awaitingSecondField_ = true;
    } else if (!inPicture_ && bodySize >= 1) {
      if ((body[0] >> 4) == kSequenceExtensionId) OnSequenceExtension(body, bodySize);
      if ((body[0] >> 4) == kSequenceDisplayExtensionId) OnDisplayExtension(body, bodySize);
    }
    return action;
  }
  if (code >= 0x01 && code <= kLastSliceStartCode) return action;  // slices
  inPicture_ = false;
  if (code == kSequenceHeaderCode || code == kGroupStartCode) {
    // Headers in front of a picture open the next frame's packet.
    action.flushBefore = packetHasPicture_;
    if (action.flushBefore) packetHasPicture_ = false;
    awaitingSecondField_ = false;
    if (code == kSequenceHeaderCode && bodySize >= 3) {
      width_ = (body[0] << 4) | (body[1] >> 4);
      height_ = ((body[1] & 0x0F) << 8) | body[2];
      aspectRatioCode_ = bodySize >= 4 ? body[3] >> 4 : 0;
      progressiveSequence_ = false;
      sequenceSeen_ = true;
    }
    if (code == kGroupStartCode && !firstGop_.seen && bodySize >= 4) {
      // time_code: drop_frame(1) hours(5) minutes(6) marker(1) seconds(6) pictures(6), then
      // closed_gop(1) and broken_link(1).
      const uint32_t bits = (uint32_t(body[0]) << 24) | (uint32_t(body[1]) << 16) |
                            (uint32_t(body[2]) << 8) | body[3];
      firstGop_.seen = true;
      firstGop_.hours = (bits >> 26) & 0x1F;
      firstGop_.minutes = (bits >> 20) & 0x3F;
      firstGop_.seconds = (bits >> 13) & 0x3F;
      firstGop_.pictures = (bits >> 7) & 0x3F;
      firstGop_.closedGop = (bits >> 6) & 1;
      firstGop_.brokenLink = (bits >> 5) & 1;
    }
    return action;
  }
  if (code == kSequenceEndCode) {
    // The decoder shows its held anchor at a sequence end; the end code travels on its own.
    action.flushBefore = packetHasPicture_;
    action.flushAfter = true;
    packetHasPicture_ = false;
    awaitingSecondField_ = false;
    PlacePendingAnchor();
  }
  return action;
}

void CodedPictureTracker::OnSequenceExtension(const uint8_t* body, size_t size) {
  // profile_and_level(8) progressive_sequence(1) chroma_format(2) horizontal_size_extension(2)
  // vertical_size_extension(2), after the 4-bit identifier.
  if (size < 3) return;
  progressiveSequence_ = (body[1] & 0x08) != 0;
  width_ = (width_ & 0xFFF) | (((body[1] & 1) << 1 | body[2] >> 7) << 12);
  height_ = (height_ & 0xFFF) | (((body[2] >> 5) & 3) << 12);
}

void CodedPictureTracker::OnDisplayExtension(const uint8_t* body, size_t size) {
  // video_format(3) colour_description(1) [three colour bytes] display_horizontal_size(14)
  // marker(1) display_vertical_size(14), after the 4-bit identifier.
  const size_t at = (body[0] & 1) ? 4 : 1;
  if (size < at + 4) return;
  displayWidth_ = (body[at] << 6) | (body[at + 1] >> 2);
  displayHeight_ = ((body[at + 1] & 1) << 13) | (body[at + 2] << 5) | (body[at + 3] >> 3);
}

bool CodedPictureTracker::FormatChanges() {
  Format format;
  format.width = width_;
  format.height = height_;
  format.progressiveSequence = progressiveSequence_;
  mpeg2::SampleAspectRatio(aspectRatioCode_, width_, height_, displayWidth_, displayHeight_,
                           &format.sarNumerator, &format.sarDenominator);
  const Format before = framesFormat_;
  const bool known = framesFormatKnown_;
  framesFormatKnown_ = true;
  framesFormat_ = format;
  if (!known || format == before) return false;
  if (format.width != before.width || format.height != before.height ||
      format.sarNumerator != before.sarNumerator ||
      format.sarDenominator != before.sarDenominator) {
    return true;
  }
  const int h = format.height;
  return (h + 15) / 16 * 16 != (h + 31) / 32 * 32;  // progressive_sequence alone changed
}

void CodedPictureTracker::StartFrame(int codingType, UnitAction* action) {
  const int64_t index = static_cast<int64_t>(displayOf_.size());
  displayOf_.push_back(-1);
  action->startsFrame = true;
  action->codedIndex = index;
  action->codingType = codingType;
  if (codingType == kCodingTypeB) {
    displayOf_[index] = nextDisplay_++;
    return;
  }
  // I, P, and anything else (D pictures, damaged types) hold their place until the next anchor.
  PlacePendingAnchor();
  pendingAnchor_ = index;
}

void CodedPictureTracker::PlacePendingAnchor() {
  if (pendingAnchor_ < 0) return;
  displayOf_[pendingAnchor_] = nextDisplay_++;
  pendingAnchor_ = -1;
}

void CodedPictureTracker::Finish() {
  PlacePendingAnchor();
  awaitingSecondField_ = false;
}

int64_t CodedPictureTracker::DisplayIndexOf(int64_t codedIndex) const {
  if (codedIndex < 0 || codedIndex >= codedFrames()) return -1;
  return displayOf_[codedIndex];
}

}  // namespace decode_server
