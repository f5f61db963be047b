// Indexing speed on an elementary stream and a transport stream of a few hundred MB, built by
// repeating the test clips (each copy keeps its sequence headers, so the result indexes as one
// long stream). Reports MB/s with a warm page cache, which is what repeated indexing sees; a
// cold run is bounded by the disk instead.
//
//   cmake --build build --target indexer_speed && build/indexer_speed build/media [MB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/indexer/indexer.h"

namespace {

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes `clip` repeated up to about `megabytes` MB; returns the size written.
uint64_t Repeat(const std::string& clip, const std::string& out, uint64_t megabytes) {
  std::vector<char> bytes = ReadAll(clip);
  if (bytes.empty()) return 0;
  std::ofstream file(out, std::ios::binary);
  uint64_t written = 0;
  while (written < megabytes * 1000000) {
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    written += bytes.size();
  }
  return written;
}

void Measure(const char* label, const std::string& path, uint64_t size) {
  indexer::IndexOptions options;
  options.videoPath = path;
  options.progress = false;
  indexer::VideoIndex index;
  indexer::StreamLayout layout;
  std::string error;
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    auto start = std::chrono::steady_clock::now();
    if (indexer::IndexVideo(options, &index, &layout, &error) != indexer::kIndexOk) {
      fprintf(stderr, "%s: %s\n", label, error.c_str());
      exit(1);
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  printf("%-28s %8.1f MB  %8.3f s  %8.1f MB/s  %llu pictures, %zu GOPs\n", label, size / 1e6, best,
         size / 1e6 / best, static_cast<unsigned long long>(index.pictureCount), index.gops.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s MEDIA_DIR [MB]\n", argv[0]);
    return 2;
  }
  const std::string media = argv[1];
  const uint64_t megabytes = argc > 2 ? strtoull(argv[2], nullptr, 10) : 300;
  const std::string tmp = (std::filesystem::temp_directory_path() / "mpg-indexer-bench").string();
  struct Input {
    const char* label;
    const char* clip;
    const char* file;
  } inputs[] = {{"ES 576i (5 Mb/s)", "es576i_open.m2v", "es.m2v"},
                {"ES 1080p (15 Mb/s)", "es1080p_closed.m2v", "hd.m2v"},
                {"TS 188 576i + audio", "ts576i.ts", "ts.ts"},
                {"M2TS 192 576i + audio", "m2ts576i.m2ts", "m2ts.m2ts"}};
  for (const Input& input : inputs) {
    std::string path = tmp + "-" + input.file;
    uint64_t size = Repeat(media + "/" + input.clip, path, megabytes);
    if (size == 0) {
      fprintf(stderr, "cannot read %s/%s\n", media.c_str(), input.clip);
      return 1;
    }
    Measure(input.label, path, size);
    remove(path.c_str());
  }
  return 0;
}
