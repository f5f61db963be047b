#include "platform/handle.h"

#include "platform/posix/handle_object.h"

namespace platform {

void CloseHandle(Handle handle) {
  if (handle != nullptr) handle->Release();
}

}  // namespace platform
