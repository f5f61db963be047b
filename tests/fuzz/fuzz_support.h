// Shared pieces of the fuzz targets: the targets themselves (each also a libFuzzer entry point
// when built as a fuzzer), a scratch folder, in-memory files with real file semantics, the
// decoder object that the targets share, and a memory-backed Matroska input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "reader/mkv_file_input.h"

class CAVCDecoder;

namespace fuzz {

// The targets. Each takes one input of any content, returns 0, and aborts with a message on
// stderr when a check of the code under test fails.
int ProjectLoader(const uint8_t* data, size_t size);
int DefaultsFile(const uint8_t* data, size_t size);
int EsUnits(const uint8_t* data, size_t size);
// The elementary stream and the multiplex read across a refill of the read buffer.
int EsRefill(const uint8_t* data, size_t size);
int TsRefill(const uint8_t* data, size_t size);
int TsUnits(const uint8_t* data, size_t size);
int PsUnits(const uint8_t* data, size_t size);
int TsMux(const uint8_t* data, size_t size);
int Matroska(const uint8_t* data, size_t size);
// The decoding server's request handling (built where the server is: MPG_FUZZ_HAVE_SERVER).
int ServerRequests(const uint8_t* data, size_t size);

// Aborts with `what` when `ok` is false: a fault of the code under test.
void Check(bool ok, const char* what);

// A folder of this process for the files the targets write; removed at exit.
const std::string& ScratchDir();
// Writes the bytes to path, replacing the file.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

// A file that lives in memory but behaves as a disk file does (seeks past its end succeed and
// reads there return nothing). Returns null only when the system refuses.
FILE* MemoryFile(const uint8_t* data, size_t size);

// A file in memory made of a long prefix, written once for each `key` by `makePrefix`, and a
// tail that changes from run to run; behaves as MemoryFile does. `contents` receives the whole
// file's bytes. Keeps the runs that read across a refill of the read buffer cheap.
FILE* PrefixedMemoryFile(int key, const std::function<std::string()>& makePrefix,
                         const uint8_t* tail, size_t size, const std::string** contents);

// The decoder object (16 MB) that all runs share, made on first use. Open and Close make it
// reusable; the stream targets set its reading fields directly.
CAVCDecoder& SharedDecoder();

// Points the decoder's stream reader at `file` (taking it over) as a loaded project would:
// stream kind, packet size and PID set, nothing buffered, resync pending.
void AttachStream(CAVCDecoder& d, FILE* file, int streamType, int packetSize, int pid);
// Closes the attached stream and leaves the decoder unloaded.
void DetachStream(CAVCDecoder& d);

// Checks the unit the decoder has just produced: it starts with 00 00 01, lies in the unit
// buffer, fits it, and holds no other 00 00 01.
void CheckUnit(const CAVCDecoder& d);

// The decoder's Matroska file input (reader/mkv_file_input.h) over `file`, with counted
// allocations: after `failAfter` successful ones (negative: never) every further allocation fails,
// to exercise the parser's unwinding. With `withFileSize` it also reports the file's size.
struct CountingFileInput {
  MkvFileInput file;
  uint64_t size;
  long allocations;
  long failAfter;
  long liveBlocks;
};
void InitCountingFileInput(CountingFileInput* input, FILE* file, size_t size, bool withFileSize,
                           long failAfter);

}  // namespace fuzz
