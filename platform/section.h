// Named shared-memory sections, shared between processes.
//
// The client side (the plugin) creates-or-opens a section by name and learns whether it existed
// before; on POSIX "existed" means that a live owner (the decoding server) holds it: an object left
// behind by a server that died reports false, exactly as if no server had ever made it.
// The owner side (the decoding server) creates a section exclusively and holds its liveness lock
// for as long as the handle stays open.
//
// Names are given without any prefix ("NVSharedMem"); the environment variable
// MPGSOURCE_IPC_NAMESPACE, when set, is folded into every name on POSIX so that tests can run
// several independent servers side by side. On POSIX the names also carry the user id, and every
// object is this user's alone: made with mode 0600, and refused when found owned by anyone else or
// open to other users (the reason, naming the object, goes to the caller).
#pragma once

#include <cstdint>
#include <string>

#include "platform/handle.h"

namespace platform {

// Create-or-open the section `name` of `size` bytes. `existedBefore` receives true when the section
// was already there and is held by a live owner. Returns null when the section cannot be created or
// opened at all; `error` (may be null) then says why when the object found was refused as not ours,
// and is left empty otherwise.
// On POSIX a section without a live owner is made as private memory of this handle (every view of
// it shares the same bytes) and no name is left behind, so a client never creates an object that a
// starting owner would have to clear away. A null name makes such a section too.
Handle CreateSection(const char* name, uint32_t size, bool* existedBefore,
                     std::string* error = nullptr);

// Creates the section `name` as its owner: removes an object left behind by a dead owner (and on
// POSIX one of another user, where the system allows it), refuses
// (null, with a reason in `error`) while a live owner holds it, and takes the liveness lock, which
// is held until the handle is closed. The section starts zero-filled. Closing the owner's handle
// also removes the name (unless RemoveOwnedObjects already did). An owner makes its section first
// and its owned events after it, so that a second owner that is refused never touches the first
// one's events; it closes the events before the section.
Handle CreateOwnedSection(const char* name, uint32_t size, std::string* error);

// Maps `size` bytes of the section for reading and writing; null on failure, also when the section
// is smaller than `size` (touching the missing part would fault).
void* MapSection(Handle section, uint32_t size);
void UnmapSection(void* view, uint32_t size);

// Owner side: makes the section `size` bytes long again and maps it afresh in place of `view` (a
// view of `size` bytes from MapSection), for an owner whose section a client cut short. False when
// that fails. On Windows a section's size is fixed at creation, and this does nothing.
bool RestoreSectionView(Handle section, void* view, uint32_t size);

// Client side: claims the section for this handle, so that no other client uses it at the same
// time. True when the claim was taken (or this handle holds it already); false while another
// handle, of any process, holds it. The claim lasts until the handle is closed and ends with its
// process, however that ends.
bool ClaimSection(Handle section);

// Owner side: true while some client holds the claim on the owner's section.
bool SectionClaimed(Handle section);

// True while the owner of the section (the process that made it with CreateOwnedSection) lives.
// Cheap (one system call): a client blocked on the owner's events can wait in slices and ask this
// between them to tell an owner that died. True on the owner's own handle; false for a section
// that had no owner when it was opened.
bool SectionOwnerAlive(Handle section);

// Removes the names of an owned section and of the named events made with CreateOwnedEvent, so
// that no stale objects remain (the owner's clean-up on exit). Safe to call from a signal handler.
// It knows the names of up to kMaxOwnedObjects objects at a time (a server's 16 client slots take
// a section and five events each); the names of any beyond them go only when their handles close.
void RemoveOwnedObjects();
constexpr int kMaxOwnedObjects = 128;

}  // namespace platform
