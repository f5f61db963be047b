// Fuzz target: the Matroska parser over the decoder's file input, on a file in memory (open, the
// descriptive sections, every frame, seeks and reading on), then the decoder's Matroska access
// over the same bytes.
// The input's size picks a few options, so that mutations cover them: no-seek opening, an input
// without a file size, and allocation failures after a number of allocations.
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "matroska/matroska.h"
#include "reader/avc_decoder.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {
namespace {

// Frames read after an open or a seek; enough for the seeds, bounded for garbage.
constexpr int kFrameLimit = 20000;
constexpr int kFramesAfterSeek = 300;
constexpr int kUnitsAfterAlign = 300;

struct FrameTimes {
  uint64_t first = 0;
  uint64_t last = 0;
  int count = 0;
};

FrameTimes ReadFrames(MatroskaFile* mf, uint32_t trackCount, int limit) {
  FrameTimes times;
  for (int i = 0; i < limit; ++i) {
    uint32_t track = 0, size = 0, flags = 0;
    uint64_t start = 0, end = 0, pos = 0;
    if (mkv_NextFrame(mf, 0, &track, &start, &end, &pos, &size, &flags) != 0) break;
    Check(track < trackCount, "a frame of a track that does not exist");
    if (times.count == 0) times.first = start;
    times.last = start;
    ++times.count;
  }
  return times;
}

void TouchString(const char* s) {
  if (s != nullptr) Check(std::strlen(s) < 65536, "an unterminated string");
}

void TouchChapters(const MkvChapter* chapters, uint32_t count, int depth) {
  Check(depth < 64, "chapters nested too deep");
  for (uint32_t i = 0; i < count; ++i) {
    const MkvChapter& c = chapters[i];
    for (uint32_t k = 0; k < c.displayCount; ++k) TouchString(c.displays[k].string);
    for (uint32_t k = 0; k < c.processCount; ++k) {
      TouchString(c.processes[k].privateData);
      for (uint32_t j = 0; j < c.processes[k].commandCount; ++j) {
        TouchString(c.processes[k].commands[j].data);
      }
    }
    if (c.trackCount > 0) Check(c.tracks != nullptr, "chapter tracks missing");
    TouchChapters(c.children, c.childCount, depth + 1);
  }
}

void TouchDescriptive(MatroskaFile* mf) {
  const MkvSegmentInfo* info = mkv_SegmentInfo(mf);
  Check(info != nullptr && info->timecodeScale != 0, "segment information without a scale");
  for (const char* s : {info->filename, info->prevFilename, info->nextFilename, info->title,
                        info->muxingApp, info->writingApp}) {
    TouchString(s);
  }
  MkvAttachment* attachments = nullptr;
  uint32_t count = 0;
  mkv_Attachments(mf, &attachments, &count);
  for (uint32_t i = 0; i < count; ++i) {
    TouchString(attachments[i].name);
    TouchString(attachments[i].description);
    TouchString(attachments[i].mimeType);
  }
  MkvChapter* chapters = nullptr;
  mkv_Chapters(mf, &chapters, &count);
  TouchChapters(chapters, count, 0);
  MkvTag* tags = nullptr;
  mkv_Tags(mf, &tags, &count);
  for (uint32_t i = 0; i < count; ++i) {
    for (uint32_t k = 0; k < tags[i].simpleTagCount; ++k) {
      TouchString(tags[i].simpleTags[k].name);
      TouchString(tags[i].simpleTags[k].value);
    }
  }
  TouchString(mkv_LastError(mf));
}

void ParseThroughCountingInput(const uint8_t* data, size_t size) {
  const uint32_t flags = size % 7 == 3 ? MKV_OPEN_NO_SEEK : 0;
  const bool withFileSize = size % 3 != 0;
  const long failAfter = size % 5 == 1 ? long(size / 5 % 48) : -1;
  std::unique_ptr<FILE, int (*)(FILE*)> file(MemoryFile(data, size), std::fclose);
  if (file == nullptr) return;
  CountingFileInput input;
  InitCountingFileInput(&input, file.get(), size, withFileSize, failAfter);
  char message[128];
  std::memset(message, 'x', sizeof message);
  MatroskaFile* mf = mkv_OpenFile(&input.file.ops, 0, flags, message, sizeof message);
  if (mf == nullptr) {
    Check(memchr(message, '\0', sizeof message) != nullptr, "an unterminated open message");
    Check(input.liveBlocks == 0, "a failed open kept memory");
    return;
  }
  TouchDescriptive(mf);
  const uint32_t trackCount = mkv_TrackCount(mf);
  uint32_t video = 0;
  bool haveVideo = false;
  for (uint32_t i = 0; i < trackCount; ++i) {
    const MkvTrack* t = mkv_TrackEntry(mf, i);
    Check(t != nullptr, "a track entry below the count is missing");
    TouchString(t->name);
    TouchString(t->codecID);
    if (t->codecPrivateSize > 0) Check(t->codecPrivate != nullptr, "codec private data missing");
    if (!haveVideo && t->trackType == 1) {
      video = i;
      haveVideo = true;
    }
  }
  Check(mkv_TrackEntry(mf, trackCount) == nullptr, "a track entry past the count");
  const FrameTimes all = ReadFrames(mf, trackCount, kFrameLimit);
  const uint64_t seeks[] = {0,
                            all.first,
                            all.first + (all.last - all.first) / 2,
                            all.last,
                            all.last + 1,
                            ~uint64_t{0},
                            uint64_t(size) * 1000003u};
  for (uint64_t time : seeks) {
    mkv_Seek(mf, time, 0, video);
    ReadFrames(mf, trackCount, kFramesAfterSeek);
  }
  // Only the chosen track from now on, as the decoder reads.
  mkv_SelectTracks(mf, ~(uint32_t{1} << (video % 32)));
  mkv_Seek(mf, all.first, 0, video);
  ReadFrames(mf, trackCount, kFramesAfterSeek);
  mkv_CloseFile(mf);
  Check(input.liveBlocks == 0, "closing the file left memory behind");
}

// The decoder's side: its file input, track choice and frame-by-frame reading into units.
void ReadThroughDecoder(const uint8_t* data, size_t size) {
  CAVCDecoder& d = SharedDecoder();
  FILE* file = MemoryFile(data, size);
  if (file == nullptr) return;
  AttachStream(d, file, 2, 0, 0);
  d.mkvTrack = -1;  // the first MPEG-2 track, as for a project without a TRACK line
  if (d.InitMatroska() == 0) {
    for (uint64_t time : {uint64_t{0}, d.GetMKVDuration() / 2, d.GetMKVDuration()}) {
      Check(d.AlignStream(time) == 0, "repositioning a Matroska stream failed");
      for (int i = 0; i < kUnitsAfterAlign; ++i) {
        int result = d.GetAnnexbNALU();
        if (result < 1) break;
        CheckUnit(d);
      }
    }
  }
  DetachStream(d);
}

}  // namespace

int Matroska(const uint8_t* data, size_t size) {
  ParseThroughCountingInput(data, size);
  ReadThroughDecoder(data, size);
  return 0;
}

}  // namespace fuzz
