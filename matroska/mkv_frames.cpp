// Cluster and block reading: lazy spans of cluster data, laced frames with their times, the
// frame-record pool and per-track queues, resynchronisation after damage, and frame delivery.
#include <cstdint>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

constexpr uint32_t kRecordsPerBlock = 512;
constexpr uint64_t kMaxClusterLevelElement = 4194304;
constexpr uint64_t kMaxResyncClusterSize = 67108864;
constexpr uint64_t kMaxSpan = 262144;
constexpr uint64_t kTouchStep = 16384;
constexpr uint64_t kMaxBlockData = 0xFFFFFFFF;  // frame sizes and offsets are 32-bit

namespace id {
constexpr uint32_t kPosition = 0xA7;
constexpr uint32_t kPrevSize = 0xAB;
constexpr uint32_t kSilentTracks = 0x5854;
constexpr uint32_t kSilentTrackNumber = 0x58D7;
constexpr uint32_t kBlockDuration = 0x9B;
constexpr uint32_t kReferenceBlock = 0xFB;
constexpr uint32_t kBlockAdditions = 0x75A1;
constexpr uint32_t kBlockMore = 0xA6;
constexpr uint32_t kBlockAddId = 0xEE;
constexpr uint32_t kBlockAdditional = 0xA5;
}  // namespace id

unsigned low32(uint64_t v) {
  return static_cast<unsigned>(v & 0xFFFFFFFF);
}

uint32_t trackBit(uint32_t index) {
  return uint32_t{1} << (index % 32);
}

MkvFrame* takeFrameRecord(MatroskaFile* mf) {
  if (mf->freeFrames == nullptr) {
    // Room in the block list first, so that a failure cannot lose a block.
    MkvFrame** slot = arrayAppend(mf, mf->poolCount, mf->poolCapacity, mf->frameRecordPool);
    MkvFrame* block =
        static_cast<MkvFrame*>(mf->input->alloc(mf->input, sizeof(MkvFrame) * kRecordsPerBlock));
    if (block == nullptr) {
      --mf->poolCount;
      raiseError(mf, "Ouf of memory");
    }
    *slot = block;
    for (uint32_t i = 0; i < kRecordsPerBlock; ++i) {
      block[i].next = i + 1 < kRecordsPerBlock ? &block[i + 1] : nullptr;
    }
    mf->freeFrames = block;
  }
  MkvFrame* frame = mf->freeFrames;
  mf->freeFrames = frame->next;
  return frame;
}

void appendToQueue(MkvFrameQueue* queue, MkvFrame* frame) {
  frame->next = nullptr;
  if (queue->tail != nullptr) {
    queue->tail->next = frame;
  } else {
    queue->head = frame;
  }
  queue->tail = frame;
}

bool anyQueued(const MatroskaFile* mf, uint32_t mask) {
  for (uint32_t i = 0; i < mf->trackCount; ++i) {
    if ((mask & trackBit(i)) == 0 && mf->queues[i].head != nullptr) return true;
  }
  return false;
}

// What the body of a Block or SimpleBlock queued, for the timing step.
struct BlockInfo {
  uint32_t trackIndex = 0;
  uint64_t blockTime = 0;
  uint32_t count = 0;
  MkvFrame* first = nullptr;
  bool key = true;
};

