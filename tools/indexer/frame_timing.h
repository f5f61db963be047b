// The clip's timing from the fields each frame is displayed for: the project's frame rate keeps
// the stream's real duration (soft pulldown stays one frame per coded frame), and mkvmerge's
// timestamp format v2 gives every frame its own time when the pulldown is irregular.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/indexer/video_index.h"

namespace indexer {

enum class Pulldown {
  kNone,     // every frame shows two fields
  kRegular,  // 3:2 pulldown: frames alternate between three and two fields
  kMixed,    // repeated fields in some frames only
  // A progressive sequence (720p) showing frames for two and three frame periods in turn: 24
  // frames a second carried at 60. There repeat_first_field repeats the whole frame, once, or
  // twice with top_field_first; no field is split from its frame.
  kFrameRepeat,
};

struct ClipTiming {
  int fpsNumerator = 0;
  int fpsDenominator = 0;
  Pulldown pulldown = Pulldown::kNone;
  uint64_t fields = 0;  // fields displayed by the whole clip
};

// The coded rate of the first sequence, and the fields of every frame. A regular 3:2 pattern gives
// four fifths of the coded rate (30000/1001 becomes 24000/1001), a regular 2:3 frame repetition
// two fifths (60000/1001 becomes 24000/1001); otherwise the rate is the average
// that keeps the total duration: frames x 2 x coded rate / fields.
ClipTiming ComputeTiming(const VideoIndex& index);

// Per frame in display order, the fields displayed before it (the frame's start in field units).
// Display order: a B frame is shown at once, an I or P frame when the next I or P frame arrives.
std::vector<uint64_t> DisplayStartFields(const VideoIndex& index);

// The timestamp file: "# timestamp format v2", then one start time in milliseconds per frame, in
// display order.
std::string FormatTimestampsV2(const VideoIndex& index);

// "film, 3:2 pulldown removed" and the like, for the summary and `info`.
const char* PulldownText(Pulldown pulldown);

// The closest fraction to `numerator` / `denominator` whose terms fit a signed 32-bit number.
void FitRate(uint64_t numerator, uint64_t denominator, int* fitNumerator, int* fitDenominator);

}  // namespace indexer
