// Named sections as POSIX shared-memory objects.
//
// The owner (CreateOwnedSection) holds a write lock on the object's first byte through an open file
// description lock (F_OFD_SETLK) for as long as its handle stays open; the kernel drops the lock
// when the owner dies, however it dies. Others test the lock with F_OFD_GETLK, which never takes
// it, so testing can never make a starting owner believe that someone else holds the section.
// A client's claim (ClaimSection) is a lock of the same kind on the second byte: taking it is
// atomic, and it ends with the client's handle or process. Objects are made and opened as
// platform/posix/shm_object.h says: only this user's own, never anyone else's.
#include "platform/section.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix/handle_object.h"
#include "platform/posix/ipc_name.h"
#include "platform/posix/shm_object.h"
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
    if (posix::NameRefersTo(objectName, fd)) shm_unlink(objectName.c_str());
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

// The byte locked by the client that claims the section (the owner's is posix::kOwnerByte). Locks
// on bytes beyond the object's end are allowed, so neither depends on its size.
constexpr off_t kClaimByte = 1;

using posix::LockedByOther;
using posix::TryTakeLock;

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

Handle CreateSection(const char* name, uint32_t size, bool* existedBefore, std::string* error) {
  if (existedBefore != nullptr) *existedBefore = false;
  if (error != nullptr) error->clear();
  if (size == 0) return nullptr;
  if (name == nullptr) return MakeUnnamedSection(size);
  std::string objectName;
  if (!posix::SharedObjectName(name, false, &objectName)) return nullptr;
  std::string refusal;
  int fd = posix::OpenOurObject(objectName, &refusal);
  if (fd < 0) {
    // No object: the caller gets a section of its own and leaves no name behind for an owner to
    // clear away. Someone else's object under our name is never used.
    if (refusal.empty()) return MakeUnnamedSection(size);
    if (error != nullptr) *error = refusal;
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
  std::string reason;
  const int fd = posix::CreateOwnedObject(objectName, size, &reason);
  if (fd < 0) return fail(reason);
  auto* section = new SectionObject;
  section->fd = fd;
  section->owned = true;
  section->objectName = objectName;
  section->ownedSlot = posix::RegisterOwnedName(objectName);
  return section;
}

void* MapSection(Handle handle, uint32_t size) {
  SectionObject* section = AsSection(handle);
  if (section == nullptr || size == 0) return nullptr;
  // An owner sizes its object before it takes the lock, so a live owner's object is never short;
  // touching pages beyond the end of a shared object would raise SIGBUS.
  struct stat info;
  if (fstat(section->fd, &info) != 0 || info.st_size < static_cast<off_t>(size)) return nullptr;
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, section->fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

void UnmapSection(void* view, uint32_t size) {
  if (view != nullptr && size != 0) munmap(view, size);
}

bool RestoreSectionView(Handle handle, void* view, uint32_t size) {
  SectionObject* section = AsSection(handle);
  if (section == nullptr || view == nullptr || size == 0) return false;
  struct stat info;
  if (fstat(section->fd, &info) != 0) return false;
  if (info.st_size < static_cast<off_t>(size) && ftruncate(section->fd, size) != 0) return false;
  // In place: whatever another thread reads or writes meanwhile lands in the old pages or the new.
  void* again = mmap(view, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, section->fd, 0);
  return again == view;
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
