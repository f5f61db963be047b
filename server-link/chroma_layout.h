// 4:2:2 pictures through the section.
//
// The picture area holds a 4:2:0 picture (NV12 order): a 1920x1080 picture with full-height chroma
// does not fit it. A client that serves 4:2:2 video asks for 4:2:2 pictures in its REQUEST_INIT:
// after the clip size record it writes a tagged, checked record naming the layout it wants. A
// server that knows the record then delivers every picture of that client in 4:2:2, and marks each
// such picture with kPictureFlagChroma422 in header word 5:
//
//   - the luma rows and, after them, the even chroma rows (0, 2, 4, ...) lie in the picture area
//     exactly where a 4:2:0 picture has its chroma rows (chroma row 2k at area row picHeight + k);
//   - the odd chroma rows (1, 3, 5, ...) lie at kOddChromaRowsOffset in the unit area, past the
//     longest unit a client sends, each picPitch bytes after the previous one.
//
// Every chroma row holds U and V interleaved (U at even bytes), picWidth / 2 rounded up pairs.
//
// A server without the record delivers 4:2:0 pictures without the flag, so a client that asked
// can tell; a client that does not ask (any older one) gets 4:2:0 pictures as always, made from
// 4:2:2 video field by field. Stale bytes that happen to hold the tag fail the check.
#pragma once

#include <cstdint>
#include <cstring>

#include "server-link/clip_size.h"
#include "server-link/run_record.h"
#include "server-link/section_layout.h"

namespace server {

constexpr uint32_t kChromaRecordOffset = kClipSizeCheckOffset + 4;  // 0x24: tag, layout, check
constexpr int32_t kChromaRecordTag = 0x4D484343;                    // "CCHM" in memory order
constexpr int32_t kChroma420 = 420;
constexpr int32_t kChroma422 = 422;

// Header word 5 bit: the picture carries all its chroma rows (the layout above).
constexpr int32_t kPictureFlagChroma422 = 8;

// The odd chroma rows: past the longest unit (8,000,000 bytes), before the run record.
constexpr uint32_t kOddChromaRowsOffset = 0x7A1400;
constexpr uint32_t kOddChromaRowsSize = kMaxPicturePitch * (kMaxPictureRows / 3);  // 544 rows
static_assert(kOddChromaRowsOffset >= kUnitOffset + 8000000u, "no unit reaches the odd rows");
static_assert(kOddChromaRowsOffset + kOddChromaRowsSize <= kRunRecordOffset,
              "the odd rows end before the run record");

inline int32_t ChromaRecordCheck(int32_t layout) {
  return static_cast<int32_t>(
      ~(static_cast<uint32_t>(kChromaRecordTag) ^ (static_cast<uint32_t>(layout) * 0x2545F491u)));
}

// Client side, with its REQUEST_INIT: the layout it wants (kChroma420 or kChroma422).
inline void PutChromaRecord(unsigned char* view, int32_t layout) {
  const int32_t words[3] = {kChromaRecordTag, layout, ChromaRecordCheck(layout)};
  std::memcpy(view + kChromaRecordOffset, words, sizeof words);
}

// Server side, once read: no record is left for a later client that writes none.
inline void ClearChromaRecord(unsigned char* view) {
  const int32_t words[3] = {0, 0, 0};
  std::memcpy(view + kChromaRecordOffset, words, sizeof words);
}

// Server side: the layout asked for; kChroma420 without a valid record.
inline int32_t GetChromaRecord(const unsigned char* view) {
  int32_t words[3];
  std::memcpy(words, view + kChromaRecordOffset, sizeof words);
  if (words[0] != kChromaRecordTag || words[2] != ChromaRecordCheck(words[1])) return kChroma420;
  return words[1] == kChroma422 ? kChroma422 : kChroma420;
}

}  // namespace server
