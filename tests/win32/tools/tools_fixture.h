// What the tests of the Windows programs share: the programs' folder, the media folder, running
// the programs as real processes, and the decoding server process.
//
// The media folder (environment variable MPG_TOOLS_MEDIA) is made by tests/win32/make-media.sh with
// Linux ffmpeg: for each clip <name> the reference <name>.md5, one MD5 of the Y, U and V planes per
// frame of ffmpeg's sequential decode, and for interlaced clips <name>.bwdif.md5, the same after
// ffmpeg's bwdif filter sending one picture per field.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/win32/support/win.h"

namespace tools_e2e {

// The folder of this program, with a trailing backslash: the programs and the plugin DLL lie there.
std::string ProgramFolder();
// The media folder, with a trailing backslash; empty when MPG_TOOLS_MEDIA is not set.
std::string MediaFolder();
// UTF-8 as UTF-16, for the wide functions.
std::wstring Utf16(const std::string& utf8);

// The MD5s of a reference file in the media folder, in frame order.
std::vector<std::string> Reference(const std::string& name);

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs one of the programs beside this one (e.g. "mpgsource.exe") with `args` and waits for it.
RunResult Run(const std::string& program, const std::vector<std::string>& args);

// The "N md5" lines of `mpgsource hash`.
std::vector<std::pair<int, std::string>> ParseHashes(const std::string& out);

// Every frame once in an order shuffled with a fixed seed, then the jumps around the window in
// which a run continues rather than restarts (n+9, n+10, n+19, n+20), then a stretch in reverse.
std::vector<int> MixedOrder(int frames, uint32_t seed);
std::string FrameList(const std::vector<int>& frames);

// mpgsource-server.exe, started in this process's IPC namespace.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts it with `args` and waits until its section is up. False when it exits or does not
  // come up.
  bool Start(const std::vector<std::string>& args = {});
  void Stop();  // asks it to quit through its quit event and waits
  void Kill();  // ends it without any clean-up, as a crash would

 private:
  HANDLE process_ = nullptr;
};

// A program beside this one, running, with its standard output on a pipe that the test reads.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& args);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  bool started() const { return process_ != nullptr; }
  DWORD id() const { return process_ ? GetProcessId(process_) : 0; }
  // The next line of its standard output without the line end; false at the end of output.
  bool ReadLine(std::string* line);
  void Kill();

 private:
  HANDLE process_ = nullptr;
  HANDLE output_ = nullptr;
  std::string buffered_;
};

// True while a live server holds the section in this process's IPC namespace, or in `space`.
bool ServerUp(const char* space = nullptr);

}  // namespace tools_e2e
