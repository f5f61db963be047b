#include "reader/mkv_track_choice.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kVideoTrackType = 1;

}  // namespace

bool IsMpeg2Track(const MkvTrack* track) {
  return track != nullptr && track->trackType == kVideoTrackType && track->codecID != nullptr &&
         std::strcmp(track->codecID, "V_MPEG2") == 0;
}

int ChooseMpeg2Track(MatroskaFile* file, int wanted, char* why, uint32_t whySize) {
  const uint32_t count = mkv_TrackCount(file);
  int chosen = kMkvNoMpeg2Track;
  if (wanted >= 0) {
    if (uint32_t(wanted) < count && IsMpeg2Track(mkv_TrackEntry(file, uint32_t(wanted)))) {
      chosen = wanted;
    } else {
      std::snprintf(why, whySize, "track %d is not an MPEG-2 video track (codec V_MPEG2)", wanted);
      return kMkvNoMpeg2Track;
    }
  } else {
    for (uint32_t i = 0; i < count && chosen < 0; ++i) {
      if (IsMpeg2Track(mkv_TrackEntry(file, i))) chosen = int(i);
    }
    if (chosen < 0) {
      std::snprintf(why, whySize, "no MPEG-2 video track (codec V_MPEG2)");
      return kMkvNoMpeg2Track;
    }
  }
  const MkvTrack* track = mkv_TrackEntry(file, uint32_t(chosen));
  if (track->compEnabled) {
    char number[32];
    std::snprintf(why, whySize,
                  "track %d (MPEG-2 video) is stored with %s content compression, which is not "
                  "supported; remux it without: mkvmerge -o OUT.mkv --compression %d:none IN.mkv",
                  chosen, mkv_CompressionName(track->compMethod, number, sizeof number), chosen);
    return kMkvTrackCompressed;
  }
  return chosen;
}
