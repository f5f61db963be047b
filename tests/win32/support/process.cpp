#include "tests/win32/support/process.h"

#include <cstdio>
#include <cstdlib>

namespace wintest {

HANDLE StartSelf(const std::string& arguments) {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  std::string command = std::string("\"") + path + "\" " + arguments;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(path, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

int WaitForExit(HANDLE process, DWORD timeoutMs) {
  if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return -1;
  return static_cast<int>(code);
}

void UseOwnNamespace(const char* prefix) {
  const char* existing = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  if (existing && *existing) return;
  char assignment[128];
  std::snprintf(assignment, sizeof assignment, "MPGSOURCE_IPC_NAMESPACE=%s%lu", prefix,
                static_cast<unsigned long>(GetCurrentProcessId()));
  _putenv(assignment);
}

}  // namespace wintest
