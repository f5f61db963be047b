// Facts about the clip's stream that the plugin does not need but users of recordings do: scan
// type, field order, pulldown, aspect ratio, colour description and the changes of picture size,
// aspect ratio, frame rate and quantiser matrices inside the stream.
//
// They travel in the project file as "INFO" lines, written before the first "SEQ " line. A loader
// ignores every line that begins with none of its keywords, and "INFO" begins with none of them,
// so projects with these lines load unchanged everywhere; the command-line host reads them back.
//
//   INFO scan progressive              progressive, interlaced or mixed
//   INFO fieldorder top                top or bottom (first field in time)
//   INFO pulldown 3:2                  none, 3:2, frame-2:3 (progressive sequence) or mixed
//   INFO codedrate 30000 / 1001        the frame rate the stream is coded at
//   INFO fields 450                    fields displayed by the whole clip
//   INFO sar 8 / 9                     sample aspect ratio (0 / 0 when unknown)
//   INFO dar 4 / 3                     display aspect ratio (0 / 0 when unknown)
//   INFO colour 1 1 1                  colour primaries, transfer, matrix (when the stream says)
//   INFO sizechange 150 720 x 480      from frame 150 on, pictures are 720x480
//   INFO aspectchange 48 64 / 45 16 / 9  from frame 48 on, SAR 64:45 and DAR 16:9
//   INFO ratechange 48 30000 / 1001    from frame 48 on, the coded rate is 30000/1001
//   INFO matrixchange 48               from frame 48 on, other quantiser matrices apply
//   INFO ffmpegdrop 47                 frame 47 is missing from ffmpeg's decode of the whole file
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/indexer/frame_timing.h"
#include "tools/indexer/video_index.h"

namespace indexer {

struct StreamFacts {
  bool present = false;  // the project carried facts
  std::string scan;
  std::string fieldOrder;
  std::string pulldown;
  int codedNumerator = 0, codedDenominator = 0;
  uint64_t fields = 0;
  int sarNumerator = 0, sarDenominator = 0;
  int darNumerator = 0, darDenominator = 0;
  bool colour = false;
  int colourPrimaries = 0, transferCharacteristics = 0, matrixCoefficients = 0;
  std::vector<SizeChange> sizeChanges;
  std::vector<AspectChange> aspectChanges;
  std::vector<RateChange> rateChanges;
  std::vector<uint64_t> matrixChanges;
  std::vector<uint64_t> framesFfmpegDrops;
  std::vector<DamagedGop> damagedGops;
};

StreamFacts FactsOf(const VideoIndex& index, const ClipTiming& timing);

// The "INFO" lines, each ending in LF.
std::string FormatFacts(const StreamFacts& facts);

// Takes one project line; returns true when it was an INFO line.
bool ParseFactsLine(const std::string& line, StreamFacts* facts);

// Reads the INFO lines of a project file, up to its first "SEQ " line. False when the file cannot
// be read; a project without INFO lines gives facts with `present` false.
bool ReadFacts(const std::string& projectPath, StreamFacts* facts);

// The usual names of the colour description codes ("bt709", "smpte170m", ...; "code N" else).
std::string ColourPrimariesName(int code);
std::string TransferName(int code);
std::string MatrixName(int code);

}  // namespace indexer
