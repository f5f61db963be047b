#include "tests/win32/tools/tools_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "decode-server/stop_request.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/section_layout.h"

namespace tools_e2e {

namespace {

std::string Quote(const std::string& arg) {
  return "\"" + arg + "\"";
}

std::string CommandLine(const std::string& exe, const std::vector<std::string>& args) {
  std::string command = Quote(exe);
  for (const std::string& a : args) command += " " + Quote(a);
  return command;
}

}  // namespace

std::wstring Utf16(const std::string& utf8) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
  return wide;
}

namespace {

HANDLE InheritableFile(const std::string& path) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts `exe` with its standard output and error on the given handles (inherited).
HANDLE Start(const std::string& exe, const std::vector<std::string>& args, HANDLE out, HANDLE err) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info = {};
  // The arguments are UTF-8; the programs read the wide command line.
  std::wstring command = Utf16(CommandLine(exe, args));
  if (!CreateProcessW(Utf16(exe).c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info)) {
    std::fprintf(stderr, "cannot start %s (Windows error %lu)\n", exe.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

}  // namespace

std::string ProgramFolder() {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string MediaFolder() {
  const char* folder = std::getenv("MPG_TOOLS_MEDIA");
  if (!folder || !*folder) return std::string();
  std::string path(folder);
  if (path.back() != '\\' && path.back() != '/') path += '\\';
  return path;
}

std::vector<std::string> Reference(const std::string& name) {
  std::ifstream in(MediaFolder() + name);
  std::vector<std::string> md5s;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) md5s.push_back(line);
  }
  return md5s;
}

RunResult Run(const std::string& program, const std::vector<std::string>& args) {
  RunResult result;
  char temp[MAX_PATH + 1];
  GetTempPathA(sizeof temp, temp);
  const std::string base =
      std::string(temp) + "mpgsource_tools_" + std::to_string(GetCurrentProcessId()) + "_";
  const std::string outPath = base + "out.txt", errPath = base + "err.txt";
  HANDLE out = InheritableFile(outPath);
  HANDLE err = InheritableFile(errPath);
  HANDLE process = Start(ProgramFolder() + program, args, out, err);
  CloseHandle(out);
  CloseHandle(err);
  if (process) {
    if (WaitForSingleObject(process, 120000) != WAIT_OBJECT_0) TerminateProcess(process, 99);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    result.exitCode = static_cast<int>(code);
    CloseHandle(process);
  }
  result.out = ReadWhole(outPath);
  result.err = ReadWhole(errPath);
  DeleteFileA(outPath.c_str());
  DeleteFileA(errPath.c_str());
  return result;
}

std::vector<std::pair<int, std::string>> ParseHashes(const std::string& out) {
  std::vector<std::pair<int, std::string>> hashes;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    hashes.emplace_back(std::atoi(line.c_str()), line.substr(space + 1));
  }
  return hashes;
}

std::vector<int> MixedOrder(int frames, uint32_t seed) {
  std::vector<int> order;
  for (int n = 0; n < frames; ++n) order.push_back(n);
  uint32_t state = seed;
  for (int i = frames - 1; i > 0; --i) {
    state = state * 1664525u + 1013904223u;
    std::swap(order[i], order[(state >> 8) % static_cast<uint32_t>(i + 1)]);
  }
  const int base = frames / 3;
  for (int step : {0, 9, 10, 19, 20}) {
    if (base + step < frames) order.push_back(base + step);
  }
  for (int n = frames - 1; n >= frames - 15 && n >= 0; --n) order.push_back(n);
  return order;
}

std::string FrameList(const std::vector<int>& frames) {
  std::string list;
  for (int n : frames) list += (list.empty() ? "" : ",") + std::to_string(n);
  return list;
}

bool ServerUp(const char* space) {
  const char* outer = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  const std::string saved = outer ? outer : "";
  if (space) _putenv(("MPGSOURCE_IPC_NAMESPACE=" + std::string(space)).c_str());
  bool existed = false;
  platform::Handle section =
      platform::CreateSection(server::kSectionName, server::kSectionSize, &existed);
  platform::CloseHandle(section);
  if (space) _putenv(("MPGSOURCE_IPC_NAMESPACE=" + saved).c_str());
  return section && existed;
}

ServerProcess::~ServerProcess() {
  Stop();
}

bool ServerProcess::Start(const std::vector<std::string>& args) {
  process_ = tools_e2e::Start(ProgramFolder() + "mpgsource-server.exe", args,
                              GetStdHandle(STD_ERROR_HANDLE), GetStdHandle(STD_ERROR_HANDLE));
  if (!process_) return false;
  for (int waited = 0; waited < 20000; waited += 10) {
    if (ServerUp()) return true;
    if (WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) return false;
    platform::Sleep(10);
  }
  return false;
}

void ServerProcess::Stop() {
  if (!process_) return;
  platform::Handle quit = platform::CreateEvent(decode_server::kQuitEventName, true);
  platform::SetEvent(quit);
  if (WaitForSingleObject(process_, 20000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
  platform::CloseHandle(quit);
  CloseHandle(process_);
  process_ = nullptr;
}

void ServerProcess::Kill() {
  if (!process_) return;
  TerminateProcess(process_, 9);
  WaitForSingleObject(process_, 20000);
  CloseHandle(process_);
  process_ = nullptr;
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE write = nullptr;
  if (!CreatePipe(&output_, &write, &inherit, 0)) return;
  SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
  process_ = Start(ProgramFolder() + program, args, write, GetStdHandle(STD_ERROR_HANDLE));
  CloseHandle(write);
}

RunningProgram::~RunningProgram() {
  Kill();
  if (output_) CloseHandle(output_);
}

bool RunningProgram::ReadLine(std::string* line) {
  for (;;) {
    const size_t end = buffered_.find('\n');
    if (end != std::string::npos) {
      *line = buffered_.substr(0, end);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      buffered_.erase(0, end + 1);
      return true;
    }
    char chunk[4096];
    DWORD got = 0;
    if (!output_ || !ReadFile(output_, chunk, sizeof chunk, &got, nullptr) || got == 0) {
      return false;
    }
    buffered_.append(chunk, got);
  }
}

void RunningProgram::Kill() {
  if (!process_) return;
  TerminateProcess(process_, 9);
  WaitForSingleObject(process_, 20000);
  CloseHandle(process_);
  process_ = nullptr;
}

}  // namespace tools_e2e
