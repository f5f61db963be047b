#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace platform {

static_assert(sizeof(off_t) == 8, "64-bit file offsets are needed");

int SeekFile(FILE* file, uint64_t position) {
  if (file == nullptr || position > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    return -1;
  }
  return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0 ? 0 : -1;
}

int64_t TellFile(FILE* file) {
  if (file == nullptr) return -1;
  const off_t position = ftello(file);
  return position < 0 ? -1 : static_cast<int64_t>(position);
}

namespace {

// Why a file of this mode is not read: null for a regular file.
const char* NotRegular(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a folder, not a regular file";
  if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
  if (S_ISSOCK(mode)) return "a socket, not a regular file";
  return "not a regular file";
}

void SetReason(char* reason, size_t reasonSize, const char* text) {
  if (reason != nullptr && reasonSize > 0) std::snprintf(reason, reasonSize, "%s", text);
}

}  // namespace

FILE* OpenRegularFile(const char* path, uint64_t* size, char* reason, size_t reasonSize) {
  SetReason(reason, reasonSize, "");
  if (path == nullptr) {
    SetReason(reason, reasonSize, std::strerror(ENOENT));
    return nullptr;
  }
  // The type is looked at before opening, so that no device is opened at all, and again on the
  // open descriptor, so that a file swapped in between is caught. O_NONBLOCK keeps the open of a
  // FIFO from waiting for a writer.
  struct stat st;
  if (stat(path, &st) != 0) {
    SetReason(reason, reasonSize, std::strerror(errno));
    return nullptr;
  }
  if (const char* why = NotRegular(st.st_mode)) {
    SetReason(reason, reasonSize, why);
    return nullptr;
  }
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    SetReason(reason, reasonSize, std::strerror(errno));
    return nullptr;
  }
  const char* why = nullptr;
  if (fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if ((why = NotRegular(st.st_mode)) == nullptr) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) why = std::strerror(errno);
  }
  FILE* file = why == nullptr ? fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    SetReason(reason, reasonSize, why != nullptr ? why : std::strerror(errno));
    close(fd);
    return nullptr;
  }
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return file;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first, second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool SetBinaryMode(FILE* file) {
  return file != nullptr;
}

}  // namespace platform
