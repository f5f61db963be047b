// The output rule on Windows: identity by volume serial number and file index, the entry's type
// by its attributes (a reparse point is a link) and its handle's type (a device), and a named
// temporary file made with CreateFileW (CREATE_NEW, so never onto an existing name) and moved onto
// the target with MoveFileExW. Names are UTF-8 and may be longer than MAX_PATH.
#include "platform/output_file.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/file.h"
#include "platform/output_system.h"
#include "platform/win32/wide.h"

namespace platform {

namespace output_system {
namespace {

// True when `path` opens as something other than a file on a disk (NUL, CON, COM1, a pipe).
bool IsDevice(const std::string& path) {
  HANDLE file = ::CreateFileW(win32::FilePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool device = ::GetFileType(file) != FILE_TYPE_DISK;
  ::CloseHandle(file);
  return device;
}

}  // namespace

std::string Refusal(const std::string& path, const OutputRule& rule) {
  for (const ReadFile& input : rule.inputs) {
    if (SameFile(path, input.path)) return "it is " + input.what;
  }
  if (IsDevice(path)) return "it is a device";
  const DWORD attributes = ::GetFileAttributesW(win32::FilePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "";  // a new name, or one that cannot be made
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return "it is a symbolic link";
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "it is a folder";
  if ((attributes & FILE_ATTRIBUTE_READONLY) && !rule.force) {
    return "it is read-only (--force replaces it)";
  }
  return "";
}

}  // namespace output_system

namespace {

std::string CannotWrite(const std::string& what, const std::string& path,
                        const std::string& reason) {
  return "cannot write " + what + " \"" + path + "\": " + reason;
}

// A stream on a new file made exclusively at `name`; null with the system's error code in `code`.
FILE* CreateNew(const std::string& name, DWORD* code) {
  HANDLE handle = ::CreateFileW(win32::FilePath(name).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *code = ::GetLastError();
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
  if (!file) {
    if (fd >= 0) {
      _close(fd);
    } else {
      ::CloseHandle(handle);
    }
    ::DeleteFileW(win32::FilePath(name).c_str());
    *code = ERROR_NOT_ENOUGH_MEMORY;
  }
  return file;
}

}  // namespace

struct OutputFile::Temporary {
  std::string name;
  bool finished = false;
};

// Made and destroyed here, where Temporary is complete.
OutputFile::OutputFile() = default;

OutputFile::~OutputFile() {
  Discard();
}

bool OutputFile::OpenTemporary(std::string* error) {
  const std::string& path = path_;
  const OutputRule& rule = rule_;
  std::unique_ptr<Temporary> temporary(new Temporary);
  FILE* file = nullptr;
  DWORD code = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
    temporary->name = path + ".tmp" + std::to_string(_getpid()) + "-" + std::to_string(attempt);
    file = CreateNew(temporary->name, &code);
    if (file == nullptr && code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
  }
  if (file == nullptr) {
    *error = CannotWrite(rule.what, path, win32::ErrorText(code));
    return false;
  }
  stream_ = file;
  temporary_ = std::move(temporary);
  return true;
}

bool OutputFile::Finish(std::string* error) {
  errno = 0;
  if (stream_ == nullptr || std::fflush(stream_) != 0 || std::ferror(stream_)) {
    const char* reason = std::strerror(errno != 0 ? errno : EIO);
    *error = standardOutput_ ? std::string("could not write to standard output: ") + reason
                             : CannotWrite(rule_.what, path_, reason);
    return false;
  }
  if (temporary_) temporary_->finished = true;
  return true;
}

bool OutputFile::Commit(std::string* error) {
  if (standardOutput_) return stream_ != nullptr;
  if (!temporary_ || !temporary_->finished || !Check(path_, rule_, error)) {
    if (!temporary_ || !temporary_->finished)
      *error = CannotWrite(rule_.what, path_, "not finished");
    Discard();
    return false;
  }
  errno = 0;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!closed) {
    *error = CannotWrite(rule_.what, path_, std::strerror(errno != 0 ? errno : EIO));
    Discard();
    return false;
  }
  // Checked above: a read-only target is here only when forced, and MoveFileEx does not replace
  // a read-only file.
  const std::wstring target = win32::FilePath(path_);
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    ::SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!::MoveFileExW(win32::FilePath(temporary_->name).c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
    *error = CannotWrite(
        rule_.what, path_,
        "the finished file could not be moved into place: " + win32::ErrorText(::GetLastError()));
    Discard();
    return false;
  }
  temporary_.reset();
  return true;
}

void OutputFile::Discard() {
  if (stream_ != nullptr && !standardOutput_) std::fclose(stream_);
  stream_ = nullptr;
  standardOutput_ = false;
  if (temporary_ && !temporary_->name.empty())
    ::DeleteFileW(win32::FilePath(temporary_->name).c_str());
  temporary_.reset();
}

}  // namespace platform
