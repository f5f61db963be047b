// Support for the end-to-end tests: running the real programs, ffmpeg's reference checksums, and a
// decoding server of the test's own.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

std::string BuildDir();
std::string MediaPath(const std::string& name);
// A folder under the build folder for this test, emptied at the test's first call.
std::string TempDir();
// The command-line host in the build folder.
std::string Mpgsource();
// A file's whole content ("" when it cannot be read), and a file made or replaced with `text`.
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

struct CommandResult {
  int status = -1;  // the exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs a program with arguments (no shell) and collects its output.
CommandResult Run(const std::vector<std::string>& argv);

// ffmpeg's sequential decode of `file`: the MD5 of each frame, as -f framemd5 -pix_fmt yuv420p
// (or `pixFmt`) prints it, after the filter chain `vf` when it is not empty.
std::vector<std::string> FfmpegMd5(const std::string& file, const std::string& vf = "",
                                   const std::string& pixFmt = "yuv420p");

// `mpgsource index VIDEO -o PROJECT` with extra arguments; fails the test on error.
std::string IndexVideo(const std::string& video, const std::vector<std::string>& extra = {});

// `mpgsource hash PROJECT --frames LIST [clip]`: frame number and MD5 per served frame, in order.
std::vector<std::pair<int, std::string>> HashFrames(const std::string& project,
                                                    const std::vector<int>& frames,
                                                    const std::vector<std::string>& clip = {});

// `mpgsource info PROJECT --json [clip]`, as key -> value text (an array value as its JSON text).
std::map<std::string, std::string> Info(const std::string& project,
                                        const std::vector<std::string>& clip = {});

// The request orders the tests serve: every frame in order, a stretch backwards, every frame (or
// the first `shuffledCount` of them) shuffled with a fixed seed, and jumps around the
// continue-or-restart window (n, n+9, n+10, n+19, n+20).
std::map<std::string, std::vector<int>> RequestOrders(int frameCount, int shuffledCount = -1);

// A decoding server of this test process, in an IPC namespace of its own, started with `args`;
// its log (standard error) goes to `logFile` when one is named.
class Server {
 public:
  explicit Server(const std::vector<std::string>& args = {}, const std::string& logFile = "");
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  pid_t pid() const { return pid_; }
  // The IPC namespace the server and this process use.
  const std::string& space() const { return space_; }
  // Which processes hold each of the server's sections open (to explain a busy server).
  std::string SlotUsers() const;
  void Kill(int signal);

 private:
  pid_t pid_ = -1;
  std::string space_;
};

}  // namespace e2e
