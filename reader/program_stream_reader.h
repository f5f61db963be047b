// The files of a program stream read as one stream: a DVD title's VOB files (VTS_01_1.VOB,
// VTS_01_2.VOB, ...) follow one another with GOPs and packs running across the boundaries, so
// the reader and the project's positions use offsets into the files laid end to end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

class ProgramStreamFiles {
 public:
  ProgramStreamFiles() = default;
  ~ProgramStreamFiles();
  ProgramStreamFiles(const ProgramStreamFiles&) = delete;
  ProgramStreamFiles& operator=(const ProgramStreamFiles&) = delete;

  // Appends an open file whose first `size` bytes belong to the stream; the set closes it.
  void Add(FILE* file, uint64_t size);
  uint64_t Size() const { return size_; }
  // Reads up to `count` bytes at `offset` of the joined files: the number read, fewer only at the
  // end of the stream or where a file cannot be read.
  size_t ReadAt(uint64_t offset, unsigned char* buffer, size_t count);

 private:
  std::vector<FILE*> files_;
  std::vector<uint64_t> starts_;  // offset of each file's first byte in the joined stream
  uint64_t size_ = 0;
};
