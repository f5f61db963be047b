#include "tests/win32/e2e/fixture.h"

#include <cstdio>

#include "platform/event.h"
#include "tests/win32/server/synthetic.h"

namespace e2e {

namespace {

constexpr const char* kReadyEvent = "Win32LinkTestServerReady";

bool WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

const synthetic::Stream& TheStream() {
  static const synthetic::Stream stream = synthetic::MakeStream(kGops, kWidth, kHeight);
  return stream;
}

}  // namespace

std::string ProgramFolder() {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string MediaFolder() {
  static std::string folder;
  if (folder.empty()) {
    char temp[MAX_PATH + 1];
    GetTempPathA(sizeof temp, temp);
    folder = std::string(temp) + "mpgsource_win32_" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
  }
  return folder;
}

std::string StreamPath() {
  const std::string path = MediaFolder() + "clip.m2v";
  static bool written = false;
  if (!written) written = WriteFile(path, TheStream().bytes);
  return path;
}

std::string WriteProject(const std::string& name, const std::string& videoPath, const char* clip) {
  StreamPath();
  const synthetic::Stream& s = TheStream();
  std::string text = "VantuIndexFileNV1\nwritten by the Windows link tests\n" + videoPath +
                     "\n\n\nFO 0\nSTREAM 0\nSIZ " + std::to_string(kWidth) + " x " +
                     std::to_string(kHeight) + "\nFPS 25 / 1\nCLIP " + clip + "\nLUMFILT 0 0\n";
  size_t picture = 0;
  for (size_t g = 0; g < s.gopOffsets.size(); ++g) {
    text += "SEQ " + std::to_string(s.gopOffsets[g]) + "\n";
    for (int k = 0; k < synthetic::kGopLength; ++k) {
      text += std::string("FRM ") + s.frameTypes[picture++] + "\n";
    }
  }
  const std::string path = MediaFolder() + name;
  WriteFile(path, text);
  return path;
}

ServerProcess::~ServerProcess() {
  Stop();
}

bool ServerProcess::Start() {
  platform::Handle ready = platform::CreateEvent(kReadyEvent, true);
  platform::Handle quit = platform::CreateEvent((std::string(kReadyEvent) + ".quit").c_str(), true);
  platform::ResetEvent(ready);
  platform::ResetEvent(quit);
  const std::string exe = ProgramFolder() + "win32_test_server.exe";
  std::string command = "\"" + exe + "\" " + kReadyEvent;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  bool started = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &info) != 0;
  if (started) {
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    started = platform::WaitForEvent(ready, 20000) == platform::kWaitObject0;
  }
  platform::CloseHandle(ready);
  platform::CloseHandle(quit);
  return started;
}

void ServerProcess::Stop() {
  if (!process_) return;
  platform::Handle quit = platform::CreateEvent((std::string(kReadyEvent) + ".quit").c_str(), true);
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

int Mismatches(const PVideoFrame& frame, int number, int field, int left, int top) {
  if (!frame) return -1;
  int wrong = 0;
  const BYTE* y = frame->GetReadPtr();
  for (int row = 0; row < frame->GetHeight(); ++row) {
    for (int x = 0; x < frame->GetRowSize(); ++x) {
      wrong +=
          y[row * frame->GetPitch() + x] != synthetic::LumaAt(number, field, x + left, row + top);
    }
  }
  const BYTE* u = frame->GetReadPtr(PLANAR_U);
  const BYTE* v = frame->GetReadPtr(PLANAR_V);
  const int pitch = frame->GetPitch(PLANAR_U);
  for (int row = 0; row < frame->GetHeight(PLANAR_U); ++row) {
    for (int x = 0; x < frame->GetRowSize(PLANAR_U); ++x) {
      wrong += u[row * pitch + x] != synthetic::UAt(number, field, x + left / 2, row + top / 2);
      wrong += v[row * pitch + x] != synthetic::VAt(number, field, x + left / 2, row + top / 2);
    }
  }
  return wrong;
}

}  // namespace e2e
