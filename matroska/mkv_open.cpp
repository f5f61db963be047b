// Opening a file: EBML header, Segment, SeekHead chains, segment information, the time origin,
// and closing; plus the accessors for what was read.
#include <cstdint>
#include <cstring>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

constexpr uint64_t kDefaultTimecodeScale = 1000000;
constexpr int kMaxSeekHeads = 10;

namespace id {
constexpr uint32_t kEbmlReadVersion = 0x42F7;
constexpr uint32_t kEbmlMaxIdLength = 0x42F2;
constexpr uint32_t kEbmlMaxSizeLength = 0x42F3;
constexpr uint32_t kDocType = 0x4282;
constexpr uint32_t kDocTypeReadVersion = 0x4285;
constexpr uint32_t kSeek = 0x4DBB;
constexpr uint32_t kSeekId = 0x53AB;
constexpr uint32_t kSeekPosition = 0x53AC;
constexpr uint32_t kSegmentUid = 0x73A4;
constexpr uint32_t kPrevUid = 0x3CB923;
constexpr uint32_t kNextUid = 0x3EB923;
constexpr uint32_t kSegmentFilename = 0x7384;
constexpr uint32_t kPrevFilename = 0x3C83AB;
constexpr uint32_t kNextFilename = 0x3E83BB;
constexpr uint32_t kTitle = 0x7BA9;
constexpr uint32_t kMuxingApp = 0x4D80;
constexpr uint32_t kWritingApp = 0x5741;
constexpr uint32_t kTimecodeScale = 0x2AD7B1;
constexpr uint32_t kDuration = 0x4489;
constexpr uint32_t kDateUtc = 0x4461;
}  // namespace id

unsigned low32(uint64_t v) {
  return static_cast<unsigned>(v & 0xFFFFFFFF);
}

void parseHeader(MatroskaFile* mf, uint64_t size) {
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kEbmlReadVersion: {
        uint64_t v = readUInt(mf, s);
        if (v > 1) raiseError(mf, "File requires version %d EBML parser", low32(v));
        return true;
      }
      case id::kEbmlMaxIdLength: {
        uint64_t v = readUInt(mf, s);
        if (v > 4) raiseError(mf, "File has identifiers longer than %d", low32(v));
        return true;
      }
      case id::kEbmlMaxSizeLength: {
        uint64_t v = readUInt(mf, s);
        if (v > 8) raiseError(mf, "File has integers longer than %d", low32(v));
        return true;
      }
      case id::kDocType: {
        char docType[32];
        readString(mf, sizeof docType, s, docType);
        if (std::strcmp(docType, "matroska") != 0) {
          raiseError(mf, "Unsupported DocType: %s", docType);
        }
        return true;
      }
      case id::kDocTypeReadVersion: {
        uint64_t v = readUInt(mf, s);
        if (v > 2) raiseError(mf, "File requires version %d Matroska parser", low32(v));
        return true;
      }
      default:
        return false;
    }
  });
}

void parseSeekEntry(MatroskaFile* mf, uint64_t size) {
  if (size == 0) raiseError(mf, "Invalid element position in parseSeekEntry");
  uint32_t seekId = 0;
  uint64_t seekPosition = UINT64_MAX;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child == id::kSeekId) {
      if (s > 4) raiseError(mf, "Invalid ID size in parseSeekEntry: %d\n", static_cast<int>(s));
      seekId = static_cast<uint32_t>(readUInt(mf, s));
      return true;
    }
    if (child == id::kSeekPosition) {
      seekPosition = readUInt(mf, s);
      return true;
    }
    return false;
  });
  if (seekPosition == UINT64_MAX) raiseError(mf, "Invalid element position in parseSeekEntry");
  if (seekPosition > UINT64_MAX - mf->segmentDataPos) {
    raiseError(mf, "Invalid element position in parseSeekEntry");
  }
  uint64_t p = seekPosition + mf->segmentDataPos;
  switch (seekId) {
    case mkvid::kSeekHead:
      if (mf->seekHeadPos != 0) raiseError(mf, "SeekHead contains more than one SeekHead pointer");
      mf->seekHeadPos = p;
      break;
    case mkvid::kInfo:
      mf->infoPos = p;
      break;
    case mkvid::kTracks:
      mf->tracksPos = p;
      break;
    case mkvid::kCues:
      mf->cuesPos = p;
      break;
    case mkvid::kAttachments:
      mf->attachmentsPos = p;
      break;
    case mkvid::kChapters:
      mf->chaptersPos = p;
      break;
    case mkvid::kTags:
      mf->tagsPos = p;
      break;
    case mkvid::kCluster:
      if (mf->firstClusterPos == 0) mf->firstClusterPos = p;
      break;
    default:
      break;
  }
}

