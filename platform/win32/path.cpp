// Path functions are the shell's own (PathIsRelativeW, PathCanonicalizeW) on UTF-8 text; a path
// too long for PathCanonicalizeW's MAX_PATH buffers is resolved by GetFullPathNameW, which takes
// any length.
#include "platform/path.h"

#include <shlwapi.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/win32/wide.h"

// The platform layer's names are those of the Win32 functions; windows.h maps them to macros.
#undef GetCurrentDirectory
#undef PathIsRelative
#undef PathCanonicalize

namespace platform {

namespace {

bool CopyOut(const std::string& text, char* out, size_t outSize) {
  if (text.size() + 1 > outSize) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

bool IsPathSeparator(char c) {
  return c == '\\' || c == '/';
}

char PreferredSeparator() {
  return '\\';
}

void UseLocalSeparators(char*) {}

bool PathIsRelative(const char* path) {
  return path && ::PathIsRelativeW(win32::Wide(path).c_str());
}

bool PathCanonicalize(char* out, size_t outSize, const char* path) {
  if (!out || outSize == 0) return false;
  out[0] = '\0';
  if (!path) return false;
  const std::wstring wide = win32::Wide(path);
  std::wstring canonical;
  if (wide.size() < MAX_PATH) {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (!::PathCanonicalizeW(buffer, wide.c_str())) return false;
    canonical = buffer;
  } else {
    // Longer paths are absolute here (a folder joined with a name); their dots resolve the same.
    if (::PathIsRelativeW(wide.c_str())) return false;
    std::vector<wchar_t> buffer(wide.size() + 1);
    const DWORD length =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size()) return false;
    canonical.assign(buffer.data(), length);
  }
  if (!CopyOut(win32::Utf8(canonical), out, outSize)) {
    out[0] = '\0';
    return false;
  }
  return true;
}

std::string ResolveLinks(const std::string& path) {
  // Opening the object itself (a folder too) and asking for its final name resolves every link
  // and junction on the way.
  const HANDLE file = ::CreateFileW(win32::FilePath(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::wstring name;
  const DWORD size = ::GetFinalPathNameByHandleW(file, nullptr, 0, VOLUME_NAME_DOS);
  if (size > 0) {
    std::vector<wchar_t> buffer(size + 1);
    const DWORD length =
        ::GetFinalPathNameByHandleW(file, buffer.data(), size + 1, VOLUME_NAME_DOS);
    if (length > 0 && length <= size) name.assign(buffer.data(), length);
  }
  ::CloseHandle(file);
  // The answer comes in the "\\?\" form: "\\?\C:\..." or "\\?\UNC\server\share\...".
  if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    name = L"\\\\" + name.substr(8);
  } else if (name.compare(0, 4, L"\\\\?\\") == 0) {
    name = name.substr(4);
  }
  return name.empty() ? std::string() : win32::Utf8(name);
}

size_t MaxPathLength() {
  // 32,767 UTF-16 units, each at most 3 bytes of UTF-8.
  return 32767 * 3;
}

size_t GetCurrentDirectory(char* out, size_t outSize) {
  if (!out || outSize == 0) return 0;
  out[0] = '\0';
  const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return 0;
  std::vector<wchar_t> buffer(size + 1);
  const DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length >= buffer.size()) return 0;
  const std::string utf8 = win32::Utf8(std::wstring(buffer.data(), length));
  return CopyOut(utf8, out, outSize) ? utf8.size() : 0;
}

std::string Utf8Path(const char* path) {
  if (!path) return std::string();
  const std::string text(path);
  return win32::IsUtf8(text) ? text : win32::Utf8(win32::Wide(text));
}

}  // namespace platform
