#include "tests/unit/tools/indexer/indexer_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace indexer_test {

std::string Media(const std::string& name) {
  const char* build = getenv("MPG_BUILD_DIR");
  std::string path = std::string(build ? build : "build") + "/media/" + name;
  EXPECT_TRUE(std::filesystem::exists(path)) << path << " is missing: build target test_media";
  return path;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
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

std::string Shell(const std::string& command, int* status) {
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
  Shell("ffmpeg -nostdin -hide_banner -v error -y " + arguments + " 2>&1", &status);
  return status == 0;
}

std::string FfprobeTypes(const std::string& path) {
  std::string out = Shell(
      "ffprobe -v error -select_streams v:0 -show_frames -show_entries "
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
  const size_t seek = position < p ? 0 : static_cast<size_t>(position - p);
  size_t i = seek;
  std::vector<uint8_t> out;
  // The packet search: returns the payload bytes left in the packet found, -1 at the end. The
  // bytes of a rejected header stay consumed, as in the plugin's reader.
  auto search = [&](bool aligning) -> long {
    for (;;) {
      if (i >= file.size()) return -1;
      if (file[i++] != 0x47) continue;
      size_t sync = i - 1;
      if (sync - seek + 1 > p) {
        if (file[sync - p] != 0x47) continue;
      } else if (file.size() - i > p - 1 && file[sync + p] != 0x47) {
        continue;
      }
      if (i + 2 > file.size()) return -1;
      uint8_t b1 = file[i], b2 = file[i + 1];
      i += 2;
      if ((((b1 << 8) | b2) & 0x1FFF) != pid || (b1 & 0x80)) continue;
      if (i >= file.size()) return -1;
      int control = (file[i++] >> 4) & 3;
      size_t h = 4;
      if (control == 0) continue;
      if (control & 2) {
        if (i >= file.size()) return -1;
        size_t a = file[i++];
        i += a;
        h = 5 + a;
      }
      if (h >= 188) continue;
      if (b1 & 0x40) {
        if (!aligning && h > 179) {
          i += 188 - h;
          continue;
        }
        if (i + 9 > file.size()) return -1;
        uint8_t flags = file[i + 7];
        size_t d = file[i + 8];
        i += 9;
        h += 9;
        if ((flags & 0x80) && d > 4) {
          i += (flags & 0x40) ? 10 + (d > 10 ? d - 10 : 0) : 5 + (d - 5);
        } else {
          i += d;
        }
        h += d;
      }
      return static_cast<long>(188 - h);
    }
  };
  long remaining = search(true);
  if (remaining < 0) return out;
  long skip = static_cast<long>(position) - static_cast<long>(i);
  if (skip < 0 || skip >= remaining) return out;  // the position is not in this packet's payload
  i += static_cast<size_t>(skip);
  remaining -= skip;
  while (out.size() < count) {
    if (remaining == 0 && (remaining = search(false)) <= 0) break;
    if (i >= file.size()) break;
    out.push_back(file[i++]);
    --remaining;
  }
  return out;
}

}  // namespace indexer_test
