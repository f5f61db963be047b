// Child processes for the cross-process tests: the test program starts itself with a mode
// argument, and the child's main dispatches on it.
#pragma once

#include <string>

#include "tests/win32/support/win.h"

namespace wintest {

// Starts this program again with `arguments`; returns the process handle (null on failure).
HANDLE StartSelf(const std::string& arguments);

// Waits up to `timeoutMs` for the process to end and returns its exit code (or -1).
int WaitForExit(HANDLE process, DWORD timeoutMs);

// Gives this process its own IPC namespace (MPGSOURCE_IPC_NAMESPACE), inherited by its
// children, unless one is set already.
void UseOwnNamespace(const char* prefix);

}  // namespace wintest