void parseSeekHead(MatroskaFile* mf, uint64_t size) {
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child != id::kSeek) return false;
    parseSeekEntry(mf, s);
    return true;
  });
}

// Reads the section whose element has the ID `expected` at `position`. A pointer that does not
// lead to that element is stale and harmless: nothing is read.
void seekAndParse(MatroskaFile* mf, uint64_t position, uint32_t expected) {
  seekTo(mf, position);
  uint32_t found = readElementId(mf);
  if (found == kEndOfFileId) raiseError(mf, "Unexpected EOF in parseContainer");
  if (found != expected) return;
  uint64_t size = readElementSize(mf);
  switch (found) {
    case mkvid::kInfo:
      parseSegmentInfo(mf, size);
      break;
    case mkvid::kTracks:
      parseTracks(mf, size);
      break;
    case mkvid::kCues:
      readCueList(mf, size);
      break;
    case mkvid::kAttachments:
      readAttachmentList(mf, size);
      break;
    case mkvid::kChapters:
      readEditionList(mf, size);
      break;
    case mkvid::kTags:
      readTagList(mf, size);
      break;
    case mkvid::kCluster:
      parseFirstCluster(mf, size);
      break;
    default:
      break;
  }
}

void parsePointers(MatroskaFile* mf) {
  struct Section {
    uint64_t position;
    uint32_t bit;
    uint32_t id;
  };
  // Info, the first Cluster and Tracks are required: an error here fails the open.
  const Section required[] = {{mf->infoPos, kParsedInfo, mkvid::kInfo},
                              {mf->firstClusterPos, kParsedFirstCluster, mkvid::kCluster},
                              {mf->tracksPos, kParsedTracks, mkvid::kTracks}};
  for (const Section& s : required) {
    if (s.position != 0 && (mf->sectionsParsed & s.bit) == 0) seekAndParse(mf, s.position, s.id);
  }
  // The optional sections: an error leaves the failing one and those after it unread.
  const Section optional[] = {{mf->cuesPos, kParsedCues, mkvid::kCues},
                              {mf->attachmentsPos, kParsedAttachments, mkvid::kAttachments},
                              {mf->chaptersPos, kParsedChapters, mkvid::kChapters},
                              {mf->tagsPos, kParsedTags, mkvid::kTags}};
  try {
    for (const Section& s : optional) {
      if (s.position != 0 && (mf->sectionsParsed & s.bit) == 0) {
        seekAndParse(mf, s.position, s.id);
      }
    }
  } catch (Error&) {
    mf->flags &= ~MKV_ERROR_RAISED;
  }
}

void followSeekHeads(MatroskaFile* mf, uint64_t size, int& seekHeadsRead) {
  const uint64_t resume = endOf(mf, size);
  do {
    mf->seekHeadPos = 0;
    parseSeekHead(mf, size);
    ++seekHeadsRead;
    if (mf->seekHeadPos != 0) {
      seekTo(mf, mf->seekHeadPos);
      if (readElementId(mf) != mkvid::kSeekHead) break;
      size = readElementSize(mf);
    }
  } while (mf->seekHeadPos != 0 && seekHeadsRead < kMaxSeekHeads);
  seekTo(mf, resume);
}

