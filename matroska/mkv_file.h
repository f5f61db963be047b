// The parser's handle and the operations its parts share. Internal to matroska/ (and its tests).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "matroska/matroska.h"

// Set by every raised error; cleared only by the readers that recover from errors.
constexpr uint32_t MKV_ERROR_RAISED = 0x00010000;

constexpr int kCacheSize = 1024;
constexpr uint32_t kEndOfFileId = 0xFFFFFFFF;  // readElementId at the end of the file
constexpr uint32_t kMaxTracks = 32;
constexpr uint32_t kMaxStringSize = 1023;

// Bits of MatroskaFile::sectionsParsed: a reader sets its bit when it starts.
constexpr uint32_t kParsedInfo = 0x01;
constexpr uint32_t kParsedFirstCluster = 0x02;
constexpr uint32_t kParsedTracks = 0x04;
constexpr uint32_t kParsedCues = 0x08;
constexpr uint32_t kParsedAttachments = 0x10;
constexpr uint32_t kParsedChapters = 0x20;
constexpr uint32_t kParsedTags = 0x40;

// Element IDs, with their length markers, as readElementId returns them.
namespace mkvid {
constexpr uint32_t kEbml = 0x1A45DFA3;
constexpr uint32_t kSegment = 0x18538067;
constexpr uint32_t kSeekHead = 0x114D9B74;
constexpr uint32_t kInfo = 0x1549A966;
constexpr uint32_t kTracks = 0x1654AE6B;
constexpr uint32_t kCues = 0x1C53BB6B;
constexpr uint32_t kAttachments = 0x1941A469;
constexpr uint32_t kChapters = 0x1043A770;
constexpr uint32_t kTags = 0x1254C367;
constexpr uint32_t kCluster = 0x1F43B675;
constexpr uint32_t kTimecode = 0xE7;
constexpr uint32_t kBlockGroup = 0xA0;
constexpr uint32_t kBlock = 0xA1;
constexpr uint32_t kSimpleBlock = 0xA3;
}  // namespace mkvid

// One queued frame; records come from blocks of 512 and are recycled through a free list.
struct MkvFrame {
  MkvFrame* next;
  uint32_t size;
  uint64_t start;
  uint64_t end;
  uint64_t pos;
  uint32_t flags;
};

struct MkvFrameQueue {
  MkvFrame* head;
  MkvFrame* tail;
};

// One open file. Allocated through the input and cleared to zero at open. Errors are raised as a
// C++ exception (mkv::Error) after the message has been formatted into errorMessage; the
// error-return points are the try blocks of the public calls and of the recovering readers.
struct MatroskaFile {
  uint32_t flags;  // MKV_OPEN_NO_SEEK, MKV_ERROR_RAISED
  MkvInput* input;

  // Read cache: cache[0] is the byte at cacheStart; the read position is cacheStart+cacheIndex.
  uint8_t cache[kCacheSize];
  uint64_t cacheStart;
  int cacheIndex;
  int cacheFill;

  char errorMessage[128];

  uint64_t segmentDataPos;  // first byte of the Segment's data; SeekHead and cue positions count
                            // from here
  uint64_t seekHeadPos;     // a further SeekHead named by the one being read, 0 = none
  uint64_t infoPos;         // element positions: absolute, 0 = not found
  uint64_t firstClusterPos;
  uint64_t tracksPos;
  uint64_t cuesPos;
  uint64_t attachmentsPos;
  uint64_t chaptersPos;
  uint64_t tagsPos;
  uint32_t sectionsParsed;
  uint64_t firstTimecode;  // time origin in ticks

  MkvSegmentInfo segmentInfo;

  uint32_t trackCount, trackCapacity;
  MkvTrack** tracks;

  MkvFrame* freeFrames;
  uint32_t poolCount, poolCapacity;
  MkvFrame** frameRecordPool;
  MkvFrameQueue* queues;  // one per track

  uint64_t readPos;  // where cluster reading resumes
  uint32_t skipMask;
  uint64_t segmentEnd;
  uint64_t clusterTimecode;  // ticks

  uint32_t cueCount, cueCapacity;
  MkvCuePoint* cues;
  bool cueFillPending;  // Cues read before the first Cluster was known: entry added at open
  uint32_t attachmentCount, attachmentCapacity;
  MkvAttachment* attachments;
  uint32_t chapterCount, chapterCapacity;
  MkvChapter* chapters;
  uint32_t tagCount, tagCapacity;
  MkvTag* tags;
};

