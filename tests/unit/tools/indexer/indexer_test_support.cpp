#include "tests/unit/tools/indexer/indexer_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/support/command_output.h"
#include "tests/unit/reader/decoder_test_support.h"

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
  std::string pattern =
      (std::filesystem::temp_directory_path() / "mpg-indexer-test-XXXXXX").string();
  const char* made = mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr) << pattern;
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string Shell(const std::string& command, int* status) {
  return test_support::CommandOutput(command, status);
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
  std::unique_ptr<CAVCDecoder> reader = dectest::NewDecoder();
  dectest::Attach(*reader, dectest::MemoryFile(file), 1, packetSize, pid);
  std::vector<uint8_t> out;
  if (reader->AlignStream(position) != 0) return out;
  unsigned char byte;
  while (out.size() < count && reader->GetByte(&byte) == 0) out.push_back(byte);
  return out;
}

}  // namespace indexer_test
