// A scripted decoding server for the link and clip tests, and the small media it serves.
//
// The server is the test program itself, started again in a server mode (see RunServerIfAsked):
// a separate process that makes "NVSharedMem" and the five named events through the platform
// layer, in the test's own IPC namespace. It records every request in a log file, one line each,
// and answers picture requests with synthetic NV12 pictures whose bytes encode the picture's
// frame and field (LumaAt, UAt, VAt), counting pictures from the first GOP of the current run as
// a real server does.
//
// The media is a crafted MPEG-2-like elementary stream: per GOP a sequence header unit
// (00 00 01 B3), a GOP unit (00 00 01 B8 "G<first picture>") and one unit per picture
// (00 00 01 00 "P<number><type>"), and a project file indexing it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/section_layout.h"

extern char** environ;

namespace scripted {

// ---------------------------------------------------------------------------------------------
// Picture bytes: frame f, field s (0 or 1), column x (chroma: pair i), row y.

inline unsigned char LumaAt(int f, int s, int x, int y) {
  return static_cast<unsigned char>(x + 3 * y + 11 * f + 101 * s);
}
inline unsigned char UAt(int f, int s, int i, int y) {
  return static_cast<unsigned char>(5 * i + y + 13 * f + 7 * s + 64);
}
inline unsigned char VAt(int f, int s, int i, int y) {
  return static_cast<unsigned char>(i + 7 * y + 17 * f + 3 * s + 128);
}

// ---------------------------------------------------------------------------------------------
// Server options: a comma-separated list of flags and key=value pairs.
//   w=, h=, pitch=   the picture header the server reports (default 64, 48, 128)
//   flags=N          header word 5 (default 0x7777, like the other words the plugin reads
//                    nothing from: a server that does not know the picture pool may set any bit)
//   noinit           never answer REQUEST_INIT
//   ignorestop       leave the first "NVStopDecoding" set (until someone else resets it)
//   hold=N           never answer the N-th REQUEST_DATA (counting from 1)
//   nopics           never answer a picture request

struct Options {
  int width = 64;
  int height = 48;
  int pitch = 128;
  int flags = 0x7777;
  bool noInit = false;
  bool ignoreStop = false;
  int hold = -1;
  bool noPictures = false;
};

inline Options ParseOptions(const std::string& text) {
  Options o;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    std::string key = item.substr(0, item.find('='));
    int value = item.find('=') == std::string::npos ? 0 : std::atoi(item.c_str() + key.size() + 1);
    if (key == "w") o.width = value;
    if (key == "h") o.height = value;
    if (key == "pitch") o.pitch = value;
    if (key == "flags") o.flags = value;
    if (key == "noinit") o.noInit = true;
    if (key == "ignorestop") o.ignoreStop = true;
    if (key == "hold") o.hold = value;
    if (key == "nopics") o.noPictures = true;
  }
  return o;
}

constexpr const char* kModeVariable = "MPG_SCRIPTED_SERVER";
constexpr const char* kLogVariable = "MPG_SCRIPTED_SERVER_LOG";

// ---------------------------------------------------------------------------------------------
// The server process.

namespace detail {

inline int& LogFd() {
  static int fd = -1;
  return fd;
}

inline void Log(const std::string& line) {
  std::string text = line + "\n";
  if (write(LogFd(), text.data(), text.size()) < 0) _exit(3);
}

inline int32_t Word(const unsigned char* view, uint32_t offset) {
  int32_t v;
  std::memcpy(&v, view + offset, sizeof v);
  return v;
}

inline void PutWord(unsigned char* view, uint32_t offset, int32_t v) {
  std::memcpy(view + offset, &v, sizeof v);
}

inline void OnTerminate(int) {
  platform::RemoveOwnedObjects();
  _exit(0);
}

struct Server {
  Options options;
  unsigned char* view = nullptr;
  platform::Handle exec = nullptr, done = nullptr, stop = nullptr, requested = nullptr,
                   available = nullptr;

  std::mutex mutex;
  std::condition_variable changed;
  int runGop = -1;  // first picture of the run's first GOP; -1 until its GOP unit arrives
  int delivered = 0;
  int deinterlace = 0;
  int dataCount = 0;

