#include "reader/mkv_file_input.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/file.h"

namespace {

MkvFileInput* Self(MkvInput* input) {
  return reinterpret_cast<MkvFileInput*>(input);
}

int ReadAt(MkvInput* input, uint64_t position, void* buffer, int count) {
  MkvFileInput* self = Self(input);
  if (platform::SeekFile(self->inputFile, position) != 0) {
    self->lastError = errno != 0 ? errno : EINVAL;
    return -1;
  }
  if (count <= 0) return 0;
  const size_t got = std::fread(buffer, 1, size_t(count), self->inputFile);
  if (got > 0) return static_cast<int>(got);
  if (std::feof(self->inputFile)) return 0;
  self->lastError = errno != 0 ? errno : EIO;
  return -1;
}

int64_t Scan(MkvInput* input, uint64_t start, uint32_t signature) {
  MkvFileInput* self = Self(input);
  if (platform::SeekFile(self->inputFile, start) != 0) {
    self->lastError = errno != 0 ? errno : EINVAL;
    return -1;
  }
  unsigned char chunk[4096];
  uint32_t window = 0;
  uint64_t consumed = 0;
  for (;;) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, self->inputFile);
    if (got == 0) return -1;
    for (size_t i = 0; i < got; ++i) {
      window = (window << 8) | chunk[i];
      ++consumed;
      // Only a window filled with four bytes of the file can match.
      if (consumed >= 4 && window == signature) return int64_t(start + consumed - 4);
    }
  }
}

uint32_t CacheSize(MkvInput*) {
  return kMkvFileInputReadSize;
}

const char* ErrorText(MkvInput* input) {
  return std::strerror(Self(input)->lastError);
}

void* Alloc(MkvInput*, size_t size) {
  return std::malloc(size);
}

void* Realloc(MkvInput*, void* block, size_t size) {
  return std::realloc(block, size);
}

void Free(MkvInput*, void* block) {
  std::free(block);
}

int Progress(MkvInput*, uint64_t, uint64_t) {
  return 1;
}

}  // namespace

void InitMkvFileInput(MkvFileInput* input, FILE* file) {
  std::memset(input, 0, sizeof *input);
  input->ops.read = ReadAt;
  input->ops.scan = Scan;
  input->ops.cacheSize = CacheSize;
  input->ops.errorText = ErrorText;
  input->ops.alloc = Alloc;
  input->ops.realloc = Realloc;
  input->ops.free = Free;
  input->ops.progress = Progress;
  input->inputFile = file;
}
