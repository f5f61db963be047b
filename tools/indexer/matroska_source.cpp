#include "tools/indexer/matroska_source.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "matroska/matroska.h"
#include "tools/indexer/progress.h"

namespace indexer {
namespace {

constexpr uint32_t kCacheSize = 65536;
constexpr uint8_t kVideoTrackType = 1;

// The parser's input record over a ByteSource, with our own fields after its slots.
struct SourceInput {
  MkvInput ops;
  ByteSource* source;
  char error[64];
};

SourceInput* Self(MkvInput* input) {
  return reinterpret_cast<SourceInput*>(input);
}

int Read(MkvInput* input, uint64_t position, void* buffer, int count) {
  if (count <= 0) return 0;
  int64_t got = Self(input)->source->ReadAt(position, static_cast<uint8_t*>(buffer),
                                            static_cast<size_t>(count));
  if (got < 0) snprintf(Self(input)->error, sizeof Self(input)->error, "read error");
  return static_cast<int>(got);
}

int64_t Scan(MkvInput* input, uint64_t start, uint32_t signature) {
  ByteSource* source = Self(input)->source;
  std::vector<uint8_t> block(kCacheSize);
  uint32_t window = 0;
  uint64_t position = start;
  for (;;) {
    int64_t got = source->ReadAt(position, block.data(), block.size());
    if (got <= 0) return -1;
    for (int64_t i = 0; i < got; ++i) {
      window = (window << 8) | block[static_cast<size_t>(i)];
      // The window holds four real bytes once four have been read from start.
      if (window == signature && position + static_cast<uint64_t>(i) + 1 >= start + 4) {
        return static_cast<int64_t>(position + static_cast<uint64_t>(i)) - 3;
      }
    }
    position += static_cast<uint64_t>(got);
  }
}

uint32_t CacheSize(MkvInput*) {
  return kCacheSize;
}
const char* ErrorText(MkvInput* input) {
  return Self(input)->error;
}
void* Alloc(MkvInput*, size_t size) {
  return malloc(size);
}
void* Realloc(MkvInput*, void* block, size_t size) {
  return realloc(block, size);
}
void Free(MkvInput*, void* block) {
  free(block);
}
int Progress(MkvInput*, uint64_t, uint64_t) {
  return 1;
}
int64_t FileSize(MkvInput* input) {
  return static_cast<int64_t>(Self(input)->source->Size());
}

}  // namespace

int ScanMatroska(ByteSource* source, const std::string& path, bool progress, StreamLayout* layout,
                 Mpeg2Scanner* scanner, std::string* error) {
  SourceInput input;
  memset(&input, 0, sizeof input);
  input.ops = MkvInput{Read, Scan, CacheSize, ErrorText, Alloc, Realloc, Free, Progress, FileSize};
  input.source = source;
  char message[256] = "";
  MatroskaFile* file = mkv_OpenFile(&input.ops, 0, 0, message, sizeof message);
  if (file == nullptr) {
    *error = "\"" + path + "\" cannot be read as Matroska: " + message;
    return kIndexNotMpeg2;
  }
  int track = -1;
  for (uint32_t i = 0; i < mkv_TrackCount(file); ++i) {
    const MkvTrack* entry = mkv_TrackEntry(file, i);
    if (entry != nullptr && entry->trackType == kVideoTrackType && entry->codecID != nullptr &&
        strcmp(entry->codecID, "V_MPEG2") == 0) {
      track = static_cast<int>(i);
      break;
    }
  }
  if (track < 0) {
    mkv_CloseFile(file);
    *error = "\"" + path + "\" has no MPEG-2 video track (codec V_MPEG2)";
    return kIndexNotMpeg2;
  }
  layout->track = track;
  mkv_SelectTracks(file, ~(1u << (track % 32)));

  ProgressMeter meter(source->Size(), progress);
  std::vector<uint8_t> frame;
  uint32_t frameTrack = 0, size = 0, flags = 0;
  uint64_t start = 0, end = 0, position = 0;
  int result = kIndexOk;
  while (mkv_NextFrame(file, 0, &frameTrack, &start, &end, &position, &size, &flags) == 0) {
    if (static_cast<int>(frameTrack) != track) continue;
    frame.resize(size);
    if (size > 0 && source->ReadAt(position, frame.data(), size) != static_cast<int64_t>(size)) {
      *error = "read error in \"" + path + "\" at byte " + std::to_string(position);
      result = kIndexCannotRead;
      break;
    }
    scanner->Feed(frame.data(), frame.size(), start, false);
    meter.Update(position);
  }
  mkv_CloseFile(file);
  if (result == kIndexOk) scanner->Finish();
  return result;
}

}  // namespace indexer
