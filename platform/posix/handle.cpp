#include "platform/handle.h"

#include "platform/posix/handle_object.h"

namespace platform {

void CloseHandle(Handle handle) {
  delete handle;
}

}  // namespace platform
