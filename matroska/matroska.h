// The Matroska parser's public interface: open a file through a caller-supplied MkvInput, list
// its segment information, tracks, attachments, chapters and tags, and read frames (as file
// positions and sizes) in time order, with seeking through the cue index.
//
// Every call takes the handle returned by mkv_OpenFile first. A handle is used by one thread at a
// time. All memory the parser holds comes from, and goes back to, the input's alloc/realloc/free.
// Nothing throws out of these functions: failures are a null handle with a message, or -1.
#pragma once

#include <cstddef>
#include <cstdint>

#include "matroska/mkv_input.h"

// The parser's handle; its contents are private to the parser.
struct MatroskaFile;

// Open flag: the parser makes no seeks of its own (no SeekHead following, no duration measurement,
// mkv_Seek does nothing).
constexpr uint32_t MKV_OPEN_NO_SEEK = 0x00000001;

// Frame flags reported by mkv_NextFrame.
constexpr uint32_t MKV_FRAME_START_INEXACT = 0x00000001;  // start is the block's time
constexpr uint32_t MKV_FRAME_END_INEXACT = 0x00000002;    // no end time known (end == start)
constexpr uint32_t MKV_FRAME_KEY = 0x00000004;
constexpr uint32_t MKV_FRAME_DISCARDABLE = 0x00800000;
constexpr uint32_t MKV_FRAME_ADDITION_SHIFT = 24;  // bits 24..31: BlockAddID of an addition frame

// Segment information (the Info element). Times are in scaled units (nanoseconds when
// timecodeScale counts nanoseconds per tick).
struct MkvSegmentInfo {
  uint8_t segmentUID[16];
  uint8_t prevUID[16];
  uint8_t nextUID[16];
  char* filename;  // each string: zero-terminated, at most 1023 bytes, or null
  char* prevFilename;
  char* nextFilename;
  char* title;
  char* muxingApp;
  char* writingApp;
  uint64_t timecodeScale;  // never 0
  uint64_t duration;       // measured end of the first video track when it could be measured
  int64_t dateUTC;
  uint8_t dateUTCValid;
};

struct MkvVideoSettings {
  uint8_t stereoMode;
  uint8_t displayUnit;
  uint8_t aspectRatioType;
  uint32_t pixelWidth;
  uint32_t pixelHeight;
  uint32_t displayWidth;
  uint32_t displayHeight;
  uint32_t pixelCropLeft;
  uint32_t pixelCropTop;
  uint32_t pixelCropRight;
  uint32_t pixelCropBottom;
  uint32_t colourSpace;
  int64_t gammaValue;  // 32.32 fixed point
  uint32_t interlaced : 1;
};

struct MkvAudioSettings {
  int64_t samplingFreq;        // 32.32 fixed point
  int64_t outputSamplingFreq;  // 32.32 fixed point
  uint8_t channels;
  uint8_t bitDepth;
};

// One track entry. The record, its CodecPrivate bytes, compression settings, name and codec
// identifier live in one block owned by the handle.
struct MkvTrack {
  uint8_t trackNumber;
  uint8_t trackType;  // 1 video, 2 audio, 17 subtitle, ...
  uint8_t trackOverlay;
  uint64_t trackUID;
  uint64_t minCache;
  uint64_t maxCache;
  uint64_t defaultDuration;    // scaled units, 0 = none
  int64_t trackTimecodeScale;  // 32.32 fixed point, default 1.0
  void* codecPrivate;
  uint32_t codecPrivateSize;
  uint32_t compMethod;  // 0 zlib, 3 header stripping
  void* compMethodPrivate;
  uint32_t compMethodPrivateSize;
  uint32_t maxBlockAdditionID;
  uint32_t enabled : 1;
  uint32_t defaultTrack : 1;
  uint32_t lacing : 1;
  uint32_t decodeAll : 1;
  uint32_t compEnabled : 1;
  union {  // only the one matching trackType is meaningful
    MkvVideoSettings video;
    MkvAudioSettings audio;
  };
  char* name;
  char language[4];
  char* codecID;
};

// One entry of the cue index. After open, time is in scaled units relative to the first block of
// the first cluster; clusterPos is relative to the first byte of the Segment's data.
struct MkvCuePoint {
  uint64_t time;
  uint64_t clusterPos;
  uint64_t block;
  uint8_t track;
};

struct MkvAttachment {
  uint64_t position;  // absolute file position of the attached data
  uint64_t length;
  uint64_t uid;
  char* name;
  char* description;
  char* mimeType;
};

struct MkvChapterDisplay {
  char* string;
  char language[4];
  char country[4];
};

