// The output rule on POSIX: identity by device and inode, the entry's type by lstat, and on Linux
// a temporary file without a name (O_TMPFILE) that is linked in only when complete.
#include "platform/output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include "platform/output_system.h"

namespace platform {

namespace output_system {

std::string Refusal(const std::string& path, const OutputRule& rule) {
  // stat follows links: a link or another name of an input is that input.
  struct stat target;
  if (stat(path.c_str(), &target) == 0) {
    for (const ReadFile& input : rule.inputs) {
      struct stat read;
      if (stat(input.path.c_str(), &read) == 0 && read.st_dev == target.st_dev &&
          read.st_ino == target.st_ino) {
        return "it is " + input.what;
      }
    }
  }
  struct stat entry;
  if (lstat(path.c_str(), &entry) != 0) return "";  // a new name, or one that cannot be made
  if (S_ISLNK(entry.st_mode)) return "it is a symbolic link";
  if (S_ISDIR(entry.st_mode)) return "it is a folder";
  if (S_ISFIFO(entry.st_mode)) return "it is a FIFO";
  if (S_ISCHR(entry.st_mode) || S_ISBLK(entry.st_mode)) return "it is a device";
  if (S_ISSOCK(entry.st_mode)) return "it is a socket";
  if (!S_ISREG(entry.st_mode)) return "it is not a regular file";
  // Read-only: no write permission for anyone (which root could override), or none for us.
  const bool readOnly = (entry.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
                        (access(path.c_str(), W_OK) != 0 && errno == EACCES);
  if (readOnly && !rule.force) return "it is read-only (--force replaces it)";
  return "";
}

}  // namespace output_system

namespace {

// The folder of `path`, for a file to be made beside it.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A name beside `path` for the temporary file, tried until one is free.
std::string TemporaryName(const std::string& path, int attempt) {
  return path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(attempt);
}

std::string CannotWrite(const std::string& what, const std::string& path, int error) {
  return "cannot write " + what + " \"" + path + "\": " + std::strerror(error != 0 ? error : EIO);
}

}  // namespace

struct OutputFile::Temporary {
  std::string name;  // empty while the file has no name (O_TMPFILE)
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
  int fd = -1;
#ifdef O_TMPFILE
  // Linked in later through /proc/self/fd, so that only works where /proc is there.
  if (access("/proc/self/fd", X_OK) == 0) {
    fd = open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EISDIR && errno != EOPNOTSUPP && errno != EINVAL) {
      *error = CannotWrite(rule.what, path, errno);
      return false;
    }
  }
#endif
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary->name = TemporaryName(path, attempt);
    fd = open(temporary->name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = CannotWrite(rule.what, path, errno);
    return false;
  }
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    *error = CannotWrite(rule.what, path, errno);
    close(fd);
    if (!temporary->name.empty()) unlink(temporary->name.c_str());
    return false;
  }
  temporary_ = std::move(temporary);
  return true;
}

bool OutputFile::Finish(std::string* error) {
  if (stream_ == nullptr) {
    *error = CannotWrite(rule_.what, path_, EBADF);
    return false;
  }
  errno = 0;
  if (std::fflush(stream_) != 0 || std::ferror(stream_)) {
    *error = standardOutput_ ? "could not write to standard output: " +
                                   std::string(std::strerror(errno != 0 ? errno : EIO))
                             : CannotWrite(rule_.what, path_, errno);
    return false;
  }
  if (temporary_) temporary_->finished = true;
  return true;
}

bool OutputFile::Commit(std::string* error) {
  if (standardOutput_) return stream_ != nullptr;
  if (!temporary_ || !temporary_->finished) {
    *error = CannotWrite(rule_.what, path_, EBADF);
    Discard();
    return false;
  }
  if (!Check(path_, rule_, error)) {
    Discard();
    return false;
  }
  const int fd = fileno(stream_);
  // A file replaced keeps its permissions.
  struct stat old;
  if (stat(path_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) fchmod(fd, old.st_mode & 0777);
  int failure = 0;
  if (temporary_->name.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = TemporaryName(path_, attempt);
      if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temporary_->name = name;
        break;
      }
      if (errno != EEXIST) break;
    }
    if (temporary_->name.empty()) failure = errno != 0 ? errno : EEXIST;
  }
  if (failure == 0 && rename(temporary_->name.c_str(), path_.c_str()) != 0) failure = errno;
  if (failure == 0) {
    temporary_->name.clear();  // it is the target now
  } else {
    *error = CannotWrite(rule_.what, path_, failure);
  }
  Discard();
  return failure == 0;
}

void OutputFile::Discard() {
  if (stream_ != nullptr && !standardOutput_) std::fclose(stream_);
  stream_ = nullptr;
  standardOutput_ = false;
  if (temporary_ && !temporary_->name.empty()) unlink(temporary_->name.c_str());
  temporary_.reset();
}

}  // namespace platform
