// Bulk hand-over: many start-code units per exchange instead of one.
//
// A client that can send several units at once offers it with its REQUEST_INIT: after the chroma
// record it writes a tagged, checked record (kBulkOfferTag). A server that takes batches reads the
// offer and, before it answers the REQUEST_INIT, overwrites the record with its acceptance
// (kBulkAcceptTag). Only then does the client send REQUEST_UNITS; otherwise both sides keep to one
// REQUEST_DATA per unit:
//   - a client that makes no offer (any older one) finds a server that sees no offer and takes its
//     units one by one;
//   - a server that does not know the record answers the REQUEST_INIT without touching it, so the
//     client reads back its own offer, not an acceptance, and sends one unit per request.
// The server clears the offer once read, so a later client that writes none is never taken for one
// that offered.
//
// REQUEST_UNITS: operand 1 holds the batch's length in bytes; the batch begins at kUnitOffset and
// holds the units in stream order, each as a 32-bit length followed by that many bytes. A batch
// is at most kMaxBatchBytes long, so it never reaches the odd chroma rows or the run record.
#pragma once

#include <cstdint>
#include <cstring>

#include "server-link/chroma_layout.h"
#include "server-link/offer_record.h"
#include "server-link/section_layout.h"

namespace server {

constexpr int32_t REQUEST_UNITS = 3;

constexpr uint32_t kBulkRecordOffset = kChromaRecordOffset + 12;  // 0x30: tag, version, check
constexpr int32_t kBulkOfferTag = 0x4B4C424D;                     // "MBLK" in memory order
constexpr int32_t kBulkAcceptTag = 0x4B4F424D;                    // "MBOK" in memory order
constexpr int32_t kBulkVersion = 1;

// The longest batch: as long as the longest single unit a client sends.
constexpr uint32_t kMaxBatchBytes = 8000000;
static_assert(kUnitOffset + kMaxBatchBytes <= kOddChromaRowsOffset, "no batch reaches the rows");
// A client closes a batch only at a picture's start, and only once it holds this much: cheap
// pictures (a few kilobytes) then travel several to an exchange, while a large picture still goes
// on its own as soon as it is whole, so the server decodes it while the next one is read.
constexpr uint32_t kMinBatchBytes = 64 * 1024;
// Bytes a unit takes in a batch besides its own.
constexpr uint32_t kBatchUnitHeader = 4;

constexpr OfferRecord kBulkRecord{kBulkRecordOffset, kBulkOfferTag, kBulkAcceptTag, kBulkVersion,
                                  0x85EBCA77u};

// Calls `unit(data, length)` for each unit of the batch `batch` of `size` bytes, in order. Returns
// false, at the first unit that does not fit in what is left, for a batch that is not made of
// whole units; the units before it have been passed on.
template <typename UnitFn>
bool ForEachBatchUnit(const unsigned char* batch, uint32_t size, UnitFn unit) {
  uint32_t at = 0;
  while (at < size) {
    if (size - at < kBatchUnitHeader) return false;
    uint32_t length;
    std::memcpy(&length, batch + at, sizeof length);
    at += kBatchUnitHeader;
    if (length > size - at) return false;
    unit(batch + at, length);
    at += length;
  }
  return true;
}

}  // namespace server
