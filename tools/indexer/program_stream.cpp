#include "tools/indexer/program_stream.h"

#include <algorithm>
#include <cstring>

#include "reader/program_stream_unit.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/mpeg2_scanner.h"
#include "tools/indexer/progress.h"
#include "tools/indexer/project_format.h"

namespace indexer {
namespace {

constexpr int kPacksNeeded = 4;
constexpr int kMaxSteps = 256;  // units walked from one candidate before it is given up

bool StartCodeAt(const uint8_t* data, size_t size, size_t at) {
  return at + 4 <= size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
}

// The length of the pack header at `at`, with its marker bits checked; 0 when it is none.
// MPEG-2: '01', the SCR and its extension, the mux rate, then 3 bits of stuffing length.
// MPEG-1: '0010', the SCR and the mux rate, 12 bytes.
size_t PackHeaderLength(const uint8_t* d, size_t size, size_t at, bool* mpeg1) {
  if (at + 5 > size) return 0;
  const uint8_t kind = d[at + 4];
  if ((kind & 0xC0) == 0x40) {
    if (at + 14 > size) return 0;
    if (!(kind & 0x04) || !(d[at + 6] & 0x04) || !(d[at + 8] & 0x04) || !(d[at + 9] & 0x01) ||
        (d[at + 12] & 0x03) != 0x03) {
      return 0;
    }
    *mpeg1 = false;
    return 14 + (d[at + 13] & 0x07);
  }
  if ((kind & 0xF0) == 0x20) {
    if (at + 12 > size) return 0;
    if (!(kind & 0x01) || !(d[at + 6] & 0x01) || !(d[at + 8] & 0x01) || !(d[at + 9] & 0x80) ||
        !(d[at + 11] & 0x01)) {
      return 0;
    }
    *mpeg1 = true;
    return 12;
  }
  return 0;
}

// Walks from the pack header at `at`: packs, system headers and PES packets, each where the one
// before ends. Returns the packs passed; *atEnd when the walk ran into the end of the data.
int WalkPacks(const uint8_t* d, size_t size, size_t at, bool* mpeg1, bool* atEnd) {
  int packs = 0;
  *atEnd = false;
  for (int step = 0; step < kMaxSteps && packs < kPacksNeeded; ++step) {
    if (at + 4 > size) {
      *atEnd = true;
      break;
    }
    if (!StartCodeAt(d, size, at)) break;
    const uint8_t id = d[at + 3];
    if (id == 0xBA) {
      bool kind = false;
      const size_t length = PackHeaderLength(d, size, at, &kind);
      if (length == 0) {
        *atEnd = at + 14 > size;
        break;
      }
      if (packs == 0) *mpeg1 = kind;
      if (kind != *mpeg1) break;
      ++packs;
      at += length;
    } else if (id == 0xB9) {  // program end code
      at += 4;
    } else if (id >= 0xBB) {  // system header or PES packet: a 16-bit length follows the code
      if (at + 6 > size) {
        *atEnd = true;
        break;
      }
      at += 6 + ((size_t{d[at + 4]} << 8) | d[at + 5]);
    } else {
      break;
    }
  }
  return packs;
}

}  // namespace

bool FindProgramStream(const uint8_t* data, size_t size, uint64_t fileSize,
                       ProgramStreamMatch* match) {
  static const uint8_t kPack[4] = {0, 0, 1, 0xBA};
  const bool whole = size >= fileSize;
  const uint8_t* end = data + size;
  for (const uint8_t* at = std::search(data, end, kPack, kPack + 4); at != end;
       at = std::search(at + 1, end, kPack, kPack + 4)) {
    bool mpeg1 = false, atEnd = false;
    const size_t offset = static_cast<size_t>(at - data);
    const int packs = WalkPacks(data, size, offset, &mpeg1, &atEnd);
    // A file that opens with a pack header needs that one only, as it always did.
    if (packs >= kPacksNeeded || (whole && atEnd && packs >= 2) || (offset == 0 && packs >= 1)) {
      match->firstPack = offset;
      match->mpeg1 = mpeg1;
      return true;
    }
  }
  return false;
}

}  // namespace indexer

namespace indexer {

bool JoinedSource::Open(const std::vector<std::string>& paths, std::string* error) {
  for (const std::string& path : paths) {
    files_.push_back(std::make_unique<FileSource>());
    if (!files_.back()->Open(path, error)) return false;
    starts_.push_back(size_);
    size_ += files_.back()->Size();
  }
  return true;
}

int64_t JoinedSource::ReadAt(uint64_t position, uint8_t* buffer, size_t count) {
  size_t done = 0;
  for (size_t i = 0; i < files_.size() && done < count; ++i) {
    const uint64_t at = position + done;
    const uint64_t end = starts_[i] + files_[i]->Size();
    if (at >= end) continue;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, end - at));
    const int64_t got = files_[i]->ReadAt(at - starts_[i], buffer + done, want);
    if (got < 0) return -1;
    done += static_cast<size_t>(got);
    if (static_cast<size_t>(got) < want) break;
  }
  return static_cast<int64_t>(done);
}

