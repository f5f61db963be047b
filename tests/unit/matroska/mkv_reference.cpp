#include "tests/unit/matroska/mkv_reference.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tests/unit/matroska/mkv_test_support.h"

namespace mkvtest {
namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// "Track number: 1 (track ID ...) at 4293" -> value text without the position suffix.
std::string valueOf(const std::string& content, const std::string& key) {
  std::string v = content.substr(key.size());
  size_t at = v.rfind(" at ");
  if (at != std::string::npos && v.find_first_not_of("0123456789", at + 4) == std::string::npos) {
    v.erase(at);
  }
  return v;
}

uint64_t number(const std::string& v) {
  return std::strtoull(v.c_str(), nullptr, 10);
}

uint64_t trailingPosition(const std::string& content) {
  size_t at = content.rfind(" at ");
  return at == std::string::npos ? 0 : number(content.substr(at + 4));
}

// The output of a tool about a media file, kept next to the media so that the many test
// processes of a run do not each start the tool again.
std::string cachedOutput(const std::string& command, const std::string& path) {
  const char* build = std::getenv("MPG_BUILD_DIR");
  if (build == nullptr) return runCommand(command);
  std::string folder = std::string(build) + "/media/.tool-output";
  std::string key = std::to_string(std::hash<std::string>()(command));
  std::string cache = folder + "/" + key;
  struct stat media {
  }, kept{};
  if (stat(path.c_str(), &media) == 0 && stat(cache.c_str(), &kept) == 0 &&
      kept.st_mtime >= media.st_mtime) {
    Bytes bytes = readFile(cache);
    return std::string(bytes.begin(), bytes.end());
  }
  std::string out = runCommand(command);
  mkdir(folder.c_str(), 0755);
  std::string temporary = cache + "." + std::to_string(getpid());
  std::ofstream(temporary, std::ios::binary) << out;
  rename(temporary.c_str(), cache.c_str());
  return out;
}

}  // namespace

uint64_t parseTimestamp(const std::string& text) {
  unsigned h = 0, m = 0, s = 0;
  char fraction[16] = {0};
  if (std::sscanf(text.c_str(), "%u:%u:%u.%9[0-9]", &h, &m, &s, fraction) < 3) return 0;
  std::string f(fraction);
  while (f.size() < 9) f += '0';
  return ((uint64_t{h} * 60 + m) * 60 + s) * 1000000000ull + number(f);
}

