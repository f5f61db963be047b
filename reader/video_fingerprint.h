// The fingerprint of a video file that a project records, so that the loader can tell a video
// replaced or cut short since indexing from the one indexed. It covers the file's first `size`
// bytes: a 64-bit FNV-1a hash over the first MiB of them, then over the last MiB (the two stretches
// overlap in files under 2 MiB). Only the bytes the index was made from count, so a recording that
// has grown since keeps its fingerprint. Header-only: the indexer computes the same value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fingerprint {

constexpr uint64_t kSpan = 1u << 20;
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

inline uint64_t Fnv1a(uint64_t hash, const unsigned char* data, size_t length) {
  for (size_t i = 0; i < length; ++i) hash = (hash ^ data[i]) * kFnvPrime;
  return hash;
}

// The fingerprint of a file's first `size` bytes. `readAt(offset, buffer, length)` reads exactly
// `length` bytes at `offset` and returns false when it cannot. Returns false when a read fails.
template <typename ReadAt>
bool Compute(uint64_t size, ReadAt readAt, uint64_t* hash) {
  const uint64_t span = size < kSpan ? size : kSpan;
  std::vector<unsigned char> buffer(static_cast<size_t>(span));
  uint64_t h = kFnvOffset;
  for (uint64_t offset : {uint64_t{0}, size - span}) {
    if (span > 0 && !readAt(offset, buffer.data(), buffer.size())) return false;
    h = Fnv1a(h, buffer.data(), buffer.size());
  }
  *hash = h;
  return true;
}

}  // namespace fingerprint
