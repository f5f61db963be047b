// Events as 32-bit state words waited on with futexes.
//
// A named event is a small shared-memory object holding an EventWords block; a private event holds
// the block in process memory. `state` is 1 while the event is set. Setters store 1 and then wake
// sleepers only when `waiters` says someone may sleep; sleepers count themselves in `waiters`
// before they look at `state` (both sequentially consistent, so either the setter sees the waiter
// or the waiter sees the state). An automatic event is consumed by whoever changes `state` from 1
// to 0.
//
// A wait first watches the state word for a few microseconds before it sleeps. The link hands a
// unit over and waits for the answer many thousand times a second; when the other side runs on
// another processor the answer comes within a microsecond or two, far sooner than a sleep and a
// wake-up (two system calls and two context switches) would take. A spinning waiter is not counted
// in `waiters`, so a set during the spin costs the setter no system call either. Where spinning
// keeps failing (the other side shares this processor, or is not running) a handle stops spinning
// and only tries again now and then, less often while the tries fail.
#include "platform/event.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <string>

#include "platform/posix/futex.h"
#include "platform/posix/handle_object.h"
#include "platform/posix/ipc_name.h"
#include "platform/posix/shm_object.h"
#include "platform/posix/spin.h"
#include "platform/thread.h"

namespace platform {

namespace {

constexpr uint32_t kKindUnset = 0;
constexpr uint32_t kKindAutomatic = 1;
constexpr uint32_t kKindManual = 2;

// After this many spins in a row without the signal a handle sleeps at once. It spins again after
// kFirstSpinRetry waits to find out whether spinning pays again, and after twice as many waits
// each time that try fails too, up to kLastSpinRetry: while the other side shares this processor
// the tries cost next to nothing, and spinning resumes within a few milliseconds once it pays.
constexpr uint32_t kMaxSpinMisses = 8;
constexpr uint32_t kFirstSpinRetry = 16;
constexpr uint32_t kLastSpinRetry = 1024;

struct EventWords {
  std::atomic<uint32_t> state;
  std::atomic<uint32_t> waiters;
  std::atomic<uint32_t> kind;  // kKindUnset until the maker sets it
};

// Size of the shared object behind a named event.
constexpr off_t kEventObjectSize = 64;
static_assert(sizeof(EventWords) <= kEventObjectSize, "event words must fit the object");

struct EventObject : HandleObject {
  EventObject() : HandleObject(Kind::kEvent) {}
  ~EventObject() override {
    if (mapping != nullptr) munmap(mapping, kEventObjectSize);
    if (ownedSlot >= 0 && posix::ReleaseOwnedName(ownedSlot) &&
        posix::NameRefersTo(objectName, fd)) {
      shm_unlink(objectName.c_str());
    }
    if (fd >= 0) close(fd);
  }

  bool Manual() const { return words->kind.load(std::memory_order_relaxed) == kKindManual; }

  EventWords* words = nullptr;
  bool shared = false;
  void* mapping = nullptr;
  std::unique_ptr<EventWords> own;
  std::string objectName;
  int ownedSlot = -1;
  int fd = -1;  // an owned event's object, kept open for the owner's lock
  // Spins on this handle that ended without the signal, in a row; once spinning was given up, the
  // waits since the last spin and the waits until the next try. Process-local: each side of a
  // link learns from its own waits.
  std::atomic<uint32_t> spinMisses{0};
  std::atomic<uint32_t> waitsWithoutSpin{0};
  std::atomic<uint32_t> spinRetryAfter{kFirstSpinRetry};
};

EventObject* AsEvent(Handle handle) {
  if (handle == nullptr || handle->kind != HandleObject::Kind::kEvent) return nullptr;
  return static_cast<EventObject*>(handle);
}

uint32_t KindOf(bool manualReset) {
  return manualReset ? kKindManual : kKindAutomatic;
}

// Maps the named event's object open on `fd`, which is ours and at least kEventObjectSize bytes.
// The descriptor is closed unless `keep` (an owner keeps it for its lock).
EventObject* MapEventObject(int fd, const std::string& objectName, bool keep) {
  void* mapping = mmap(nullptr, kEventObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  auto* event = new EventObject;
  event->mapping = mapping;
  event->words = static_cast<EventWords*>(mapping);
  event->shared = true;
  event->objectName = objectName;
  if (keep) {
    event->fd = fd;
  } else {
    close(fd);
  }
  return event;
}

// Opens our named event's object, or makes it (exclusively, mode 0600) when there is none, and
// maps it. The object is grown to its full size by whoever finds it short, so a maker that died
// between creating and sizing it leaves nothing unusable behind.
EventObject* OpenOrMakeNamedEvent(const std::string& objectName) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string refusal;
    int fd = posix::OpenOurObject(objectName, &refusal);
    if (fd < 0 && !refusal.empty()) return nullptr;
    if (fd < 0) {
      fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0 || fchmod(fd, 0600) != 0) {
        if (fd >= 0) close(fd);
        return nullptr;
      }
    }
    struct stat info;
    if (fstat(fd, &info) != 0 ||
        (info.st_size < kEventObjectSize && ftruncate(fd, kEventObjectSize) != 0)) {
      close(fd);
      return nullptr;
    }
    return MapEventObject(fd, objectName, false);
  }
  return nullptr;
}

