// Starting and stopping the decoding server on Windows. A started server is asked to stop through
// its named quit event (its clean exit) and ended after a grace period if it does not. It watches
// this process (--parent) and stops when it ends, and it runs in a job object that ends it when
// this process's last handle to the job goes, so that a command that dies (or is ended from the
// task manager) leaves no server behind.
#include "tools/cli/server_process.h"

#include <windows.h>
#undef CreateEvent  // windows.h's A/W macro; the platform layer's function has this name

#include <cstdlib>

#include "decode-server/stop_request.h"
#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "platform/win32/inheritable_handle.h"
#include "platform/win32/wide.h"
#include "server-link/section_layout.h"

namespace cli {

namespace {

std::string WindowsError(const std::string& what) {
  return what + ": " + platform::win32::ErrorText(::GetLastError());
}

// A job object that ends its processes when its last handle closes (this process's, also when
// this process is ended from outside); null where jobs are unavailable.
HANDLE KillOnCloseJob() {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    ::CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Puts the suspended process of `info` into `*job` and lets it run. This process may sit in a job
// that allows no nested one: `*job` is then closed and set to null, and the process runs outside.
bool RunInJob(const PROCESS_INFORMATION& info, HANDLE* job) {
  if (*job && !::AssignProcessToJobObject(*job, info.hProcess)) {
    ::CloseHandle(*job);
    *job = nullptr;
  }
  const bool resumed = ::ResumeThread(info.hThread) != static_cast<DWORD>(-1);
  ::CloseHandle(info.hThread);
  return resumed;
}

// Starts `command` (program and arguments). With `outputToStderr` the child's standard output is
// this process's standard error (a Y4M stream may be on our standard output). Fills `info` (the
// caller closes both handles); false with the reason in `error`.
bool StartProcess(const std::string& program, std::string command, bool outputToStderr, DWORD flags,
                  PROCESS_INFORMATION* info, std::string* error) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  HANDLE input = nullptr, output = nullptr, errors = nullptr;
  if (outputToStderr) {
    input = platform::win32::InheritableStdHandle(STD_INPUT_HANDLE);
    output = platform::win32::InheritableStdHandle(STD_ERROR_HANDLE);
    errors = platform::win32::InheritableStdHandle(STD_ERROR_HANDLE);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errors;
  }
  std::wstring wide = platform::win32::Wide(command);
  const bool started =
      ::CreateProcessW(nullptr, &wide[0], nullptr, nullptr, outputToStderr ? TRUE : FALSE, flags,
                       nullptr, nullptr, &startup, info) != 0;
  if (!started) *error = WindowsError("could not start the decoding server " + program);
  for (HANDLE h : {input, output, errors}) {
    if (h) ::CloseHandle(h);
  }
  return started;
}

std::string Quoted(const std::string& program) {
  return "\"" + program + "\"";
}

}  // namespace

std::string ProgramFolder() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return std::string();
  const std::string full = platform::win32::Utf8(path.substr(0, length));
  return full.substr(0, full.find_last_of("\\/") + 1);
}

std::string ServerProgram() {
  if (const char* env = std::getenv("MPGSOURCE_SERVER")) return env;
  const std::string candidate = ProgramFolder() + "mpgsource-server.exe";
  const DWORD attributes = ::GetFileAttributesW(platform::win32::FilePath(candidate).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return candidate;
  }
  return "mpgsource-server.exe";
}

int RunServerInForeground(const std::vector<std::string>& serverArgs, std::string* error) {
  const std::string program = ServerProgram();
  std::string commandLine = Quoted(program);
  for (const std::string& arg : serverArgs) commandLine += " " + Quoted(arg);
  // In a job, as a private server is, so that ending this process ends the server too.
  HANDLE job = KillOnCloseJob();
  PROCESS_INFORMATION info = {};
  if (!StartProcess(program, commandLine, false, CREATE_SUSPENDED, &info, error)) {
    if (job) ::CloseHandle(job);
    return 1;
  }
  HANDLE process = info.hProcess;
  if (!RunInJob(info, &job)) {
    *error = WindowsError("could not start the decoding server " + program);
    ::TerminateProcess(process, 1);
    ::CloseHandle(process);
    if (job) ::CloseHandle(job);
    return 1;
  }
  // Ctrl+C reaches the server too, which stops cleanly; this process waits for it.
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  if (job) ::CloseHandle(job);
  return static_cast<int>(code);
}

struct StartedServer::Process {
  HANDLE process = nullptr;
  HANDLE job = nullptr;  // ends the server with this process; null when jobs are unavailable
};

StartedServer::StartedServer() = default;

StartedServer::~StartedServer() {
  Stop();
}

bool StartedServer::Start(std::string* error) {
  const std::string program = ServerProgram();
  // A namespace of this process's own: no other host finds this server, and this host never
  // finds, uses or stops another's. The server inherits it.
  const char* outer = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  std::string space = outer && *outer ? std::string(outer) + "." : std::string();
  space += "cli" + std::to_string(::GetCurrentProcessId());
  if (_putenv(("MPGSOURCE_IPC_NAMESPACE=" + space).c_str()) != 0) {
    *error = "could not set MPGSOURCE_IPC_NAMESPACE for the decoding server";
    return false;
  }
  auto started = std::make_unique<Process>();
  started->job = KillOnCloseJob();
  // Suspended until it is in the job, so that it cannot outlive us by starting first.
  PROCESS_INFORMATION info = {};
  const std::string command =
      Quoted(program) + " --clients 1 --parent " + std::to_string(::GetCurrentProcessId());
  if (!StartProcess(program, command, true, CREATE_SUSPENDED, &info, error)) {
    if (started->job) ::CloseHandle(started->job);
    return false;
  }
  started->process = info.hProcess;
  // Outside a job, the server ends by Stop or by watching this process only.
  const bool resumed = RunInJob(info, &started->job);
  process_ = std::move(started);
  if (!resumed) {
    *error = WindowsError("could not start the decoding server " + program);
    Stop();
    return false;
  }
  for (int waited = 0; waited < 10000; waited += 10) {
    if (ServerRunning()) return true;
    if (::WaitForSingleObject(process_->process, 0) == WAIT_OBJECT_0) {
      Stop();
      *error = "the decoding server " + program + " exited at start";
      return false;
    }
    platform::Sleep(10);
  }
  Stop();
  *error = "the decoding server " + program + " did not come up within 10 seconds";
  return false;
}

void StartedServer::Stop() {
  if (!process_) return;
  if (::WaitForSingleObject(process_->process, 0) == WAIT_TIMEOUT) {
    platform::Handle quit = platform::CreateEvent(decode_server::kQuitEventName, true);
    if (quit) platform::SetEvent(quit);
    if (::WaitForSingleObject(process_->process, 10000) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_->process, 1);
      ::WaitForSingleObject(process_->process, 10000);
    }
    platform::CloseHandle(quit);
  }
  ::CloseHandle(process_->process);
  if (process_->job) ::CloseHandle(process_->job);
  process_.reset();
}

}  // namespace cli
