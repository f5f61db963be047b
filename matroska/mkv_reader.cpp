// The read cache over the caller's input and the EBML primitives built on it.
#include <climits>
#include <cstdint>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

const char* inputErrorText(MkvInput* input) {
  const char* text = input->errorText != nullptr ? input->errorText(input) : nullptr;
  return text != nullptr ? text : "unknown error";
}

// Moves the cache window so that it starts at `position` and holds nothing.
void emptyCacheAt(MatroskaFile* mf, uint64_t position) {
  mf->cacheStart = position;
  mf->cacheIndex = 0;
  mf->cacheFill = 0;
}

}  // namespace

void refillCache(MatroskaFile* mf) {
  emptyCacheAt(mf, mf->cacheStart + static_cast<uint64_t>(mf->cacheFill));
  int r = mf->input->read(mf->input, mf->cacheStart, mf->cache, kCacheSize);
  if (r < 0) raiseError(mf, "I/O Error: %s", inputErrorText(mf->input));
  // An input that claims more than was asked for gets no credit beyond the buffer.
  mf->cacheFill = r > kCacheSize ? kCacheSize : r;
}

int readByte(MatroskaFile* mf) {
  if (mf->cacheIndex < mf->cacheFill) return mf->cache[mf->cacheIndex++];
  refillCache(mf);
  if (mf->cacheIndex < mf->cacheFill) return mf->cache[mf->cacheIndex++];
  return -1;
}

void readBytes(MatroskaFile* mf, uint32_t n, void* destination) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  uint32_t cached = static_cast<uint32_t>(mf->cacheFill - mf->cacheIndex);
  uint32_t k = cached < n ? cached : n;
  for (uint32_t i = 0; i < k; ++i) out[i] = mf->cache[mf->cacheIndex + static_cast<int>(i)];
  mf->cacheIndex += static_cast<int>(k);
  uint32_t remaining = n - k;
  if (remaining == 0) return;
  // The rest goes straight into the destination, not through the cache.
  emptyCacheAt(mf, mf->cacheStart + static_cast<uint64_t>(mf->cacheFill));
  if (remaining > static_cast<uint32_t>(INT_MAX)) {
    raiseError(mf, "Short read: got %d bytes of %d", 0, INT_MAX);
  }
  int r = mf->input->read(mf->input, mf->cacheStart, out + k, static_cast<int>(remaining));
  if (r < 0) raiseError(mf, "I/O Error: %s", inputErrorText(mf->input));
  if (static_cast<uint32_t>(r) != remaining) {
    raiseError(mf, "Short read: got %d bytes of %d", r, static_cast<int>(remaining));
  }
  mf->cacheStart += remaining;
}

void skipBytes(MatroskaFile* mf, uint64_t n) {
  uint64_t cached = static_cast<uint64_t>(mf->cacheFill - mf->cacheIndex);
  if (n <= cached) {
    mf->cacheIndex += static_cast<int>(n);
    return;
  }
  uint64_t from = mf->cacheStart + static_cast<uint64_t>(mf->cacheFill);
  uint64_t rest = n - cached;
  if (rest > UINT64_MAX - from) raiseError(mf, "Element size out of range: %llu", n);
  emptyCacheAt(mf, from + rest);
}

void seekTo(MatroskaFile* mf, uint64_t position) {
  if (position >= mf->cacheStart &&
      position - mf->cacheStart < static_cast<uint64_t>(mf->cacheFill)) {
    mf->cacheIndex = static_cast<int>(position - mf->cacheStart);
  } else {
    emptyCacheAt(mf, position);
  }
}

uint64_t endOf(MatroskaFile* mf, uint64_t size) {
  uint64_t pos = currentPos(mf);
  if (size > UINT64_MAX - pos) raiseError(mf, "Element size out of range: %llu", size);
  return pos + size;
}

uint32_t readElementId(MatroskaFile* mf) {
  int b0 = readByte(mf);
  if (b0 < 0) return kEndOfFileId;
  if (b0 & 0x80) return static_cast<uint32_t>(b0);
  if ((b0 & 0xF0) == 0) raiseError(mf, "Invalid first byte of EBML ID: %02X", b0);
  int length = (b0 & 0x40) ? 2 : (b0 & 0x20) ? 3 : 4;
  uint32_t id = static_cast<uint32_t>(b0);
  for (int i = 1; i < length; ++i) {
    int b = readByte(mf);
    if (b < 0) raiseError(mf, "Got EOF while reading EBML ID");
    id = (id << 8) | static_cast<uint32_t>(b);
  }
  return id;
}

uint64_t readVarUInt(MatroskaFile* mf, int* extra) {
  int b0 = readByte(mf);
  if (b0 < 0) return 0;
  if (b0 == 0) raiseError(mf, "Invalid first byte of EBML integer: 0");
  int e = 0;
  while ((b0 & (0x80 >> e)) == 0) ++e;
  uint64_t value = static_cast<uint64_t>(b0 & ((0x80 >> e) - 1));
  for (int i = 0; i < e; ++i) {
    int b = readByte(mf);
    if (b < 0) raiseError(mf, "Got EOF while reading EBML unsigned integer");
    value = (value << 8) | static_cast<uint64_t>(b);
  }
  if (extra != nullptr) *extra = e;
  return value;
}

int64_t readVarSInt(MatroskaFile* mf) {
  int e = 0;
  uint64_t v = readVarUInt(mf, &e);
  uint64_t bias = (uint64_t{1} << (7 * (e + 1) - 1)) - 1;
  return static_cast<int64_t>(v - bias);
}

uint64_t readElementSize(MatroskaFile* mf) {
  int e = 0;
  uint64_t v = readVarUInt(mf, &e);
  if (v == (uint64_t{1} << (7 * (e + 1))) - 1) {
    raiseError(mf, "Unspecified element size is not supported here.");
  }
  return v;
}

uint64_t readUInt(MatroskaFile* mf, uint64_t n) {
  if (n == 0) return 0;
  if (n > 8) {
    raiseError(mf, "Unsupported integer size in readUInt: %u",
               static_cast<unsigned>(n > UINT32_MAX ? UINT32_MAX : n));
  }
  uint64_t value = 0;
  for (uint64_t i = 0; i < n; ++i) {
    int b = readByte(mf);
    if (b < 0) raiseError(mf, "Got EOF while reading EBML unsigned integer");
    value = (value << 8) | static_cast<uint64_t>(b);
  }
  return value;
}

int64_t readFloat(MatroskaFile* mf, uint64_t n) {
  if (n != 4 && n != 8) {
    raiseError(mf, "Invalid float size in readFloat: %u",
               static_cast<unsigned>(n > UINT32_MAX ? UINT32_MAX : n));
  }
  return floatBitsToFixed(readUInt(mf, n), n == 8);
}

void readString(MatroskaFile* mf, int bufferSize, uint64_t elementSize, char* destination) {
  if (bufferSize < 1) raiseError(mf, "Invalid buffer size in readString: %d", bufferSize);
  uint64_t limit = static_cast<uint64_t>(bufferSize - 1);
  uint32_t k = static_cast<uint32_t>(elementSize < limit ? elementSize : limit);
  readBytes(mf, k, destination);
  skipBytes(mf, elementSize - k);
  destination[k] = 0;
}

void readLanguage(MatroskaFile* mf, uint64_t elementSize, char* destination) {
  for (int i = 0; i < 4; ++i) destination[i] = 0;
  uint32_t k = static_cast<uint32_t>(elementSize < 3 ? elementSize : 3);
  readBytes(mf, k, destination);
  skipBytes(mf, elementSize - k);
}

}  // namespace mkv