std::vector<std::string> VobSetFiles(const std::string& path) {
  std::vector<std::string> files{path};
  // "VTS_nn_1.VOB" at the end of the path, in either case.
  const size_t n = path.size();
  if (n < 12) return files;
  const std::string name = path.substr(n - 12);
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
  std::string up;
  for (char c : name) up += upper(c);
  const bool digits = up[4] >= '0' && up[4] <= '9' && up[5] >= '0' && up[5] <= '9';
  if (up.compare(0, 4, "VTS_") != 0 || !digits || up.compare(6, 3, "_1.") != 0 ||
      up.compare(9, 3, "VOB") != 0) {
    return files;
  }
  for (char part = '2'; part <= '9'; ++part) {
    std::string next = path;
    next[n - 5] = part;
    FILE* file = std::fopen(next.c_str(), "rb");
    if (file == nullptr) break;
    std::fclose(file);
    files.push_back(next);
  }
  return files;
}

bool WalkProgramStream(ByteSource* source, uint64_t from, int videoId,
                       const std::function<bool(const ProgramUnit&)>& onUnit,
                       const std::function<void(const uint8_t*, size_t, uint64_t)>& onVideo) {
  constexpr size_t kBlock = 4 << 20;
  std::vector<uint8_t> buffer(kBlock + ps::kLookahead);
  uint64_t base = from;  // file offset of buffer[0]
  size_t begin = 0, end = 0;
  bool atEnd = false, readError = false;
  auto fill = [&]() {
    if (end - begin >= ps::kLookahead || atEnd) return;
    std::memmove(buffer.data(), buffer.data() + begin, end - begin);
    base += begin;
    end -= begin;
    begin = 0;
    while (end < ps::kLookahead && !atEnd) {
      const int64_t got = source->ReadAt(base + end, buffer.data() + end, buffer.size() - end);
      if (got < 0) readError = true;
      if (got <= 0) atEnd = true;
      if (got > 0) end += static_cast<size_t>(got);
    }
  };
  uint64_t skip = 0, payload = 0;
  for (;;) {
    fill();
    if (begin == end) break;
    if (skip > 0 || payload > 0) {
      uint64_t& left = skip > 0 ? skip : payload;
      const size_t take = static_cast<size_t>(std::min<uint64_t>(left, end - begin));
      if (&left == &payload) onVideo(buffer.data() + begin, take, base + begin);
      begin += take;
      left -= take;
      continue;
    }
    const ps::Unit unit = ps::ParseUnit(buffer.data() + begin, end - begin, videoId);
    if (unit.kind == ps::UnitKind::kCutShort) break;
    if (unit.kind == ps::UnitKind::kNoStartCode) {
      ++begin;
      continue;
    }
    ProgramUnit seen;
    seen.id = buffer[begin + 3];
    seen.offset = base + begin;
    seen.bytes = buffer.data() + begin;
    seen.size = end - begin;
    if (!onUnit(seen)) break;
    skip = unit.header;
    if (unit.kind == ps::UnitKind::kVideo) payload = unit.payload;
  }
  return !readError;
}

int FirstVideoStream(ByteSource* source, uint64_t from, uint64_t limit, bool* readError) {
  int found = -1;
  *readError = !WalkProgramStream(
      source, from, -1,
      [&](const ProgramUnit& unit) {
        if (ps::IsVideoStreamId(unit.id)) found = unit.id;
        return found < 0 && unit.offset - from < limit;
      },
      [](const uint8_t*, size_t, uint64_t) {});
  return found;
}

}  // namespace indexer