  void WritePicture(int frame, int field) {
    using namespace server;
    unsigned char* area = view + kPictureAreaOffset;
    const int64_t size = kPictureAreaSize;
    for (uint32_t w = 0; w < 8; ++w) PutWord(view, kPictureHeaderOffset + 4 * w, 0x7777);
    PutWord(view, kPicHeightOffset, options.height);
    PutWord(view, kPicWidthOffset, options.width);
    PutWord(view, kPicPitchOffset, options.pitch);
    PutWord(view, kPicFlagsOffset, options.flags);
    if (options.pitch <= 0 || options.width <= 0 || options.height <= 0) return;
    const int64_t pitch = options.pitch;
    const int64_t cols = std::min<int64_t>(options.width, pitch);
    for (int64_t y = 0; y < options.height; ++y) {
      for (int64_t x = 0; x < cols && y * pitch + x < size; ++x) {
        area[y * pitch + x] = LumaAt(frame, field, static_cast<int>(x), static_cast<int>(y));
      }
    }
    const int64_t chroma = pitch * options.height;
    for (int64_t y = 0; y < options.height / 2; ++y) {
      for (int64_t b = 0; b < cols && chroma + y * pitch + b < size; ++b) {
        const int i = static_cast<int>(b / 2), row = static_cast<int>(y);
        area[chroma + y * pitch + b] =
            b % 2 ? VAt(frame, field, i, row) : UAt(frame, field, i, row);
      }
    }
  }

  void HandleRequest() {
    using namespace server;
    const int32_t command = Word(view, kRequestOffset);
    if (command == REQUEST_INIT) {
      const int32_t d = Word(view, kOperand1Offset);
      Log("INIT " + std::to_string(d) + " " + std::to_string(Word(view, kOperand2Offset)) + " " +
          std::to_string(Word(view, kOperand3Offset)));
      {
        std::lock_guard<std::mutex> lock(mutex);
        deinterlace = d;
      }
      if (!options.noInit) platform::SetEvent(done);
      return;
    }
    if (command == REQUEST_DATA) {
      const int32_t length = Word(view, kOperand1Offset);
      const unsigned char* unit = view + kUnitOffset;
      std::string text;
      for (int32_t i = 4; i < length && i < 12; ++i) {
        text += (unit[i] >= 0x20 && unit[i] < 0x7F) ? static_cast<char>(unit[i]) : '.';
      }
      char code[8];
      std::snprintf(code, sizeof code, "%02X", length >= 4 ? unit[3] : 0);
      Log("DATA " + std::to_string(length) + " " + code + " " + text);
      if (length >= 5 && unit[3] == 0xB8 && text[0] == 'G') {
        std::lock_guard<std::mutex> lock(mutex);
        if (runGop < 0) {
          runGop = std::atoi(text.c_str() + 1);
          changed.notify_all();
        }
      }
      if (++dataCount == options.hold) {
        Log("HELD");
        return;
      }
      platform::SetEvent(done);
      return;
    }
    Log(command == REQUEST_END ? "END" : "COMMAND " + std::to_string(command));
    platform::SetEvent(done);
  }

  void RequestLoop() {
    bool ignoring = false, ignoredOnce = false;
    for (;;) {
      if (ignoring) {
        // Someone else (the test) resets the ignored stop; until then serve requests only.
        if (platform::WaitForEvent(stop, 0) != platform::kWaitObject0) ignoring = false;
        if (platform::WaitForEvent(exec, 5) == platform::kWaitObject0) HandleRequest();
        continue;
      }
      int woken = platform::WaitForEither(stop, exec, platform::kInfinite);
      if (woken == platform::kWaitObject1) {
        HandleRequest();
      } else if (woken == platform::kWaitObject0) {
        Log("STOP");
        // A request handed over before the stop belongs to the dropped run.
        if (platform::WaitForEvent(exec, 0) == platform::kWaitObject0) Log("DROPPED");
        {
          std::lock_guard<std::mutex> lock(mutex);
          runGop = -1;
          delivered = 0;
        }
        if (options.ignoreStop && !ignoredOnce) {
          ignoredOnce = ignoring = true;
          Log("IGNORED");
        } else {
          platform::ResetEvent(stop);
        }
      } else {
        _exit(4);
      }
    }
  }

