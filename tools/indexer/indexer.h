// The indexer: reads an MPEG-2 video file (elementary stream, transport stream with 188- or
// 192-byte packets, or the first V_MPEG2 track of a Matroska file) and writes the project file
// that the MPGSource plugin loads. GOP positions are byte offsets, or for Matroska the start time
// of the frame that carries the GOP's sequence header.
//
//   indexer::IndexOptions options;
//   options.videoPath = "movie.ts";
//   options.projectPath = "movie.vnt";
//   std::string error;
//   if (indexer::WriteProject(options, &error) != indexer::kIndexOk) ... error says why ...
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/command_line/command_line.h"
#include "tools/indexer/video_index.h"

namespace indexer {

#ifdef _WIN32
constexpr const char* kToolName = "mpgsource-index.exe";
#else
constexpr const char* kToolName = "mpgsource-index";
#endif
constexpr const char* kToolVersion = command_line::kVersion;

// Results of IndexVideo and WriteProject.
enum IndexResult : int {
  kIndexOk = 0,
  kIndexCannotRead = 1,   // the video file cannot be opened or read
  kIndexNotMpeg2 = 2,     // not an MPEG-2 video ES/TS, or no MPEG-2 video in it (or on the PID)
  kIndexUnsupported = 3,  // a recognised but unsupported input (other packet size, ...)
  kIndexCannotWrite = 4,  // the project file cannot be written
  kIndexBadOptions = 5,
};

struct IndexOptions {
  std::string videoPath;    // the MPEG-2 video file
  std::string projectPath;  // the project file to write (replaced when it exists)
  bool force = false;       // a read-only project or timestamps file is replaced too
  // Transport stream video PID, or program stream video stream id (0xE0-0xEF); -1: the first
  // MPEG-2 video stream.
  int pid = -1;
  // Further files of a program stream, read after videoPath as one stream; none: a DVD title's
  // VTS_nn_1.VOB brings the VOB files numbered after it.
  std::vector<std::string> nextVideoPaths;
  int track = -1;  // Matroska track (index in the track table); -1: the first MPEG-2 video track
  // Crop amounts written on the CLIP line, and the luminance correction of the LUMFILT line.
  int clipLeft = 0, clipRight = 0, clipTop = 0, clipBottom = 0;
  int lumGamma = 0, lumOffset = 0;
  // When not empty: each frame's start time, in mkvmerge's timestamp format v2, goes here.
  std::string timestampsPath;
  // Progress on stderr, shown only for long inputs and only when stderr is a terminal.
  bool progress = true;
  // Receives each warning (one line, no newline); null: "mpgsource-index: warning: ..." on stderr.
  std::function<void(const std::string&)> warn;
};

enum class Carriage { kElementary, kTransport, kMatroska, kProgram };

// How the video is carried in the file.
struct StreamLayout {
  Carriage carriage = Carriage::kElementary;
  int packetSize = 0;     // 188 or 192 for a transport stream
  int pid = 0;            // the video PID of a transport stream, the stream id of a program stream
  int track = -1;         // the index of the V_MPEG2 track of a Matroska file
  uint64_t fileSize = 0;  // of the first file
  // A program stream: its files, the first one included, and their lengths.
  std::vector<std::string> files;
  std::vector<uint64_t> fileSizes;
};

// Sends one warning to options.warn, or to stderr when it is empty.
void Warn(const IndexOptions& options, const std::string& text);

// Reads the video file named in `options` into `index`. Returns kIndexOk, or a failure with a
// message naming the file in `error`. Warnings go to options.warn.
int IndexVideo(const IndexOptions& options, VideoIndex* index, StreamLayout* layout,
               std::string* error);

// Indexes the video and writes the project file (and the timestamps file when named) by the
// output rule of platform/output_file.h: never onto the video, a link, a folder, a FIFO or a
// device, a read-only file only with `force`; both are written under temporary names and renamed
// into place only when both are complete, so a failure leaves neither a partial nor a new file.
int WriteProject(const IndexOptions& options, std::string* error);

}  // namespace indexer
