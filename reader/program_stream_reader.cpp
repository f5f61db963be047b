// Reading a program stream: the joined files, the walk over its units that delivers the payload
// of the video stream's PES packets, and repositioning at a GOP.
#include "reader/program_stream_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "reader/avc_decoder.h"
#include "reader/program_stream_unit.h"

ProgramStreamFiles::~ProgramStreamFiles() {
  for (FILE* file : files_) std::fclose(file);
}

void ProgramStreamFiles::Add(FILE* file, uint64_t size) {
  files_.push_back(file);
  starts_.push_back(size_);
  size_ += size;
}

size_t ProgramStreamFiles::ReadAt(uint64_t offset, unsigned char* buffer, size_t count) {
  size_t done = 0;
  size_t i = 0;
  while (i < files_.size() && done < count) {
    const uint64_t end = i + 1 < files_.size() ? starts_[i + 1] : size_;
    const uint64_t at = offset + done;
    if (at >= end) {
      ++i;
      continue;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, end - at));
    if (platform::SeekFile(files_[i], at - starts_[i]) != 0) break;
    const size_t got = std::fread(buffer + done, 1, want, files_[i]);
    done += got;
    if (got < want) break;
  }
  return done;
}

namespace {

int64_t Unread(const CAVCDecoder& d) {
  return d.readCount - (d.readPtr - d.readBuffer);
}

}  // namespace

bool CAVCDecoder::FillProgramStream(size_t keep) {
  const int64_t unread = Unread(*this);
  if (unread >= int64_t(keep) || programFiles == nullptr || programNext >= programFiles->Size()) {
    return unread > 0;
  }
  std::memmove(readBuffer, readPtr, size_t(unread));
  readPtr = readBuffer;
  const size_t got = programFiles->ReadAt(programNext, readBuffer + unread, kFillSize);
  // A file that cannot be read ends the stream there.
  programNext = got == 0 ? programFiles->Size() : programNext + got;
  readCount = static_cast<int32_t>(unread + int64_t(got));
  return readCount > 0;
}

void CAVCDecoder::SkipProgramStream(uint64_t count) {
  while (count > 0) {
    const uint64_t take = std::min<uint64_t>(count, uint64_t(Unread(*this)));
    readPtr += take;
    count -= take;
    if (count > 0 && !FillProgramStream(1)) return;
  }
}

int CAVCDecoder::GetPSByte(unsigned char* byte) {
  while (tsRemaining <= 0) {
    if (!FillProgramStream(ps::kLookahead)) return -1;
    const ps::Unit unit = ps::ParseUnit(readPtr, size_t(Unread(*this)), videoPid);
    if (unit.kind == ps::UnitKind::kCutShort) {
      readPtr += Unread(*this);  // the data ends inside a header: nothing more to deliver
      return -1;
    }
    if (unit.kind == ps::UnitKind::kNoStartCode) {
      ++readPtr;
      continue;
    }
    SkipProgramStream(unit.header);
    if (unit.kind == ps::UnitKind::kVideo) tsRemaining = static_cast<int32_t>(unit.payload);
  }
  --tsRemaining;
  return GetRawByte(byte);
}

int CAVCDecoder::AlignProgramStream(uint64_t position) {
  readPtr = readBuffer;
  readCount = 0;
  tsRemaining = 0;
  resync = 1;
  if (programFiles == nullptr || position >= programFiles->Size()) return -1;
  // The video PES packet that holds `position` starts at most one packet before it, and it is the
  // last start of a packet of the video stream before it: between the start of a packet and its
  // payload bytes there is only its header and video, and neither holds 00 00 01 and a stream id.
  const uint64_t start = position - std::min<uint64_t>(position, ps::kLongestPacket);
  const size_t want = size_t(position - start) + ps::kLookahead;
  programNext = start;
  readCount = static_cast<int32_t>(programFiles->ReadAt(start, readBuffer, want));
  programNext += uint64_t(readCount);
  const int64_t target = int64_t(position - start);
  if (readCount <= target) return -1;
  for (int64_t at = target - 1; at >= 0; --at) {
    const unsigned char* p = readBuffer + at;
    if (p[0] != 0 || at + 4 > readCount || p[1] != 0 || p[2] != 1 || p[3] != videoPid) continue;
    const ps::Unit unit = ps::ParseUnit(p, size_t(readCount - at), videoPid);
    const int64_t first = at + unit.header;
    if (unit.kind != ps::UnitKind::kVideo || target < first || target >= first + unit.payload) {
      break;
    }
    readPtr = readBuffer + target;
    tsRemaining = static_cast<int32_t>(first + unit.payload - target);
    return 0;
  }
  // The position lies in no payload of the video stream: no data rather than wrong data.
  readPtr = readBuffer + readCount;
  tsRemaining = 0;
  programNext = programFiles->Size();
  return -1;
}
