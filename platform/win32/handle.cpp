#include "platform/handle.h"

#include "platform/win32/handle_object.h"

namespace platform {

void CloseHandle(Handle handle) {
  if (!handle) return;
  if (handle->kind == HandleObject::Kind::kSection) {
    if (handle->owner && handle->record) {
      // Cleared before the section goes, so that no client mistakes a successor's section for
      // this owner's.
      win32::UnregisterOwnerRecord(handle->ownedSlot);
      InterlockedExchange(&handle->record->pid, 0);
    }
    if (handle->record) ::UnmapViewOfFile(handle->record);
    if (handle->recordMapping) ::CloseHandle(handle->recordMapping);
    if (handle->ownerProcess) ::CloseHandle(handle->ownerProcess);
    if (handle->claim) ::CloseHandle(handle->claim);  // the claim ends with the last handle to it
  }
  if (handle->handle) ::CloseHandle(handle->handle);
  delete handle;
}

}  // namespace platform
