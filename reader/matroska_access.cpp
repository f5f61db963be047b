// Matroska access: the parser opened over the video file (reader/mkv_file_input.h), the choice
// of the MPEG-2 video track, and loading the track's frames into the read buffer one at a time.

#include "matroska/matroska.h"
#include "platform/file.h"
#include "reader/avc_decoder.h"
#include "reader/mkv_track_choice.h"

namespace {

constexpr uint32_t kMessageSize = 256;

// Reads the frame at `position` into the read buffer and appends a start code, which ends the
// frame's last unit at the frame's end. Leaves the buffer empty when the frame cannot be read or
// does not fit with the start code.
//
// When the frame follows a frame loaded in the same run, the start code appended to that frame
// already stands for this frame's leading start code (00 00 01, with any zeros before it), so
// reading begins after it: the units come out exactly as in the elementary stream, with no empty
// unit between frames.
bool LoadFrame(CAVCDecoder& d, uint64_t position, uint32_t size, bool afterFrame) {
  d.readPtr = d.readBuffer;
  d.readCount = 0;
  if (d.videoFile == nullptr || size > uint32_t(CAVCDecoder::kBufferSize - 3)) return false;
  if (platform::SeekFile(d.videoFile, position) != 0) return false;
  if (std::fread(d.readBuffer, 1, size, d.videoFile) != size) return false;
  d.readBuffer[size] = 0;
  d.readBuffer[size + 1] = 0;
  d.readBuffer[size + 2] = 1;
  d.readCount = static_cast<int32_t>(size) + 3;
  if (afterFrame) {
    uint32_t zeros = 0;
    while (zeros < size && d.readBuffer[zeros] == 0) ++zeros;
    if (zeros >= 2 && zeros < size && d.readBuffer[zeros] == 1) d.readPtr += zeros + 1;
  }
  return true;
}

// The next frame of the chosen track. All other tracks are deselected, so only its frames should
// come; a frame of another track is passed over rather than mixed into the video.
int NextTrackFrame(CAVCDecoder& d, uint64_t* position, uint32_t* size) {
  if (d.mkvFile == nullptr) return -1;
  for (;;) {
    uint32_t track = 0, flags = 0;
    uint64_t start = 0, end = 0;
    if (mkv_NextFrame(d.mkvFile, 0, &track, &start, &end, position, size, &flags) != 0) return -1;
    if (track == uint32_t(d.mkvTrack)) return 0;
  }
}

}  // namespace

int CAVCDecoder::InitMatroska() {
  InitMkvFileInput(&mkvInput, videoFile);
  if (videoFile == nullptr) return 1;
  std::setvbuf(videoFile, nullptr, _IOFBF, kMkvFileInputReadSize);

  char message[kMessageSize];
  message[0] = '\0';
  mkvFile = mkv_OpenFile(&mkvInput.ops, 0, 0, message, kMessageSize);
  if (mkvFile == nullptr) return 1;

  char why[kMessageSize];
  const int chosen = ChooseMpeg2Track(mkvFile, mkvTrack, why, sizeof why);
  if (chosen < 0) {
    SetLoadDetail(videoPath, "%s", why);
    return chosen == kMkvTrackCompressed ? 3 : 2;
  }
  mkvTrack = chosen;
  mkv_SelectTracks(mkvFile, ~(uint32_t{1} << (uint32_t(mkvTrack) % 32)));
  return 0;
}

uint64_t CAVCDecoder::GetMKVDuration() {
  if (mkvFile == nullptr) return 0;
  const MkvSegmentInfo* info = mkv_SegmentInfo(mkvFile);
  return info == nullptr ? 0 : info->duration;
}

void CAVCDecoder::InitializeMKVBuffer(uint64_t time) {
  readPtr = readBuffer;
  readCount = 0;
  if (mkvFile == nullptr) return;
  mkv_Seek(mkvFile, time, 0, uint32_t(mkvTrack));
  uint64_t position = 0;
  uint32_t size = 0;
  if (NextTrackFrame(*this, &position, &size) != 0) return;
  LoadFrame(*this, position, size, false);
}

int CAVCDecoder::NextMKVBuffer() {
  // A frame failing to load leaves the buffer empty; otherwise it ended in a start code.
  const bool afterFrame = readCount > 0;
  readPtr = readBuffer;
  readCount = 0;
  uint64_t position = 0;
  uint32_t size = 0;
  if (NextTrackFrame(*this, &position, &size) != 0) return -1;
  return LoadFrame(*this, position, size, afterFrame) ? 0 : -1;
}
