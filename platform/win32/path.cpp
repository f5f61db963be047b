// Path functions are the shell's own (PathIsRelativeA, PathCanonicalizeA), which work in
// MAX_PATH-character buffers.
#include "platform/path.h"

#include <shlwapi.h>
#include <windows.h>

#include <cstring>

// The platform layer's names are those of the Win32 functions; windows.h maps them to macros.
#undef GetCurrentDirectory
#undef PathIsRelative
#undef PathCanonicalize

namespace platform {

bool IsPathSeparator(char c) {
  return c == '\\' || c == '/';
}

char PreferredSeparator() {
  return '\\';
}

bool PathIsRelative(const char* path) {
  return path && ::PathIsRelativeA(path);
}

bool PathCanonicalize(char* out, size_t outSize, const char* path) {
  if (!out || outSize == 0) return false;
  out[0] = '\0';
  if (!path || std::strlen(path) >= MAX_PATH) return false;
  char canonical[MAX_PATH + 1] = {};
  if (!::PathCanonicalizeA(canonical, path)) return false;
  const size_t length = std::strlen(canonical);
  if (length + 1 > outSize) return false;
  std::memcpy(out, canonical, length + 1);
  return true;
}

size_t MaxPathLength() {
  return MAX_PATH - 1;
}

size_t GetCurrentDirectory(char* out, size_t outSize) {
  if (!out || outSize == 0) return 0;
  const DWORD size = outSize > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(outSize);
  const DWORD length = ::GetCurrentDirectoryA(size, out);
  // On success the length excludes the terminator; a buffer too small gets the size it needs.
  if (length == 0 || length >= size) {
    out[0] = '\0';
    return 0;
  }
  return length;
}

}  // namespace platform
