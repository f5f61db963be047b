// Named sections as POSIX shared-memory objects.
//
// The owner (CreateOwnedSection) holds a write lock on the object's first byte through an open file
// description lock (F_OFD_SETLK) for as long as its handle stays open; the kernel drops the lock
// when the owner dies, however it dies. Others test the lock with F_OFD_GETLK, which never takes
// it, so testing can never make a starting owner believe that someone else holds the section.
// A client's claim (ClaimSection) is a lock of the same kind on the second byte: taking it is
// atomic, and it ends with the client's handle or process.
#include "platform/section.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/posix/handle_object.h"
#include "platform/posix/ipc_name.h"
#include "platform/thread.h"

namespace platform {

namespace {

struct SectionObject : HandleObject {
  SectionObject() : HandleObject(Kind::kSection) {}
  ~SectionObject() override {
    if (ownedSlot >= 0 && posix::ReleaseOwnedName(ownedSlot)) UnlinkIfStillOurs();
    if (fd >= 0) close(fd);
  }

  // Removes the name while it still refers to this object (the lock is still held here, so no
  // other owner can have replaced it unless someone removed the name behind our back).
  void UnlinkIfStillOurs() const {
    int current = shm_open(objectName.c_str(), O_RDONLY, 0);
    if (current < 0) return;
    struct stat a, b;
    const bool same = fstat(current, &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev &&
                      a.st_ino == b.st_ino;
    close(current);
    if (same) shm_unlink(objectName.c_str());
  }

  int fd = -1;
  bool owned = false;
  std::string objectName;  // empty for a section that exists only in this handle
  int ownedSlot = -1;
};

SectionObject* AsSection(Handle handle) {
  if (handle == nullptr || handle->kind != HandleObject::Kind::kSection) return nullptr;
  return static_cast<SectionObject*>(handle);
}

// The byte locked by the owner, and the byte locked by the client that claims the section. Locks
// on bytes beyond the object's end are allowed, so neither depends on its size.
constexpr off_t kOwnerByte = 0;
constexpr off_t kClaimByte = 1;

struct flock ByteLock(off_t byte) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

// True when some other open file description holds the lock on `byte` of `fd`'s object.
bool LockedByOther(int fd, off_t byte = kOwnerByte) {
  struct flock lock = ByteLock(byte);
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

bool TryTakeLock(int fd, off_t byte = kOwnerByte) {
  struct flock lock = ByteLock(byte);
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// True while `objectName` names the object open on `fd`.
bool NameRefersTo(const std::string& objectName, int fd) {
  int current = shm_open(objectName.c_str(), O_RDONLY, 0);
  if (current < 0) return false;
  struct stat a, b;
  const bool same =
      fstat(current, &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  close(current);
  return same;
}

// A section that lives only behind this handle (no owner holds the name): an anonymous memory file,
// so that every view of it shares the same bytes.
SectionObject* MakeUnnamedSection(uint32_t size) {
  int fd = memfd_create("mpgsource-section", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  if (ftruncate(fd, size) != 0) {
    close(fd);
    return nullptr;
  }
  auto* section = new SectionObject;
  section->fd = fd;
  return section;
}

}  // namespace

Handle CreateSection(const char* name, uint32_t size, bool* existedBefore) {
  if (existedBefore != nullptr) *existedBefore = false;
  if (size == 0) return nullptr;
  if (name == nullptr) return MakeUnnamedSection(size);
  std::string objectName;
  if (!posix::SharedObjectName(name, false, &objectName)) return nullptr;
  int fd = shm_open(objectName.c_str(), O_RDWR, 0);
  if (fd < 0) {
    // No object: the caller gets a section of its own and leaves no name behind for an owner to
    // clear away.
    if (errno == ENOENT) return MakeUnnamedSection(size);
    return nullptr;
  }
  if (!LockedByOther(fd)) {
    // Left behind by an owner that died (or one that has not yet taken its lock): not there.
    close(fd);
    return MakeUnnamedSection(size);
  }
  auto* section = new SectionObject;
  section->fd = fd;
  section->objectName = objectName;
  if (existedBefore != nullptr) *existedBefore = true;
  return section;
}

Handle CreateOwnedSection(const char* name, uint32_t size, std::string* error) {
  auto fail = [error](const std::string& message) -> Handle {
    if (error != nullptr) *error = message;
    return nullptr;
  };
  if (name == nullptr || size == 0) return fail("a shared section needs a name and a size");
  std::string objectName;
  if (!posix::SharedObjectName(name, false, &objectName)) {
    return fail(std::string("invalid shared section name \"") + name + "\"");
  }
  // Whoever removes the name holds the lock on the object it names at that moment, so two owners
  // starting together cannot remove each other's fresh object; each step that finds the name
  // changed under it starts over.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    const bool fresh = fd >= 0;
    if (!fresh) {
      if (errno != EEXIST) {
        return fail("cannot create shared memory \"" + objectName + "\": " + std::strerror(errno));
      }
      fd = shm_open(objectName.c_str(), O_RDWR, 0);
      if (fd < 0) {
        if (errno == ENOENT) continue;
        return fail("cannot open shared memory \"" + objectName + "\": " + std::strerror(errno));
      }
    }
    if (!TryTakeLock(fd)) {
      close(fd);
      return fail("shared memory \"" + objectName + "\" is held by another running process");
    }
    if (!NameRefersTo(objectName, fd)) {
      close(fd);
      continue;
    }
    if (!fresh) {
      // Left behind by a dead owner: remove it and make a new one. Processes that still map the
      // old object keep it; they never see this owner's data.
      shm_unlink(objectName.c_str());
      close(fd);
      continue;
    }
    if (ftruncate(fd, size) != 0) {
      const std::string reason = std::strerror(errno);
      shm_unlink(objectName.c_str());
      close(fd);
      return fail("cannot size shared memory \"" + objectName + "\": " + reason);
    }
    auto* section = new SectionObject;
    section->fd = fd;
    section->owned = true;
    section->objectName = objectName;
    section->ownedSlot = posix::RegisterOwnedName(objectName);
    return section;
  }
  return fail("shared memory \"" + objectName + "\" keeps changing while it is being created");
}

void* MapSection(Handle handle, uint32_t size) {
  SectionObject* section = AsSection(handle);
  if (section == nullptr || size == 0) return nullptr;
  // An owner sizes its object right after taking the lock; give it a moment before calling the
  // object too small (touching pages beyond the end of a shared object would raise SIGBUS).
  for (int attempt = 0;; ++attempt) {
    struct stat info;
    if (fstat(section->fd, &info) != 0) return nullptr;
    if (info.st_size >= static_cast<off_t>(size)) break;
    if (attempt >= 100 || section->objectName.empty() || !LockedByOther(section->fd)) {
      return nullptr;
    }
    Sleep(1);
  }
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, section->fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

void UnmapSection(void* view, uint32_t size) {
  if (view != nullptr && size != 0) munmap(view, size);
}

bool ClaimSection(Handle handle) {
  SectionObject* section = AsSection(handle);
  if (section == nullptr || section->fd < 0) return false;
  // A section private to this handle has no other users.
  if (section->objectName.empty()) return true;
  return TryTakeLock(section->fd, kClaimByte);
}

bool SectionClaimed(Handle handle) {
  SectionObject* section = AsSection(handle);
  if (section == nullptr || section->fd < 0) return false;
  return LockedByOther(section->fd, kClaimByte);
}

bool SectionOwnerAlive(Handle handle) {
  SectionObject* section = AsSection(handle);
  if (section == nullptr) return false;
  if (section->owned) return true;
  if (section->objectName.empty()) return false;
  return LockedByOther(section->fd);
}

}  // namespace platform
