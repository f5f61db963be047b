// Finds the start codes of an MPEG-2 video elementary stream fed in chunks of any size and builds
// the project's index from the sequence headers, picture headers and their extensions. Only
// headers are read; slice data is passed over with a memchr scan for the 00 00 01 prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/indexer/video_index.h"

namespace indexer {

class Mpeg2Scanner {
 public:
  // Feeds the next bytes of the stream. With `positionPerByte`, byte i lies at `position` + i (a
  // file offset); otherwise every byte of the chunk is reported at `position` (the start time of
  // the Matroska frame that carries it).
  void Feed(const uint8_t* data, size_t size, uint64_t position, bool positionPerByte = true);

  // Ends the stream: completes the pending header and the last picture.
  void Finish();

  const VideoIndex& index() const { return index_; }
  VideoIndex& index() { return index_; }

 private:
  // Bytes kept after a start code: the code itself and the longest header read (a sequence header
  // with both quantiser matrices holds 136 bytes after its code).
  static constexpr size_t kHeaderBytes = 137;

  void OnStartCode(const uint8_t* bytes, size_t count, uint64_t position);
  void OnSequenceHeader(const uint8_t* bytes, size_t count, uint64_t position);
  void OnExtension(const uint8_t* bytes, size_t count);
  void OnPicture(const uint8_t* bytes, size_t count);
  void CommitPicture();
  void AddFrame(char letter, int fields);
  // Lists the aspect ratio, frame rate and quantiser matrices of the frame being added where they
  // differ from the frame before.
  // `sizeChanged`: the frame's picture size differs from the frame before.
  void NoteFormat(bool sizeChanged);

  VideoIndex index_;

  // The last two bytes fed and their positions, for start codes that straddle chunks.
  uint8_t tail_[2] = {0xFF, 0xFF};
  uint64_t tailPosition_[2] = {0, 0};

  // A start code whose header bytes continue in the next chunk.
  bool pending_ = false;
  uint8_t pendingBytes_[kHeaderBytes] = {};
  size_t pendingCount_ = 0;
  uint64_t pendingPosition_ = 0;

  // The picture being read (its picture coding extension may follow).
  bool havePicture_ = false;
  int pictureType_ = 0;
  int pictureStructure_ = 3;
  bool pictureExtension_ = false;
  bool topFieldFirst_ = false;
  bool progressiveFrame_ = false;
  bool repeatFirstField_ = false;

  // Picture size of the latest sequence header (with its extension), and of the frames indexed
  // last, for the list of size changes.
  int sequenceWidth_ = 0, sequenceHeight_ = 0;
  int framesWidth_ = 0, framesHeight_ = 0;
  // The latest sequence's aspect ratio code, display rectangle (it stays in force until another
  // display extension), frame rate and quantiser matrices; and those of the frames indexed last.
  int sequenceAspect_ = 0;
  int displayWidth_ = 0, displayHeight_ = 0;
  int sequenceRateCode_ = 0, sequenceRateN_ = 0, sequenceRateD_ = 0;
  std::vector<uint8_t> sequenceMatrices_;
  bool framesFormatKnown_ = false;
  int64_t framesSarN_ = 0, framesSarD_ = 0;
  int framesFpsN_ = 0, framesFpsD_ = 0;
  std::vector<uint8_t> framesMatrices_;
  bool framesProgressiveSequence_ = false;
  bool sequenceEnded_ = false;  // a sequence end code came after the last frame indexed
  bool sequenceProgressive_ = false;
  bool progressive_ = false;  // the frame being added is progressive
  bool topFirst_ = false;     // the frame being added shows its top field first

  // A first field that waits for its second field.
  bool openField_ = false;
  int openFieldStructure_ = 0;

  // A sequence header seen since the last picture: the next picture decides whether it starts a
  // GOP. lastHeader_ is the kind of the last header read, so that an extension is tied to it.
  bool sequencePending_ = false;
  uint64_t sequencePosition_ = 0;
  bool firstSequence_ = true;
  enum class Last { kNone, kSequence, kPicture } last_ = Last::kNone;
  bool fieldOrderKnown_ = false;
};

// The frame rate of a sequence: the frame_rate_code's rate times (n + 1) / (d + 1), reduced.
// Returns false for a frame_rate_code outside 1..8.
bool FrameRate(int frameRateCode, int extensionN, int extensionD, int* numerator, int* denominator);

}  // namespace indexer