// How long a wait watches the state words before it sleeps. An answer from a thread running on
// another processor usually comes within a few microseconds, but a unit hand-over of the link
// includes the other side's own work (cutting or copying the unit): measured on our 2-core virtual
// machines, a 10 us spin missed often enough to fall back to sleeping, and every sleep then cost a
// wake-up of an idle processor (tens of microseconds), cutting sequential serving to a third of its
// speed; 20 us keeps the hand-overs spinning. Longer spins only burn time that a thread waiting
// for this processor could use.
constexpr int64_t kSpinNs = 20000;

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool ShouldSpin(EventObject* event) {
  if (event->spinMisses.load(std::memory_order_relaxed) < kMaxSpinMisses) return true;
  if (event->waitsWithoutSpin.fetch_add(1, std::memory_order_relaxed) + 1 <
      event->spinRetryAfter.load(std::memory_order_relaxed)) {
    return false;
  }
  event->waitsWithoutSpin.store(0, std::memory_order_relaxed);
  return true;
}

// Relaxed counters: two threads waiting on one handle at once may lose a count, which only shifts
// when the next spin is tried.
void CountSpin(EventObject* event, bool signalled) {
  if (signalled) {
    event->spinMisses.store(0, std::memory_order_relaxed);
    event->spinRetryAfter.store(kFirstSpinRetry, std::memory_order_relaxed);
    return;
  }
  const uint32_t misses = event->spinMisses.load(std::memory_order_relaxed);
  if (misses < kMaxSpinMisses) {
    event->spinMisses.store(misses + 1, std::memory_order_relaxed);
  } else {
    const uint32_t retry = event->spinRetryAfter.load(std::memory_order_relaxed);
    event->spinRetryAfter.store(std::min(2 * retry, kLastSpinRetry), std::memory_order_relaxed);
  }
}

bool TryConsume(EventObject* event) {
  if (event->Manual()) return event->words->state.load() == 1;
  uint32_t expected = 1;
  return event->words->state.compare_exchange_strong(expected, 0);
}

// A sleeper woken for `event` that took a different event instead passes the wake on, so that a
// signal left set never sits beside a sleeper that nobody will wake.
void PassWakeOn(EventObject* event) {
  if (event->Manual()) return;
  if (event->words->state.load() == 1 && event->words->waiters.load() > 0) {
    posix::FutexWake(&event->words->state, 1, event->shared);
  }
}

// Watches the state words of `first` and of `second` (null for a single wait) for kSpinNs; the
// events are taken in the same order as by a sleeping wait, so `first` wins. Returns the wait's
// result once an event was taken, or -1 when the spin ended without one.
int Spin(EventObject* first, EventObject* second) {
  const int64_t end = NowNs() + kSpinNs;
  for (;;) {
    // The clock is read only every few rounds: a pause takes some tens of nanoseconds.
    for (int i = 0; i < 16; ++i) {
      if (first->words->state.load(std::memory_order_relaxed) != 0 ||
          (second != nullptr && second->words->state.load(std::memory_order_relaxed) != 0)) {
        if (TryConsume(first)) return kWaitObject0;
        if (second != nullptr && TryConsume(second)) return kWaitObject1;
      }
      CpuRelax();
    }
    if (NowNs() >= end) return -1;
  }
}

