// Named shared-memory sections, shared between processes.
//
// The client side (the plugin) creates-or-opens a section by name and learns whether it existed
// before; on POSIX "existed" means that a live owner (the decoding server) holds it: an object left
// behind by a server that died reports false, exactly as if no server had ever made it.
// The owner side (the decoding server) creates a section exclusively and holds its liveness lock for
// as long as the handle stays open.
//
// Names are given without any prefix ("NVSharedMem"); the environment variable
// MPGSOURCE_IPC_NAMESPACE, when set, is folded into every name on POSIX so that tests can run
// several independent servers side by side.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handle.h"

namespace platform {

// Create-or-open the section `name` of `size` bytes. `existedBefore` receives true when the section
// was already there and is held by a live owner. Returns null when the section cannot be created or
// opened at all.
Handle CreateSection(const char* name, uint32_t size, bool* existedBefore);

// Creates the section `name` as its owner: removes an object left behind by a dead owner, refuses
// (null, with a reason in `error`) while a live owner holds it, and takes the liveness lock, which is
// held until the handle is closed. The section starts zero-filled.
Handle CreateOwnedSection(const char* name, uint32_t size, std::string* error);

// Maps `size` bytes of the section for reading and writing; null on failure.
void* MapSection(Handle section, uint32_t size);
void UnmapSection(void* view, uint32_t size);

// True while the owner of the section (the process that made it with CreateOwnedSection) lives.
bool SectionOwnerAlive(Handle section);

// Removes the names of an owned section and of the named events made with CreateOwnedEvent, so
// that no stale objects remain (the owner's clean-up on exit). Safe to call from a signal handler.
void RemoveOwnedObjects();

}  // namespace platform
