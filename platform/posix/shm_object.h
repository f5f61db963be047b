// Shared-memory objects that belong to one user: how an owner makes one and how others open one.
//
// Every object is made with O_EXCL and mode 0600, and every object opened must be ours: owned by
// the effective user and without any group or other access. Anything else under one of our names
// was put there by someone else; a client refuses it and an owner removes it where the system
// lets it (another user's file in the sticky /dev/shm can only be removed by a privileged owner)
// and otherwise refuses to start, naming the object either way.
//
// An owner holds an open-file-description write lock on the object's first byte for as long as
// it keeps the object; the kernel drops the lock when the owner dies, however it dies, so others
// tell a live owner's object from one left behind by testing the lock (which never takes it).
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {
namespace posix {

// The byte locked by the owner.
constexpr off_t kOwnerByte = 0;

// True when the object open on `fd` is ours; otherwise false with a reason naming `objectName`.
bool ObjectIsOurs(int fd, const std::string& objectName, std::string* error);

// Creates `objectName` as its owner, `size` bytes, zero-filled, mode 0600, with the owner's lock
// taken. An object of ours left by a dead owner is removed first; a live owner's refuses the
// call ("... is held by another running process"). Returns the descriptor, or -1 with `error`.
int CreateOwnedObject(const std::string& objectName, off_t size, std::string* error);

// Opens the existing object `objectName` for reading and writing after checking that it is ours.
// Returns -1 with `error` empty when there is no such object, or with the reason when it cannot
// be opened or is refused.
int OpenOurObject(const std::string& objectName, std::string* error);

// True when some other open file description holds the lock on `byte` of `fd`'s object.
bool LockedByOther(int fd, off_t byte = kOwnerByte);
// Takes the lock on `byte` of `fd`'s object for this open file description; false when another
// holds it.
bool TryTakeLock(int fd, off_t byte = kOwnerByte);
// True while `objectName` names the object open on `fd`.
bool NameRefersTo(const std::string& objectName, int fd);

}  // namespace posix
}  // namespace platform
