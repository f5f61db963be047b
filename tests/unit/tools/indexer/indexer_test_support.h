// Shared helpers of the indexer tests: the test media made by the build, temporary folders,
// ffprobe's view of a file, and the plugin's transport stream reader positioned at a GOP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/indexer/indexer.h"
#include "tools/indexer/video_index.h"

namespace indexer_test {

// Path of a clip made by scripts/make-media.sh into $MPG_BUILD_DIR/media.
std::string Media(const std::string& name);

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

// A fresh folder, removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command; its standard output, and its exit status in *status.
std::string Shell(const std::string& command, int* status = nullptr);

// ffmpeg with its chatter silenced and overwriting allowed.
bool Ffmpeg(const std::string& arguments);

// The picture types that ffprobe reports for the first video stream, in display order.
std::string FfprobeTypes(const std::string& path);

// All picture letters of an index in coded order.
std::string CodedTypes(const indexer::VideoIndex& index);

// The display order of pictures given in coded order: each reference picture is shown after the
// B pictures that follow it in coded order.
std::string DisplayOrder(const std::string& coded);

// Indexes `path` with default options (warnings collected in *warnings when given).
int Index(const std::string& path, indexer::VideoIndex* index, indexer::StreamLayout* layout,
          std::string* error, std::vector<std::string>* warnings = nullptr, int pid = -1);

// The first `count` bytes that the plugin's own transport stream reader delivers after
// positioning at `position` (AlignStream); none when it cannot position there.
std::vector<uint8_t> TsBytesAt(const std::vector<uint8_t>& file, int packetSize, int pid,
                               uint64_t position, size_t count);

}  // namespace indexer_test