namespace {

RefFile describe(const std::string& path) {
  RefFile file;
  std::istringstream lines(cachedOutput("mkvinfo -v -v -v '" + path + "' 2>/dev/null", path));
  std::string line;
  enum class Section { kNone, kTags, kChapters, kAttachments } section = Section::kNone;
  bool blockKey = false, blockDiscardable = false;
  int blockTrack = 0;
  uint64_t blockTime = 0;
  uint32_t lace = 0;
  std::vector<size_t> blockFrames;
  auto closeBlock = [&] {
    if (blockDiscardable && !blockFrames.empty())
      file.frames[blockFrames.back()].discardable = true;
    blockFrames.clear();
  };
  while (std::getline(lines, line)) {
    size_t depth = line.find('+');
    if (depth == std::string::npos) continue;
    std::string c = line.substr(depth + 2);
    if (depth == 1) {
      closeBlock();
      section = startsWith(c, "Tags")          ? Section::kTags
                : startsWith(c, "Chapters")    ? Section::kChapters
                : startsWith(c, "Attachments") ? Section::kAttachments
                                               : Section::kNone;
      if (startsWith(c, "Cluster at ")) file.clusterPositions.push_back(trailingPosition(c));
      continue;
    }
    if (section == Section::kTags) {
      if (c == "Tag" || startsWith(c, "Tag at ")) {
        file.tags.emplace_back();
      } else if (startsWith(c, "Simple at ") || c == "Simple") {
        file.tags.back().simpleTags.emplace_back();
      } else if (startsWith(c, "Name: ") && depth == 4) {
        file.tags.back().simpleTags.back().name = valueOf(c, "Name: ");
      } else if (startsWith(c, "String: ") && depth == 4) {
        file.tags.back().simpleTags.back().value = valueOf(c, "String: ");
      } else if (depth == 4 &&
                 (startsWith(c, "Track UID: ") || startsWith(c, "Chapter UID: ") ||
                  startsWith(c, "Attachment UID: ") || startsWith(c, "Edition UID: "))) {
        size_t colon = c.find(':');
        file.tags.back().targets.emplace_back(c.substr(0, colon),
                                              number(valueOf(c, c.substr(0, colon + 2))));
      }
      continue;
    }
    if (section == Section::kChapters) {
      if (startsWith(c, "Edition entry")) ++file.editions;
      if (startsWith(c, "Edition flag default: ") && number(valueOf(c, "Edition flag default: ")))
        file.editionDefault = true;
      if (startsWith(c, "Edition UID: ")) file.editionUid = number(valueOf(c, "Edition UID: "));
      if (startsWith(c, "Chapter atom")) {
        file.chapters.emplace_back();
        file.chapters.back().depth = static_cast<int>(depth) - 2;
      } else if (!file.chapters.empty()) {
        RefChapter& ch = file.chapters.back();
        if (startsWith(c, "Chapter UID: ")) ch.uid = number(valueOf(c, "Chapter UID: "));
        if (startsWith(c, "Chapter time start: "))
          ch.start = parseTimestamp(valueOf(c, "Chapter time start: "));
        if (startsWith(c, "Chapter time end: ")) {
          ch.end = parseTimestamp(valueOf(c, "Chapter time end: "));
          ch.hasEnd = true;
        }
        if (startsWith(c, "Chapter string: ")) ch.strings.push_back(valueOf(c, "Chapter string: "));
        if (startsWith(c, "Chapter language: "))
          ch.languages.push_back(valueOf(c, "Chapter language: "));
      }
      continue;
    }
    if (section == Section::kAttachments) {
      if (startsWith(c, "Attached")) file.attachments.emplace_back();
      if (file.attachments.empty()) continue;
      RefAttachment& a = file.attachments.back();
      if (startsWith(c, "File name: ")) a.name = valueOf(c, "File name: ");
      if (startsWith(c, "MIME type: ")) a.mimeType = valueOf(c, "MIME type: ");
      if (startsWith(c, "File description: ")) a.description = valueOf(c, "File description: ");
      if (startsWith(c, "File UID: ")) a.uid = number(valueOf(c, "File UID: "));
      if (startsWith(c, "File data: size ")) a.size = number(valueOf(c, "File data: size "));
      continue;
    }
    if (startsWith(c, "Timestamp scale: "))
      file.timestampScale = number(valueOf(c, "Timestamp scale: "));
    if (startsWith(c, "Multiplexing application: "))
      file.muxingApp = valueOf(c, "Multiplexing application: ");
    if (startsWith(c, "Writing application: "))
      file.writingApp = valueOf(c, "Writing application: ");
    if (startsWith(c, "Title: ")) file.title = valueOf(c, "Title: ");
    if (startsWith(c, "Duration: ") && depth == 2)
      file.duration = parseTimestamp(valueOf(c, "Duration: "));
    if (startsWith(c, "Track number: ")) {
      file.tracks.emplace_back();
      file.tracks.back().number = static_cast<int>(number(valueOf(c, "Track number: ")));
    }
    if (!file.tracks.empty() && file.frames.empty()) {
      RefTrack& t = file.tracks.back();
      if (startsWith(c, "Track type: ")) t.type = valueOf(c, "Track type: ");
      if (startsWith(c, "Track UID: ")) t.uid = number(valueOf(c, "Track UID: "));
      if (startsWith(c, "Codec ID: ")) t.codec = valueOf(c, "Codec ID: ");
      if (startsWith(c, "Default duration: "))
        t.defaultDuration = parseTimestamp(valueOf(c, "Default duration: "));
      if (startsWith(c, "Pixel width: "))
        t.pixelWidth = static_cast<uint32_t>(number(valueOf(c, "Pixel width: ")));
      if (startsWith(c, "Pixel height: "))
        t.pixelHeight = static_cast<uint32_t>(number(valueOf(c, "Pixel height: ")));
      if (startsWith(c, "Display width: "))
        t.displayWidth = static_cast<uint32_t>(number(valueOf(c, "Display width: ")));
      if (startsWith(c, "Display height: "))
        t.displayHeight = static_cast<uint32_t>(number(valueOf(c, "Display height: ")));
      if (startsWith(c, "Language: ")) t.language = valueOf(c, "Language: ");
      if (startsWith(c, "Name: ")) t.name = valueOf(c, "Name: ");
      if (startsWith(c, "Interlaced: ")) t.interlaced = number(valueOf(c, "Interlaced: ")) != 0;
      if (startsWith(c, "Sampling frequency: "))
        t.samplingFrequency = number(valueOf(c, "Sampling frequency: "));
      if (startsWith(c, "Channels: "))
        t.channels = static_cast<uint32_t>(number(valueOf(c, "Channels: ")));
    }
    if (startsWith(c, "Block group")) file.hasBlockGroups = true;
    if (startsWith(c, "Cluster timestamp: "))
      file.clusterTimestamps.push_back(parseTimestamp(valueOf(c, "Cluster timestamp: ")));
    if (startsWith(c, "Simple block: ")) {
      closeBlock();
      blockKey = c.find("key, ") != std::string::npos;
      blockDiscardable = c.find("discardable, ") != std::string::npos;
      size_t t = c.find("track number ");
      blockTrack = static_cast<int>(number(c.substr(t + 13)));
      size_t ts = c.find("timestamp ");
      blockTime = parseTimestamp(c.substr(ts + 10));
      lace = 0;
    }
    if (startsWith(c, "Frame with size ")) {
      uint32_t size = static_cast<uint32_t>(number(c.substr(16)));
      blockFrames.push_back(file.frames.size());
      file.frames.push_back(
          RefFrame{blockTrack, blockTime, trailingPosition(c), size, blockKey, false, lace++});
    }
    if (startsWith(c, "Cue time: "))
      file.cues.emplace_back(parseTimestamp(valueOf(c, "Cue time: ")), 0);
    if (startsWith(c, "Cue cluster position: ") && !file.cues.empty() &&
        file.cues.back().second == 0)
      file.cues.back().second = number(valueOf(c, "Cue cluster position: "));
  }
  closeBlock();
  return file;
}

}  // namespace

// mkvinfo takes a while; each file is described once per test run.
RefFile describeWithMkvinfo(const std::string& path) {
  static std::map<std::string, RefFile> seen;
  auto it = seen.find(path);
  if (it == seen.end()) it = seen.emplace(path, describe(path)).first;
  return it->second;
}

std::vector<ProbePacket> probePackets(const std::string& path) {
  std::vector<ProbePacket> packets;
  std::istringstream lines(cachedOutput(
      "ffprobe -v error -show_entries packet=stream_index,pts,size,flags -of csv=p=0 '" + path +
          "'",
      path));
  std::string line;
  while (std::getline(lines, line)) {
    int stream = 0;
    long long pts = 0;
    unsigned size = 0;
    char flags[8] = {0};
    if (std::sscanf(line.c_str(), "%d,%lld,%u,%7s", &stream, &pts, &size, flags) == 4) {
      packets.push_back(ProbePacket{stream, pts, size, flags[0] == 'K'});
    }
  }
  return packets;
}

}  // namespace mkvtest
