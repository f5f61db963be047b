// mpgsource-index.exe on Windows: starts "mpgsource.exe index-tool" from its own folder with this
// program's command line as it came (so every argument reaches it unchanged, any file name
// included) and this program's standard handles, waits for it and exits with its status. The
// indexer itself lives once, in mpgsource.exe, which keeps the package small. The child runs in
// a job that ends it when this program ends, however it ends. Nothing here uses the C++ library.
#include <windows.h>

#include "platform/win32/inheritable_handle.h"

namespace {

// Writes `text` to standard error (best effort).
void Say(const wchar_t* text) {
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  char bytes[2048];
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
  DWORD written = 0;
  if (n > 1) ::WriteFile(err, bytes, static_cast<DWORD>(n - 1), &written, nullptr);
}

// The command line after the program's name (its leading blanks kept), by the rule the C runtime
// reads the name with: up to the closing quote when it starts with one, else up to a blank.
const wchar_t* AfterProgramName(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
  }
  return line;
}

size_t Length(const wchar_t* text) {
  size_t n = 0;
  while (text[n] != L'\0') ++n;
  return n;
}

wchar_t* Append(wchar_t* at, const wchar_t* text) {
  while (*text != L'\0') *at++ = *text++;
  return at;
}

}  // namespace

int main() {
  static wchar_t program[32768];
  const DWORD length = ::GetModuleFileNameW(nullptr, program, 32768);
  if (length == 0 || length >= 32768 - 16) {
    Say(L"mpgsource-index: cannot find its own folder\n");
    return 1;
  }
  DWORD cut = length;
  while (cut > 0 && program[cut - 1] != L'\\' && program[cut - 1] != L'/') --cut;
  Append(program + cut, L"mpgsource.exe")[0] = L'\0';

  const wchar_t* rest = AfterProgramName(::GetCommandLineW());
  const size_t size = Length(program) + Length(rest) + 32;
  wchar_t* command =
      static_cast<wchar_t*>(::HeapAlloc(::GetProcessHeap(), 0, size * sizeof(wchar_t)));
  if (command == nullptr) {
    Say(L"mpgsource-index: out of memory\n");
    return 1;
  }
  wchar_t* at = Append(command, L"\"");
  at = Append(at, program);
  at = Append(at, L"\" index-tool");
  at = Append(at, rest);
  *at = L'\0';

  // The child ends with this process: a job that kills its processes when its last handle goes.
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits)) {
      ::CloseHandle(job);
      job = nullptr;
    }
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = platform::win32::InheritableStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = platform::win32::InheritableStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = platform::win32::InheritableStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  const BOOL started = ::CreateProcessW(program, command, nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                        nullptr, nullptr, &startup, &info);
  const DWORD startError = ::GetLastError();
  const HANDLE copies[3] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
  for (HANDLE h : copies) {
    if (h != nullptr) ::CloseHandle(h);
  }
  if (!started) {
    wchar_t message[1024] = L"";
    ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     startError, 0, message, 1024, nullptr);
    Say(L"mpgsource-index: cannot run ");
    Say(program);
    Say(L": ");
    Say(message[0] != L'\0' ? message : L"unknown error\r\n");
    return 1;
  }
  // A job that allows no nested one leaves the child outside it.
  if (job != nullptr && !::AssignProcessToJobObject(job, info.hProcess)) {
    ::CloseHandle(job);
    job = nullptr;
  }
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);
  // Ctrl+C reaches the child as well, which ends on its own; this process waits for it.
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  ::WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(info.hProcess, &code);
  ::CloseHandle(info.hProcess);
  if (job != nullptr) ::CloseHandle(job);
  return static_cast<int>(code);
}
