#include "tests/unit/tools/indexer/indexer_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace indexer_test {

std::string Media(const std::string& name) {
  const char* build = getenv("MPG_BUILD_DIR");
  std::string path = std::string(build ? build : "build") + "/media/" + name;
  EXPECT_TRUE(std::filesystem::exists(path)) << path << " is missing: build target test_media";
  return path;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const std::string& path, const std::string& text) {
  WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

TempDir::TempDir() {
  char pattern[] = "/tmp/mpg-indexer-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  EXPECT_NE(made, nullptr);
  path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
}

std::string Run(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (status) *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int rc = pclose(pipe);
  if (status) *status = rc;
  return out;
}

bool Ffmpeg(const std::string& arguments) {
  int status = 0;
  Run("ffmpeg -nostdin -hide_banner -v error -y " + arguments + " 2>&1", &status);
  return status == 0;
}

std::string FfprobeTypes(const std::string& path) {
  std::string out =
      Run("ffprobe -v error -select_streams v:0 -show_frames -show_entries "
          "frame=pict_type -of default=nw=1 '" +
          path + "'");
  std::string types;
  size_t at = 0;
  while ((at = out.find("pict_type=", at)) != std::string::npos) {
    at += 10;
    types += out[at];
  }
  return types;
}

std::string CodedTypes(const indexer::VideoIndex& index) {
  std::string all;
  for (const indexer::GopRecord& gop : index.gops) all += gop.types;
  return all;
}

std::string DisplayOrder(const std::string& coded) {
  std::string shown;
  char held = 0;
  for (char type : coded) {
    if (type == 'B') {
      shown += type;
    } else {
      if (held) shown += held;
      held = type;
    }
  }
  if (held) shown += held;
  return shown;
}

int Index(const std::string& path, indexer::VideoIndex* index, indexer::StreamLayout* layout,
          std::string* error, std::vector<std::string>* warnings, int pid) {
  indexer::IndexOptions options;
  options.videoPath = path;
  options.pid = pid;
  options.progress = false;
  options.warn = [warnings](const std::string& text) {
    if (warnings) warnings->push_back(text);
  };
  return indexer::IndexVideo(options, index, layout, error);
}

std::vector<uint8_t> TsBytesAt(const std::vector<uint8_t>& file, int packetSize, int pid,
                               uint64_t position, size_t count) {
  const size_t p = static_cast<size_t>(packetSize);
  size_t at = position < p ? 0 : static_cast<size_t>(position - p);
  std::vector<uint8_t> out;
  bool first = true;
  while (out.size() < count) {
    // The next confirmed sync byte.
    while (at < file.size() &&
           (file[at] != 0x47 || (at + p < file.size() && file[at + p] != 0x47))) {
      ++at;
    }
    if (at + 188 > file.size()) break;
    const uint8_t* b = &file[at];
    size_t next = at + 188;
    int packetPid = ((b[1] & 0x1F) << 8) | b[2];
    int control = (b[3] >> 4) & 3;
    size_t h = control == 3 ? 5 + b[4] : 4;
    if (packetPid != pid || (b[1] & 0x80) || control == 0 || control == 2 || h >= 188) {
      at = next;
      continue;
    }
    if (b[1] & 0x40) {
      if (!first && h > 179) {
        at = next;
        continue;
      }
      h += 9 + b[h + 8];
    }
    size_t from = at + h;
    if (first) {
      first = false;
      if (position < from || position >= next) return out;  // not inside this packet's payload
      from = static_cast<size_t>(position);
    }
    for (size_t i = from; i < next && out.size() < count; ++i) out.push_back(file[i]);
    at = next;
  }
  return out;
}

}  // namespace indexer_test