// Reads the body of a Block or SimpleBlock of `size` bytes and queues its frames. Returns false
// when its track is unknown or skipped: the caller passes over the enclosing element.
bool readBlockBody(MatroskaFile* mf, uint64_t size, bool simple, BlockInfo& info) {
  const uint64_t blockEnd = endOf(mf, size);
  const uint64_t trackNumber = readVarUInt(mf);
  if (trackNumber > 255) raiseError(mf, "Invalid track number in Block: %d", low32(trackNumber));
  uint32_t index = 0;
  while (index < mf->trackCount && mf->tracks[index]->trackNumber != trackNumber) ++index;
  if (index == mf->trackCount || (mf->skipMask & trackBit(index)) != 0) return false;
  const MkvTrack* track = mf->tracks[index];

  const int16_t relative = static_cast<int16_t>(static_cast<uint16_t>(readUInt(mf, 2)));
  const uint64_t ticks = static_cast<uint64_t>(static_cast<int64_t>(relative)) +
                         mf->clusterTimecode - mf->firstTimecode;
  const uint64_t blockTime = fixedMul(track->trackTimecodeScale,
                                      static_cast<int64_t>(ticks * mf->segmentInfo.timecodeScale));

  const int flags = readByte(mf);
  if (flags < 0) raiseError(mf, "Unexpected EOF while reading Block flags");
  if (simple && (flags & 0x80) == 0) info.key = false;
  const int lacing = (flags >> 1) & 3;
  const bool discard = (flags & 0x01) != 0;
  uint32_t count = 1;
  if (lacing != 0) {
    int b = readByte(mf);
    if (b < 0) raiseError(mf, "Unexpected EOF while reading lacing data");
    count = static_cast<uint32_t>(b) + 1;
  }

  // Every frame must lie inside the block: lace sizes that add up to more than the block's
  // data, or a block too large for 32-bit frame sizes, drop the block.
  uint64_t sizes[256];
  uint64_t sum = 0;
  if (lacing == 1) {  // Xiph
    for (uint32_t i = 0; i + 1 < count; ++i) {
      uint64_t v = 0;
      int b;
      do {
        b = readByte(mf);
        if (b < 0) raiseError(mf, "Unexpected EOF while reading lacing data");
        v += static_cast<uint64_t>(b);
      } while (b == 255);
      sizes[i] = v;
      sum += v;
    }
  } else if (lacing == 3 && count > 1) {  // EBML
    sizes[0] = readVarUInt(mf);
    sum = sizes[0];
    for (uint32_t k = 1; k + 1 < count; ++k) {
      const int64_t delta = readVarSInt(mf);
      const uint64_t prev = sizes[k - 1];
      if (delta < 0 ? static_cast<uint64_t>(-delta) > prev : prev + delta > kMaxBlockData) {
        raiseError(mf, "Invalid lace size in Block");
      }
      sizes[k] = prev + static_cast<uint64_t>(delta);
      sum += sizes[k];
    }
  }
  const uint64_t dataPos = currentPos(mf);
  if (dataPos > blockEnd) raiseError(mf, "Lacing data runs past the end of the block");
  const uint64_t rest = blockEnd - dataPos;
  if (rest > kMaxBlockData) raiseError(mf, "Block too large: %llu", rest);
  if (lacing == 0 || (lacing == 3 && count == 1)) {
    sizes[0] = rest;
  } else if (lacing == 2) {
    for (uint32_t i = 0; i < count; ++i) sizes[i] = rest / count;
  } else {
    if (sum > rest) raiseError(mf, "Lace sizes exceed the block");
    sizes[count - 1] = rest - sum;
  }

  uint64_t framePos = dataPos;
  info.trackIndex = index;
  info.blockTime = blockTime;
  info.count = count;
  info.first = nullptr;
  MkvFrameQueue* queue = &mf->queues[index];
  for (uint32_t i = 0; i < count; ++i) {
    MkvFrame* frame = takeFrameRecord(mf);
    frame->start = blockTime;
    frame->end = blockTime;
    frame->pos = framePos;
    frame->size = static_cast<uint32_t>(sizes[i]);
    frame->flags = MKV_FRAME_KEY | MKV_FRAME_END_INEXACT;
    if (i + 1 == count && discard) frame->flags |= MKV_FRAME_DISCARDABLE;
    if (i > 0) frame->flags |= MKV_FRAME_START_INEXACT;
    appendToQueue(queue, frame);
    if (i == 0) info.first = frame;
    framePos += sizes[i];
  }

  // Let the input know which stretch of the file comes next.
  for (uint64_t p = dataPos & ~(kTouchStep - 1); p < blockEnd; p += kTouchStep) {
    mf->input->read(mf->input, p, nullptr, 0);
  }
  seekTo(mf, blockEnd);
  return true;
}

