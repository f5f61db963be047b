// Pictures in place: the server decodes into a second shared section, and a delivery names where
// the picture lies there instead of copying it into the picture area.
//
// Each slot has, besides its "NVSharedMem" section, a pool section ("NVPictures", "NVPictures.k"
// for slot k) of kPoolSectionSize bytes, made by the server when it starts. The server hands
// libavcodec picture buffers inside it, kPoolBufferSize bytes each. A client that has mapped the
// pool offers to take pictures there with its REQUEST_INIT, in a tagged, checked record after the
// bulk record (kPoolOfferTag); a server that delivers in place overwrites it with its acceptance
// (kPoolAcceptTag) before it answers. From then on a delivered picture may be one of two kinds:
//   - copied, as always: NV12 in the picture area;
//   - in place: header word 5 carries kPictureFlagInPool, the header's size words describe the
//     picture as usual (picPitch is the luma pitch), and the picture area begins with a
//     reference record: where the Y, U and V planes begin in the pool and the pitches of the luma
//     and chroma rows. The planes are planar 4:2:0.
// Pictures the server makes itself (deinterlaced, scaled, black, 4:2:2 deliveries) and pictures
// decoded while the pool had no free buffer go by copy.
//
// A picture in place stays unchanged until the client's next request for a picture, exactly as a
// copied one stays in the picture area: the server holds its buffer until then.
//
// Neither side changes for a peer that does not know the records: a client that makes no offer
// gets every picture copied, and a server that does not know the offer leaves it alone, so the
// client reads back its own offer, not an acceptance.
#pragma once

#include <cstdint>
#include <cstring>

#include "server-link/bulk_handover.h"
#include "server-link/offer_record.h"
#include "server-link/section_layout.h"

namespace server {

constexpr const char* kPoolSectionName = "NVPictures";
// Room for a 1920x1088 4:2:0 picture with libavcodec's alignment and padding.
constexpr uint32_t kPoolBufferSize = 0x380000;
// Enough for the decoder's references, the queue of decoded pictures and the one delivered.
constexpr uint32_t kPoolBuffers = 16;
constexpr uint32_t kPoolSectionSize = kPoolBufferSize * kPoolBuffers;

constexpr uint32_t kPoolRecordOffset = kBulkRecordOffset + 12;  // 0x3C: tag, version, check
constexpr int32_t kPoolOfferTag = 0x4C4F504D;                   // "MPOL" in memory order
constexpr int32_t kPoolAcceptTag = 0x4B4F504D;                  // "MPOK" in memory order
constexpr int32_t kPoolVersion = 1;

// Header word 5 bit: the picture lies in the pool (the reference record says where).
constexpr int32_t kPictureFlagInPool = 16;

// The reference record at the start of the picture area.
constexpr int32_t kPictureRefTag = 0x4645524D;  // "MREF" in memory order
struct PictureRef {
  uint32_t y = 0, u = 0, v = 0;  // offsets of the planes in the pool section
  int32_t lumaPitch = 0, chromaPitch = 0;
};

constexpr OfferRecord kPoolRecord{kPoolRecordOffset, kPoolOfferTag, kPoolAcceptTag, kPoolVersion,
                                  0xC2B2AE35u};

inline uint32_t PictureRefCheck(const PictureRef& ref) {
  return ~(static_cast<uint32_t>(kPictureRefTag) ^ (ref.y * 0x9E3779B1u) ^ (ref.u * 0x85EBCA77u) ^
           (ref.v * 0xC2B2AE3Du) ^ (static_cast<uint32_t>(ref.lumaPitch) * 0x27D4EB2Fu) ^
           static_cast<uint32_t>(ref.chromaPitch));
}

// Server side: the record of a picture in place.
inline void PutPictureRef(unsigned char* view, const PictureRef& ref) {
  const uint32_t words[7] = {static_cast<uint32_t>(kPictureRefTag),
                             ref.y,
                             ref.u,
                             ref.v,
                             static_cast<uint32_t>(ref.lumaPitch),
                             static_cast<uint32_t>(ref.chromaPitch),
                             PictureRefCheck(ref)};
  std::memcpy(view + kPictureAreaOffset, words, sizeof words);
}

// Client side: the record of the picture delivered; false when the area holds none.
inline bool GetPictureRef(const unsigned char* view, PictureRef* ref) {
  uint32_t words[7];
  std::memcpy(words, view + kPictureAreaOffset, sizeof words);
  ref->y = words[1];
  ref->u = words[2];
  ref->v = words[3];
  ref->lumaPitch = static_cast<int32_t>(words[4]);
  ref->chromaPitch = static_cast<int32_t>(words[5]);
  return words[0] == static_cast<uint32_t>(kPictureRefTag) && words[6] == PictureRefCheck(*ref);
}

}  // namespace server
