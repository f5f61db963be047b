// The clip's picture size, handed to the server with REQUEST_INIT.
//
// REQUEST_INIT carries three operands (0x08 to 0x13). After them, in the unit area that the
// request does not otherwise use, the plugin writes a tagged record with the clip's width and
// height. A server that knows the record delivers every picture at that size (a stream whose
// picture size changes then still fills the clip); a server that reads only the three operands is
// unaffected, and a server that finds no valid record (an older client, or stale unit bytes)
// delivers pictures as decoded. The check word makes stale bytes that happen to hold the tag
// count as no record.
#pragma once

#include <cstdint>
#include <cstring>

namespace server {

constexpr uint32_t kClipSizeTagOffset = 0x000014;
constexpr uint32_t kClipWidthOffset = 0x000018;
constexpr uint32_t kClipHeightOffset = 0x00001C;
constexpr uint32_t kClipSizeCheckOffset = 0x000020;
constexpr int32_t kClipSizeTag = 0x5A49534D;  // "MSIZ" in memory order
constexpr int32_t kMaxClipDimension = 8192;

inline int32_t ClipSizeCheck(int32_t width, int32_t height) {
  return static_cast<int32_t>(~(static_cast<uint32_t>(kClipSizeTag) ^
                                (static_cast<uint32_t>(width) * 0x9E3779B1u) ^
                                static_cast<uint32_t>(height)));
}

// Writes the record into the section at `view`. Sizes outside 1..8192 write an invalid record.
inline void PutClipSize(unsigned char* view, int32_t width, int32_t height) {
  const bool valid =
      width > 0 && height > 0 && width <= kMaxClipDimension && height <= kMaxClipDimension;
  const int32_t words[4] = {valid ? kClipSizeTag : 0, width, height, ClipSizeCheck(width, height)};
  std::memcpy(view + kClipSizeTagOffset, words, sizeof words);
}

// Reads the record from the section at `view`: true with the size when a valid record is there.
inline bool GetClipSize(const unsigned char* view, int32_t* width, int32_t* height) {
  int32_t words[4];
  std::memcpy(words, view + kClipSizeTagOffset, sizeof words);
  if (words[0] != kClipSizeTag || words[3] != ClipSizeCheck(words[1], words[2])) return false;
  if (words[1] <= 0 || words[2] <= 0 || words[1] > kMaxClipDimension ||
      words[2] > kMaxClipDimension) {
    return false;
  }
  *width = words[1];
  *height = words[2];
  return true;
}

}  // namespace server
