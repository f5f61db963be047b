// An independent view of a Matroska file, taken from `mkvinfo -v -v -v` (and ffprobe), for
// comparing the parser's results with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mkvtest {

struct RefTrack {
  int number = 0;
  std::string type;  // "video", "audio", ...
  std::string codec;
  uint64_t defaultDuration = 0;  // ns
  uint64_t uid = 0;
  uint32_t pixelWidth = 0, pixelHeight = 0, displayWidth = 0, displayHeight = 0;
  std::string language;
  uint64_t samplingFrequency = 0;
  uint32_t channels = 0;
  std::string name;
  bool interlaced = false;
};

struct RefFrame {
  int track;
  uint64_t timestamp;  // ns, absolute
  uint64_t pos;
  uint32_t size;
  bool key;
  bool discardable;  // set on the last frame of a discardable block
  uint32_t lace;     // index in its block
};

struct RefSimpleTag {
  std::string name, value;
};
struct RefTag {
  std::vector<std::pair<std::string, uint64_t>> targets;  // kind ("Track UID", ...) and uid
  std::vector<RefSimpleTag> simpleTags;
};

struct RefChapter {
  uint64_t uid = 0;
  uint64_t start = 0, end = 0;  // ns
  bool hasEnd = false;
  std::vector<std::string> strings;
  std::vector<std::string> languages;
  int depth = 0;
};

struct RefAttachment {
  std::string name, mimeType, description;
  uint64_t uid = 0;
  uint64_t size = 0;
};

struct RefFile {
  uint64_t timestampScale = 0;
  std::string muxingApp, writingApp, title;
  uint64_t duration = 0;  // ns
  std::vector<RefTrack> tracks;
  std::vector<RefFrame> frames;  // file order
  std::vector<uint64_t> clusterPositions;
  std::vector<uint64_t> clusterTimestamps;          // ns, absolute
  std::vector<std::pair<uint64_t, uint64_t>> cues;  // time (ns), cluster position (relative)
  std::vector<RefTag> tags;
  std::vector<RefChapter> chapters;  // chapter atoms in file order, depth 1 = below an edition
  int editions = 0;
  bool editionDefault = false;
  uint64_t editionUid = 0;  // of the last edition
  std::vector<RefAttachment> attachments;
  bool hasBlockGroups = false;
  // The first block's timestamp: the origin of the parser's times.
  uint64_t origin() const { return frames.empty() ? 0 : frames.front().timestamp; }
};

RefFile describeWithMkvinfo(const std::string& path);
uint64_t parseTimestamp(const std::string& text);  // "HH:MM:SS.nnnnnnnnn" -> ns

struct ProbePacket {
  int stream;
  int64_t pts;  // in the stream time base (ms for Matroska)
  uint32_t size;
  bool key;
};
std::vector<ProbePacket> probePackets(const std::string& path);

}  // namespace mkvtest
