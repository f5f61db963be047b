#include <cstdlib>
#include <cstring>

#include "platform/section.h"
#include "platform/win32/handle_object.h"

namespace platform {
namespace win32 {

namespace {

constexpr int kMaxOwned = 32;
OwnerRecord* volatile g_owned[kMaxOwned];

}  // namespace

bool KernelObjectName(const char* name, const char* suffix, char* out, size_t outSize) {
  if (!name || !*name || std::strchr(name, '\\')) return false;
  const char* space = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  const bool spaced = space && *space;
  if (spaced && std::strchr(space, '\\')) return false;
  const size_t length = (spaced ? std::strlen("mpgsource..") + std::strlen(space) : 0) +
                        std::strlen(name) + (suffix ? std::strlen(suffix) : 0);
  if (length >= outSize || length >= MAX_PATH) return false;
  out[0] = '\0';
  if (spaced) {
    std::strcat(out, "mpgsource.");
    std::strcat(out, space);
    std::strcat(out, ".");
  }
  std::strcat(out, name);
  if (suffix) std::strcat(out, suffix);
  return true;
}

int RegisterOwnerRecord(OwnerRecord* record) {
  for (int i = 0; i < kMaxOwned; ++i) {
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&g_owned[i]), record,
                                          nullptr) == nullptr) {
      return i;
    }
  }
  return -1;
}

void UnregisterOwnerRecord(int slot) {
  if (slot < 0 || slot >= kMaxOwned) return;
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_owned[slot]), nullptr);
}

}  // namespace win32

void RemoveOwnedObjects() {
  // Kernel objects vanish with their last handle, so there are no names to remove; what is left
  // to do is to tell clients at once that the owner is gone. Only interlocked stores: this may
  // run from a console control handler.
  for (int i = 0; i < win32::kMaxOwned; ++i) {
    OwnerRecord* record = win32::g_owned[i];
    if (record) InterlockedExchange(&record->pid, 0);
  }
}

}  // namespace platform
