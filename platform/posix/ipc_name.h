// Names of the shared objects behind named sections and events, and the list of objects this
// process owns (so that RemoveOwnedObjects can unlink them from a signal handler).
#pragma once

#include <string>

namespace platform {
namespace posix {

// The shared-memory object name for `name`: "/mpgsource.u<uid>.<namespace>.<name>" where <uid> is
// the effective user id and <namespace> the value of MPGSOURCE_IPC_NAMESPACE (left out, with its
// dot, when unset or empty); events get
// "event." before their name so that they never collide with a section. Returns false for a name
// that cannot be made into an object name (empty, containing '/', or too long).
bool SharedObjectName(const char* name, bool isEvent, std::string* objectName);

// Registers an owned object's name; returns its slot, or -1 when the list is full (the object then
// works but is not removed by RemoveOwnedObjects).
int RegisterOwnedName(const std::string& objectName);

// Takes the name out of the list. Returns true when the caller should unlink the name itself,
// false when RemoveOwnedObjects already did (unlinking again could remove a successor's object).
bool ReleaseOwnedName(int slot);

}  // namespace posix
}  // namespace platform
