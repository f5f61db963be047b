// Checking a loaded project's values against its video: values that cannot be right would give
// padded, cropped or wrongly timed pictures, so they are refused at load.
#include <cinttypes>
#include <cstring>

#include "reader/avc_decoder.h"

namespace {

// Start-code units read from a GOP's position while looking for its sequence header: a few
// units (a transport stream's PES header, a sequence end) may come before it, a picture never.
constexpr int kUnitsBeforeSequenceHeader = 8;

struct StreamSize {
  bool found = false;
  int width = 0;
  int height = 0;
};

// The picture size of the first sequence header from `position` on, with the size extension of
// a sequence extension that follows it.
StreamSize FirstSequenceSize(CAVCDecoder& d, uint64_t position) {
  StreamSize size;
  if (d.AlignStream(position) < 0) return size;
  for (int units = 0; units < kUnitsBeforeSequenceHeader && d.GetAnnexbNALU() > 0; ++units) {
    const unsigned char* u = d.unit.data;
    const int32_t length = d.unit.length;
    if (length >= 4 && u[3] == 0x00) break;  // a picture before any sequence header
    if (length < 7 || u[3] != 0xB3) continue;
    size.found = true;
    size.width = (u[4] << 4) | (u[5] >> 4);
    size.height = ((u[5] & 0x0F) << 8) | u[6];
    // The unit after it: a sequence extension (B5, identifier 1) carries two more bits of each.
    if (d.GetAnnexbNALU() > 0 && d.unit.length >= 7 && d.unit.data[3] == 0xB5 &&
        (d.unit.data[4] >> 4) == 1) {
      const unsigned char* e = d.unit.data;
      size.width |= (((e[5] & 0x01) << 1) | (e[6] >> 7)) << 12;
      size.height |= ((e[6] >> 5) & 0x03) << 12;
    }
    break;
  }
  return size;
}

}  // namespace

int CAVCDecoder::CheckProject(const char* projectPath) {
  loadDetail[0] = '\0';
  if (fpsNumerator <= 0 || fpsDenominator <= 0) {
    SetLoadDetail(projectPath, "FPS %d/%d is not a frame rate", fpsNumerator, fpsDenominator);
    return kLoadBadValue;
  }
  if (width <= 0 || height <= 0) {
    SetLoadDetail(projectPath, "SIZ %dx%d is not a picture size", width, height);
    return kLoadBadValue;
  }
  // Byte positions (not Matroska times) must lie inside the video.
  if (streamType != 2) {
    for (int32_t g = 0; g < gopCount; ++g) {
      if (gopTable[g]->position >= videoSize) {
        SetLoadDetail(projectPath,
                      "line %d: GOP %d starts at byte %" PRIu64 ", past the end of %s (%" PRIu64
                      " bytes)",
                      gopTable[g]->line, g, gopTable[g]->position, videoPath, videoSize);
        return kLoadBadValue;
      }
    }
  }

  const StreamSize stream = FirstSequenceSize(*this, gopTable[0]->position);
  // The reading state goes back to where Open left it; the decode thread aligns anew per run.
  readPtr = readBuffer;
  readCount = 0;
  tsRemaining = 0;
  endOfData = 0;
  unit.data = unitBuffer;
  unit.length = 0;
  resync = 1;
  if (!stream.found) {
    // A Matroska track may keep its sequence header in the track's private data instead.
    if (streamType == 2) return kLoadOk;
    SetLoadDetail(
        projectPath,
        "line %d: %s has no MPEG-2 sequence header where the first GOP starts (byte %" PRIu64 ")",
        gopTable[0]->line, videoPath, gopTable[0]->position);
    return kLoadBadValue;
  }
  if (stream.width != width || stream.height != height) {
    SetLoadDetail(projectPath, "SIZ %dx%d is not the picture size of %s (%dx%d)", width, height,
                  videoPath, stream.width, stream.height);
    return kLoadBadValue;
  }
  return kLoadOk;
}
