#include "tools/indexer/mpeg2_scanner.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "reader/mpeg2_sample_ratio.h"

namespace indexer {
namespace {

constexpr uint8_t kPictureCode = 0x00;
constexpr uint8_t kLastSliceCode = 0xAF;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kExtensionCode = 0xB5;
constexpr uint8_t kSequenceEndCode = 0xB7;
constexpr uint8_t kGroupCode = 0xB8;

constexpr int kSequenceExtensionId = 1;
constexpr int kSequenceDisplayExtensionId = 2;
constexpr int kPictureCodingExtensionId = 8;

constexpr int kBottomField = 2;
constexpr int kFramePicture = 3;

// The codes whose header bytes the index needs; slices and the rest are passed over.
bool Wanted(uint8_t code) {
  return code == kPictureCode || code == kSequenceHeaderCode || code == kExtensionCode ||
         code == kSequenceEndCode || code == kGroupCode;
}

// The quantiser matrices a sequence header loads: for each of intra and non-intra, a flag and,
// when set, its 64 values. `body` starts after the start code. A header cut short gives what it
// holds.
std::vector<uint8_t> LoadedMatrices(const uint8_t* body, size_t size) {
  std::vector<uint8_t> out;
  size_t bit = 62;  // load_intra_quantiser_matrix
  auto read = [&](int bits) {
    int value = 0;
    for (int i = 0; i < bits; ++i, ++bit) {
      if (bit / 8 >= size) return -1;
      value = (value << 1) | ((body[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return value;
  };
  for (int matrix = 0; matrix < 2; ++matrix) {
    const int load = read(1);
    if (load < 0) return out;
    out.push_back(static_cast<uint8_t>(load));
    for (int i = 0; load == 1 && i < 64; ++i) {
      const int value = read(8);
      if (value < 0) return out;
      out.push_back(static_cast<uint8_t>(value));
    }
  }
  return out;
}

int Gcd(int a, int b) {
  while (b != 0) {
    int t = a % b;
    a = b;
    b = t;
  }
  return a;
}

}  // namespace

bool FrameRate(int frameRateCode, int extensionN, int extensionD, int* numerator,
               int* denominator) {
  static const int kRates[9][2] = {{0, 0},  {24000, 1001}, {24, 1},       {25, 1}, {30000, 1001},
                                   {30, 1}, {50, 1},       {60000, 1001}, {60, 1}};
  if (frameRateCode < 1 || frameRateCode > 8) return false;
  int num = kRates[frameRateCode][0] * (extensionN + 1);
  int den = kRates[frameRateCode][1] * (extensionD + 1);
  int g = Gcd(num, den);
  *numerator = num / g;
  *denominator = den / g;
  return true;
}

void Mpeg2Scanner::Feed(const uint8_t* data, size_t size, uint64_t position, bool positionPerByte) {
  if (size == 0) return;
  auto at = [&](size_t i) { return positionPerByte ? position + i : position; };

  if (pending_) {
    size_t take = std::min(kHeaderBytes - pendingCount_, size);
    memcpy(pendingBytes_ + pendingCount_, data, take);
    pendingCount_ += take;
    if (pendingCount_ == kHeaderBytes) {
      pending_ = false;
      OnStartCode(pendingBytes_, pendingCount_, pendingPosition_);
    }
  }

  // `one` is the index of the 01 of a start code whose first byte lies at `start`.
  auto found = [&](size_t one, uint64_t start) {
    if (pending_) {
      // The previous start code's unit ended before its header was complete.
      pending_ = false;
      OnStartCode(pendingBytes_, pendingCount_, pendingPosition_);
    }
    size_t code = one + 1;
    if (code < size && !Wanted(data[code])) return;
    if (code + kHeaderBytes <= size) {
      OnStartCode(data + code, kHeaderBytes, start);
      return;
    }
    pending_ = true;
    pendingCount_ = size - std::min(code, size);
    memcpy(pendingBytes_, data + std::min(code, size), pendingCount_);
    pendingPosition_ = start;
  };

  // Prefixes that began in the previous chunk.
  if (tail_[0] == 0 && tail_[1] == 0 && data[0] == 1) {
    found(0, tailPosition_[0]);
  } else if (size >= 2 && tail_[1] == 0 && data[0] == 0 && data[1] == 1) {
    found(1, tailPosition_[1]);
  }

  size_t i = 2;
  while (i < size) {
    const void* hit = memchr(data + i, 1, size - i);
    if (hit == nullptr) break;
    size_t one = static_cast<const uint8_t*>(hit) - data;
    if (data[one - 1] == 0 && data[one - 2] == 0) found(one, at(one - 2));
    i = one + 1;
  }

  if (size >= 2) {
    tail_[0] = data[size - 2];
    tailPosition_[0] = at(size - 2);
  } else {
    tail_[0] = tail_[1];
    tailPosition_[0] = tailPosition_[1];
  }
  tail_[1] = data[size - 1];
  tailPosition_[1] = at(size - 1);
}

void Mpeg2Scanner::Finish() {
  if (pending_) {
    pending_ = false;
    OnStartCode(pendingBytes_, pendingCount_, pendingPosition_);
  }
  CommitPicture();
  if (openField_) {
    ++index_.unpairedFields;
    openField_ = false;
  }
  // A sequence header after the last picture starts nothing.
  sequencePending_ = false;
}

void Mpeg2Scanner::OnStartCode(const uint8_t* bytes, size_t count, uint64_t position) {
  if (count == 0) return;
  switch (bytes[0]) {
    case kPictureCode:
      CommitPicture();
      OnPicture(bytes, count);
      break;
    case kSequenceHeaderCode:
      CommitPicture();
      OnSequenceHeader(bytes, count, position);
      break;
    case kExtensionCode:
      OnExtension(bytes, count);
      break;
    case kGroupCode:
      CommitPicture();
      // A GOP that the index cannot start: a decode needs a sequence header first.
      if (!sequencePending_ && !index_.gops.empty()) ++index_.groupsWithoutSequence;
      last_ = Last::kNone;
      break;
    case kSequenceEndCode:
      CommitPicture();
      sequenceEnded_ = true;
      last_ = Last::kNone;
      break;
    default:
      if (bytes[0] > kLastSliceCode) last_ = Last::kNone;
      break;
  }
}

void Mpeg2Scanner::OnSequenceHeader(const uint8_t* bytes, size_t count, uint64_t position) {
  last_ = Last::kNone;
  if (count < 5) return;  // cut off by the end of the data
  SequenceInfo seq;
  seq.width = (bytes[1] << 4) | (bytes[2] >> 4);
  seq.height = ((bytes[2] & 0x0F) << 8) | bytes[3];
  seq.aspectRatioCode = bytes[4] >> 4;
  seq.frameRateCode = bytes[4] & 0x0F;
  sequenceWidth_ = seq.width;
  sequenceHeight_ = seq.height;
  sequenceProgressive_ = false;
  sequenceAspect_ = seq.aspectRatioCode;
  sequenceRateCode_ = seq.frameRateCode;
  sequenceRateN_ = sequenceRateD_ = 0;
  sequenceMatrices_ = LoadedMatrices(bytes + 1, count - 1);
  if (firstSequence_) {
    firstSequence_ = false;
    FrameRate(seq.frameRateCode, 0, 0, &seq.fpsNumerator, &seq.fpsDenominator);
    index_.sequence = seq;
    index_.sequenceFound = true;
  }
  // Repeated sequence headers with no picture between them: the first one starts the GOP.
  if (!sequencePending_) {
    sequencePending_ = true;
    sequencePosition_ = position;
  }
  last_ = Last::kSequence;
}

void Mpeg2Scanner::OnExtension(const uint8_t* bytes, size_t count) {
  if (count < 2) return;
  int id = bytes[1] >> 4;
  if (id == kSequenceDisplayExtensionId) {
    const size_t at = (bytes[1] & 1) ? 5 : 2;
    if (count >= at + 4) {
      displayWidth_ = (bytes[at] << 6) | (bytes[at + 1] >> 2);
      displayHeight_ = ((bytes[at + 1] & 1) << 13) | (bytes[at + 2] << 5) | (bytes[at + 3] >> 3);
    }
  }
  if (id == kSequenceDisplayExtensionId && index_.sequenceFound && index_.pictureCount == 0) {
    // The first sequence's display extension (it follows the sequence extension). The fields:
    // video_format(3) colour_description(1), then [colour_primaries(8)
    // transfer_characteristics(8) matrix_coefficients(8)], display_horizontal_size(14)
    // marker(1) display_vertical_size(14).
    SequenceInfo& seq = index_.sequence;
    if (seq.displayExtension) return;
    const bool colour = (bytes[1] & 1) != 0;
    const size_t at = colour ? 5 : 2;
    if (count < at + 4) return;
    seq.displayExtension = true;
    seq.videoFormat = (bytes[1] >> 1) & 7;
    seq.colourDescription = colour;
    if (colour) {
      seq.colourPrimaries = bytes[2];
      seq.transferCharacteristics = bytes[3];
      seq.matrixCoefficients = bytes[4];
    }
    seq.displayWidth = (bytes[at] << 6) | (bytes[at + 1] >> 2);
    seq.displayHeight = ((bytes[at + 1] & 1) << 13) | (bytes[at + 2] << 5) | (bytes[at + 3] >> 3);
  } else if (id == kSequenceExtensionId && last_ == Last::kSequence) {
    last_ = Last::kNone;
    if (count < 7) return;
    const int widthExtension = ((bytes[2] & 1) << 1) | (bytes[3] >> 7);
    const int heightExtension = (bytes[3] >> 5) & 3;
    sequenceWidth_ |= widthExtension << 12;
    sequenceHeight_ |= heightExtension << 12;
    sequenceProgressive_ = (bytes[2] & 0x08) != 0;
    sequenceRateN_ = (bytes[6] >> 5) & 3;
    sequenceRateD_ = bytes[6] & 0x1F;
    if (index_.sequence.mpeg2) return;  // the first sequence's extension only
    SequenceInfo& seq = index_.sequence;
    seq.mpeg2 = true;
    seq.progressiveSequence = (bytes[2] & 0x08) != 0;
    seq.chromaFormat = (bytes[2] >> 1) & 3;
    seq.width |= widthExtension << 12;
    seq.height |= heightExtension << 12;
    int rateN = (bytes[6] >> 5) & 3;
    int rateD = bytes[6] & 0x1F;
    if (!FrameRate(seq.frameRateCode, rateN, rateD, &seq.fpsNumerator, &seq.fpsDenominator)) {
      seq.fpsNumerator = seq.fpsDenominator = 0;
    }
  } else if (id == kPictureCodingExtensionId && last_ == Last::kPicture) {
    last_ = Last::kNone;
    if (count < 6 || !havePicture_) return;
    pictureExtension_ = true;
    pictureStructure_ = bytes[3] & 3;
    topFieldFirst_ = (bytes[4] & 0x80) != 0;
    repeatFirstField_ = (bytes[4] & 0x02) != 0;
    progressiveFrame_ = (bytes[5] & 0x80) != 0;
  }
}

void Mpeg2Scanner::OnPicture(const uint8_t* bytes, size_t count) {
  last_ = Last::kPicture;
  havePicture_ = true;
  pictureType_ = count >= 3 ? (bytes[2] >> 3) & 7 : 0;
  pictureStructure_ = kFramePicture;
  pictureExtension_ = false;
  topFieldFirst_ = false;
  progressiveFrame_ = false;
  repeatFirstField_ = false;
}

void Mpeg2Scanner::CommitPicture() {
  if (!havePicture_) return;
  havePicture_ = false;
  char letter;
  switch (pictureType_) {
    case 1:
      letter = 'I';
      break;
    case 2:
      letter = 'P';
      break;
    case 3:
      letter = 'B';
      break;
    default:
      // D pictures (MPEG-1 only) and invalid codes: no picture refers to them as a key.
      letter = 'P';
      ++index_.invalidPictureTypes;
      break;
  }
  int structure = pictureStructure_;
  if (structure == 0) structure = kFramePicture;  // reserved value: read as a frame
  bool field = structure != kFramePicture;
  if (field && openField_ && structure != openFieldStructure_) {
    // The second field of a frame: the frame was counted with its first field.
    openField_ = false;
    ++index_.fieldPairs;
    return;
  }
  if (openField_) ++index_.unpairedFields;
  openField_ = field;
  openFieldStructure_ = structure;

  if (!fieldOrderKnown_ && (sequencePending_ || !index_.gops.empty())) {
    fieldOrderKnown_ = true;
    if (!pictureExtension_ || progressiveFrame_ || index_.sequence.progressiveSequence) {
      index_.fieldOrder = 0;
    } else if (field) {
      index_.fieldOrder = structure == kBottomField ? 1 : 0;
    } else {
      index_.fieldOrder = topFieldFirst_ ? 0 : 1;
    }
  }
  // Displayed fields: a field pair or a frame shows two, repeat_first_field adds the first field
  // again; in a progressive sequence the flags repeat the whole frame once or twice instead.
  int fields = 2;
  if (!field && pictureExtension_ && repeatFirstField_) {
    if (sequenceProgressive_) {
      fields = topFieldFirst_ ? 6 : 4;
    } else {
      fields = 3;
    }
  }
  if (!field && (!pictureExtension_ || progressiveFrame_ || sequenceProgressive_)) {
    progressive_ = true;
  } else {
    progressive_ = false;
  }
  // The field shown first: a field pair's first field, else the frame's top_field_first.
  topFirst_ = field ? structure != kBottomField : topFieldFirst_;
  AddFrame(letter, fields);
}

void Mpeg2Scanner::AddFrame(char letter, int fields) {
  if (sequencePending_) {
    sequencePending_ = false;
    // A decode that starts at a sequence header needs an I picture first; a sequence header in
    // front of any other picture continues the current GOP instead. The stream's first sequence
    // header starts a GOP whatever follows it: nothing earlier can be served.
    if (letter == 'I' || index_.gops.empty()) {
      index_.gops.push_back(GopRecord{sequencePosition_, std::string()});
    } else {
      ++index_.joinedSequences;
    }
  }
  if (index_.gops.empty()) {
    ++index_.picturesBeforeSequence;
    return;
  }
  bool sizeChanged = false;
  if (sequenceWidth_ > 0) {
    if (framesWidth_ == 0) {
      framesWidth_ = sequenceWidth_;
      framesHeight_ = sequenceHeight_;
    } else if (sequenceWidth_ != framesWidth_ || sequenceHeight_ != framesHeight_) {
      framesWidth_ = sequenceWidth_;
      framesHeight_ = sequenceHeight_;
      index_.sizeChanges.push_back(SizeChange{index_.pictureCount, framesWidth_, framesHeight_});
      sizeChanged = true;
    }
  }
  NoteFormat(sizeChanged);
  index_.gops.back().types.push_back(letter);
  index_.displayFields.push_back(static_cast<uint8_t>(fields));
  index_.frameScan.push_back(static_cast<uint8_t>((topFirst_ ? kScanTopFirst : 0) |
                                                  (progressive_ ? kScanProgressive : 0)));
  if (progressive_) ++index_.progressiveFrames;
  if (fields > 2) ++index_.repeatedFields;
  ++index_.pictureCount;
}

void Mpeg2Scanner::NoteFormat(bool sizeChanged) {
  int64_t sarN = 0, sarD = 0;
  mpeg2::SampleAspectRatio(sequenceAspect_, sequenceWidth_, sequenceHeight_, displayWidth_,
                           displayHeight_, &sarN, &sarD);
  int fpsN = 0, fpsD = 0;
  FrameRate(sequenceRateCode_, sequenceRateN_, sequenceRateD_, &fpsN, &fpsD);
  if (!framesFormatKnown_) {
    framesFormatKnown_ = true;
  } else {
    const uint64_t frame = index_.pictureCount;
    if (sarN != framesSarN_ || sarD != framesSarD_) {
      AspectChange change{frame, static_cast<int>(sarN), static_cast<int>(sarD), 0, 0};
      if (sarN > 0 && sarD > 0) {
        const int64_t darN = sarN * sequenceWidth_, darD = sarD * sequenceHeight_;
        const int64_t g = std::gcd(darN, darD);
        change.darNumerator = static_cast<int>(darN / g);
        change.darDenominator = static_cast<int>(darD / g);
      }
      index_.aspectChanges.push_back(change);
    }
    if (fpsN != framesFpsN_ || fpsD != framesFpsD_) {
      index_.rateChanges.push_back(RateChange{frame, fpsN, fpsD});
    }
    if (sequenceMatrices_ != framesMatrices_) index_.matrixChanges.push_back(frame);
    // libavcodec starts afresh, dropping the anchor it holds back, when the size or the sample
    // aspect ratio changes, or progressive_sequence does where the height rounds differently to
    // 16 and 32 lines.
    const int height = sequenceHeight_;
    const bool restart = sizeChanged || sarN != framesSarN_ || sarD != framesSarD_ ||
                         (sequenceProgressive_ != framesProgressiveSequence_ &&
                          (height + 15) / 16 * 16 != (height + 31) / 32 * 32);
    if (restart && !sequenceEnded_ && frame > 0) index_.framesFfmpegDrops.push_back(frame - 1);
  }
  framesProgressiveSequence_ = sequenceProgressive_;
  sequenceEnded_ = false;
  framesSarN_ = sarN;
  framesSarD_ = sarD;
  framesFpsN_ = fpsN;
  framesFpsD_ = fpsD;
  framesMatrices_ = sequenceMatrices_;
}

}  // namespace indexer
