#include "tests/unit/decode-server/media_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/md5.h>
#include <libavutil/pixfmt.h>
}

namespace decode_server_test {

std::string MediaPath(const std::string& name) {
  const char* build = std::getenv("MPG_BUILD_DIR");
  return std::string(build ? build : ".") + "/media/" + name;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw std::runtime_error("cannot open " + path + " (build the test_media target)");
  uint8_t buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  std::fclose(file);
  return bytes;
}

std::vector<Unit> SplitUnits(const std::vector<uint8_t>& stream) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 < stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      starts.push_back(i);
      i += 2;
    }
  }
  std::vector<Unit> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
    units.push_back(Unit{starts[k], end - starts[k], stream[starts[k] + 3]});
  }
  return units;
}

std::vector<GopStart> FindGops(const std::vector<Unit>& units) {
  std::vector<GopStart> gops;
  int pictures = 0;
  for (size_t k = 0; k < units.size(); ++k) {
    if (units[k].code == 0xB3) gops.push_back(GopStart{k, pictures});
    if (units[k].code == 0x00) ++pictures;
  }
  return gops;
}

TestStream::TestStream(const std::string& name) : path(MediaPath(name)), bytes(ReadFile(path)) {
  units = SplitUnits(bytes);
  gops = FindGops(units);
  for (const Unit& unit : units) frames += unit.code == 0x00;
}

int TestStream::LeadingBs(size_t gop) const {
  size_t k = gops[gop].unit;
  bool open = false;
  while (k < units.size() && units[k].code != 0x00) {
    if (units[k].code == 0xB8 && units[k].size >= 8) open = !(bytes[units[k].offset + 7] & 0x40);
    ++k;
  }
  int count = 0;
  for (++k; k < units.size(); ++k) {
    if (units[k].code == 0xB3 || units[k].code == 0xB8) break;
    if (units[k].code != 0x00) continue;
    if (((bytes[units[k].offset + 5] >> 3) & 7) != 3) break;
    ++count;
  }
  return open ? count : 0;
}

std::vector<Unit> TestStream::UnitsFrom(size_t gop) const {
  return std::vector<Unit>(units.begin() + gops[gop].unit, units.end());
}

const TestStream& Media(const std::string& name) {
  static std::mutex mutex;
  static auto* streams = new std::map<std::string, TestStream*>;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = streams->find(name);
  if (found == streams->end()) found = streams->emplace(name, new TestStream(name)).first;
  return *found->second;
}

const std::vector<std::string>& FfmpegFrameMd5(const std::string& path, const std::string& filter) {
  static std::mutex mutex;
  static std::map<std::string, std::vector<std::string>> cache;
  std::lock_guard<std::mutex> lock(mutex);
  const std::string key = path + "|" + filter;
  auto found = cache.find(key);
  if (found != cache.end()) return found->second;
  // ffmpeg's answer is kept next to the media (the build folder), so that the test programs,
  // which run one test per process, ask ffmpeg once per file and filter.
  // The name carries the filter and the clip's size and time, so a remade clip is asked anew.
  struct stat info {};
  stat(path.c_str(), &info);
  const std::string cacheFile =
      path + "." +
      std::to_string(std::hash<std::string>()(filter + "|" + std::to_string(info.st_size) + "|" +
                                              std::to_string(info.st_mtime))) +
      ".framemd5";
  std::vector<std::string> md5s;
  if (FILE* cached = std::fopen(cacheFile.c_str(), "r")) {
    char line[128];
    while (std::fgets(line, sizeof line, cached)) {
      std::string text(line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      md5s.push_back(text);
    }
    std::fclose(cached);
    if (!md5s.empty() && md5s.back() == "end") {
      md5s.pop_back();
      return cache.emplace(key, md5s).first->second;
    }
    md5s.clear();
  }
  std::string command = "ffmpeg -nostdin -v error -i '" + path + "'";
  if (!filter.empty()) command += " -vf '" + filter + "'";
  command += " -fps_mode passthrough -pix_fmt yuv420p -f framemd5 - 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run ffmpeg");
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    if (line[0] == '#') continue;
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
      text.pop_back();
    }
    const size_t comma = text.rfind(',');
    if (comma == std::string::npos) continue;
    md5s.push_back(text.substr(comma + 1 + (text[comma + 1] == ' ' ? 1 : 0)));
  }
  const bool complete = pclose(pipe) == 0 && !md5s.empty();
  if (complete) {
    const std::string temporary = cacheFile + "." + std::to_string(getpid());
    if (FILE* out = std::fopen(temporary.c_str(), "w")) {
      for (const std::string& md5 : md5s) std::fprintf(out, "%s\n", md5.c_str());
      std::fprintf(out, "end\n");
      std::fclose(out);
      std::rename(temporary.c_str(), cacheFile.c_str());
    }
  }
  return cache.emplace(key, md5s).first->second;
}

namespace {

std::string Hex(const uint8_t digest[16]) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    text += digits[digest[i] >> 4];
    text += digits[digest[i] & 15];
  }
  return text;
}

}  // namespace

std::string Md5OfFrame(const AVFrame* frame) {
  if (frame->format != AV_PIX_FMT_YUV420P) return "not-yuv420p";
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int plane = 0; plane < 3; ++plane) {
    const int width = plane ? (frame->width + 1) / 2 : frame->width;
    const int height = plane ? (frame->height + 1) / 2 : frame->height;
    for (int y = 0; y < height; ++y) {
      av_md5_update(md5, frame->data[plane] + y * frame->linesize[plane], width);
    }
  }
  uint8_t digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  return Hex(digest);
}

std::string Md5OfNv12(const uint8_t* area, int width, int height, int pitch) {
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int y = 0; y < height; ++y) av_md5_update(md5, area + static_cast<size_t>(y) * pitch, width);
  const uint8_t* chroma = area + static_cast<size_t>(pitch) * height;
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  std::vector<uint8_t> row(chromaWidth);
  for (int plane = 0; plane < 2; ++plane) {
    for (int y = 0; y < chromaHeight; ++y) {
      const uint8_t* source = chroma + static_cast<size_t>(y) * pitch;
      for (int x = 0; x < chromaWidth; ++x) row[x] = source[2 * x + plane];
      av_md5_update(md5, row.data(), chromaWidth);
    }
  }
  uint8_t digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  return Hex(digest);
}

std::string Md5OfPlanes(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int height,
                        int lumaPitch, int chromaPitch) {
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int j = 0; j < height; ++j)
    av_md5_update(md5, y + static_cast<size_t>(j) * lumaPitch, width);
  for (const uint8_t* plane : {u, v}) {
    for (int j = 0; j < (height + 1) / 2; ++j) {
      av_md5_update(md5, plane + static_cast<size_t>(j) * chromaPitch, (width + 1) / 2);
    }
  }
  uint8_t digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  return Hex(digest);
}

std::string UniqueIpcNamespace(const char* test) {
  static std::atomic<int> counter{0};
  return std::string("dst_") + test + "_" + std::to_string(getpid()) + "_" +
         std::to_string(counter++);
}

}  // namespace decode_server_test
