// What lies behind a platform::Handle on POSIX: one object per handle, released by CloseHandle.
#pragma once

#include "platform/handle.h"

namespace platform {

struct HandleObject {
  enum class Kind { kSection, kEvent, kThread };

  explicit HandleObject(Kind k) : kind(k) {}
  virtual ~HandleObject() = default;
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;

  const Kind kind;
};

}  // namespace platform
