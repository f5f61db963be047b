#include "tools/indexer/program_stream.h"

#include <algorithm>

namespace indexer {
namespace {

constexpr int kPacksNeeded = 4;
constexpr int kMaxSteps = 256;  // units walked from one candidate before it is given up

bool StartCodeAt(const uint8_t* data, size_t size, size_t at) {
  return at + 4 <= size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
}

// The length of the pack header at `at`, with its marker bits checked; 0 when it is none.
// MPEG-2: '01', the SCR and its extension, the mux rate, then 3 bits of stuffing length.
// MPEG-1: '0010', the SCR and the mux rate, 12 bytes.
size_t PackHeaderLength(const uint8_t* d, size_t size, size_t at, bool* mpeg1) {
  if (at + 5 > size) return 0;
  const uint8_t kind = d[at + 4];
  if ((kind & 0xC0) == 0x40) {
    if (at + 14 > size) return 0;
    if (!(kind & 0x04) || !(d[at + 6] & 0x04) || !(d[at + 8] & 0x04) || !(d[at + 9] & 0x01) ||
        (d[at + 12] & 0x03) != 0x03) {
      return 0;
    }
    *mpeg1 = false;
    return 14 + (d[at + 13] & 0x07);
  }
  if ((kind & 0xF0) == 0x20) {
    if (at + 12 > size) return 0;
    if (!(kind & 0x01) || !(d[at + 6] & 0x01) || !(d[at + 8] & 0x01) || !(d[at + 9] & 0x80) ||
        !(d[at + 11] & 0x01)) {
      return 0;
    }
    *mpeg1 = true;
    return 12;
  }
  return 0;
}

// Walks from the pack header at `at`: packs, system headers and PES packets, each where the one
// before ends. Returns the packs passed; *atEnd when the walk ran into the end of the data.
int WalkPacks(const uint8_t* d, size_t size, size_t at, bool* mpeg1, bool* atEnd) {
  int packs = 0;
  *atEnd = false;
  for (int step = 0; step < kMaxSteps && packs < kPacksNeeded; ++step) {
    if (at + 4 > size) {
      *atEnd = true;
      break;
    }
    if (!StartCodeAt(d, size, at)) break;
    const uint8_t id = d[at + 3];
    if (id == 0xBA) {
      bool kind = false;
      const size_t length = PackHeaderLength(d, size, at, &kind);
      if (length == 0) {
        *atEnd = at + 14 > size;
        break;
      }
      if (packs == 0) *mpeg1 = kind;
      if (kind != *mpeg1) break;
      ++packs;
      at += length;
    } else if (id == 0xB9) {  // program end code
      at += 4;
    } else if (id >= 0xBB) {  // system header or PES packet: a 16-bit length follows the code
      if (at + 6 > size) {
        *atEnd = true;
        break;
      }
      at += 6 + ((size_t{d[at + 4]} << 8) | d[at + 5]);
    } else {
      break;
    }
  }
  return packs;
}

}  // namespace

bool FindProgramStream(const uint8_t* data, size_t size, uint64_t fileSize,
                       ProgramStreamMatch* match) {
  static const uint8_t kPack[4] = {0, 0, 1, 0xBA};
  const bool whole = size >= fileSize;
  const uint8_t* end = data + size;
  for (const uint8_t* at = std::search(data, end, kPack, kPack + 4); at != end;
       at = std::search(at + 1, end, kPack, kPack + 4)) {
    bool mpeg1 = false, atEnd = false;
    const size_t offset = static_cast<size_t>(at - data);
    const int packs = WalkPacks(data, size, offset, &mpeg1, &atEnd);
    // A file that opens with a pack header needs that one only, as it always did.
    if (packs >= kPacksNeeded || (whole && atEnd && packs >= 2) || (offset == 0 && packs >= 1)) {
      match->firstPack = offset;
      match->mpeg1 = mpeg1;
      return true;
    }
  }
  return false;
}

}  // namespace indexer
