// Matroska parser speed: the time mkv_OpenFile takes (header, SeekHead, tracks, cues) and frames
// per second of mkv_NextFrame over the whole file, for every track and for the first MPEG-2 video
// track alone (the others deselected, as the decoder does), over a pread-backed input with the page
// cache warm. Frames are reported as positions and sizes; their bytes are not read.
//
//   matroska_frames FILE.mkv [--repeat R]
//
// Prints one line of key=value pairs for scripts:
//   open_ms=O frames=N all_fps=A video_frames=V video_fps=F
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "matroska/matroska.h"

namespace {

using Clock = std::chrono::steady_clock;

struct FileInput {
  MkvInput ops;
  int fd;
  int lastError;
};

FileInput* Self(MkvInput* input) {
  return reinterpret_cast<FileInput*>(input);
}

int ReadAt(MkvInput* input, uint64_t position, void* buffer, int count) {
  if (count <= 0) return 0;
  const ssize_t got = pread(Self(input)->fd, buffer, size_t(count), off_t(position));
  if (got < 0) Self(input)->lastError = errno;
  return int(got);
}

int64_t Scan(MkvInput* input, uint64_t start, uint32_t signature) {
  std::vector<unsigned char> chunk(1 << 16);
  uint32_t window = 0;
  uint64_t consumed = 0;
  for (uint64_t at = start;;) {
    const ssize_t got = pread(Self(input)->fd, chunk.data(), chunk.size(), off_t(at));
    if (got <= 0) return -1;
    for (ssize_t i = 0; i < got; ++i) {
      window = (window << 8) | chunk[size_t(i)];
      if (++consumed >= 4 && window == signature) return int64_t(start + consumed - 4);
    }
    at += uint64_t(got);
  }
}

uint32_t CacheSize(MkvInput*) {
  return 65536;
}
const char* ErrorText(MkvInput* input) {
  return std::strerror(Self(input)->lastError);
}
void* Alloc(MkvInput*, size_t size) {
  return std::malloc(size);
}
void* Realloc(MkvInput*, void* block, size_t size) {
  return std::realloc(block, size);
}
void Free(MkvInput*, void* block) {
  std::free(block);
}
int Progress(MkvInput*, uint64_t, uint64_t) {
  return 1;
}
int64_t FileSize(MkvInput* input) {
  const off_t end = lseek(Self(input)->fd, 0, SEEK_END);
  return end < 0 ? -1 : int64_t(end);
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads every frame from the start; returns the number of frames read.
long ReadAll(MatroskaFile* mf) {
  long frames = 0;
  uint32_t track, size, flags;
  uint64_t start, end, pos;
  while (mkv_NextFrame(mf, 0, &track, &start, &end, &pos, &size, &flags) == 0) ++frames;
  return frames;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: matroska_frames FILE.mkv [--repeat R]\n");
    return 2;
  }
  const int repeat =
      argc > 3 && !std::strcmp(argv[2], "--repeat") ? std::max(1, std::atoi(argv[3])) : 5;
  FileInput input{};
  input.ops = {ReadAt, Scan, CacheSize, ErrorText, Alloc, Realloc, Free, Progress, FileSize};
  input.fd = open(argv[1], O_RDONLY);
  if (input.fd < 0) {
    std::fprintf(stderr, "matroska_frames: cannot open %s\n", argv[1]);
    return 1;
  }
  char message[256] = "";
  double openBest = 1e30, allBest = 1e30, videoBest = 1e30;
  long allFrames = 0, videoFrames = 0;
  for (int run = 0; run < repeat; ++run) {
    auto start = Clock::now();
    MatroskaFile* mf = mkv_OpenFile(&input.ops, 0, 0, message, sizeof message);
    openBest = std::min(openBest, Since(start));
    if (mf == nullptr) {
      std::fprintf(stderr, "matroska_frames: %s: %s\n", argv[1], message);
      return 1;
    }
    start = Clock::now();
    allFrames = ReadAll(mf);
    allBest = std::min(allBest, Since(start));
    mkv_CloseFile(mf);

    mf = mkv_OpenFile(&input.ops, 0, 0, message, sizeof message);
    if (mf == nullptr) return 1;
    int32_t video = -1;
    for (uint32_t i = 0; i < mkv_TrackCount(mf) && video < 0; ++i) {
      const MkvTrack* track = mkv_TrackEntry(mf, i);
      if (track && track->codecID && !std::strcmp(track->codecID, "V_MPEG2")) video = int32_t(i);
    }
    if (video < 0) {
      std::fprintf(stderr, "matroska_frames: no V_MPEG2 track in %s\n", argv[1]);
      return 1;
    }
    start = Clock::now();
    mkv_SelectTracks(mf, ~(uint32_t{1} << (uint32_t(video) % 32)));
    videoFrames = ReadAll(mf);
    videoBest = std::min(videoBest, Since(start));
    mkv_CloseFile(mf);
  }
  close(input.fd);
  std::printf("open_ms=%.3f frames=%ld all_fps=%.0f video_frames=%ld video_fps=%.0f\n",
              1e3 * openBest, allFrames, double(allFrames) / allBest, videoFrames,
              double(videoFrames) / videoBest);
  return 0;
}
