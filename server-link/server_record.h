// The server's process id, for messages that name the server a client waits for.
//
// A server that knows the record writes it into its section once, when it starts: a tagged,
// checked triple near the end of the unit area, after the run record, where no unit reaches. The
// plugin reads it only to name the server in a message; a section without a valid record (a
// server that does not know it) gives 0.
#pragma once

#include <cstdint>
#include <cstring>

#include "server-link/run_record.h"
#include "server-link/section_layout.h"

namespace server {

constexpr uint32_t kServerRecordOffset = kRunRecordOffset + 16;
constexpr int32_t kServerRecordTag = 0x5652534D;  // "MSRV" in memory order
static_assert(kServerRecordOffset + 12 <= kPictureHeaderOffset, "the record lies in the unit area");

inline int32_t ServerRecordCheck(int32_t processId) {
  return static_cast<int32_t>(~(static_cast<uint32_t>(kServerRecordTag) ^
                                (static_cast<uint32_t>(processId) * 0x85EBCA6Bu)));
}

// Server side, at start.
inline void PutServerRecord(unsigned char* view, int32_t processId) {
  const int32_t words[3] = {kServerRecordTag, processId, ServerRecordCheck(processId)};
  std::memcpy(view + kServerRecordOffset, words, sizeof words);
}

// Plugin side: the server's process id, or 0 without a valid record.
inline int32_t ServerProcessId(const unsigned char* view) {
  int32_t words[3];
  std::memcpy(words, view + kServerRecordOffset, sizeof words);
  if (words[0] != kServerRecordTag || words[2] != ServerRecordCheck(words[1]) || words[1] <= 0) {
    return 0;
  }
  return words[1];
}

}  // namespace server