namespace mkv {

// Thrown by raiseError; the message is already in the file's errorMessage.
struct Error {};

// --- messages and errors (mkv_error.cpp) ---
void formatMessage(char* destination, uint32_t size, const char* format, va_list args);
void formatText(char* destination, uint32_t size, const char* format, ...);
[[noreturn]] void raiseError(MatroskaFile* mf, const char* format, ...);
void copyText(const char* text, uint32_t size, char* destination);

// --- cache and EBML primitives (mkv_reader.cpp) ---
void refillCache(MatroskaFile* mf);
int readByte(MatroskaFile* mf);
void readBytes(MatroskaFile* mf, uint32_t n, void* destination);
void skipBytes(MatroskaFile* mf, uint64_t n);
void seekTo(MatroskaFile* mf, uint64_t position);
inline uint64_t currentPos(const MatroskaFile* mf) {
  return mf->cacheStart + static_cast<uint64_t>(mf->cacheIndex);
}
uint32_t readElementId(MatroskaFile* mf);
uint64_t readVarUInt(MatroskaFile* mf, int* extra = nullptr);
int64_t readVarSInt(MatroskaFile* mf);
uint64_t readElementSize(MatroskaFile* mf);
uint64_t readUInt(MatroskaFile* mf, uint64_t n);
int64_t readFloat(MatroskaFile* mf, uint64_t n);
void readString(MatroskaFile* mf, int bufferSize, uint64_t elementSize, char* destination);
void readLanguage(MatroskaFile* mf, uint64_t elementSize, char* destination);
// currentPos + size; a sum past the 64-bit range raises instead of wrapping.
uint64_t endOf(MatroskaFile* mf, uint64_t size);

// Reads the children of a container of `size` bytes: handler(id, childSize) returns true when it
// consumed the child, false to have it skipped. The loop ends at the container's end; a child
// that claims to reach past it ends the container there (the reader goes back to its end).
template <class Handler>
void forEachChild(MatroskaFile* mf, uint64_t size, Handler&& handler) {
  const uint64_t end = endOf(mf, size);
  while (currentPos(mf) < end) {
    uint32_t id = readElementId(mf);
    if (id == kEndOfFileId) raiseError(mf, "Unexpected EOF while reading EBML container");
    uint64_t childSize = readElementSize(mf);
    if (!handler(id, childSize)) skipBytes(mf, childSize);
  }
  if (currentPos(mf) > end) seekTo(mf, end);
}

// --- fixed point (mkv_fixed.cpp) ---
int64_t floatBitsToFixed(uint64_t bits, bool isDouble);
uint64_t fixedMul(int64_t a, int64_t b);
inline int32_t fixedToInt(int64_t v) {
  return static_cast<int32_t>(v >> 32);
}

// --- memory (mkv_memory.cpp) ---
void* ArrayAlloc(MatroskaFile* mf, uint32_t* count, uint32_t* capacity, void** array,
                 uint32_t elementSize);
void ArrayTrim(MatroskaFile* mf, uint32_t* capacity, uint32_t count, void** array,
               uint32_t elementSize);
template <class T>
T* arrayAppend(MatroskaFile* mf, uint32_t& count, uint32_t& capacity, T*& array) {
  void* block = array;
  T* item = static_cast<T*>(ArrayAlloc(mf, &count, &capacity, &block, sizeof(T)));
  array = static_cast<T*>(block);
  return item;
}
template <class T>
void arrayTrim(MatroskaFile* mf, uint32_t& capacity, uint32_t count, T*& array) {
  void* block = array;
  ArrayTrim(mf, &capacity, count, &block, sizeof(T));
  array = static_cast<T*>(block);
}
char* duplicateString(MkvInput* input, const char* text);
void packString(char** field, char** freeSpace);

// A block from the input, freed on scope exit unless released; keeps temporaries from leaking
// when an error unwinds.
class InputBlock {
 public:
  explicit InputBlock(MkvInput* input, void* block = nullptr) : input_(input), block_(block) {}
  ~InputBlock() { input_->free(input_, block_); }
  InputBlock(const InputBlock&) = delete;
  InputBlock& operator=(const InputBlock&) = delete;
  void reset(void* block) {
    input_->free(input_, block_);
    block_ = block;
  }
  void* get() const { return block_; }
  char* text() const { return static_cast<char*>(block_); }
  void* release() {
    void* b = block_;
    block_ = nullptr;
    return b;
  }

 private:
  MkvInput* input_;
  void* block_;
};

// Reads a string element of `size` bytes (at most 1023 kept) into a new block; an allocation
// failure raises "Out of memory".
char* readStringBlock(MatroskaFile* mf, uint64_t size);

// --- open and segment (mkv_open.cpp) ---
void parseSegmentInfo(MatroskaFile* mf, uint64_t size);
void parseFirstCluster(MatroskaFile* mf, uint64_t size);

// --- tracks (mkv_tracks.cpp) ---
void parseTracks(MatroskaFile* mf, uint64_t size);

// --- cues (mkv_cues.cpp) ---
void readCueList(MatroskaFile* mf, uint64_t size);
void appendCuePoint(MatroskaFile* mf, uint64_t clusterPos, uint64_t time);
void rebaseCueTimes(MatroskaFile* mf);
void completeCueTable(MatroskaFile* mf);

// --- clusters, blocks and queues (mkv_frames.cpp) ---
int readClusterSpan(MatroskaFile* mf);
int bufferUntilFrame(MatroskaFile* mf, uint32_t mask);
void releaseQueue(MatroskaFile* mf, MkvFrameQueue* queue);
void releaseAllQueues(MatroskaFile* mf);
MkvFrame* takeQueueHead(MkvFrameQueue* queue);
void freeFrameRecord(MatroskaFile* mf, MkvFrame* frame);

// --- seeking (mkv_seek.cpp) ---
void scanClusterIndex(MatroskaFile* mf);
uint64_t measureLastTimecode(MatroskaFile* mf);

// --- attachments, chapters, tags (mkv_attachments.cpp, mkv_chapters.cpp, mkv_tags.cpp) ---
void readAttachmentList(MatroskaFile* mf, uint64_t size);
void readEditionList(MatroskaFile* mf, uint64_t size);
void readTagList(MatroskaFile* mf, uint64_t size);
void shiftChapterTimes(MkvChapter* chapter, uint64_t base);
void freeAttachments(MatroskaFile* mf);
void freeChapters(MatroskaFile* mf);
void freeTags(MatroskaFile* mf);

}  // namespace mkv
