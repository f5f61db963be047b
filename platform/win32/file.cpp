// Files on Windows are opened through the wide functions, so that any name and any length of
// path works (platform/win32/wide.h), and handed to the C runtime as streams.
#include "platform/file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "platform/win32/wide.h"

namespace platform {

int SeekFile(FILE* file, uint64_t position) {
  if (!file || position > static_cast<uint64_t>(INT64_MAX)) return -1;
  return _fseeki64(file, static_cast<int64_t>(position), SEEK_SET) == 0 ? 0 : -1;
}

int64_t TellFile(FILE* file) {
  if (!file) return -1;
  const int64_t position = _ftelli64(file);
  return position < 0 ? -1 : position;
}

namespace {

// Why opening `path` failed with `code`. A '?' in a name is what an ANSI host passes for a
// character its code page cannot hold, and no file name has one.
std::string OpenFailure(const char* path, DWORD code) {
  std::string text = win32::ErrorText(code);
  if (std::strchr(path, '?') != nullptr) {
    text +=
        "; a \"?\" in the name stands for a character that the ANSI code page cannot hold:"
        " give the name in a script saved as UTF-8 (AviSynth+) or rename the file";
  }
  return text;
}

HANDLE OpenForIdentity(const std::string& path) {
  return ::CreateFileW(win32::FilePath(path).c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = OpenForIdentity(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = ::GetFileInformationByHandle(file, info) != 0;
  ::CloseHandle(file);
  return known;
}

}  // namespace

FILE* OpenRegularFile(const char* path, uint64_t* size, char* reason, size_t reasonSize) {
  auto setReason = [&](const std::string& text) {
    if (reason && reasonSize > 0) std::snprintf(reason, reasonSize, "%s", text.c_str());
  };
  setReason("");
  if (!path) {
    setReason(win32::ErrorText(ERROR_FILE_NOT_FOUND));
    return nullptr;
  }
  const std::wstring name = win32::FilePath(path);
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    setReason("a folder, not a regular file");
    return nullptr;
  }
  HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    setReason(OpenFailure(path, ::GetLastError()));
    return nullptr;
  }
  LARGE_INTEGER length = {};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &length)) {
    setReason("not a regular file");
    ::CloseHandle(handle);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(handle);
    setReason("the C runtime could not take the file");
    return nullptr;
  }
  FILE* file = _fdopen(fd, "rb");
  if (!file) {
    _close(fd);
    setReason("the C runtime could not take the file");
    return nullptr;
  }
  if (size) *size = static_cast<uint64_t>(length.QuadPart);
  return file;
}

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first, second;
  return Identify(a, &first) && Identify(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

bool SetBinaryMode(FILE* file) {
  return file != nullptr && _setmode(_fileno(file), _O_BINARY) != -1;
}

}  // namespace platform
