// The output rule on Windows: identity by volume serial number and file index, the entry's type
// by its attributes (a reparse point is a link) and its handle's type (a device), and a named
// temporary file moved onto the target with MoveFileExA.
#include "platform/output_file.h"

#include <io.h>
#include <process.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/output_system.h"

namespace platform {

namespace output_system {
namespace {

// The identity of the file that `path` leads to (through links); false when it cannot be opened.
bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file =
      ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = ::GetFileInformationByHandle(file, info) != 0;
  ::CloseHandle(file);
  return known;
}

// True when `path` opens as something other than a file on a disk (NUL, CON, COM1, a pipe).
bool IsDevice(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool device = ::GetFileType(file) != FILE_TYPE_DISK;
  ::CloseHandle(file);
  return device;
}

}  // namespace

std::string Refusal(const std::string& path, const OutputRule& rule) {
  BY_HANDLE_FILE_INFORMATION target;
  if (Identify(path, &target)) {
    for (const ReadFile& input : rule.inputs) {
      BY_HANDLE_FILE_INFORMATION read;
      if (Identify(input.path, &read) && read.dwVolumeSerialNumber == target.dwVolumeSerialNumber &&
          read.nFileIndexHigh == target.nFileIndexHigh &&
          read.nFileIndexLow == target.nFileIndexLow) {
        return "it is " + input.what;
      }
    }
  }
  if (IsDevice(path)) return "it is a device";
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
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

std::string CannotWrite(const std::string& what, const std::string& path, const char* reason) {
  return "cannot write " + what + " \"" + path + "\": " + reason;
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
  for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
    temporary->name = path + ".tmp" + std::to_string(_getpid()) + "-" + std::to_string(attempt);
    errno = 0;
    file = std::fopen(temporary->name.c_str(), "wbx");
    if (file == nullptr && errno != EEXIST) break;
  }
  if (file == nullptr) {
    *error = CannotWrite(rule.what, path, std::strerror(errno != 0 ? errno : EIO));
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
  const DWORD attributes = ::GetFileAttributesA(path_.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    ::SetFileAttributesA(path_.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!::MoveFileExA(temporary_->name.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = CannotWrite(rule_.what, path_, "the finished file could not be moved into place");
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
  if (temporary_ && !temporary_->name.empty()) ::DeleteFileA(temporary_->name.c_str());
  temporary_.reset();
}

}  // namespace platform
