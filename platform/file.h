// 64-bit positioning of stdio streams.
#pragma once

#include <cstdint>
#include <cstdio>

namespace platform {

// Positions `file` at the absolute byte offset; returns 0 on success, -1 on failure.
int SeekFile(FILE* file, uint64_t position);

// The current position of `file`, or -1 on failure.
int64_t TellFile(FILE* file);

}  // namespace platform
