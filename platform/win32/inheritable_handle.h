// An inheritable copy of one of this process's standard handles, for a child process started
// with them. Header only (nothing but the Windows API), so that a program without the C++
// library can use it too.
#pragma once

#include <windows.h>

namespace platform {
namespace win32 {

// An inheritable copy of the standard handle `which` (STD_INPUT_HANDLE, ...), or null; the
// caller closes it once the child has started.
inline HANDLE InheritableStdHandle(DWORD which) {
  HANDLE original = ::GetStdHandle(which);
  if (original == nullptr || original == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), original, ::GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

}  // namespace win32
}  // namespace platform