// Scans the Segment's top level until Info, Tracks and the first Cluster are known. Errors end
// the scan only; what was found so far stays.
void parseSegment(MatroskaFile* mf, uint64_t size) {
  try {
    const uint64_t end = size == UINT64_MAX ? UINT64_MAX : endOf(mf, size);
    int seekHeadsRead = 0;
    while (currentPos(mf) < end) {
      const uint64_t elementPos = currentPos(mf);
      uint32_t found = readElementId(mf);
      if (found == kEndOfFileId) raiseError(mf, "Unexpected EOF while reading EBML container");
      uint64_t s = readElementSize(mf);
      switch (found) {
        case mkvid::kSeekHead:
          if (mf->flags & MKV_OPEN_NO_SEEK) {
            skipBytes(mf, s);
          } else {
            followSeekHeads(mf, s, seekHeadsRead);
          }
          break;
        case mkvid::kInfo:
          mf->infoPos = elementPos;
          parseSegmentInfo(mf, s);
          break;
        case mkvid::kTracks:
          mf->tracksPos = elementPos;
          parseTracks(mf, s);
          break;
        case mkvid::kCues:
          mf->cuesPos = elementPos;
          readCueList(mf, s);
          break;
        case mkvid::kAttachments:
          mf->attachmentsPos = elementPos;
          readAttachmentList(mf, s);
          break;
        case mkvid::kChapters:
          mf->chaptersPos = elementPos;
          readEditionList(mf, s);
          break;
        case mkvid::kTags:
          mf->tagsPos = elementPos;
          readTagList(mf, s);
          break;
        case mkvid::kCluster:
          if (mf->firstClusterPos == 0) mf->firstClusterPos = elementPos;
          if (mf->sectionsParsed & kParsedFirstCluster) {
            skipBytes(mf, s);
          } else {
            parseFirstCluster(mf, s);
          }
          break;
        default:
          skipBytes(mf, s);
          break;
      }
      if (mf->infoPos != 0 && mf->tracksPos != 0 && mf->firstClusterPos != 0) break;
    }
  } catch (Error&) {
    mf->flags &= ~MKV_ERROR_RAISED;
  }
  parsePointers(mf);
}

void readFirstBlockTime(MatroskaFile* mf) {
  readVarUInt(mf);  // track number
  int16_t relative = static_cast<int16_t>(static_cast<uint16_t>(readUInt(mf, 2)));
  mf->firstTimecode += static_cast<uint64_t>(static_cast<int64_t>(relative));
}

void parseFile(MatroskaFile* mf) {
  const uint64_t start = currentPos(mf);
  uint32_t found = readElementId(mf);
  if (found == kEndOfFileId) raiseError(mf, "Unexpected EOF at start of file");
  if (!(start > 0 && found == mkvid::kSegment)) {
    if (found != mkvid::kEbml) raiseError(mf, "First element in file is not EBML");
    parseHeader(mf, readElementSize(mf));
    for (;;) {
      found = readElementId(mf);
      if (found == kEndOfFileId) raiseError(mf, "No segments found in the file");
      if (found == mkvid::kSegment) break;
      // An element without a size here leaves no way to find what follows it.
      int extra = 0;
      uint64_t s = readVarUInt(mf, &extra);
      if (s == (uint64_t{1} << (7 * (extra + 1))) - 1) {
        raiseError(mf, "Element %X of unspecified size before the Segment", found);
      }
      skipBytes(mf, s);
    }
  }
  int extra = 0;
  uint64_t size = readVarUInt(mf, &extra);
  const bool sizeGiven = size != (uint64_t{1} << (7 * (extra + 1))) - 1;
  mf->segmentDataPos = currentPos(mf);
  if (sizeGiven) {
    mf->segmentEnd = endOf(mf, size);
  } else {
    size = UINT64_MAX;
    mf->segmentEnd = UINT64_MAX;
    if (mf->input->fileSize != nullptr) {
      int64_t total = mf->input->fileSize(mf->input);
      if (total > 0) mf->segmentEnd = static_cast<uint64_t>(total);
    }
  }
  parseSegment(mf, size);
  if ((mf->sectionsParsed & kParsedInfo) == 0) raiseError(mf, "Couldn't find SegmentInfo");
  if ((mf->sectionsParsed & kParsedFirstCluster) == 0) mf->firstClusterPos = mf->segmentEnd;

  // Every reported time counts from the first block of the first Cluster.
  const uint64_t shift = mf->firstTimecode * mf->segmentInfo.timecodeScale;
  for (uint32_t i = 0; i < mf->chapterCount; ++i) shiftChapterTimes(&mf->chapters[i], shift);
  completeCueTable(mf);
  rebaseCueTimes(mf);

  arrayTrim(mf, mf->trackCapacity, mf->trackCount, mf->tracks);
  const uint32_t queueCount = mf->trackCount > 0 ? mf->trackCount : 1;
  mf->queues =
      static_cast<MkvFrameQueue*>(mf->input->alloc(mf->input, sizeof(MkvFrameQueue) * queueCount));
  if (mf->queues == nullptr) raiseError(mf, "Ouf of memory");
  std::memset(mf->queues, 0, sizeof(MkvFrameQueue) * queueCount);

  if ((mf->flags & MKV_OPEN_NO_SEEK) == 0) {
    uint64_t t = measureLastTimecode(mf);
    if (static_cast<int64_t>(t) > 0) mf->segmentInfo.duration = t;
  }
  mf->readPos = mf->firstClusterPos;
  mf->clusterTimecode = mf->firstTimecode;
}