// A short spin before a sleeping wait, where it may pay; returns what Spin returns.
int SpinFirst(EventObject* first, EventObject* second) {
  // Spinning needs a second processor to run the thread that sets the event.
  if (!posix::CanSpin()) return -1;
  // A pair spins while either of its events still answers spins.
  const bool firstSpins = ShouldSpin(first);
  const bool secondSpins = second != nullptr && ShouldSpin(second);
  if (!firstSpins && !secondSpins) return -1;
  const int result = Spin(first, second);
  CountSpin(first, result >= 0);
  if (second != nullptr) CountSpin(second, result >= 0);
  return result;
}

}  // namespace

Handle CreateEvent(const char* name, bool manualReset) {
  if (name == nullptr) {
    auto* event = new EventObject;
    event->own.reset(new EventWords{});
    event->words = event->own.get();
    event->words->kind.store(KindOf(manualReset));
    return event;
  }
  std::string objectName;
  if (!posix::SharedObjectName(name, true, &objectName)) return nullptr;
  // Open the existing event, else create it. Either way the first opener fixes the kind; later
  // openers use the kind it has, as with Win32 events.
  EventObject* event = OpenOrMakeNamedEvent(objectName);
  if (event == nullptr) return nullptr;
  uint32_t unset = kKindUnset;
  event->words->kind.compare_exchange_strong(unset, KindOf(manualReset));
  return event;
}

Handle CreateOwnedEvent(const char* name, bool manualReset, std::string* error) {
  if (name == nullptr) return CreateEvent(nullptr, manualReset);
  std::string objectName;
  if (!posix::SharedObjectName(name, true, &objectName)) {
    if (error != nullptr) *error = std::string("invalid event name \"") + name + "\"";
    return nullptr;
  }
  // Always a fresh object: whatever an earlier owner left (a signal, a waiter count) goes with its
  // object, and clients connected to it never take this owner's event for theirs.
  std::string reason;
  const int fd = posix::CreateOwnedObject(objectName, kEventObjectSize, &reason);
  if (fd < 0) {
    if (error != nullptr) *error = reason;
    return nullptr;
  }
  EventObject* event = MapEventObject(fd, objectName, true);
  if (event == nullptr) {
    shm_unlink(objectName.c_str());
    if (error != nullptr) *error = "cannot map the event \"" + objectName + "\"";
    return nullptr;
  }
  event->words->kind.store(KindOf(manualReset));
  event->ownedSlot = posix::RegisterOwnedName(objectName);
  return event;
}

Handle OpenOwnedEvent(const char* name, std::string* error) {
  std::string refusal;
  std::string objectName;
  if (!posix::SharedObjectName(name, true, &objectName)) {
    if (error != nullptr) *error = std::string("invalid event name \"") + (name ? name : "") + "\"";
    return nullptr;
  }
  const int fd = posix::OpenOurObject(objectName, &refusal);
  if (error != nullptr) *error = refusal;
  if (fd < 0) return nullptr;
  // Only a live owner's event, once the owner has set its kind: one left by a dead owner is about
  // to be replaced by its successor, and a handle on it would never be set.
  struct stat info;
  if (!posix::LockedByOther(fd) || fstat(fd, &info) != 0 || info.st_size < kEventObjectSize) {
    close(fd);
    return nullptr;
  }
  EventObject* event = MapEventObject(fd, objectName, false);
  if (event != nullptr && event->words->kind.load() == kKindUnset) {
    CloseHandle(event);
    return nullptr;
  }
  return event;
}

void SetEvent(Handle handle) {
  EventObject* event = AsEvent(handle);
  if (event == nullptr) return;
  HandleReference hold(event);
  event->words->state.store(1);
  if (event->words->waiters.load() > 0) {
    posix::FutexWake(&event->words->state, event->Manual() ? INT_MAX : 1, event->shared);
  }
}

