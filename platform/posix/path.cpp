#include "platform/path.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace platform {

bool IsPathSeparator(char c) {
  return c == '/';
}

char PreferredSeparator() {
  return '/';
}

void UseLocalSeparators(char* path) {
  for (; path != nullptr && *path != '\0'; ++path) {
    if (*path == '\\') *path = '/';
  }
}

std::string Utf8Path(const char* path) {
  return path == nullptr ? std::string() : std::string(path);
}

std::string ResolveLinks(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  std::string result(resolved);
  free(resolved);
  return result;
}

bool PathIsRelative(const char* path) {
  return path == nullptr || path[0] != '/';
}

bool PathCanonicalize(char* out, size_t outSize, const char* path) {
  if (out == nullptr || outSize == 0) return false;
  if (path == nullptr) {
    out[0] = '\0';
    return false;
  }
  const bool absolute = path[0] == '/';
  std::vector<std::string> parts;
  size_t leadingUps = 0;  // ".." that a relative path cannot resolve lexically; they are kept
  bool lastWasName = false;
  for (const char* p = path; *p != '\0';) {
    while (*p == '/') ++p;
    const char* end = p;
    while (*end != '\0' && *end != '/') ++end;
    const std::string part(p, end);
    if (part.empty()) {
      // a run of separators at the end
    } else if (part == ".") {
      lastWasName = false;
    } else if (part == "..") {
      lastWasName = false;
      if (!parts.empty()) {
        parts.pop_back();
      } else if (!absolute) {
        ++leadingUps;  // at the root ".." stays at the root
      }
    } else {
      lastWasName = true;
      parts.push_back(part);
    }
    p = end;
  }
  std::string result = absolute ? "/" : "";
  for (size_t i = 0; i < leadingUps; ++i) result += "../";
  for (const std::string& part : parts) {
    result += part;
    result += '/';
  }
  // A trailing separator is kept only where the path ended in a name followed by one ("a/b/").
  const size_t pathLength = std::strlen(path);
  const bool keepTrailing = lastWasName && pathLength > 0 && path[pathLength - 1] == '/';
  if (result.size() > 1 && result.back() == '/' && !keepTrailing) {
    result.pop_back();
  }
  if (result.empty() && path[0] != '\0') result = ".";
  if (result.size() + 1 > outSize) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, result.c_str(), result.size() + 1);
  return true;
}

size_t MaxPathLength() {
  return PATH_MAX - 1;
}

size_t GetCurrentDirectory(char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) {
      out[0] = '\0';
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
  const size_t length = std::strlen(buffer.data());
  if (length + 1 > outSize) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, buffer.data(), length + 1);
  return length;
}

}  // namespace platform