void replaceString(MatroskaFile* mf, char** field, uint64_t size) {
  char* text = readStringBlock(mf, size);
  mf->input->free(mf->input, *field);
  *field = text;
}

void readUid(MatroskaFile* mf, uint64_t size, uint8_t* uid, const char* message) {
  if (size != 16) raiseError(mf, message, 16);
  readBytes(mf, 16, uid);
}

}  // namespace

void parseSegmentInfo(MatroskaFile* mf, uint64_t size) {
  if (mf->sectionsParsed & kParsedInfo) {
    skipBytes(mf, size);
    return;
  }
  mf->sectionsParsed |= kParsedInfo;
  MkvSegmentInfo& info = mf->segmentInfo;
  info.timecodeScale = kDefaultTimecodeScale;
  int64_t durationValue = 0;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kSegmentUid:
        readUid(mf, s, info.segmentUID, "SegmentUID size is not %d bytes");
        return true;
      case id::kPrevUid:
        readUid(mf, s, info.prevUID, "PrevUID size is not %d bytes");
        return true;
      case id::kNextUid:
        readUid(mf, s, info.nextUID, "NextUID size is not %d bytes");
        return true;
      case id::kSegmentFilename:
        replaceString(mf, &info.filename, s);
        return true;
      case id::kPrevFilename:
        replaceString(mf, &info.prevFilename, s);
        return true;
      case id::kNextFilename:
        replaceString(mf, &info.nextFilename, s);
        return true;
      case id::kTitle:
        replaceString(mf, &info.title, s);
        return true;
      case id::kMuxingApp:
        replaceString(mf, &info.muxingApp, s);
        return true;
      case id::kWritingApp:
        replaceString(mf, &info.writingApp, s);
        return true;
      case id::kTimecodeScale: {
        uint64_t scale = readUInt(mf, s);
        // Times are multiplied and divided by the scale: a zero is reported and not kept.
        if (scale == 0) raiseError(mf, "Segment timecode scale is zero");
        info.timecodeScale = scale;
        return true;
      }
      case id::kDuration:
        durationValue = readFloat(mf, s);
        return true;
      case id::kDateUtc:
        info.dateUTC = static_cast<int64_t>(readUInt(mf, s));
        info.dateUTCValid = 1;
        return true;
      default:
        return false;
    }
  });
  info.duration = fixedMul(durationValue, static_cast<int64_t>(info.timecodeScale));
}

void parseFirstCluster(MatroskaFile* mf, uint64_t size) {
  mf->sectionsParsed |= kParsedFirstCluster;
  mf->firstTimecode = 0;
  const uint64_t clusterEnd = endOf(mf, size);
  while (currentPos(mf) < clusterEnd) {
    uint32_t child = readElementId(mf);
    if (child == kEndOfFileId) raiseError(mf, "Unexpected EOF while reading EBML container");
    uint64_t s = readElementSize(mf);
    if (child == mkvid::kTimecode) {
      mf->firstTimecode += readUInt(mf, s);
    } else if (child == mkvid::kSimpleBlock) {
      readFirstBlockTime(mf);
      seekTo(mf, clusterEnd);
      return;
    } else if (child == mkvid::kBlockGroup) {
      const uint64_t groupEnd = endOf(mf, s);
      while (currentPos(mf) < groupEnd) {
        uint32_t inner = readElementId(mf);
        if (inner == kEndOfFileId) raiseError(mf, "Unexpected EOF while reading EBML container");
        uint64_t innerSize = readElementSize(mf);
        if (inner == mkvid::kBlock) {
          readFirstBlockTime(mf);
          seekTo(mf, clusterEnd);
          return;
        }
        skipBytes(mf, innerSize);
      }
      if (currentPos(mf) > groupEnd) seekTo(mf, groupEnd);
    } else {
      skipBytes(mf, s);
    }
  }
  if (currentPos(mf) > clusterEnd) seekTo(mf, clusterEnd);
}

}  // namespace mkv