struct MkvChapterCommand {
  uint32_t time;
  uint32_t length;  // size of the ChapProcessData element; at most 1023 bytes are kept in data
  char* data;
};

struct MkvChapterProcess {
  uint32_t codecId;
  uint32_t privateLength;  // size of the ChapProcessPrivate element
  char* privateData;       // at most its first 1023 bytes, zero-terminated
  uint32_t commandCount, commandCapacity;
  MkvChapterCommand* commands;
};

constexpr uint32_t MKV_CHAPTER_HIDDEN = 0x1;
constexpr uint32_t MKV_CHAPTER_ENABLED = 0x2;
constexpr uint32_t MKV_CHAPTER_DEFAULT = 0x4;
constexpr uint32_t MKV_CHAPTER_ORDERED = 0x8;

// A chapter record: the top-level records are editions, their children chapter atoms.
struct MkvChapter {
  uint64_t uid;
  uint64_t start;  // scaled units relative to the first block (0 stays 0)
  uint64_t end;
  uint32_t trackCount, trackCapacity;
  uint64_t* tracks;
  uint32_t displayCount, displayCapacity;
  MkvChapterDisplay* displays;
  uint32_t childCount, childCapacity;
  MkvChapter* children;
  uint32_t processCount, processCapacity;
  MkvChapterProcess* processes;
  uint8_t segmentUid[16];
  uint32_t flags;  // MKV_CHAPTER_*
};

enum MkvTagTargetKind : uint32_t {
  MKV_TARGET_TRACK = 0,
  MKV_TARGET_CHAPTER = 1,
  MKV_TARGET_ATTACHMENT = 2,
  MKV_TARGET_EDITION = 3,
};

struct MkvTagTarget {
  uint64_t uid;
  uint32_t kind;  // MkvTagTargetKind
};

constexpr uint32_t MKV_TAG_DEFAULT = 0x1;

struct MkvSimpleTag {
  char* name;
  char* value;
  char language[4];
  uint32_t flags;  // MKV_TAG_DEFAULT
};

struct MkvTag {
  uint32_t targetCount, targetCapacity;
  MkvTagTarget* targets;
  uint32_t simpleTagCount, simpleTagCapacity;
  MkvSimpleTag* simpleTags;
};

// Opens the Matroska file that starts at `base` (an EBML header, or a Segment when base > 0).
// Returns null with the reason copied into msg (truncated to msgSize) on failure.
MatroskaFile* mkv_OpenFile(MkvInput* input, uint64_t base, uint32_t flags, char* msg,
                           uint32_t msgSize);
MatroskaFile* mkv_OpenPlain(MkvInput* input, char* msg, uint32_t msgSize);
// Releases the handle and everything it owns; null does nothing.
void mkv_CloseFile(MatroskaFile* mf);

MkvSegmentInfo* mkv_SegmentInfo(MatroskaFile* mf);
uint32_t mkv_TrackCount(MatroskaFile* mf);
// The track at `index` in the track table, or null when index >= mkv_TrackCount.
MkvTrack* mkv_TrackEntry(MatroskaFile* mf, uint32_t index);
// Text of the last error met (also the ones the parser recovered from), or null when none.
const char* mkv_LastError(MatroskaFile* mf);
void mkv_Attachments(MatroskaFile* mf, MkvAttachment** attachments, uint32_t* count);
void mkv_Chapters(MatroskaFile* mf, MkvChapter** chapters, uint32_t* count);
void mkv_Tags(MatroskaFile* mf, MkvTag** tags, uint32_t* count);
// The name of a track's content compression method ("zlib", "header stripping"; "method N" for
// another number).
const char* mkv_CompressionName(uint32_t method, char* buffer, uint32_t bufferSize);
// Absolute file position of the end of the Segment's data.
uint64_t mkv_SegmentEnd(MatroskaFile* mf);

// Blocks of tracks whose bit (index mod 32) is set in mask are skipped unread from now on, and
// their queued frames are dropped.
void mkv_SelectTracks(MatroskaFile* mf, uint32_t mask);
// The earliest queued frame among the tracks whose bit is clear in mask: 0 with every output
// written, or -1 when there is none (end of data, or reading gave up after errors).
int mkv_NextFrame(MatroskaFile* mf, uint32_t mask, uint32_t* track, uint64_t* start, uint64_t* end,
                  uint64_t* pos, uint32_t* size, uint32_t* flags);
// Positions reading so that the next frames of track index `videoTrack` start at `time` (scaled
// units relative to the first block); a time that is a cue point's time delivers the frame the
// cue points at first. `flags` has no effect.
void mkv_Seek(MatroskaFile* mf, uint64_t time, uint32_t flags, uint32_t videoTrack);