void ResetEvent(Handle handle) {
  EventObject* event = AsEvent(handle);
  if (event == nullptr) return;
  HandleReference hold(event);
  event->words->state.store(0);
}

int WaitForEvent(Handle handle, uint32_t timeoutMs) {
  EventObject* event = AsEvent(handle);
  if (event == nullptr) return kWaitFailed;
  HandleReference hold(event);
  if (TryConsume(event)) return kWaitObject0;
  if (timeoutMs == 0) return kWaitTimeout;
  const bool infinite = timeoutMs == kInfinite;
  const timespec deadline = posix::DeadlineAfter(infinite ? 0 : timeoutMs);
  if (SpinFirst(event, nullptr) == kWaitObject0) return kWaitObject0;
  EventWords* words = event->words;
  for (;;) {
    words->waiters.fetch_add(1);
    if (TryConsume(event)) {
      words->waiters.fetch_sub(1);
      return kWaitObject0;
    }
    const int result =
        posix::FutexWait(&words->state, 0, event->shared, infinite ? nullptr : &deadline);
    words->waiters.fetch_sub(1);
    if (TryConsume(event)) return kWaitObject0;
    if (!infinite && (result == ETIMEDOUT || posix::DeadlinePassed(deadline))) return kWaitTimeout;
  }
}

int WaitForEither(Handle firstHandle, Handle secondHandle, uint32_t timeoutMs) {
  EventObject* first = AsEvent(firstHandle);
  EventObject* second = AsEvent(secondHandle);
  if (first == nullptr || second == nullptr) return kWaitFailed;
  if (first == second) return WaitForEvent(firstHandle, timeoutMs);
  HandleReference holdFirst(first);
  HandleReference holdSecond(second);
  if (TryConsume(first)) return kWaitObject0;
  if (TryConsume(second)) return kWaitObject1;
  if (timeoutMs == 0) return kWaitTimeout;
  const bool infinite = timeoutMs == kInfinite;
  const timespec deadline = posix::DeadlineAfter(infinite ? 0 : timeoutMs);
  const int spun = SpinFirst(first, second);
  if (spun >= 0) return spun;
  // Without futex_waitv the wait sleeps on the first event in short slices and looks at the second
  // between them.
  constexpr uint32_t kFallbackSliceMs = 1;
  for (;;) {
    first->words->waiters.fetch_add(1);
    second->words->waiters.fetch_add(1);
    int result = 0;
    int ended = -1;
    if (TryConsume(first)) {
      ended = kWaitObject0;
    } else if (TryConsume(second)) {
      ended = kWaitObject1;
    } else if (posix::FutexWaitvEnabled()) {
      result = posix::FutexWaitTwo({&first->words->state, 0, first->shared},
                                   {&second->words->state, 0, second->shared},
                                   infinite ? nullptr : &deadline);
    }
    if (ended < 0 && !posix::FutexWaitvEnabled()) {
      timespec slice = posix::DeadlineAfter(kFallbackSliceMs);
      if (!infinite && (deadline.tv_sec < slice.tv_sec ||
                        (deadline.tv_sec == slice.tv_sec && deadline.tv_nsec < slice.tv_nsec))) {
        slice = deadline;
      }
      result = posix::FutexWait(&first->words->state, 0, first->shared, &slice);
      if (result == ETIMEDOUT) result = 0;
    }
    first->words->waiters.fetch_sub(1);
    second->words->waiters.fetch_sub(1);
    if (ended < 0) {
      if (TryConsume(first)) {
        ended = kWaitObject0;
      } else if (TryConsume(second)) {
        ended = kWaitObject1;
      }
    }
    if (ended == kWaitObject0) {
      PassWakeOn(second);
      return kWaitObject0;
    }
    if (ended == kWaitObject1) {
      PassWakeOn(first);
      return kWaitObject1;
    }
    if (!infinite && (result == ETIMEDOUT || posix::DeadlinePassed(deadline))) return kWaitTimeout;
  }
}

}  // namespace platform