namespace indexer {
namespace {

constexpr uint64_t kStreamSearch = 64 << 20;  // bytes searched for the first video stream

std::string Hex(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::vector<std::string> FilesOf(const IndexOptions& options) {
  if (options.nextVideoPaths.empty()) return VobSetFiles(options.videoPath);
  std::vector<std::string> files{options.videoPath};
  files.insert(files.end(), options.nextVideoPaths.begin(), options.nextVideoPaths.end());
  return files;
}

std::string StreamName(int id, int substream) {
  if (ps::IsVideoStreamId(id)) return "MPEG video";
  if (id >= 0xC0 && id <= 0xDF) return "MPEG audio";
  if (id == 0xBE) return "padding";
  if (id == 0xBF) return "private stream 2 (DVD navigation)";
  if (id == 0xBB) return "system header";
  if (id != 0xBD) return "stream " + Hex(id);
  std::string text = "private stream 1";
  if (substream < 0) return text;
  const char* kind = substream >= 0x80 && substream <= 0x87   ? "AC-3"
                     : substream >= 0x88 && substream <= 0x8F ? "DTS"
                     : substream >= 0xA0 && substream <= 0xAF ? "LPCM"
                     : substream <= 0x3F                      ? "subpictures"
                                                              : "other";
  return text + ", substream " + Hex(substream) + " (" + kind + ")";
}

}  // namespace

int ScanProgramStream(const IndexOptions& options, StreamLayout* layout, Mpeg2Scanner* scanner,
                      std::string* error) {
  const std::string quoted = "\"" + options.videoPath + "\"";
  const std::vector<std::string> files = FilesOf(options);
  JoinedSource source;
  if (!source.Open(files, error)) return kIndexCannotRead;
  layout->files = files;
  layout->fileSizes.clear();
  for (size_t i = 0; i < files.size(); ++i) layout->fileSizes.push_back(source.FileSize(i));
  layout->fileSize = layout->fileSizes[0];
  bool readError = false;
  if (options.pid >= 0) {
    if (!ps::IsVideoStreamId(options.pid)) {
      *error = quoted +
               " is a program stream: --pid names its video stream by stream id, 0xE0 "
               "to 0xEF (224 to 239; --list shows them)";
      return kIndexBadOptions;
    }
    layout->pid = options.pid;
  } else {
    layout->pid = FirstVideoStream(&source, 0, kStreamSearch, &readError);
    if (layout->pid < 0 && !readError) {
      *error = quoted +
               " is a program stream without a video stream (stream ids 0xE0 to 0xEF) "
               "in its first " +
               std::to_string(kStreamSearch >> 20) + " MiB";
      return kIndexNotMpeg2;
    }
  }
  uint64_t videoPackets = 0;
  ProgressMeter progress(source.Size(), options.progress);
  if (!readError) {
    readError = !WalkProgramStream(
        &source, 0, layout->pid,
        [&](const ProgramUnit& unit) {
          if (unit.id == layout->pid) ++videoPackets;
          progress.Update(unit.offset);
          return true;
        },
        [&](const uint8_t* data, size_t size, uint64_t offset) {
          scanner->Feed(data, size, offset);
        });
  }
  if (readError) {
    *error = "read error in " + quoted + (files.size() > 1 ? " or the files after it" : "");
    return kIndexCannotRead;
  }
  scanner->Finish();
  if (videoPackets == 0) {
    *error = quoted + " has no packets of stream " + Hex(layout->pid);
    return kIndexNotMpeg2;
  }
  return kIndexOk;
}

int ListProgramStream(const std::string& videoPath, FILE* out, std::string* error) {
  IndexOptions options;
  options.videoPath = videoPath;
  options.progress = false;
  options.warn = [](const std::string&) {};
  const std::vector<std::string> files = FilesOf(options);
  JoinedSource source;
  if (!source.Open(files, error)) return kIndexCannotRead;
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(source.Size(), 1 << 20)));
  const int64_t got = source.ReadAt(0, head.data(), head.size());
  ProgramStreamMatch match;
  if (got < 0 || !FindProgramStream(head.data(), size_t(got), source.Size(), &match)) {
    *error = "\"" + videoPath + "\" cannot be read as a program stream";
    return kIndexNotMpeg2;
  }
  // Stream ids (with private stream 1's substreams) in the order first met.
  std::vector<std::pair<int, int>> streams;
  const bool read = WalkProgramStream(
      &source, 0, -1,
      [&](const ProgramUnit& unit) {
        if (unit.id > 0xBB && unit.id != 0xBE) {
          int substream = -1;
          if (unit.id == 0xBD) {
            const ps::Unit pes = ps::ParseUnit(unit.bytes, unit.size, 0xBD);
            if (pes.kind == ps::UnitKind::kVideo && pes.payload > 0 && pes.header < unit.size) {
              substream = unit.bytes[pes.header];
            }
          }
          const std::pair<int, int> key(unit.id, substream);
          if (std::find(streams.begin(), streams.end(), key) == streams.end()) {
            streams.push_back(key);
          }
        }
        return unit.offset < kStreamSearch;
      },
      [](const uint8_t*, size_t, uint64_t) {});
  if (!read) {
    *error = "read error in \"" + videoPath + "\"";
    return kIndexCannotRead;
  }
  std::fprintf(out, "\"%s\": %s program stream", videoPath.c_str(),
               match.mpeg1 ? "MPEG-1 (system stream)" : "MPEG-2");
  if (files.size() > 1) std::fprintf(out, " of %zu files read as one", files.size());
  std::fprintf(out, "\n");
  bool picked = false, first = true;
  for (const auto& stream : streams) {
    const bool video = ps::IsVideoStreamId(stream.first);
    std::fprintf(out, "  stream %s (%d): %s", Hex(stream.first).c_str(), stream.first,
                 StreamName(stream.first, stream.second).c_str());
    if (!video) {
      std::fprintf(out, "\n");
      continue;
    }
    VideoIndex index;
    StreamLayout layout;
    std::string why;
    options.pid = stream.first;
    if (IndexVideo(options, &index, &layout, &why) == kIndexOk) {
      std::fprintf(out, "%s\n    %s\n", first ? "  <- indexed by default" : "",
                   StreamSummary(index, layout).c_str());
      picked = true;
    } else {
      std::fprintf(out, "\n    cannot be indexed: %s\n", why.c_str());
    }
    first = false;
  }
  if (!picked) std::fprintf(out, "  no MPEG-2 video stream: nothing to index\n");
  return kIndexOk;
}

}  // namespace indexer