void readBlockMore(MatroskaFile* mf, uint64_t size, uint64_t blockTime, uint32_t trackIndex) {
  uint64_t addId = 1;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child != id::kBlockMore) return false;
    uint64_t dataPos = 0;
    uint64_t dataSize = 0;
    int additionals = 0;
    forEachChild(mf, s, [&](uint32_t inner, uint64_t innerSize) {
      if (inner == id::kBlockAddId) {
        addId = readUInt(mf, innerSize);
        return true;
      }
      if (inner == id::kBlockAdditional) {
        dataPos = currentPos(mf);
        dataSize = innerSize;
        ++additionals;
      }
      return false;
    });
    if (additionals == 1) {
      MkvFrame* frame = takeFrameRecord(mf);
      frame->start = blockTime;
      frame->end = blockTime;
      frame->pos = dataPos;
      frame->size = low32(dataSize);
      frame->flags = (static_cast<uint32_t>(addId & 0xFF) << MKV_FRAME_ADDITION_SHIFT) |
                     MKV_FRAME_START_INEXACT | MKV_FRAME_END_INEXACT;
      appendToQueue(&mf->queues[trackIndex], frame);
    }
    return true;
  });
}

void applyTiming(MatroskaFile* mf, const BlockInfo& info, bool hasDuration, uint64_t duration) {
  const MkvTrack* track = mf->tracks[info.trackIndex];
  const uint64_t d = track->defaultDuration;
  uint64_t t = 0;
  if (hasDuration) {
    t = fixedMul(track->trackTimecodeScale,
                 static_cast<int64_t>(duration * mf->segmentInfo.timecodeScale));
  }
  MkvFrame* frame = info.first;
  if (info.count == 1) {
    if (hasDuration) {
      frame->end = frame->start + t;
      frame->flags &= ~MKV_FRAME_END_INEXACT;
    } else if (d != 0) {
      frame->end = frame->start + d;
      frame->flags &= ~MKV_FRAME_END_INEXACT;
    }
  } else if (hasDuration) {
    for (uint32_t k = 0; k < info.count && frame != nullptr; ++k, frame = frame->next) {
      frame->start = info.blockTime + k * d;
      if (k + 1 < info.count) {
        frame->end = frame->start + d;
      } else {
        frame->end = frame->start + (t - (info.count - 1) * d);
        frame->flags &= ~MKV_FRAME_END_INEXACT;
      }
    }
  } else if (d != 0) {
    for (uint32_t k = 0; k < info.count && frame != nullptr; ++k, frame = frame->next) {
      frame->start = info.blockTime + k * d;
      frame->end = frame->start + d;
      frame->flags &= ~(MKV_FRAME_START_INEXACT | MKV_FRAME_END_INEXACT);
    }
  }
  if (!info.key) {
    for (MkvFrame* f = info.first; f != nullptr; f = f->next) f->flags &= ~MKV_FRAME_KEY;
  }
}

void readBlock(MatroskaFile* mf, uint64_t size, bool simple) {
  const uint64_t end = endOf(mf, size);
  BlockInfo info;
  if (simple) {
    if (!readBlockBody(mf, size, true, info)) {
      seekTo(mf, end);
      return;
    }
    applyTiming(mf, info, false, 0);
    return;
  }
  bool blockSeen = false;
  bool hasDuration = false;
  uint64_t duration = 0;
  while (currentPos(mf) < end) {
    uint32_t child = readElementId(mf);
    if (child == kEndOfFileId) raiseError(mf, "Unexpected EOF while reading EBML container");
    uint64_t s = readElementSize(mf);
    switch (child) {
      case mkvid::kBlock:
        if (!readBlockBody(mf, s, false, info)) {
          seekTo(mf, end);
          return;
        }
        blockSeen = true;
        break;
      case id::kBlockDuration:
        duration = readUInt(mf, s);
        hasDuration = true;
        break;
      case id::kReferenceBlock:
        readUInt(mf, s);
        info.key = false;
        break;
      case id::kBlockAdditions:
        if (blockSeen) {
          readBlockMore(mf, s, info.blockTime, info.trackIndex);
        } else {
          skipBytes(mf, s);
        }
        break;
      default:
        skipBytes(mf, s);
        break;
    }
  }
  if (currentPos(mf) > end) seekTo(mf, end);
  if (!blockSeen) raiseError(mf, "Found a BlockGroup without Block");
  applyTiming(mf, info, hasDuration, duration);
}

