// The cue index: read from the Cues element, kept in time order, rebased to frame-time units.
#include <cstdint>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

namespace id {
constexpr uint32_t kCuePoint = 0xBB;
constexpr uint32_t kCueTime = 0xB3;
constexpr uint32_t kCueTrackPositions = 0xB7;
constexpr uint32_t kCueTrack = 0xF7;
constexpr uint32_t kCueClusterPosition = 0xF1;
constexpr uint32_t kCueBlockNumber = 0x5378;
constexpr uint32_t kCueCodecState = 0xEA;
constexpr uint32_t kCueReference = 0xDB;
constexpr uint32_t kCueRefTime = 0x96;
constexpr uint32_t kCueRefCluster = 0x97;
constexpr uint32_t kCueRefNumber = 0x535F;
constexpr uint32_t kCueRefCodecState = 0xEB;
}  // namespace id

// Working values carried from one CuePoint to the next: a missing child keeps the previous value.
struct CueValues {
  uint64_t time = 0;
  uint64_t clusterPos = 0;
  uint64_t block = 0;
  uint8_t track = 0;
};

void readTrackPositions(MatroskaFile* mf, uint64_t size, CueValues& v) {
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kCueTrack: {
        uint64_t track = readUInt(mf, s);
        if (track > 255) {
          raiseError(mf, "CueTrack points to an invalid track: %d",
                     static_cast<int>(track & 0xFFFFFFFF));
        }
        v.track = static_cast<uint8_t>(track);
        return true;
      }
      case id::kCueClusterPosition:
        v.clusterPos = readUInt(mf, s);
        return true;
      case id::kCueBlockNumber:
        v.block = readUInt(mf, s);
        return true;
      case id::kCueCodecState:
        readUInt(mf, s);
        return true;
      case id::kCueReference:
        forEachChild(mf, s, [&](uint32_t ref, uint64_t refSize) {
          if (ref == id::kCueRefTime || ref == id::kCueRefCluster || ref == id::kCueRefNumber ||
              ref == id::kCueRefCodecState) {
            readUInt(mf, refSize);
            return true;
          }
          return false;
        });
        return true;
      default:
        return false;
    }
  });
}

void readCuePoint(MatroskaFile* mf, uint64_t size, CueValues& v) {
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child == id::kCueTime) {
      v.time = readUInt(mf, s);
      return true;
    }
    if (child == id::kCueTrackPositions) {
      readTrackPositions(mf, s, v);
      return true;
    }
    return false;
  });
  if (mf->cueCount == 0) {
    // The table starts with the first cluster; when its position is not known yet, the entry is
    // added at the end of the open (completeCueTable).
    const uint64_t firstCluster = mf->firstClusterPos - mf->segmentDataPos;
    if (mf->firstClusterPos == 0) {
      mf->cueFillPending = true;
    } else if (v.clusterPos != firstCluster) {
      appendCuePoint(mf, firstCluster, mf->firstTimecode);
    }
  }
  MkvCuePoint* cue = arrayAppend(mf, mf->cueCount, mf->cueCapacity, mf->cues);
  cue->time = v.time;
  cue->clusterPos = v.clusterPos;
  cue->block = v.block;
  cue->track = v.track;
}

// One bubble-sort pass over the whole table; true when it swapped anything.
bool bubblePass(MkvCuePoint* cues, uint32_t last) {
  bool swapped = false;
  for (uint32_t i = 0; i < last; ++i) {
    if (cues[i].time > cues[i + 1].time) {
      MkvCuePoint t = cues[i];
      cues[i] = cues[i + 1];
      cues[i + 1] = t;
      swapped = true;
    }
  }
  return swapped;
}

// Stable: equal times keep their file order. Cues are written in order, so one pass normally
// settles it; a table far out of order is merge-sorted (same result) so that a hostile file
// cannot make the sort take quadratic time.
void sortCues(MatroskaFile* mf) {
  if (mf->cueCount < 2) return;
  const uint32_t n = mf->cueCount;
  MkvCuePoint* cues = mf->cues;
  if (!bubblePass(cues, n - 1)) return;
  MkvInput* in = mf->input;
  InputBlock scratch(in, in->alloc(in, sizeof(MkvCuePoint) * size_t{n}));
  MkvCuePoint* other = static_cast<MkvCuePoint*>(scratch.get());
  if (other == nullptr) {
    for (uint32_t pass = 2; pass < n && bubblePass(cues, n - pass); ++pass) {
    }
    return;
  }
  MkvCuePoint* from = cues;
  MkvCuePoint* to = other;
  for (uint64_t width = 1; width < n; width *= 2) {
    for (uint64_t lo = 0; lo < n; lo += 2 * width) {
      uint64_t mid = lo + width < n ? lo + width : n;
      uint64_t hi = lo + 2 * width < n ? lo + 2 * width : n;
      uint64_t a = lo, b = mid, k = lo;
      while (a < mid && b < hi) to[k++] = from[b].time < from[a].time ? from[b++] : from[a++];
      while (a < mid) to[k++] = from[a++];
      while (b < hi) to[k++] = from[b++];
    }
    MkvCuePoint* t = from;
    from = to;
    to = t;
  }
  if (from != cues) {
    for (uint32_t i = 0; i < n; ++i) cues[i] = from[i];
  }
}

}  // namespace

void readCueList(MatroskaFile* mf, uint64_t size) {
  mf->sectionsParsed |= kParsedCues;
  mf->cueCount = 0;
  mf->cueFillPending = false;
  try {
    CueValues values;
    forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
      if (child != id::kCuePoint) return false;
      readCuePoint(mf, s, values);
      return true;
    });
  } catch (Error&) {
    // A damaged Cues element leaves the file without cues; seeking then scans for clusters.
    // The message stays in errorMessage, but reading must not be refused because of it.
    mf->sectionsParsed &= ~kParsedCues;
    mf->cueCount = 0;
    mf->flags &= ~MKV_ERROR_RAISED;
    return;
  }
  arrayTrim(mf, mf->cueCapacity, mf->cueCount, mf->cues);
  sortCues(mf);
}

void appendCuePoint(MatroskaFile* mf, uint64_t clusterPos, uint64_t time) {
  MkvCuePoint* cue = arrayAppend(mf, mf->cueCount, mf->cueCapacity, mf->cues);
  cue->time = time;
  cue->clusterPos = clusterPos;
  cue->block = 0;
  cue->track = 0;
}

void completeCueTable(MatroskaFile* mf) {
  if (!mf->cueFillPending || mf->cueCount == 0) return;
  mf->cueFillPending = false;
  if ((mf->sectionsParsed & kParsedFirstCluster) == 0) return;
  const uint64_t firstCluster = mf->firstClusterPos - mf->segmentDataPos;
  if (mf->cues[0].clusterPos == firstCluster) return;
  arrayAppend(mf, mf->cueCount, mf->cueCapacity, mf->cues);
  for (uint32_t i = mf->cueCount - 1; i > 0; --i) mf->cues[i] = mf->cues[i - 1];
  mf->cues[0] = MkvCuePoint{mf->firstTimecode, firstCluster, 0, 0};
}

void rebaseCueTimes(MatroskaFile* mf) {
  const uint64_t scale = mf->segmentInfo.timecodeScale;
  const uint64_t base = mf->firstTimecode * scale;
  for (uint32_t i = 0; i < mf->cueCount; ++i) mf->cues[i].time = mf->cues[i].time * scale - base;
}

}  // namespace mkv
