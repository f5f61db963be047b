// The caller-supplied record of operations through which the Matroska parser does all its input and
// memory management. Every operation receives the record itself first, so an implementation may
// extend it with fields of its own placed after the slots.
#pragma once

#include <cstddef>
#include <cstdint>

struct MkvInput {
  // Reads up to `count` bytes at the absolute `position`: the number read (0 at or past the end of
  // the file), or a negative value on error.
  int (*read)(MkvInput* input, uint64_t position, void* buffer, int count);
  // Position of the first byte of the first occurrence, at or after `start`, of the four bytes of
  // `signature` in big-endian order; negative when there is none.
  int64_t (*scan)(MkvInput* input, uint64_t start, uint32_t signature);
  // The input's preferred read size.
  uint32_t (*cacheSize)(MkvInput* input);
  // Readable description of the last failed read.
  const char* (*errorText)(MkvInput* input);
  void* (*alloc)(MkvInput* input, size_t size);
  void* (*realloc)(MkvInput* input, void* block, size_t size);
  void (*free)(MkvInput* input, void* block);  // accepts null
  // Non-zero to go on, 0 to cancel.
  int (*progress)(MkvInput* input, uint64_t current, uint64_t total);
  // Total size of the file; may be null; only a result above 0 is used.
  int64_t (*fileSize)(MkvInput* input);
};