  void PictureLoop() {
    for (;;) {
      if (platform::WaitForEvent(requested, platform::kInfinite) != platform::kWaitObject0) {
        _exit(5);
      }
      if (options.noPictures) {
        Log("PICREQ");
        continue;
      }
      int frame, field;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return runGop >= 0; });
        const int k = delivered++;
        frame = deinterlace == 2 ? runGop + k / 2 : runGop + k;
        field = deinterlace == 2 ? k % 2 : 0;
      }
      WritePicture(frame, field);
      Log("PIC " + std::to_string(frame) + " " + std::to_string(field));
      platform::SetEvent(available);
    }
  }
};

[[noreturn]] inline void Serve(const Options& options) {
  static Server server;  // lives until _exit
  server.options = options;
  signal(SIGTERM, OnTerminate);
  // The events come first, so that a client that finds the section also finds the server's
  // events.
  server.exec = platform::CreateOwnedEvent(server::kExecEventName, false);
  server.done = platform::CreateOwnedEvent(server::kDoneEventName, false);
  server.stop = platform::CreateOwnedEvent(server::kStopEventName, true);
  server.requested = platform::CreateOwnedEvent(server::kRequestedEventName, false);
  server.available = platform::CreateOwnedEvent(server::kAvailableEventName, false);
  std::string error;
  platform::Handle section =
      platform::CreateOwnedSection(server::kSectionName, server::kSectionSize, &error);
  if (!section || !server.exec || !server.done || !server.stop || !server.requested ||
      !server.available) {
    Log("FAILED " + error);
    platform::RemoveOwnedObjects();
    _exit(2);
  }
  server.view = static_cast<unsigned char*>(platform::MapSection(section, server::kSectionSize));
  if (!server.view) {
    Log("FAILED map");
    platform::RemoveOwnedObjects();
    _exit(2);
  }
  std::thread pictures([] { server.PictureLoop(); });
  pictures.detach();
  Log("READY");
  server.RequestLoop();
  _exit(0);
}

}  // namespace detail

// Runs the server when this process was started as one; returns false otherwise. Called from a
// static initialiser, before the test framework starts.
inline bool RunServerIfAsked() {
  const char* mode = std::getenv(kModeVariable);
  const char* log = std::getenv(kLogVariable);
  if (!mode || !log) return false;
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
  detail::LogFd() = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (detail::LogFd() < 0) _exit(2);
  detail::Serve(ParseOptions(mode));
}

// ---------------------------------------------------------------------------------------------
// The test's side.

// Gives this process an IPC namespace of its own, different on every call.
inline std::string UseFreshNamespace() {
  static std::atomic<int> counter{0};
  std::string name = "t" + std::to_string(getpid()) + "n" + std::to_string(counter++);
  setenv("MPGSOURCE_IPC_NAMESPACE", name.c_str(), 1);
  return name;
}

// Removes what a killed server left behind in the IPC namespace `name`.
inline void RemoveNamespaceObjects(const std::string& name) {
  if (name.empty()) return;
  std::system(
      ("rm -f /dev/shm/mpgsource.u" + std::to_string(geteuid()) + "." + name + ".*").c_str());
}

// A temporary folder, removed with its files.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/mpglink.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path_ = buffer.data();
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ServerProcess {
 public:
  ServerProcess() = default;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess() { Stop(SIGTERM); }

  // Starts the server with `options` in the current IPC namespace, logging to `logPath`, and
  // waits until it serves. Returns false when it did not come up.
  bool Start(const std::string& options, const std::string& logPath) {
    logPath_ = logPath;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind(std::string(kModeVariable) + "=", 0) == 0) continue;
      if (entry.rfind(std::string(kLogVariable) + "=", 0) == 0) continue;
      env.push_back(entry);
    }
    env.push_back(std::string(kModeVariable) + "=" + (options.empty() ? "default" : options));
    env.push_back(std::string(kLogVariable) + "=" + logPath);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, nullptr};
    if (posix_spawn(&pid_, exe, nullptr, nullptr, argv, envp.data()) != 0) {
      pid_ = -1;
      return false;
    }
    for (int i = 0; i < 2000; ++i) {  // up to 10 s on a loaded machine
      for (const std::string& line : Log()) {
        if (line == "READY") return true;
        if (line.rfind("FAILED", 0) == 0) return false;
      }
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      usleep(5000);
    }
    return false;
  }

  // Ends the server with `signal` and reaps it.
  void Stop(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // Every line logged so far.
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    std::ifstream in(logPath_);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  // Lines logged from line `mark` on (for a mark taken earlier with Log().size()).
  std::vector<std::string> LogSince(size_t mark) const {
    std::vector<std::string> lines = Log();
    if (mark >= lines.size()) return {};
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(mark), lines.end());
  }

  // Waits until the log holds a line equal to `line` (at or after `mark`); false after 10 s.
  bool WaitForLine(const std::string& line, size_t mark = 0) const {
    for (int i = 0; i < 2000; ++i) {
      for (const std::string& l : LogSince(mark)) {
        if (l == line) return true;
      }
      usleep(5000);
    }
    return false;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string logPath_;
};

