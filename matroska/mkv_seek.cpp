// Seeking through the cue index, the cluster scan that builds an index when a file has none, and
// the measurement of the first video track's end at open.
#include <cstdint>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

constexpr uint64_t kScanStep = 10485760;       // candidate spacing in large segments
constexpr uint64_t kSmallSegment = 104857600;  // below this, ten steps over the segment
constexpr int kMaxMisses = 50;
constexpr uint64_t kMinScanCluster = 1024;
constexpr uint64_t kMaxScanCluster = 0x3FFFFFF;
constexpr uint64_t kTailSize = 13000000;  // how much of the file end the duration read covers
constexpr uint8_t kVideoTrackType = 1;

enum class Probe { kNext, kStop, kFound };

// Probes a Cluster candidate at c: found when it has a Timecode within its first 1024 bytes and
// another Cluster follows it directly.
Probe probeCandidate(MatroskaFile* mf, uint64_t c, uint64_t& timecode, uint64_t& clusterEnd) {
  seekTo(mf, c);
  uint32_t found = readElementId(mf);
  if (found == kEndOfFileId) return Probe::kStop;
  if (found != mkvid::kCluster) return Probe::kNext;
  uint64_t size = readVarUInt(mf);
  if (size < kMinScanCluster || size > kMaxScanCluster) return Probe::kNext;
  clusterEnd = currentPos(mf) + size;
  bool haveTimecode = false;
  while (currentPos(mf) < c + kMinScanCluster) {
    uint32_t child = readElementId(mf);
    if (child == kEndOfFileId) return Probe::kNext;
    uint64_t s = readVarUInt(mf);
    if (child == mkvid::kTimecode) {
      timecode = readUInt(mf, s);
      haveTimecode = true;
      break;
    }
    skipBytes(mf, s);
  }
  if (!haveTimecode) return Probe::kNext;
  seekTo(mf, clusterEnd);
  found = readElementId(mf);
  if (found == kEndOfFileId) return Probe::kStop;
  return found == mkvid::kCluster ? Probe::kFound : Probe::kNext;
}

}  // namespace

void scanClusterIndex(MatroskaFile* mf) {
  if (mf->firstClusterPos >= mf->segmentEnd) return;
  MkvInput* in = mf->input;
  const uint64_t span = mf->segmentEnd - mf->firstClusterPos;
  uint64_t step = kScanStep;
  if (span < kSmallSegment) {
    step = span / 10;
    if (step == 0) step = 1;
  }
  mf->cueCount = 0;
  uint64_t pos = mf->firstClusterPos;
  int misses = 0;
  while (pos < mf->segmentEnd && in->scan != nullptr) {
    if (in->progress != nullptr && in->progress(in, pos, mf->segmentEnd) == 0) break;
    if (++misses > kMaxMisses) {
      if (pos > UINT64_MAX - step) break;
      pos += step;
      misses = 0;
      continue;
    }
    int64_t c = in->scan(in, pos, mkvid::kCluster);
    if (c < 0 || static_cast<uint64_t>(c) < pos || static_cast<uint64_t>(c) >= mf->segmentEnd) {
      break;
    }
    const uint64_t candidate = static_cast<uint64_t>(c);
    pos = candidate + 4;
    uint64_t timecode = 0;
    uint64_t clusterEnd = 0;
    Probe probe;
    try {
      probe = probeCandidate(mf, candidate, timecode, clusterEnd);
      if (probe == Probe::kFound) {
        appendCuePoint(mf, candidate - mf->segmentDataPos, timecode);
      }
    } catch (Error&) {
      continue;  // a damaged candidate is passed over
    }
    if (probe == Probe::kStop) break;
    if (probe == Probe::kFound) {
      pos = candidate + step > clusterEnd ? candidate + step : clusterEnd;
      misses = 0;
    }
  }
  rebaseCueTimes(mf);
  if (mf->cueCount == 0) appendCuePoint(mf, mf->firstClusterPos - mf->segmentDataPos, 0);
  if (in->progress != nullptr) in->progress(in, 0, 0);
}

