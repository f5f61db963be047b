// What lies behind a platform::Handle on Windows: one small record per handle around the kernel
// handle(s), released by CloseHandle.
#pragma once

#include <windows.h>

#include "platform/handle.h"

// The platform layer's functions carry the names of their Win32 models, which windows.h maps to
// macros for its A/W variants.
#undef CreateEvent
#undef GetCurrentDirectory

namespace platform {

// The identity of the process that owns a named section, kept in a small companion section
// "<name>.owner". A process id alone could be reused by an unrelated process; together with the
// process's creation time it names one process.
struct OwnerRecord {
  volatile LONG pid;  // 0: no live owner (never claimed, or the owner cleaned up)
  LONG reserved;
  FILETIME created;
};

struct HandleObject {
  enum class Kind { kSection, kEvent, kThread };

  Kind kind;
  HANDLE handle = nullptr;  // the section, event or thread

  // Sections only.
  bool owner = false;              // made by CreateOwnedSection in this process
  bool hadOwner = false;           // client side: a live owner held the section at connect
  HANDLE recordMapping = nullptr;  // the "<name>.owner" companion, when there is one
  OwnerRecord* record = nullptr;   // its view
  HANDLE ownerProcess = nullptr;   // client side: the owner's process, opened at connect
  LONG ownerPid = 0;               // client side: the owner's id as seen at connect
  int ownedSlot = -1;              // owner side: slot in the list that RemoveOwnedObjects walks
  // The kernel name of the section's client claim ("<name>.client"); empty for a private section.
  char claimName[MAX_PATH + 1] = {};
  HANDLE claim = nullptr;  // client side: the claim object, while this handle holds the claim

  explicit HandleObject(Kind k) : kind(k) {}
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;
};

namespace win32 {

// The kernel object name for `name`: the name itself, or "mpgsource.<namespace>.<name>" when the
// environment variable MPGSOURCE_IPC_NAMESPACE is set and not empty (tests run several
// independent servers side by side that way). False for an empty name, a name with a backslash
// (which Windows reads as a namespace prefix) or one longer than MAX_PATH.
bool KernelObjectName(const char* name, const char* suffix, char* out, size_t outSize);

// Owner records whose pid RemoveOwnedObjects clears; -1 when the list is full.
int RegisterOwnerRecord(OwnerRecord* record);
void UnregisterOwnerRecord(int slot);

}  // namespace win32
}  // namespace platform