using namespace mkv;

MatroskaFile* mkv_OpenFile(MkvInput* input, uint64_t base, uint32_t flags, char* msg,
                           uint32_t msgSize) {
  if (msg == nullptr) msgSize = 0;
  if (input == nullptr || input->read == nullptr || input->alloc == nullptr ||
      input->realloc == nullptr || input->free == nullptr) {
    copyText("Invalid input record", msgSize, msg);
    return nullptr;
  }
  MatroskaFile* mf = static_cast<MatroskaFile*>(input->alloc(input, sizeof(MatroskaFile)));
  if (mf == nullptr) {
    copyText("Out of memory", msgSize, msg);
    return nullptr;
  }
  std::memset(mf, 0, sizeof *mf);
  mf->flags = flags & ~MKV_ERROR_RAISED;
  mf->input = input;
  if (input->progress != nullptr) input->progress(input, 0, 0);
  try {
    seekTo(mf, base);
    parseFile(mf);
    return mf;
  } catch (Error&) {
    copyText(mf->errorMessage, msgSize, msg);
    mkv_CloseFile(mf);
    return nullptr;
  }
}

MatroskaFile* mkv_OpenPlain(MkvInput* input, char* msg, uint32_t msgSize) {
  return mkv_OpenFile(input, 0, 0, msg, msgSize);
}

void mkv_CloseFile(MatroskaFile* mf) {
  if (mf == nullptr) return;
  MkvInput* in = mf->input;
  for (uint32_t i = 0; i < mf->trackCount; ++i) in->free(in, mf->tracks[i]);
  in->free(in, mf->tracks);
  for (uint32_t i = 0; i < mf->poolCount; ++i) in->free(in, mf->frameRecordPool[i]);
  in->free(in, mf->frameRecordPool);
  in->free(in, mf->queues);
  MkvSegmentInfo& info = mf->segmentInfo;
  in->free(in, info.title);
  in->free(in, info.muxingApp);
  in->free(in, info.writingApp);
  in->free(in, info.filename);
  in->free(in, info.nextFilename);
  in->free(in, info.prevFilename);
  in->free(in, mf->cues);
  freeAttachments(mf);
  freeChapters(mf);
  freeTags(mf);
  in->free(in, mf);
}

MkvSegmentInfo* mkv_SegmentInfo(MatroskaFile* mf) {
  return &mf->segmentInfo;
}

uint32_t mkv_TrackCount(MatroskaFile* mf) {
  return mf->trackCount;
}

MkvTrack* mkv_TrackEntry(MatroskaFile* mf, uint32_t index) {
  return index < mf->trackCount ? mf->tracks[index] : nullptr;
}

const char* mkv_LastError(MatroskaFile* mf) {
  return mf->errorMessage[0] != 0 ? mf->errorMessage : nullptr;
}

void mkv_Attachments(MatroskaFile* mf, MkvAttachment** attachments, uint32_t* count) {
  if (attachments != nullptr) *attachments = mf->attachments;
  if (count != nullptr) *count = mf->attachmentCount;
}

void mkv_Chapters(MatroskaFile* mf, MkvChapter** chapters, uint32_t* count) {
  if (chapters != nullptr) *chapters = mf->chapters;
  if (count != nullptr) *count = mf->chapterCount;
}

void mkv_Tags(MatroskaFile* mf, MkvTag** tags, uint32_t* count) {
  if (tags != nullptr) *tags = mf->tags;
  if (count != nullptr) *count = mf->tagCount;
}

uint64_t mkv_SegmentEnd(MatroskaFile* mf) {
  return mf->segmentEnd;
}
