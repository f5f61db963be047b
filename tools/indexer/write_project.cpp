// WriteProject: index the video, then write the project file under a temporary name in its folder
// and rename it into place.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "decoder/video_fingerprint.h"
#include "tools/indexer/byte_source.h"
#include "tools/indexer/frame_timing.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/project_format.h"
#include "tools/indexer/video_path.h"

#ifdef _WIN32
#include <process.h>
#define MPG_GETPID _getpid
#else
#include <unistd.h>
#define MPG_GETPID getpid
#endif

namespace fs = std::filesystem;

namespace indexer {
namespace {

// Only a new path or an existing regular file other than the video is written: an output file
// replaces whatever directory entry it is renamed onto, so a link, a FIFO or a device there would
// be lost, and the video itself would be overwritten with its index. `what` names the output.
int CheckOutputPath(const std::string& path, const char* what, const std::string& videoPath,
                    std::string* error) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec || status.type() == fs::file_type::not_found) return kIndexOk;
  const char* why = nullptr;
  switch (status.type()) {
    case fs::file_type::regular:
      if (fs::equivalent(path, videoPath, ec) && !ec) why = "it is the video being indexed";
      break;
    case fs::file_type::directory:
      why = "it is a folder";
      break;
    case fs::file_type::symlink:
      why = "it is a symbolic link";
      break;
    case fs::file_type::fifo:
      why = "it is a FIFO";
      break;
    case fs::file_type::character:
    case fs::file_type::block:
      why = "it is a device";
      break;
    default:
      why = "it is not a regular file";
      break;
  }
  if (why == nullptr) return kIndexOk;
  *error = std::string("will not write ") + what + " \"" + path + "\": " + why;
  return kIndexCannotWrite;
}

// The length and fingerprint of the `size` bytes of the video that were indexed.
bool IdentifyVideo(const std::string& videoPath, uint64_t size, VideoIdentity* video,
                   std::string* error) {
  FileSource source;
  if (!source.Open(videoPath, error)) return false;
  video->size = size;
  const bool read = fingerprint::Compute(
      size,
      [&source](uint64_t offset, unsigned char* buffer, size_t length) {
        return source.ReadAt(offset, buffer, length) == static_cast<int64_t>(length);
      },
      &video->fingerprint);
  if (!read) *error = "read error in \"" + videoPath + "\" (did it shrink while being indexed?)";
  return read;
}

// Writes `text` to a new file next to `path` and renames it to `path`.
int ReplaceFile(const std::string& path, const std::string& text, std::string* error,
                const std::string& what = "the project") {
  std::error_code ec;
  std::string temporary;
  FILE* file = nullptr;
  for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
    temporary = path + ".tmp" + std::to_string(MPG_GETPID()) + "-" + std::to_string(attempt);
    errno = 0;
    file = fopen(temporary.c_str(), "wbx");
    if (file == nullptr && errno != EEXIST) break;
  }
  if (file == nullptr) {
    *error = "cannot write " + what + " \"" + path + "\": " + strerror(errno);
    return kIndexCannotWrite;
  }
  bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = fflush(file) == 0 && ok;
  int savedErrno = errno;
  ok = fclose(file) == 0 && ok;
  if (ok) {
    fs::rename(temporary, path, ec);
    if (!ec) return kIndexOk;
    *error = "cannot write " + what + " \"" + path + "\": " + ec.message();
  } else {
    *error =
        "cannot write " + what + " \"" + path + "\": " + strerror(savedErrno ? savedErrno : EIO);
  }
  fs::remove(temporary, ec);
  return kIndexCannotWrite;
}

}  // namespace

int WriteProject(const IndexOptions& options, std::string* error) {
  if (options.projectPath.empty()) {
    *error = "no project file named";
    return kIndexBadOptions;
  }
  auto checkOutputs = [&]() {
    int checked = CheckOutputPath(options.projectPath, "the project", options.videoPath, error);
    if (checked == kIndexOk && !options.timestampsPath.empty()) {
      checked = CheckOutputPath(options.timestampsPath, "the timestamps", options.videoPath, error);
    }
    return checked;
  };
  int result = checkOutputs();
  if (result != kIndexOk) return result;
  VideoIndex index;
  StreamLayout layout;
  result = IndexVideo(options, &index, &layout, error);
  if (result != kIndexOk) return result;
  std::string videoLine;
  if (!ProjectVideoPath(options.videoPath, options.projectPath, &videoLine, error)) {
    return kIndexCannotWrite;
  }
  VideoIdentity video;
  if (!IdentifyVideo(options.videoPath, layout.fileSize, &video, error)) return kIndexCannotRead;
  // Checked again right before the rename: the paths may have changed while the video was read.
  result = checkOutputs();
  if (result != kIndexOk) return result;
  result = ReplaceFile(options.projectPath, FormatProject(index, layout, options, videoLine, video),
                       error);
  if (result == kIndexOk && !options.timestampsPath.empty()) {
    result =
        ReplaceFile(options.timestampsPath, FormatTimestampsV2(index), error, "the timestamps");
  }
  return result;
}

}  // namespace indexer
