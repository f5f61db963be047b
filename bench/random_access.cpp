// Frame serving through the real plugin in this process, timed around each GetFrame: the way a
// frame-serving host pulls frames, without the command-line host's output around it.
//
//   random_access PROJECT.vnt --reference REF.framemd5 (--list FRAMES.txt | --sequential)
//                 [--repeat R] [--server-pid PID] [--times FILE]
//
// --list serves the frames of the file (whitespace-separated numbers) in that order, once, timing
// each request, and then checks each served frame against the reference MD5s (the output of
// `ffmpeg -i X -map 0:v:0 -f framemd5 -pix_fmt yuv420p -`). Hashing happens after the request's
// clock has stopped.
// --sequential serves every frame in order R times (best pass reported) without hashing, then
// once more with hashing to count wrong frames.
//
// A decoding server must be running (in the caller's MPGSOURCE_IPC_NAMESPACE); with --server-pid
// its CPU time over the timed part is added to this process's own.
//
// --times writes one line per request of the (last) timed pass, in order: the frame, its latency
// in milliseconds, and 1 when the frame served was right (else 0).
//
// Prints one line of key=value pairs for scripts:
//   frames=N wall_s=S fps=F mean_ms=M p95_ms=P max_ms=X wrong=W cpu_s=C
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/cli/clip_session.h"
#include "tools/cli/frame_hash.h"

namespace {

using Clock = std::chrono::steady_clock;

// The MD5 column of each frame line of a framemd5 file, in order.
std::vector<std::string> ReadReference(const std::string& path) {
  std::vector<std::string> md5s;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.rfind(',');
    if (comma == std::string::npos) continue;
    std::string md5 = line.substr(comma + 1);
    md5.erase(0, md5.find_first_not_of(" \t"));
    md5.erase(md5.find_last_not_of(" \t\r") + 1);
    md5s.push_back(md5);
  }
  return md5s;
}

std::vector<int> ReadList(const std::string& path) {
  std::vector<int> frames;
  std::ifstream in(path);
  int n;
  while (in >> n) frames.push_back(n);
  return frames;
}

double OwnCpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User plus system time of another process, from /proc; 0 when it cannot be read.
double ProcessCpuSeconds(int pid) {
  if (pid <= 0) return 0;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  // Fields after the name start at 3 (state); utime and stime are fields 14 and 15.
  double ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) ticks += std::atof(field.c_str());
  }
  return ticks / double(sysconf(_SC_CLK_TCK));
}

double CpuSeconds(int serverPid) {
  return OwnCpuSeconds() + ProcessCpuSeconds(serverPid);
}

std::string FrameMd5(const PVideoFrame& f, const VideoInfo& vi) {
  return cli::PlanesMd5(f->GetReadPtr(PLANAR_Y), f->GetPitch(PLANAR_Y), f->GetReadPtr(PLANAR_U),
                        f->GetReadPtr(PLANAR_V), f->GetPitch(PLANAR_U), vi.width, vi.height);
}

int CountWrong(const std::vector<int>& frames, const std::vector<std::string>& served,
               const std::vector<std::string>& reference) {
  int wrong = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const size_t n = size_t(frames[i]);
    if (n >= reference.size() || served[i] != reference[n]) {
      if (++wrong <= 20)
        std::fprintf(stderr, "random_access: frame %zu (request %zu) is wrong\n", n, i);
    }
  }
  return wrong;
}

