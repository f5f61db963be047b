// Path functions with the meaning of their Win32 namesakes, for the host's own separator. Paths
// are UTF-8 (see Utf8Path).
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The folder separators of this platform: '/' on POSIX; '\\' and '/' on Windows.
bool IsPathSeparator(char c);

// The separator to write between a folder and a name.
char PreferredSeparator();

// Turns the other system's folder separators in `path` into this one's, so that a relative path
// written on Windows ("sub\\clip.ts") names the same file here: on POSIX every '\\' becomes '/';
// on Windows, which takes both, nothing changes.
void UseLocalSeparators(char* path);

// `path` (as a host passed it, or as a project holds it) in UTF-8, the text every path function
// here takes: on Windows, text that is not valid UTF-8 is read in the ANSI code page; on POSIX
// names are bytes and pass unchanged.
std::string Utf8Path(const char* path);

// True when `path` is relative (on POSIX: it does not start with '/').
bool PathIsRelative(const char* path);

// Resolves "." and ".." components lexically into `out` (of `outSize` bytes, terminator included).
// Returns false, leaving `out` empty, when the result does not fit.
bool PathCanonicalize(char* out, size_t outSize, const char* path);

// The longest path this platform's file functions take, in bytes of UTF-8, terminator excluded:
// PATH_MAX - 1 on POSIX; on Windows, whose wide functions take 32,767 characters in the "\\?\"
// form, three bytes for each of them.
size_t MaxPathLength();

// `relative` resolved against the folder of `file` as the project loader resolves a video path:
// the folder of `file` (made absolute from the current directory when `file` is relative), the
// relative path appended, "." and ".." resolved. Empty when `file` has no folder part or the
// result does not fit.
std::string ResolveBeside(const std::string& file, const std::string& relative);

// `path` absolute, with every symbolic link (and on Windows junction) resolved, as the system
// finds it now; empty when it does not exist or cannot be resolved.
std::string ResolveLinks(const std::string& path);

// The process's current directory into `out`; returns its length, or 0 when it does not fit.
size_t GetCurrentDirectory(char* out, size_t outSize);

}  // namespace platform
