#include "platform/posix/ipc_name.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/section.h"

namespace platform {
namespace posix {

namespace {

// Full file names under /dev/shm, prepared when the object is made, so that the signal-handler
// path needs nothing but unlink().
constexpr size_t kMaxOwned = kMaxOwnedObjects;
constexpr size_t kMaxPath = 300;
constexpr char kShmDir[] = "/dev/shm";

enum SlotState : int { kFree = 0, kClaimed = 1, kLive = 2, kRemoved = 3 };

struct OwnedSlot {
  std::atomic<int> state{kFree};
  char path[kMaxPath];
};

OwnedSlot g_owned[kMaxOwned];

}  // namespace

bool SharedObjectName(const char* name, bool isEvent, std::string* objectName) {
  if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr) return false;
  // The user id keeps every user's objects apart from everyone else's.
  std::string result = "/mpgsource.u" + std::to_string(geteuid()) + ".";
  const char* space = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  if (space != nullptr && *space != '\0') {
    if (std::strchr(space, '/') != nullptr) return false;
    result += space;
    result += '.';
  }
  if (isEvent) result += "event.";
  result += name;
  // NAME_MAX for the file under /dev/shm, without the leading slash.
  if (result.size() - 1 > 255) return false;
  *objectName = std::move(result);
  return true;
}

int RegisterOwnedName(const std::string& objectName) {
  if (sizeof(kShmDir) + objectName.size() > kMaxPath) return -1;
  for (size_t i = 0; i < kMaxOwned; ++i) {
    int expected = kFree;
    if (!g_owned[i].state.compare_exchange_strong(expected, kClaimed)) continue;
    std::memcpy(g_owned[i].path, kShmDir, sizeof(kShmDir) - 1);
    std::memcpy(g_owned[i].path + sizeof(kShmDir) - 1, objectName.c_str(), objectName.size() + 1);
    g_owned[i].state.store(kLive);
    return static_cast<int>(i);
  }
  return -1;
}

bool ReleaseOwnedName(int slot) {
  if (slot < 0 || static_cast<size_t>(slot) >= kMaxOwned) return false;
  const int previous = g_owned[slot].state.exchange(kFree);
  return previous == kLive;
}

}  // namespace posix

void RemoveOwnedObjects() {
  // Only async-signal-safe calls: atomics and unlink().
  for (size_t i = 0; i < posix::kMaxOwned; ++i) {
    int expected = posix::kLive;
    if (posix::g_owned[i].state.compare_exchange_strong(expected, posix::kRemoved)) {
      unlink(posix::g_owned[i].path);
    }
  }
}

}  // namespace platform
