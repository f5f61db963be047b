// What the Windows link tests share: the folder of the test programs, the test server process,
// and projects written at test time over synthetic streams.
#pragma once

#include <string>

#include "avs/avisynth_msvc.h"
#include "tests/win32/support/win.h"

namespace e2e {

constexpr int kWidth = 176;
constexpr int kHeight = 144;
constexpr int kGops = 4;

// The folder of this program (with a trailing backslash): the DLL and the server are built there.
std::string ProgramFolder();

// A fresh folder for this process's media, with a trailing backslash.
std::string MediaFolder();

// Writes the synthetic stream (once) and a project over it; returns the project's path.
// `videoPath` is written as the project's video line (relative paths are resolved against the
// project's folder); `clip` is the CLIP line's values.
std::string WriteProject(const std::string& name, const std::string& videoPath,
                         const char* clip = "0 0 0 0");
std::string StreamPath();

// The test decoding server, started in this process's IPC namespace.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Start();
  void Stop();  // asks it to quit and waits
  void Kill();  // ends it without any clean-up, as a crash would

 private:
  HANDLE process_ = nullptr;
};

// The number of bytes of `frame` (display picture `number`, field `field`, seen through a crop
// at `left`, `top`) that differ from the synthetic picture; 0 when it is exact.
int Mismatches(const PVideoFrame& frame, int number, int field, int left = 0, int top = 0);

}  // namespace e2e
