// The units of an MPEG program stream (VOB, MPG) as the plugin's reader and the indexer both walk
// them: pack headers, system headers and PES packets follow one another; the payload of the PES
// packets of one video stream (stream id 0xE0-0xEF) is the video, everything else (padding,
// private streams 1 and 2, audio, other video) is passed over by its length. Where no start code
// stands, the walk moves on byte by byte to the next one, as ffmpeg's demuxer does. Both MPEG-2
// PES headers and the MPEG-1 ones of MPEG-1 system streams (ffmpeg -f mpeg) are read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace ps {

// Bytes a walker keeps in view from a unit's start, unless the data ends first. The longest
// MPEG-2 PES header is 9 + 255 bytes, an MPEG-1 one 6 + 16 stuffing bytes + 12; a header that
// runs longer is no header, and its packet is passed over.
constexpr size_t kLookahead = 300;
// The longest PES packet: its 6 bytes of start code and length and 65535 bytes more.
constexpr uint64_t kLongestPacket = 6 + 65535;

enum class UnitKind {
  kNoStartCode,  // no unit starts here: move on one byte
  kSkip,         // a unit of `header` bytes to pass over
  kVideo,        // `header` bytes, then `payload` bytes of the video stream
  kCutShort,     // the data ends inside the unit's header
};

struct Unit {
  UnitKind kind = UnitKind::kNoStartCode;
  uint32_t header = 0;
  uint32_t payload = 0;
};

inline bool IsVideoStreamId(int id) {
  return id >= 0xE0 && id <= 0xEF;
}

// The unit starting at d[0], with `size` bytes in view: at least kLookahead of them unless the
// data ends there. `videoId` is the stream id of the video read.
inline Unit ParseUnit(const uint8_t* d, size_t size, int videoId) {
  Unit u;
  if (size < 4) {
    u.kind = UnitKind::kCutShort;
    return u;
  }
  if (d[0] != 0 || d[1] != 0 || d[2] != 1 || d[3] < 0xB9) return u;
  u.kind = UnitKind::kSkip;
  const int id = d[3];
  // A pack header and the end code are passed by their start code; the pack header's fields
  // never hold 00 00 01, so the search finds the unit after it.
  if (id == 0xB9 || id == 0xBA) {
    u.header = 4;
    return u;
  }
  if (size < 6) {
    u.kind = UnitKind::kCutShort;
    return u;
  }
  const uint32_t total = 6 + ((uint32_t{d[4]} << 8) | d[5]);
  u.header = total;
  if (id != videoId) return u;
  // The header is read within kLookahead bytes whatever the caller has in view, so that every
  // walker takes the same unit for the same bytes.
  const size_t view = std::min<size_t>(std::min<size_t>(size, total), kLookahead);
  size_t at = 6;
  auto need = [&](size_t bytes) { return at + bytes <= view; };
  auto cut = [&]() {
    // Past the data (the caller has fewer bytes than kLookahead only where the data ends): the
    // data ends in the header. Otherwise the header claims more than the packet holds, or runs
    // longer than any header does, and the packet is passed over whole.
    if (size < total && size < kLookahead) u.kind = UnitKind::kCutShort;
    return u;
  };
  if (!need(1)) return cut();
  if ((d[at] & 0xC0) == 0x80) {
    if (!need(3)) return cut();
    at += 3 + d[at + 2];
  } else {
    while (need(1) && d[at] == 0xFF) ++at;  // stuffing
    if (!need(1)) return cut();
    if ((d[at] & 0xC0) == 0x40) at += 2;  // buffer scale and size
    if (!need(1)) return cut();
    if ((d[at] & 0xE0) == 0x20) {
      at += (d[at] & 0x10) ? 10 : 5;  // PTS, or PTS and DTS
    } else if (d[at] == 0x0F) {
      at += 1;
    } else {
      return u;  // not a PES header: the packet is passed over
    }
  }
  if (at > total) return cut();
  u.kind = UnitKind::kVideo;
  u.header = static_cast<uint32_t>(at);
  u.payload = total - static_cast<uint32_t>(at);
  return u;
}

}  // namespace ps