// Reads the children of a Cluster up to its first block (which it reads too). The remaining
// children are then read by the caller at cluster level.
void readClusterHead(MatroskaFile* mf, uint64_t size) {
  const uint64_t clusterEnd = endOf(mf, size);
  bool timecodeSeen = false;
  while (currentPos(mf) < clusterEnd) {
    uint32_t child = readElementId(mf);
    if (child == kEndOfFileId) raiseError(mf, "Unexpected EOF while reading EBML container");
    uint64_t s = readElementSize(mf);
    switch (child) {
      case mkvid::kTimecode:
        mf->clusterTimecode = readUInt(mf, s);
        timecodeSeen = true;
        break;
      case id::kPosition:
      case id::kPrevSize:
        readUInt(mf, s);
        break;
      case id::kSilentTracks:
        forEachChild(mf, s, [&](uint32_t inner, uint64_t innerSize) {
          if (inner != id::kSilentTrackNumber) return false;
          readUInt(mf, innerSize);
          return true;
        });
        break;
      case mkvid::kBlockGroup:
      case mkvid::kSimpleBlock:
        if (!timecodeSeen) raiseError(mf, "Found BlockGroup before cluster TimeCode");
        readBlock(mf, s, child == mkvid::kSimpleBlock);
        return;
      default:
        skipBytes(mf, s);
        break;
    }
  }
  if (currentPos(mf) > clusterEnd) seekTo(mf, clusterEnd);
}

// Looks for the next plausible Cluster from the current position. True with readPos at it;
// false when there is none before the segment's end.
bool resynchronise(MatroskaFile* mf) {
  if (mf->input->scan == nullptr) return false;
  while (currentPos(mf) < mf->segmentEnd) {
    const uint64_t from = currentPos(mf);
    int64_t c = mf->input->scan(mf->input, from, mkvid::kCluster);
    if (c < 0 || static_cast<uint64_t>(c) < from || static_cast<uint64_t>(c) >= mf->segmentEnd) {
      return false;
    }
    seekTo(mf, static_cast<uint64_t>(c));
    uint32_t found = readElementId(mf);
    if (found == kEndOfFileId) return false;
    if (found == mkvid::kCluster && readElementSize(mf) < kMaxResyncClusterSize) {
      mf->flags &= ~MKV_ERROR_RAISED;
      mf->readPos = static_cast<uint64_t>(c);
      return true;
    }
  }
  return false;
}

}  // namespace

