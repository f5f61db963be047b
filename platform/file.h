// 64-bit positioning of stdio streams.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// Positions `file` at the absolute byte offset; returns 0 on success, -1 on failure.
int SeekFile(FILE* file, uint64_t position);

// The current position of `file`, or -1 on failure.
int64_t TellFile(FILE* file);

// Opens `path` (UTF-8, see platform/path.h) for reading raw bytes, but only when it is a regular
// file: a folder, a FIFO or a device is refused without blocking and without being read. On success
// returns the stream and sets *size to the file's length; on failure returns null with the reason
// (the system's, or "a FIFO, not a regular file" and the like) in `reason` (of `reasonSize` bytes).
FILE* OpenRegularFile(const char* path, uint64_t* size, char* reason, size_t reasonSize);

// True when both paths lead (through links) to one existing file: the same device and inode on
// POSIX, the same volume and file index on Windows.
bool SameFile(const std::string& a, const std::string& b);

// Makes `file` (an open standard stream such as stdout) carry bytes unchanged: on Windows a stream
// opened in text mode turns every "\n" into "\r\n", which breaks binary output. Nothing to do on
// POSIX. Returns false when the mode cannot be changed.
bool SetBinaryMode(FILE* file);

// Reads the next line of `in` into `line`, without its "\n" (a "\r" before it stays); false at
// the end of the file with nothing read.
inline bool ReadTextLine(FILE* in, std::string* line) {
  line->clear();
  int c;
  while ((c = std::fgetc(in)) != EOF && c != '\n') line->push_back(static_cast<char>(c));
  return c != EOF || !line->empty();
}

}  // namespace platform
