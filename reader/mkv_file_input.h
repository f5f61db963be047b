// The Matroska parser's input over an open stdio file: positioned reads, a signature scan, heap
// memory and a 65,536-byte read size. The decoder reads its Matroska sources through it, and so do
// the indexer and the parser's benchmark.
#pragma once

#include <cstdint>
#include <cstdio>

#include "matroska/mkv_input.h"

// The parser's record followed by the input's own fields; the parser hands the record back to
// each operation, which finds its file and error number after the slots.
struct MkvFileInput {
  MkvInput ops;
  FILE* inputFile;    // not owned
  int32_t lastError;  // the system error number of the last failed positioning or read
};

// The read size the input suggests to the parser; give the file a stream buffer of this size.
constexpr uint32_t kMkvFileInputReadSize = 65536;

// Clears `input`, fills every operation slot but fileSize (which stays empty) and points it at
// `file`, which stays the caller's and must stay open while the parser uses the input.
void InitMkvFileInput(MkvFileInput* input, FILE* file);
