// Recognising an MPEG program stream (VOB, MPG) wherever the file starts: a recording cut inside a
// pack, or written after padding, opens with the middle of a packet, but its pack headers still
// follow each other at the places the packet lengths give.
#pragma once

#include <cstddef>
#include <cstdint>

namespace indexer {

struct ProgramStreamMatch {
  uint64_t firstPack = 0;  // offset of the first pack header of the chain found
  bool mpeg1 = false;      // MPEG-1 pack headers (VCD and the like)
};

// True when `data` (the first `size` bytes of a file of `fileSize` bytes) holds a chain of pack
// headers (00 00 01 BA) whose lengths, with the system headers and PES packets between them, lead
// from one to the next: four packs, at least two that run to the end of a file read whole, or a
// single one at byte 0.
// MPEG-2 video never holds a pack start code, so an elementary stream never matches.
bool FindProgramStream(const uint8_t* data, size_t size, uint64_t fileSize,
                       ProgramStreamMatch* match);

}  // namespace indexer