double Percentile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[size_t(q * double(values.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
  std::string project, reference, list, timesPath;
  bool sequential = false;
  int repeat = 2, serverPid = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--reference" && hasValue) {
      reference = argv[++i];
    } else if (arg == "--list" && hasValue) {
      list = argv[++i];
    } else if (arg == "--sequential") {
      sequential = true;
    } else if (arg == "--repeat" && hasValue) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--server-pid" && hasValue) {
      serverPid = std::atoi(argv[++i]);
    } else if (arg == "--times" && hasValue) {
      timesPath = argv[++i];
    } else if (project.empty() && arg[0] != '-') {
      project = arg;
    } else {
      std::fprintf(stderr, "random_access: unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (project.empty() || reference.empty() || (list.empty() == !sequential)) {
    std::fprintf(stderr,
                 "usage: random_access PROJECT.vnt --reference REF.framemd5 "
                 "(--list FRAMES | --sequential) [--repeat R] [--server-pid PID] "
                 "[--times FILE]\n");
    return 2;
  }
#ifdef MPGSOURCE_PLUGIN_PATH
  setenv("MPGSOURCE_PLUGIN", MPGSOURCE_PLUGIN_PATH, 0);
#endif
  const std::vector<std::string> md5s = ReadReference(reference);
  if (md5s.empty()) {
    std::fprintf(stderr, "random_access: no frames in %s\n", reference.c_str());
    return 1;
  }

  cli::ClipSession session;
  std::string error;
  if (!session.Open(project, cli::ClipOptions(), &error)) {
    std::fprintf(stderr, "random_access: %s\n", error.c_str());
    return 1;
  }
  const VideoInfo& vi = session.Info();
  std::vector<int> frames;
  if (sequential) {
    for (int n = 0; n < vi.num_frames; ++n) frames.push_back(n);
  } else {
    frames = ReadList(list);
  }
  frames.erase(std::remove_if(frames.begin(), frames.end(),
                              [&](int n) { return n < 0 || n >= vi.num_frames; }),
               frames.end());
  if (frames.empty()) {
    std::fprintf(stderr, "random_access: no frames to serve\n");
    return 1;
  }
  if (vi.num_frames != int(md5s.size())) {
    std::fprintf(stderr, "random_access: the clip has %d frames, the reference %zu\n",
                 vi.num_frames, md5s.size());
  }

  std::vector<double> latencies(frames.size());
  std::vector<std::string> served(frames.size());
  double bestWall = 1e30, bestCpu = 0;
  try {
    // The first frame of a clip waits for the server's start handshake: serve it before timing.
    session.Frame(frames.front());
    const int timedPasses = sequential ? repeat : 1;
    for (int pass = 0; pass < timedPasses; ++pass) {
      const double cpu0 = CpuSeconds(serverPid);
      const auto start = Clock::now();
      for (size_t i = 0; i < frames.size(); ++i) {
        const auto before = Clock::now();
        PVideoFrame frame = session.Frame(frames[i]);
        latencies[i] = std::chrono::duration<double>(Clock::now() - before).count();
        if (!sequential) served[i] = FrameMd5(frame, vi);
      }
      const double wall = std::chrono::duration<double>(Clock::now() - start).count();
      const double cpu = CpuSeconds(serverPid) - cpu0;
      if (wall < bestWall) {
        bestWall = wall;
        bestCpu = cpu;
      }
    }
    if (sequential) {
      for (size_t i = 0; i < frames.size(); ++i) served[i] = FrameMd5(session.Frame(frames[i]), vi);
    }
  } catch (const AvisynthError& e) {
    std::fprintf(stderr, "random_access: %s\n", e.what());
    return 1;
  }

  double sum = 0;
  for (double l : latencies) sum += l;
  const int wrong = CountWrong(frames, served, md5s);
  if (!timesPath.empty()) {
    FILE* times = std::fopen(timesPath.c_str(), "w");
    if (!times) {
      std::fprintf(stderr, "random_access: cannot write %s\n", timesPath.c_str());
      return 1;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
      const size_t n = size_t(frames[i]);
      std::fprintf(times, "%d %.4f %d\n", frames[i], 1e3 * latencies[i],
                   n < md5s.size() && served[i] == md5s[n] ? 1 : 0);
    }
    std::fclose(times);
  }
  // In the hashed list mode the wall time includes hashing; throughput there is requests over
  // the summed request times.
  const double serving = sequential ? bestWall : sum;
  std::printf(
      "frames=%zu wall_s=%.4f fps=%.1f mean_ms=%.3f p95_ms=%.3f max_ms=%.3f wrong=%d cpu_s=%.3f\n",
      frames.size(), serving, double(frames.size()) / serving, 1e3 * sum / double(latencies.size()),
      1e3 * Percentile(latencies, 0.95), 1e3 * Percentile(latencies, 1.0), wrong, bestCpu);
  return 0;
}
