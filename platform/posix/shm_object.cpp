#include "platform/posix/shm_object.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace platform {
namespace posix {

namespace {

constexpr mode_t kOwnerOnly = 0600;

std::string Quoted(const std::string& objectName) {
  return "shared memory \"" + objectName + "\"";
}

// Why an object with these attributes is not ours; empty when it is.
std::string Foreignness(const struct stat& info, const std::string& objectName) {
  const uid_t self = geteuid();
  if (info.st_uid != self) {
    return Quoted(objectName) + " belongs to user " + std::to_string(info.st_uid) +
           ", not to this user (" + std::to_string(self) + ")";
  }
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return Quoted(objectName) + " is open to other users (mode " + mode + ")";
  }
  return std::string();
}

// Why the object that this user may not open is not ours, from its attributes under /dev/shm.
std::string DescribeUnopenable(const std::string& objectName) {
  struct stat info;
  if (stat(("/dev/shm" + objectName).c_str(), &info) == 0) {
    const std::string why = Foreignness(info, objectName);
    if (!why.empty()) return why;
  }
  return Quoted(objectName) + " cannot be opened: " + std::strerror(EACCES);
}

}  // namespace

bool ObjectIsOurs(int fd, const std::string& objectName, std::string* error) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *error = "cannot examine " + Quoted(objectName) + ": " + std::strerror(errno);
    return false;
  }
  *error = Foreignness(info, objectName);
  return error->empty();
}

struct flock ByteLock(off_t byte) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

bool LockedByOther(int fd, off_t byte) {
  struct flock lock = ByteLock(byte);
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

bool TryTakeLock(int fd, off_t byte) {
  struct flock lock = ByteLock(byte);
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool NameRefersTo(const std::string& objectName, int fd) {
  int current = shm_open(objectName.c_str(), O_RDONLY, 0);
  if (current < 0) return false;
  struct stat a, b;
  const bool same =
      fstat(current, &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  close(current);
  return same;
}

int OpenOurObject(const std::string& objectName, std::string* error) {
  error->clear();
  const int fd = shm_open(objectName.c_str(), O_RDWR, 0);
  if (fd < 0) {
    if (errno == ENOENT) return -1;
    *error = errno == EACCES ? DescribeUnopenable(objectName)
                             : "cannot open " + Quoted(objectName) + ": " + std::strerror(errno);
    return -1;
  }
  if (!ObjectIsOurs(fd, objectName, error)) {
    close(fd);
    return -1;
  }
  return fd;
}

int CreateOwnedObject(const std::string& objectName, off_t size, std::string* error) {
  // Whoever removes the name holds the lock on the object it names at that moment, so two owners
  // starting together cannot remove each other's fresh object; each step that finds the name
  // changed under it starts over.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, kOwnerOnly);
    if (fd >= 0) {
      // The mode is exact whatever the umask; the size is set before the lock, so nobody ever
      // finds a live owner's object too short.
      if (fchmod(fd, kOwnerOnly) != 0 || ftruncate(fd, size) != 0) {
        *error = "cannot size " + Quoted(objectName) + ": " + std::strerror(errno);
        shm_unlink(objectName.c_str());
        close(fd);
        return -1;
      }
      // A second owner may have taken this fresh object for a stale one and removed it.
      if (!TryTakeLock(fd) || !NameRefersTo(objectName, fd)) {
        close(fd);
        continue;
      }
      return fd;
    }
    if (errno != EEXIST) {
      *error = "cannot create " + Quoted(objectName) + ": " + std::strerror(errno);
      return -1;
    }
    std::string why;
    fd = OpenOurObject(objectName, &why);
    if (fd < 0 && why.empty()) continue;  // gone meanwhile
    if (fd < 0) {
      // Someone else's object under our name: never used, removed where the system allows it.
      if (shm_unlink(objectName.c_str()) == 0 || errno == ENOENT) continue;
      *error = why + ", and cannot be removed: " + std::strerror(errno);
      return -1;
    }
    if (!TryTakeLock(fd)) {
      close(fd);
      *error = Quoted(objectName) + " is held by another running process";
      return -1;
    }
    // Left behind by a dead owner of ours: removed, and made afresh. Processes that still map the
    // old object keep it; they never see this owner's data.
    if (NameRefersTo(objectName, fd)) shm_unlink(objectName.c_str());
    close(fd);
  }
  *error = Quoted(objectName) + " keeps changing while it is being created";
  return -1;
}

}  // namespace posix
}  // namespace platform
