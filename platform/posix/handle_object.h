// What lies behind a platform::Handle on POSIX: one object per handle, released by CloseHandle
// once no call in progress still uses it.
#pragma once

#include <atomic>

#include "platform/handle.h"

namespace platform {

struct HandleObject {
  enum class Kind { kSection, kEvent, kThread };

  explicit HandleObject(Kind k) : kind(k) {}
  virtual ~HandleObject() = default;
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;

  // The handle holds one reference; a wait in progress holds another, so that closing the handle
  // while another thread still waits on it (as Win32 allows) frees nothing under that thread.
  void Retain() { references.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  const Kind kind;

 private:
  std::atomic<int> references{1};
};

// Holds a reference for the length of a call.
class HandleReference {
 public:
  explicit HandleReference(HandleObject* object) : object_(object) {
    if (object_ != nullptr) object_->Retain();
  }
  ~HandleReference() {
    if (object_ != nullptr) object_->Release();
  }
  HandleReference(const HandleReference&) = delete;
  HandleReference& operator=(const HandleReference&) = delete;

 private:
  HandleObject* object_;
};

}  // namespace platform