// Counts the lines among `lines` that begin with `prefix`.
inline int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0;
  return n;
}

// ---------------------------------------------------------------------------------------------
// Media: a crafted elementary stream and its project file.

struct MediaSpec {
  std::vector<std::string> gops = {"IBBPBBPBBPBB", "IBBPBBPBBPBB", "IBBPBBPBBPBB", "IBBPBBPBBPBB",
                                   "IBBPBBPBBPBB"};
  int width = 64;
  int height = 48;
  int lumGamma = 0;
  int lumOffset = 0;
  int fieldOrder = 0;
};

struct Media {
  std::string project;
  std::string video;
  std::vector<uint64_t> gopPositions;
  std::vector<int> gopFirst;
  int pictureCount = 0;
  // Every unit of the stream, as "<length> <code> <text>" the way the server logs it.
  std::vector<std::string> units;
};

inline Media WriteMedia(const std::string& dir, const MediaSpec& wanted) {
  Media media;
  media.project = dir + "/clip.vnt";
  media.video = dir + "/clip.m2v";
  std::string es;
  auto unit = [&](unsigned char code, const std::string& text) {
    es += std::string("\0\0\1", 3);
    es += static_cast<char>(code);
    es += text;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02X", code);
    std::string shown = text.substr(0, 8);
    for (char& c : shown) c = (c >= 0x20 && c < 0x7F) ? c : '.';  // as the server logs it
    media.units.push_back(std::to_string(4 + text.size()) + " " + hex + " " + shown);
  };
  int picture = 0;
  for (const std::string& gop : wanted.gops) {
    media.gopPositions.push_back(es.size());
    media.gopFirst.push_back(picture);
    char text[32];
    // The sequence header's picture size (12 bits each) is the project's, as in real media.
    const char size[3] = {static_cast<char>(wanted.width >> 4),
                          static_cast<char>((wanted.width & 15) << 4 | wanted.height >> 8),
                          static_cast<char>(wanted.height & 255)};
    unit(0xB3, std::string(size, 3) + "SEQHDR");
    std::snprintf(text, sizeof text, "G%06d", picture);
    unit(0xB8, text);
    for (char type : gop) {
      std::snprintf(text, sizeof text, "P%06d%c-payload-bytes", picture++, type);
      unit(0x00, text);
    }
  }
  unit(0xB7, "");
  media.pictureCount = picture;
  std::ofstream(media.video, std::ios::binary) << es;

  std::ofstream project(media.project);
  project << "VantuIndexFileNV1\n"
          << "crafted test stream\n"
          << media.video << "\n"
          << "\n"
          << "\n"
          << "STREAM 0\n"
          << "SIZ " << wanted.width << " x " << wanted.height << "\n"
          << "FPS 25 / 1\n"
          << "FO " << wanted.fieldOrder << "\n"
          << "CLIP 0 0 0 0\n"
          << "LUMFILT " << wanted.lumGamma << " " << wanted.lumOffset << "\n";
  for (size_t g = 0; g < wanted.gops.size(); ++g) {
    project << "SEQ " << media.gopPositions[g] << "\n";
    for (char type : wanted.gops[g]) project << "FRM " << type << "\n";
  }
  return media;
}

}  // namespace scripted
