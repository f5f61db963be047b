// Matroska parser speed: the time mkv_OpenFile takes (header, SeekHead, tracks, cues) and frames
// per second of mkv_NextFrame over the whole file, for every track and for the first MPEG-2 video
// track alone (the others deselected, as the decoder does), over the decoder's file input with the
// page cache warm. Frames are reported as positions and sizes; their bytes are not read.
//
//   matroska_frames FILE.mkv [--repeat R]
//
// Prints one line of key=value pairs for scripts:
//   open_ms=O frames=N all_fps=A video_frames=V video_fps=F
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "matroska/matroska.h"
#include "reader/mkv_file_input.h"

namespace {

using Clock = std::chrono::steady_clock;

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
  FILE* file = std::fopen(argv[1], "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "matroska_frames: cannot open %s\n", argv[1]);
    return 1;
  }
  std::setvbuf(file, nullptr, _IOFBF, kMkvFileInputReadSize);
  MkvFileInput input;
  InitMkvFileInput(&input, file);
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
  std::fclose(file);
  std::printf("open_ms=%.3f frames=%ld all_fps=%.0f video_frames=%ld video_fps=%.0f\n",
              1e3 * openBest, allFrames, double(allFrames) / allBest, videoFrames,
              double(videoFrames) / videoBest);
  return 0;
}