uint64_t measureLastTimecode(MatroskaFile* mf) {
  uint32_t video = 0;
  while (video < mf->trackCount && mf->tracks[video]->trackType != kVideoTrackType) ++video;
  if (video == mf->trackCount) return UINT64_MAX;
  releaseAllQueues(mf);
  if (mf->cueCount == 0) {
    const bool small =
        mf->segmentEnd - mf->firstClusterPos < kTailSize || mf->firstClusterPos > mf->segmentEnd;
    mf->readPos = small ? mf->firstClusterPos : mf->segmentEnd - kTailSize;
    mf->clusterTimecode = 0;
  } else {
    const MkvCuePoint& last = mf->cues[mf->cueCount - 1];
    mf->readPos = last.clusterPos + mf->segmentDataPos;
    mf->clusterTimecode = last.time / mf->segmentInfo.timecodeScale;
  }
  mf->skipMask = ~(uint32_t{1} << (video % 32));
  uint64_t lastTime = 0;
  for (;;) {
    while (MkvFrame* frame = takeQueueHead(&mf->queues[video])) {
      uint64_t t = (frame->flags & MKV_FRAME_END_INEXACT) ? frame->start : frame->end;
      if (t > lastTime) lastTime = t;
      freeFrameRecord(mf, frame);
    }
    if (bufferUntilFrame(mf, 0) == -1) break;
  }
  mf->skipMask = 0;
  releaseAllQueues(mf);
  if (mf->flags & MKV_ERROR_RAISED) {
    mf->flags &= ~MKV_ERROR_RAISED;
    if (lastTime == 0) return UINT64_MAX;
  }
  return lastTime;
}

}  // namespace mkv

using namespace mkv;

void mkv_Seek(MatroskaFile* mf, uint64_t time, uint32_t /*flags*/, uint32_t videoTrack) {
  if (mf->flags & MKV_OPEN_NO_SEEK) return;
  if (videoTrack >= mf->trackCount) return;
  try {
    if (time == 0) {
      releaseAllQueues(mf);
      mf->flags &= ~MKV_ERROR_RAISED;
      mf->readPos = mf->firstClusterPos;
      mf->clusterTimecode = mf->firstTimecode;
      return;
    }
    if (mf->cueCount == 0) scanClusterIndex(mf);
    if (mf->cueCount == 0) return;
    mf->flags &= ~MKV_ERROR_RAISED;

    // The last entry not after the target, or the first entry when all are after it.
    int64_t lo = 0;
    int64_t hi = static_cast<int64_t>(mf->cueCount) - 1;
    while (lo <= hi) {
      int64_t mid = (lo + hi) / 2;
      if (time >= mf->cues[mid].time) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
    }
    const MkvCuePoint& cue = mf->cues[hi < 0 ? 0 : hi];

    mkv_SelectTracks(mf, mf->skipMask);
    releaseAllQueues(mf);
    mf->readPos = cue.clusterPos + mf->segmentDataPos;
    mf->clusterTimecode = cue.time;
    const uint32_t mask = ~(uint32_t{1} << (videoTrack % 32));
    MkvFrameQueue* queue = &mf->queues[videoTrack];
    int r = bufferUntilFrame(mf, mask);
    if (r < 0) return;
    for (;;) {
      if (r == 1) return;
      while (queue->head != nullptr && queue->head->start < time) {
        freeFrameRecord(mf, takeQueueHead(queue));
      }
      // A head that starts after the frame behind it is a reference picture stored ahead of
      // pictures shown before it; it is dropped unless it is a key frame, where a decoder must
      // start (an open GOP's I picture, stored before its leading B pictures).
      MkvFrame* head = queue->head;
      if (head != nullptr && head->next != nullptr && head->start > head->next->start &&
          (head->flags & MKV_FRAME_KEY) == 0) {
        freeFrameRecord(mf, takeQueueHead(queue));
      }
      if (time == UINT64_MAX) return;
      if (queue->head != nullptr && queue->head->start >= time) return;
      r = bufferUntilFrame(mf, mask);
      if (r < 0) return;
    }
  } catch (Error&) {
    return;
  }
}