int readClusterSpan(MatroskaFile* mf) {
  if (mf->readPos >= mf->segmentEnd) return -1;
  int result = 0;
  int errorCount = 0;
  bool resync = false;
  for (;;) {
    try {
      if (resync) {
        if (!resynchronise(mf)) return -1;
        result = 1;
        resync = false;
      }
      const uint32_t preferred =
          mf->input->cacheSize != nullptr ? mf->input->cacheSize(mf->input) : 0;
      const uint64_t span = preferred / 2 < kMaxSpan ? preferred / 2 : kMaxSpan;
      const uint64_t spanEnd = mf->readPos > UINT64_MAX - span ? UINT64_MAX : mf->readPos + span;
      seekTo(mf, mf->readPos);
      while (currentPos(mf) < mf->segmentEnd) {
        uint32_t found = readElementId(mf);
        if (found == kEndOfFileId) {
          result = -1;
          break;
        }
        uint64_t s = readElementSize(mf);
        if (found == mkvid::kCluster) {
          readClusterHead(mf, s);
        } else {
          if (s > kMaxClusterLevelElement) {
            raiseError(mf, "Element in a cluster is too large around %llu, %X [%u]",
                       static_cast<unsigned long long>(currentPos(mf)), found, low32(s));
          }
          // An element that would end beyond the segment is damage (an overwritten Cluster head,
          // say): skipping it would lose every cluster after it, so let the cluster search
          // take over instead.
          if (s > mf->segmentEnd - currentPos(mf)) {
            raiseError(mf, "Element in a cluster runs past the segment around %llu, %X [%u]",
                       static_cast<unsigned long long>(currentPos(mf)), found, low32(s));
          }
          if (found == mkvid::kBlockGroup || found == mkvid::kSimpleBlock) {
            readBlock(mf, s, found == mkvid::kSimpleBlock);
          } else {
            skipBytes(mf, s);
          }
        }
        mf->readPos = currentPos(mf);
        if (currentPos(mf) > spanEnd) break;
      }
      mf->readPos = currentPos(mf);
      return result;
    } catch (Error&) {
      // Frames queued so far stay; reading goes on at the next Cluster found.
      result = -1;
      mf->readPos = currentPos(mf);
      if (++errorCount > 3) return -1;
      resync = true;
    }
  }
}

int bufferUntilFrame(MatroskaFile* mf, uint32_t mask) {
  int r = 0;
  for (;;) {
    if (anyQueued(mf, mask)) return r;
    r = readClusterSpan(mf);
    if (r < 0) return anyQueued(mf, mask) ? 0 : -1;
  }
}

void freeFrameRecord(MatroskaFile* mf, MkvFrame* frame) {
  frame->next = mf->freeFrames;
  mf->freeFrames = frame;
}

MkvFrame* takeQueueHead(MkvFrameQueue* queue) {
  MkvFrame* frame = queue->head;
  if (frame == nullptr) return nullptr;
  queue->head = frame->next;
  if (queue->head == nullptr) queue->tail = nullptr;
  return frame;
}

void releaseQueue(MatroskaFile* mf, MkvFrameQueue* queue) {
  while (MkvFrame* frame = takeQueueHead(queue)) freeFrameRecord(mf, frame);
}

void releaseAllQueues(MatroskaFile* mf) {
  for (uint32_t i = 0; i < mf->trackCount; ++i) releaseQueue(mf, &mf->queues[i]);
}

}  // namespace mkv

using namespace mkv;

void mkv_SelectTracks(MatroskaFile* mf, uint32_t mask) {
  if (mf->flags & MKV_ERROR_RAISED) return;
  mf->skipMask = mask;
  for (uint32_t i = 0; i < mf->trackCount; ++i) {
    if (mask & trackBit(i)) releaseQueue(mf, &mf->queues[i]);
  }
}

int mkv_NextFrame(MatroskaFile* mf, uint32_t mask, uint32_t* track, uint64_t* start, uint64_t* end,
                  uint64_t* pos, uint32_t* size, uint32_t* flags) {
  try {
    for (;;) {
      uint32_t best = mf->trackCount;
      for (uint32_t i = 0; i < mf->trackCount; ++i) {
        const MkvFrame* head = mf->queues[i].head;
        if ((mask & trackBit(i)) != 0 || head == nullptr) continue;
        if (best == mf->trackCount || head->start < mf->queues[best].head->start) best = i;
      }
      if (best < mf->trackCount) {
        MkvFrame* frame = takeQueueHead(&mf->queues[best]);
        if (track != nullptr) *track = best;
        if (start != nullptr) *start = frame->start;
        if (end != nullptr) *end = frame->end;
        if (pos != nullptr) *pos = frame->pos;
        if (size != nullptr) *size = frame->size;
        if (flags != nullptr) *flags = frame->flags;
        freeFrameRecord(mf, frame);
        return 0;
      }
      if (mf->flags & MKV_ERROR_RAISED) return -1;
      if (bufferUntilFrame(mf, mask) < 0) return -1;
    }
  } catch (Error&) {
    return -1;
  }
}
