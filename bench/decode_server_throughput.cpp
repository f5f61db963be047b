// Pictures per second through the decoding server link for whole sequential runs, next to
// `ffmpeg -threads 1 -i FILE -f null -` on the same file, in the same run.
//
//   decode_server_throughput FILE.m2v [--deinterlace N] [--repeat R]
//
// The server runs as its own process (the mpgsource-server built with this program, in a private
// IPC name space); this process drives it through the plugin's link code: a feeding thread sends
// every unit from the start of the file and REQUEST_END, and the main thread takes every picture
// and copies it out of the section into planar buffers, as the plugin does for each frame. The
// server's decoding core is also timed alone, in process, to show what the link itself costs.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "decode-server/run_decoder.h"
#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/link.h"
#include "server-link/section_layout.h"

extern "C" {
#include <libavutil/frame.h>
}

extern char** environ;

namespace {

struct Unit {
  size_t offset, size;
};

std::vector<uint8_t> ReadAll(const char* path) {
  std::vector<uint8_t> bytes;
  FILE* file = std::fopen(path, "rb");
  if (!file) return bytes;
  uint8_t buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  std::fclose(file);
  return bytes;
}

std::vector<Unit> Split(const std::vector<uint8_t>& bytes, int* frames) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      starts.push_back(i);
      if (bytes[i + 3] == 0) ++*frames;
      i += 2;
    }
  }
  std::vector<Unit> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    units.push_back(
        {starts[k], (k + 1 < starts.size() ? starts[k + 1] : bytes.size()) - starts[k]});
  }
  return units;
}

// ffmpeg's own single-threaded decode time of the whole file ("rtime" of -benchmark), seconds.
double FfmpegSeconds(const char* path) {
  const std::string command =
      std::string("ffmpeg -nostdin -hide_banner -benchmark -threads 1 -i '") + path +
      "' -f null - 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char line[1024];
  double seconds = -1;
  while (std::fgets(line, sizeof line, pipe)) {
    const char* found = std::strstr(line, "rtime=");
    if (found) seconds = std::atof(found + 6);
  }
  pclose(pipe);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.m2v [--deinterlace N] [--repeat R]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  int deinterlace = 0, repeat = 3;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--deinterlace")) deinterlace = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--repeat")) repeat = std::max(1, std::atoi(argv[i + 1]));
  }
  const std::vector<uint8_t> bytes = ReadAll(path);
  int frames = 0;
  const std::vector<Unit> units = Split(bytes, &frames);
  if (units.empty()) {
    std::fprintf(stderr, "no MPEG-2 units in %s\n", path);
    return 1;
  }

  // The server's decoding core alone, in this process: the cost of the run without the link.
  double core = 1e30;
  for (int round = 0; round < repeat; ++round) {
    const auto start = std::chrono::steady_clock::now();
    decode_server::RunDecoder decoder(deinterlace, true);
    auto sink = [](decode_server::RunPicture picture) { av_frame_free(&picture.frame); };
    for (const Unit& unit : units) decoder.PushUnit(bytes.data() + unit.offset, unit.size, sink);
    decoder.Finish(sink);
    core = std::min(
        core, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }

  const std::string space = "bench_" + std::to_string(getpid());
  setenv("MPGSOURCE_IPC_NAMESPACE", space.c_str(), 1);
  pid_t serverPid = -1;
  char* serverArgv[] = {const_cast<char*>(MPGSOURCE_SERVER_PATH), nullptr};
  if (posix_spawn(&serverPid, MPGSOURCE_SERVER_PATH, nullptr, nullptr, serverArgv, environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", MPGSOURCE_SERVER_PATH);
    return 1;
  }
  server::Link link;
  server::ConnectResult connected = server::kServerNotRunning;
  for (int tries = 0; tries < 500 && connected != server::kConnected; ++tries) {
    platform::Sleep(10);
    connected = link.Connect();
  }
  if (connected != server::kConnected) {
    std::fprintf(stderr, "cannot connect to the server\n");
    kill(serverPid, SIGTERM);
    return 1;
  }
  unsigned char* request = link.View() + server::kRequestOffset;
  platform::Handle abort = platform::CreateEvent(nullptr, false);
  link.StartHandshake(request, deinterlace, true, nullptr);

  const int pictures = deinterlace == 2 ? 2 * frames : frames;
  std::vector<uint8_t> luma(2048 * 1088), u(1024 * 544), v(1024 * 544);
  double best = 1e30;
  for (int round = 0; round < repeat; ++round) {
    link.StopDecoding();
    const auto start = std::chrono::steady_clock::now();
    std::thread feeder([&] {
      for (const Unit& unit : units) {
        if (link.SendUnit(request, bytes.data() + unit.offset, static_cast<int32_t>(unit.size),
                          abort) != server::kAnswered) {
          return;
        }
      }
      link.SendEnd(request, abort);
    });
    for (int k = 0; k < pictures; ++k) {
      if (link.TakePicture() != server::kAnswered) break;
      int32_t height, width, pitch;
      std::memcpy(&height, link.View() + server::kPicHeightOffset, 4);
      std::memcpy(&width, link.View() + server::kPicWidthOffset, 4);
      std::memcpy(&pitch, link.View() + server::kPicPitchOffset, 4);
      const uint8_t* area = link.View() + server::kPictureAreaOffset;
      for (int y = 0; y < height; ++y) std::memcpy(&luma[y * 2048], area + y * pitch, width);
      const uint8_t* chroma = area + pitch * height;
      for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
          u[y * 1024 + x] = chroma[y * pitch + 2 * x];
          v[y * 1024 + x] = chroma[y * pitch + 2 * x + 1];
        }
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    feeder.join();
    best = std::min(best, seconds);
  }
  link.StopDecoding();
  link.Disconnect();
  platform::CloseHandle(abort);
  kill(serverPid, SIGTERM);
  waitpid(serverPid, nullptr, 0);

  double ffmpeg = 1e30;
  for (int round = 0; round < repeat; ++round) {
    const double seconds = FfmpegSeconds(path);
    if (seconds > 0) ffmpeg = std::min(ffmpeg, seconds);
  }
  const double linkFps = pictures / best;
  const double ffmpegFps = frames / ffmpeg;
  std::printf("%s: %d frames, deinterlace %d, %d pictures (best of %d)\n", path, frames,
              deinterlace, pictures, repeat);
  std::printf("  server link : %8.1f pictures/s (%.3f s)\n", linkFps, best);
  std::printf("  decoding core alone : %8.1f pictures/s (%.3f s)\n", pictures / core, core);
  std::printf("  ffmpeg -threads 1 -f null : %8.1f frames/s (%.3f s)\n", ffmpegFps, ffmpeg);
  std::printf("  ratio link/ffmpeg (frames/s) : %.2f\n", (frames / best) / ffmpegFps);
  return 0;
}
