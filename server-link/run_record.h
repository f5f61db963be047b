// How many frames of a run the client will take and discard before the frame it wants, handed to
// the server at the start of each run.
//
// Before the first unit of a run the plugin writes a tagged record near the end of the unit area,
// past the longest unit it ever sends (so units never overwrite it). A server that knows the record
// may spare work on those frames, as long as it still delivers every one of them in its place: it
// need not decode B frames that nothing refers to, nor write into the picture area the pictures
// that the client will not read. The server takes the record when the run's first unit arrives and
// clears it, and clears it for every new client, so a record is never applied to another run; a
// server that does not know it delivers as always.
#pragma once

#include <cstdint>
#include <cstring>

#include "server-link/section_layout.h"

namespace server {

constexpr uint32_t kRunRecordOffset = 0x9FFF00;
constexpr int32_t kRunRecordTag = 0x4E55524D;  // "MRUN" in memory order
// The plugin's units are at most 8,000,000 bytes long.
static_assert(kRunRecordOffset >= kUnitOffset + 8000000u, "no unit reaches the record");
static_assert(kRunRecordOffset + 12 <= kPictureHeaderOffset, "the record lies in the unit area");

inline int32_t RunRecordCheck(int32_t leadFrames) {
  return static_cast<int32_t>(
      ~(static_cast<uint32_t>(kRunRecordTag) ^ (static_cast<uint32_t>(leadFrames) * 0x9E3779B1u)));
}

// Plugin side: the run about to start delivers `leadFrames` frames before the wanted one.
inline void PutRunRecord(unsigned char* view, int32_t leadFrames) {
  const int32_t words[3] = {kRunRecordTag, leadFrames, RunRecordCheck(leadFrames)};
  std::memcpy(view + kRunRecordOffset, words, sizeof words);
}

inline void ClearRunRecord(unsigned char* view) {
  const int32_t words[3] = {0, 0, 0};
  std::memcpy(view + kRunRecordOffset, words, sizeof words);
}

// Server side: the record's count (0 when there is no valid record), and the record is cleared.
inline int32_t TakeRunRecord(unsigned char* view) {
  int32_t words[3];
  std::memcpy(words, view + kRunRecordOffset, sizeof words);
  ClearRunRecord(view);
  if (words[0] != kRunRecordTag || words[2] != RunRecordCheck(words[1]) || words[1] < 0) return 0;
  return words[1];
}

}  // namespace server
