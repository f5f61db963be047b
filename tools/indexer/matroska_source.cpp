#include "tools/indexer/matroska_source.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "matroska/matroska.h"
#include "platform/file.h"
#include "reader/mkv_file_input.h"
#include "reader/mkv_track_choice.h"
#include "tools/indexer/progress.h"

namespace indexer {
int ScanMatroska(ByteSource* source, const IndexOptions& options, StreamLayout* layout,
                 Mpeg2Scanner* scanner, std::string* error) {
  const std::string& path = options.videoPath;
  // The parser reads the file through the plugin's own input; the frames' bytes come from
  // `source`.
  char reason[512];
  std::unique_ptr<FILE, int (*)(FILE*)> stream(
      platform::OpenRegularFile(path.c_str(), nullptr, reason, sizeof reason), fclose);
  if (stream == nullptr) {
    *error = "cannot open \"" + path + "\": " + reason;
    return kIndexCannotRead;
  }
  setvbuf(stream.get(), nullptr, _IOFBF, kMkvFileInputReadSize);
  MkvFileInput input;
  InitMkvFileInput(&input, stream.get());
  char message[256] = "";
  MatroskaFile* file = mkv_OpenFile(&input.ops, 0, 0, message, sizeof message);
  if (file == nullptr) {
    *error = "\"" + path + "\" cannot be read as Matroska: " + message;
    return kIndexNotMpeg2;
  }
  char why[256] = "";
  const int track = ChooseMpeg2Track(file, options.track, why, sizeof why);
  if (track < 0) {
    mkv_CloseFile(file);
    *error = "\"" + path + "\": " + why;
    return track == kMkvTrackCompressed ? kIndexUnsupported : kIndexNotMpeg2;
  }
  layout->track = track;
  mkv_SelectTracks(file, ~(1u << (track % 32)));

  ProgressMeter meter(source->Size(), options.progress);
  std::vector<uint8_t> frame;
  uint32_t frameTrack = 0, size = 0, flags = 0;
  uint64_t start = 0, end = 0, position = 0;
  int result = kIndexOk;
  uint64_t frames = 0;
  std::string cutAt;  // where a cut file ends, when it does
  while (mkv_NextFrame(file, 0, &frameTrack, &start, &end, &position, &size, &flags) == 0) {
    if (static_cast<int>(frameTrack) != track) continue;
    if (position > source->Size() || size > source->Size() - position) {
      // A recording stopped inside a block: the block's header promises bytes past the end of
      // the file. The complete frames before it are the video; the plugin's reader ends at the
      // same frame, since it cannot read it either.
      cutAt = "inside the frame that starts at byte " + std::to_string(position) + " (" +
              std::to_string(size) + " bytes)";
      break;
    }
    ++frames;
    frame.resize(size);
    if (size > 0 && source->ReadAt(position, frame.data(), size) != static_cast<int64_t>(size)) {
      *error = "read error in \"" + path + "\" at byte " + std::to_string(position);
      result = kIndexCannotRead;
      break;
    }
    scanner->Feed(frame.data(), frame.size(), start, false);
    meter.Update(position);
  }
  // Cut between blocks, or inside a block's header (which ends the parser's reading): the
  // segment's size says more data should follow.
  const uint64_t segmentEnd = mkv_SegmentEnd(file);
  if (cutAt.empty() && segmentEnd != UINT64_MAX && segmentEnd > source->Size()) {
    cutAt = "before the end of its segment at byte " + std::to_string(segmentEnd);
  }
  if (result == kIndexOk && !cutAt.empty()) {
    Warn(options, "\"" + path + "\" is cut off at byte " + std::to_string(source->Size()) + " " +
                      cutAt + "; the " + std::to_string(frames) +
                      " complete frame(s) before the cut are indexed");
  }
  mkv_CloseFile(file);
  if (result == kIndexOk) scanner->Finish();
  return result;
}

}  // namespace indexer
