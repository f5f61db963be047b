// Keeps the decoding server alive when a client cuts the section short under it.
//
// On POSIX a client of the same user can shrink the shared-memory object behind a slot's section
// (ftruncate); the server's next access to a page beyond the new end would raise SIGBUS and end
// the server, and every other client with it. A guard watches a slot's view: a fault inside it
// is caught by a process-wide SIGBUS handler, which maps private zero pages over the view from the
// faulting page to its end, so that the access completes (reading zeros, writing into memory
// nobody shares) and the server goes on. The slot's server then asks Repaired(), which gives the
// section its size back and maps it afresh, and drops the client's run. Faults anywhere else are
// left to whatever handled SIGBUS before. On Windows a section cannot shrink; the guard does
// nothing there.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/handle.h"

namespace decode_server {

class SectionGuard {
 public:
  SectionGuard() = default;
  ~SectionGuard();
  SectionGuard(const SectionGuard&) = delete;
  SectionGuard& operator=(const SectionGuard&) = delete;

  // Watches `view`, `size` bytes mapped from the owned `section`, until Release. False when the
  // view cannot be watched (too many views, or the handler cannot be installed).
  bool Watch(platform::Handle section, void* view, uint32_t size);
  void Release();

  // True when an access inside the view faulted since the last call; the section's size and the
  // view have been restored by then (`restored` tells whether that worked). Any thread may ask.
  bool Repaired(bool* restored);

 private:
  int slot_ = -1;
  platform::Handle section_ = nullptr;
  void* view_ = nullptr;
  uint32_t size_ = 0;
  std::mutex mutex_;  // one repair at a time
};

}  // namespace decode_server
