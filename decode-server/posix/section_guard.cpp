#include "decode-server/section_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/section.h"

namespace decode_server {

namespace {

// One entry per watched view; a server has at most 16 slots, tests may run a few servers.
constexpr int kMaxViews = 64;

struct WatchedView {
  std::atomic<uintptr_t> begin{0};  // 0: entry free
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};

WatchedView g_views[kMaxViews];
std::atomic<uintptr_t> g_pageMask{0};
struct sigaction g_previous;
std::once_flag g_installed;
std::mutex g_watchMutex;  // Watch and Release, never the handler
bool g_installOk = false;

// Only async-signal-safe work: atomics, the raw mmap system call (no library wrapper, which a
// sanitizer may intercept) and sigaction.
void OnBusError(int signal, siginfo_t* info, void* context) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  for (WatchedView& view : g_views) {
    const uintptr_t begin = view.begin.load(std::memory_order_acquire);
    const uintptr_t end = view.end.load(std::memory_order_acquire);
    if (begin == 0 || at < begin || at >= end) continue;
    // Every page after the faulting one lies beyond the object's new end as well.
    const uintptr_t page = at & g_pageMask.load(std::memory_order_relaxed);
    const long mapped = syscall(SYS_mmap, page, end - page, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (mapped == static_cast<long>(page)) {
      view.faulted.store(true, std::memory_order_release);
      return;
    }
    break;
  }
  // Not a watched view: as if this handler were not there.
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
    return;
  }
  // The access is made again on return and, with the default action back, ends the process.
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  sigaction(SIGBUS, &fallback, nullptr);
}

void Install() {
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0) return;
  g_pageMask.store(~static_cast<uintptr_t>(pageSize - 1));
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  g_installOk = sigaction(SIGBUS, &action, &g_previous) == 0;
}

}  // namespace

SectionGuard::~SectionGuard() {
  Release();
}

bool SectionGuard::Watch(platform::Handle section, void* view, uint32_t size) {
  Release();
  std::call_once(g_installed, Install);
  if (!g_installOk || view == nullptr || size == 0) return false;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(view);
  std::lock_guard<std::mutex> lock(g_watchMutex);
  for (int i = 0; i < kMaxViews; ++i) {
    if (g_views[i].begin.load() != 0) continue;
    // The end first: a handler that sees the entry's begin sees its end too.
    g_views[i].faulted.store(false);
    g_views[i].end.store(begin + size, std::memory_order_release);
    g_views[i].begin.store(begin, std::memory_order_release);
    slot_ = i;
    section_ = section;
    view_ = view;
    size_ = size;
    return true;
  }
  return false;
}

void SectionGuard::Release() {
  if (slot_ < 0) return;
  std::lock_guard<std::mutex> lock(g_watchMutex);
  g_views[slot_].begin.store(0);
  g_views[slot_].end.store(0);
  slot_ = -1;
}

bool SectionGuard::Repaired(bool* restored) {
  if (slot_ < 0 || !g_views[slot_].faulted.exchange(false)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  *restored = platform::RestoreSectionView(section_, view_, size_);
  return true;
}

}  // namespace decode_server
