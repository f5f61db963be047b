// The MPEG-2 video track of a Matroska file that the indexer indexes and the plugin serves: the
// one a project or the user names by its place in the track table, or else the first one; and
// whether its frames can be read as they are stored.
#pragma once

#include <cstdint>

#include "matroska/matroska.h"

// Results of ChooseMpeg2Track below 0.
constexpr int kMkvNoMpeg2Track = -1;     // no V_MPEG2 video track (or the named one is not one)
constexpr int kMkvTrackCompressed = -2;  // the track's frames are stored compressed

// Whether the track is MPEG-2 video (codec V_MPEG2).
bool IsMpeg2Track(const MkvTrack* track);

// The index in the track table of track `wanted`, or of the first MPEG-2 video track when
// `wanted` is below 0. A track whose frames carry content compression is refused: the frame bytes
// are read straight from the file. On failure, `why` (of `whySize` bytes) says why in words that
// name the track.
int ChooseMpeg2Track(MatroskaFile* file, int wanted, char* why, uint32_t whySize);
