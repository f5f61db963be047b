// Recognising an MPEG program stream (VOB, MPG) wherever the file starts: a recording cut inside a
// pack, or written after padding, opens with the middle of a packet, but its pack headers still
// follow each other at the places the packet lengths give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/indexer/byte_source.h"

namespace indexer {

struct ProgramStreamMatch {
  uint64_t firstPack = 0;  // offset of the first pack header of the chain found
  bool mpeg1 = false;      // MPEG-1 pack headers (VCD and the like)
};

// True when `data` (the first `size` bytes of a file of `fileSize` bytes) holds a chain of pack
// headers (00 00 01 BA) whose lengths, with the system headers and PES packets between them, lead
// from one to the next: four packs, at least two that run to the end of a file read whole, or a
// single one at byte 0.
// MPEG-2 video never holds a pack start code, so an elementary stream never matches.
bool FindProgramStream(const uint8_t* data, size_t size, uint64_t fileSize,
                       ProgramStreamMatch* match);

}  // namespace indexer

namespace indexer {

// Files read one after another as one stream: a DVD title's VOB files.
class JoinedSource : public ByteSource {
 public:
  // Opens every file; false with a message naming the file that cannot be read.
  bool Open(const std::vector<std::string>& paths, std::string* error);
  int64_t ReadAt(uint64_t position, uint8_t* buffer, size_t count) override;
  uint64_t Size() const override { return size_; }
  uint64_t FileSize(size_t i) const { return files_[i]->Size(); }

 private:
  std::vector<std::unique_ptr<FileSource>> files_;
  std::vector<uint64_t> starts_;
  uint64_t size_ = 0;
};

// The files of the set that `path` opens: a DVD title's first VOB file (VTS_01_1.VOB) brings the
// ones numbered after it that exist beside it (VTS_01_2.VOB, ...); any other file stands alone.
std::vector<std::string> VobSetFiles(const std::string& path);

// One unit met by WalkProgramStream: its stream id (0xBA for a pack header) and file offset.
struct ProgramUnit {
  int id = 0;
  uint64_t offset = 0;
  const uint8_t* bytes = nullptr;  // the unit's first bytes, `size` of them in view
  size_t size = 0;
};

// Walks the units of a program stream from `from` on, as the plugin's reader does, until
// `onUnit` returns false or the data ends. The payload of the PES packets of stream `videoId`
// goes to onVideo with its file offsets. False on a read error.
bool WalkProgramStream(ByteSource* source, uint64_t from, int videoId,
                       const std::function<bool(const ProgramUnit&)>& onUnit,
                       const std::function<void(const uint8_t*, size_t, uint64_t)>& onVideo);

// The first video stream (0xE0-0xEF) met in the first `limit` bytes after `from`; -1 if none.
int FirstVideoStream(ByteSource* source, uint64_t from, uint64_t limit, bool* readError);

struct IndexOptions;
struct StreamLayout;
class Mpeg2Scanner;

// Reads the video of the program stream options.videoPath (with its further files) into
// `scanner`, and fills the layout's stream id and files. The walk starts at byte 0, as ffmpeg's
// does: a file that begins inside a pack still has the PES packets whose start codes follow.
int ScanProgramStream(const IndexOptions& options, StreamLayout* layout, Mpeg2Scanner* scanner,
                      std::string* error);

// Lists the streams of a program stream seen in its first bytes and what indexing its video gives.
int ListProgramStream(const std::string& videoPath, FILE* out, std::string* error);

}  // namespace indexer
