// Path functions with the meaning of their Win32 namesakes, for the host's own separator.
#pragma once

#include <cstddef>

namespace platform {

// The folder separators of this platform: '/' on POSIX; '\\' and '/' on Windows.
bool IsPathSeparator(char c);

// The separator to write between a folder and a name.
char PreferredSeparator();

// True when `path` is relative (on POSIX: it does not start with '/').
bool PathIsRelative(const char* path);

// Resolves "." and ".." components lexically into `out` (of `outSize` bytes, terminator included).
// Returns false, leaving `out` empty, when the result does not fit.
bool PathCanonicalize(char* out, size_t outSize, const char* path);

// The longest path this platform's file functions take, terminator excluded: PATH_MAX - 1 on
// POSIX, MAX_PATH - 1 on Windows.
size_t MaxPathLength();

// The process's current directory into `out`; returns its length, or 0 when it does not fit.
size_t GetCurrentDirectory(char* out, size_t outSize);

}  // namespace platform
