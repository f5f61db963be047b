// How each output frame of a clip is shown: its coding type, scan, sample aspect ratio, duration
// and start time, and the clip's colour description. Built once when a clip opens, from the
// project's picture table (the FRM words say how each frame is shown) and its INFO lines (coded
// rate, aspect ratio and its changes, colour description); a project written before these were
// recorded gives two fields per frame in the clip's field order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CAVCDecoder;

namespace clip {

// Codes as in MPEG-2's sequence display extension (ITU-T H.273); 2 is "unspecified".
struct ColourFacts {
  int primaries = 2;
  int transfer = 2;
  int matrix = 2;
};

struct FrameFacts {
  char pictureType = 'I';  // I, P or B
  int fieldBased = 0;      // 0 progressive, 1 bottom field first, 2 top field first
  int sarNumerator = 0;    // 0 / 0 when the stream does not say
  int sarDenominator = 0;
  int64_t durationNumerator = 0;  // seconds
  int64_t durationDenominator = 1;
  double startSeconds = 0;  // the frame's start, from the clip's first frame
};

class ShownFrames {
 public:
  // Reads what the loaded `decoder` and its project file at `projectPath` say.
  void Build(const CAVCDecoder& decoder, const std::string& projectPath);

  const ColourFacts& Colour() const { return colour_; }

  // The facts of output frame n (held to the clip) under `deinterlace` (0, 1 or 2): its timing
  // from its place, the rest from output frame `served`, the one whose picture it shows.
  FrameFacts Frame(int n, int served, int deinterlace) const;

 private:
  struct Shown {
    char type;
    uint8_t fields;
    int8_t fieldBased;
    int32_t sarNumerator, sarDenominator;
    uint64_t startFields;  // fields shown before this frame
  };
  std::vector<Shown> frames_;  // in display order
  ColourFacts colour_;
  int64_t fieldNumerator_ = 1;  // one field lasts fieldNumerator_ / fieldDenominator_ seconds
  int64_t fieldDenominator_ = 50;
};

}  // namespace clip
