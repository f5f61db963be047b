// Growable arrays and string helpers; all memory comes from the caller's input.
#include <cstdint>
#include <cstring>

#include "matroska/mkv_file.h"

namespace mkv {

void* ArrayAlloc(MatroskaFile* mf, uint32_t* count, uint32_t* capacity, void** array,
                 uint32_t elementSize) {
  if (*count >= *capacity) {
    // A capacity that cannot double, or a byte size beyond the address range, is out of memory.
    if (*capacity > UINT32_MAX / 2) raiseError(mf, "Out of memory in ArrayAlloc");
    uint32_t grown = *capacity == 0 ? 1 : *capacity * 2;
    if (elementSize != 0 && grown > SIZE_MAX / elementSize) {
      raiseError(mf, "Out of memory in ArrayAlloc");
    }
    void* block = mf->input->realloc(mf->input, *array, size_t{grown} * elementSize);
    if (block == nullptr) raiseError(mf, "Out of memory in ArrayAlloc");
    *array = block;
    *capacity = grown;
  }
  void* item = static_cast<char*>(*array) + size_t{*count} * elementSize;
  ++*count;
  return item;
}

void ArrayTrim(MatroskaFile* mf, uint32_t* capacity, uint32_t count, void** array,
               uint32_t elementSize) {
  if (count >= *capacity) return;
  if (count == 0) {
    mf->input->free(mf->input, *array);
    *array = nullptr;
    *capacity = 0;
    return;
  }
  void* block = mf->input->realloc(mf->input, *array, size_t{count} * elementSize);
  // Shrinking that fails keeps the larger block, which is still valid.
  if (block == nullptr) return;
  *array = block;
  *capacity = count;
}

char* duplicateString(MkvInput* input, const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = std::strlen(text);
  char* copy = static_cast<char*>(input->alloc(input, length + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length + 1);
  return copy;
}

void packString(char** field, char** freeSpace) {
  if (*field == nullptr) return;
  size_t length = std::strlen(*field);
  std::memcpy(*freeSpace, *field, length + 1);
  *field = *freeSpace;
  *freeSpace += length + 1;
}

char* readStringBlock(MatroskaFile* mf, uint64_t size) {
  uint32_t k = static_cast<uint32_t>(size < kMaxStringSize ? size : kMaxStringSize);
  InputBlock block(mf->input, mf->input->alloc(mf->input, k + 1));
  if (block.get() == nullptr) raiseError(mf, "Out of memory");
  readString(mf, static_cast<int>(k + 1), size, block.text());
  return static_cast<char*>(block.release());
}

}  // namespace mkv
