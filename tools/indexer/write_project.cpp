// WriteProject: index the video, then write the project file under a temporary name in its folder
// and rename it into place.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

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

// Writes `text` to a new file next to `path` and renames it to `path`.
int ReplaceFile(const std::string& path, const std::string& text, std::string* error,
                const std::string& what = "the project") {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    *error = "cannot write " + what + " \"" + path + "\": it is a folder";
    return kIndexCannotWrite;
  }
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
  VideoIndex index;
  StreamLayout layout;
  int result = IndexVideo(options, &index, &layout, error);
  if (result != kIndexOk) return result;
  std::string videoLine;
  if (!ProjectVideoPath(options.videoPath, options.projectPath, &videoLine, error)) {
    return kIndexCannotWrite;
  }
  result =
      ReplaceFile(options.projectPath, FormatProject(index, layout, options, videoLine), error);
  if (result == kIndexOk && !options.timestampsPath.empty()) {
    result =
        ReplaceFile(options.timestampsPath, FormatTimestampsV2(index), error, "the timestamps");
  }
  return result;
}

}  // namespace indexer
