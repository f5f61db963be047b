#include "tools/decode-server/coded_picture_tracker.h"

#include <cstdio>

namespace decode_server {

namespace {

bool HasStartCode(const uint8_t* data, size_t size) {
  return size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1;
}

// picture_structure values of the picture coding extension: 1 top field, 2 bottom field, 3 frame.
constexpr int kFramePicture = 3;
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
    StartFrame(codingType, &action);
    packetHasPicture_ = true;
    return action;
  }
  if (code == kExtensionStartCode) {
    if (inPicture_ && bodySize >= 3 && (body[0] >> 4) == kPictureCodingExtensionId) {
      const int structure = body[2] & 3;
      if (structure != kFramePicture && !currentIsSecondField_) awaitingSecondField_ = true;
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
      const int width = (body[0] << 4) | (body[1] >> 4);
      const int height = ((body[1] & 0x0F) << 8) | body[2];
      if (width_ > 0 && (width != width_ || height != height_)) {
        action.sizeChange = true;
        PlacePendingAnchor();
      }
      width_ = width;
      height_ = height;
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
