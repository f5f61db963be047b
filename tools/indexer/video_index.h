// What the indexer learns from an MPEG-2 video stream: the first sequence's parameters, the GOPs
// with their start positions and the coding type of every picture in coded order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace indexer {

// Parameters of a sequence header and its sequence extension.
struct SequenceInfo {
  int width = 0;
  int height = 0;
  int aspectRatioCode = 0;
  int frameRateCode = 0;
  int fpsNumerator = 0;  // 0 while no valid frame rate is known
  int fpsDenominator = 0;
  bool mpeg2 = false;  // a sequence extension followed the sequence header
  bool progressiveSequence = false;
  int chromaFormat = 0;  // 1 4:2:0, 2 4:2:2, 3 4:4:4 (MPEG-2 only)
  // Sequence display extension (of the first sequence), when present.
  bool displayExtension = false;
  int videoFormat = 5;  // 0 component, 1 PAL, 2 NTSC, 3 SECAM, 4 MAC, 5 unspecified
  int displayWidth = 0;
  int displayHeight = 0;
  bool colourDescription = false;
  int colourPrimaries = 0;
  int transferCharacteristics = 0;
  int matrixCoefficients = 0;
};

// A sequence whose picture size differs from the one before it: from frame `frame` on (counting
// frames of the index), pictures are `width` x `height`.
struct SizeChange {
  uint64_t frame = 0;
  int width = 0;
  int height = 0;
};

// A sequence whose sample aspect ratio (as ffmpeg derives it) differs from the frames before it:
// from frame `frame` on, samples are `sarNumerator`:`sarDenominator` and pictures (at their coded
// size) `darNumerator`:`darDenominator` (0:0 when the stream says nothing).
struct AspectChange {
  uint64_t frame = 0;
  int sarNumerator = 0;
  int sarDenominator = 0;
  int darNumerator = 0;
  int darDenominator = 0;
};

// A sequence whose frame rate differs from the frames before it.
struct RateChange {
  uint64_t frame = 0;
  int fpsNumerator = 0;
  int fpsDenominator = 0;
};

// One GOP of the project: where reading starts (a byte offset, or a Matroska frame time) and the
// coding letters of its pictures in coded order ('I', 'P' or 'B').
struct GopRecord {
  uint64_t position = 0;
  std::string types;
};

// A GOP of the index whose data is damaged (transport packets lost or flagged with errors): its
// frames, and the leading B frames of the GOP after it, decode with concealed errors.
struct DamagedGop {
  uint64_t gop = 0;
  uint64_t firstFrame = 0;
  uint64_t lastFrame = 0;
};

constexpr uint8_t kScanTopFirst = 1;
constexpr uint8_t kScanProgressive = 2;

struct VideoIndex {
  SequenceInfo sequence;  // the first sequence header's parameters
  bool sequenceFound = false;
  int fieldOrder = 0;  // 0 top field first or progressive, 1 bottom field first
  std::vector<GopRecord> gops;
  uint64_t pictureCount = 0;  // frames in the index (a field pair counts once)

  // Per frame of the index, in coded order: the fields it is displayed for (2; 3 with
  // repeat_first_field; 4 or 6 when a progressive sequence repeats the frame).
  std::vector<uint8_t> displayFields;
  // Per frame of the index, in coded order: kScanTopFirst when its top field is shown first,
  // kScanProgressive when it is a progressive frame.
  std::vector<uint8_t> frameScan;
  uint64_t progressiveFrames =
      0;                        // frames with progressive_frame set (or of a progressive sequence)
  uint64_t repeatedFields = 0;  // frames with repeat_first_field set
  std::vector<SizeChange> sizeChanges;
  std::vector<AspectChange> aspectChanges;
  std::vector<RateChange> rateChanges;
  std::vector<uint64_t> matrixChanges;  // frames from which other quantiser matrices apply
  // Frames that ffmpeg's decode of the whole stream leaves out: the picture its decoder still holds
  // when it starts afresh at a change of picture size or aspect ratio with no sequence end code
  // before it. The server drains its decoder there instead and serves them.
  std::vector<uint64_t> framesFfmpegDrops;
  uint64_t groupsWithoutSequence = 0;  // GOP headers not preceded by a sequence header
  std::vector<DamagedGop> damagedGops;

  // Things worth a warning.
  uint64_t picturesBeforeSequence = 0;  // left out: no sequence header precedes them
  uint64_t invalidPictureTypes = 0;     // written as P
  uint64_t unpairedFields = 0;          // field pictures without their second field
  uint64_t fieldPairs = 0;              // frames coded as two field pictures
  uint64_t joinedSequences = 0;  // sequence headers not followed by an I picture (no GOP entry)
};

}  // namespace indexer
