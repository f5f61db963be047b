// Reading the video file: buffered raw bytes, the transport-stream demultiplexer for the video
// PID, repositioning at a GOP, and cutting the bitstream into start-code units.
#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "platform/thread.h"
#include "reader/avc_decoder.h"
#include "reader/transport_packet.h"

namespace {

// A transport packet search gives up after this much wall-clock time.
constexpr uint32_t kPacketSearchLimitMs = 6000;
// A start-code search after a reposition gives up after this many bytes.
constexpr int32_t kStartCodeSearchLimit = CAVCDecoder::kBufferSize - 1;

int64_t BytesTaken(const CAVCDecoder& d) {
  return d.readPtr - d.readBuffer;
}

// Leaves the reader with nothing to deliver until the next reposition.
void EndStream(CAVCDecoder& d) {
  d.readPtr = d.readBuffer;
  d.readCount = 0;
  d.tsRemaining = 0;
  d.readAtEnd = 1;
}

int SkipRawBytes(CAVCDecoder& d, int64_t count) {
  unsigned char byte;
  for (int64_t i = 0; i < count; ++i) {
    if (d.GetRawByte(&byte) < 0) return -1;
  }
  return 0;
}

// Reads the next fill of the file behind the buffered bytes from `keep` on, which move to the
// buffer's start. A fill shorter than asked for means the file has ended. Returns false when
// nothing more could be read.
bool Refill(CAVCDecoder& d, int64_t keep) {
  keep = std::min<int64_t>(std::max<int64_t>(keep, 0), d.readCount);
  const int64_t kept = d.readCount - keep;
  std::memmove(d.readBuffer, d.readBuffer + keep, size_t(kept));
  d.readPtr -= keep;
  d.readCount = static_cast<int32_t>(kept);
  if (d.readAtEnd || d.videoFile == nullptr) {
    d.readAtEnd = 1;
    return false;
  }
  const size_t got = std::fread(d.readBuffer + kept, 1, CAVCDecoder::kFillSize, d.videoFile);
  d.readCount += static_cast<int32_t>(got);
  d.readAtEnd = got < size_t(CAVCDecoder::kFillSize);
  return got > 0;
}

// Finds the next packet of the video PID with elementary-stream bytes, starting `gap` bytes past
// the read position, and leaves the read position at its first such byte. Returns how many of
// them the packet holds; -1 when the data ends or the time limit passes. The buffer keeps one
// packet's spacing of bytes ahead of every search position, so that a sync byte is confirmed by the
// one before it wherever the file has one since the reposition.
int32_t SearchVideoPacket(CAVCDecoder& d, int32_t gap) {
  const size_t spacing = d.packetSize > 0 ? size_t(d.packetSize) : 0;
  const uint32_t t0 = platform::timeGetTime();
  size_t from = size_t(BytesTaken(d)) + size_t(std::max(gap, 0));
  for (;;) {
    const ts::Search found = ts::FindStreamPacket(d.readBuffer, size_t(d.readCount), from, spacing,
                                                  d.videoPid, d.readAtEnd != 0);
    if (found.result == ts::Search::kFound) {
      d.readPtr = d.readBuffer + found.sync + found.packet.stream;
      return static_cast<int32_t>(found.packet.end - found.packet.stream);
    }
    if (found.result == ts::Search::kEnd || platform::timeGetTime() - t0 > kPacketSearchLimitMs) {
      d.readPtr = d.readBuffer + d.readCount;
      return -1;
    }
    const int64_t keep = std::min<int64_t>(int64_t(found.resume) - int64_t(spacing), d.readCount);
    const int64_t kept = std::max<int64_t>(keep, 0);
    Refill(d, kept);
    from = found.resume - size_t(kept);
  }
}

// The bytes that the next GetByte calls would deliver without refilling the buffer or crossing
// into another transport packet.
int64_t ContiguousBytes(const CAVCDecoder& d) {
  int64_t available = d.readCount - BytesTaken(d);
  // Transport and program streams: the payload bytes left in the current packet.
  if (d.streamType == 1 || d.programFiles != nullptr)
    available = std::min<int64_t>(available, d.tsRemaining);
  return std::max<int64_t>(available, 0);
}

void ConsumeContiguous(CAVCDecoder& d, int64_t count) {
  d.readPtr += count;
  if (d.streamType == 1 || d.programFiles != nullptr) d.tsRemaining -= static_cast<int32_t>(count);
}

}  // namespace

void CAVCDecoder::InitializeBuffer() {
  readPtr = readBuffer;
  readCount = 0;
  tsRemaining = 0;
  readAtEnd = 0;
  Refill(*this, 0);
}

int CAVCDecoder::GetRawByte(unsigned char* byte) {
  if (readPtr < readBuffer + readCount) {
    *byte = *readPtr++;
    return 0;
  }
  if (streamType == 2) {
    if (NextMKVBuffer() == -1 || readCount <= 0) return -1;
    *byte = *readPtr++;
    return 0;
  }
  if (programFiles != nullptr) {
    if (!FillProgramStream(1)) return -1;
    *byte = *readPtr++;
    return 0;
  }
  // A transport stream keeps one packet's spacing of bytes behind the read position.
  const int64_t keep = streamType == 1 ? readCount - int64_t(std::max(packetSize, 0)) : readCount;
  if (!Refill(*this, keep) || readPtr >= readBuffer + readCount) return -1;
  *byte = *readPtr++;
  return 0;
}

int CAVCDecoder::GetTSByte(unsigned char* byte) {
  if (tsRemaining > 0) {
    --tsRemaining;
    return GetRawByte(byte);
  }
  // The search starts where the packet just read ends and the next packet's sync byte follows
  // (the bytes between 188-byte packets of a wider spacing are no payload).
  const int32_t payload = SearchVideoPacket(*this, packetSize - int32_t(ts::kPacketLength));
  if (payload <= 0) return -1;
  tsRemaining = payload - 1;
  return GetRawByte(byte);
}

int CAVCDecoder::GetByte(unsigned char* byte) {
  if (programFiles != nullptr) return GetPSByte(byte);
  return streamType == 1 ? GetTSByte(byte) : GetRawByte(byte);
}

int CAVCDecoder::AlignStream(uint64_t position) {
  if (streamType == 2) {
    InitializeMKVBuffer(position);
    resync = 1;
    return 0;
  }
  if (programFiles != nullptr) return AlignProgramStream(position);
  if (streamType != 1) {
    if (videoFile != nullptr) platform::SeekFile(videoFile, position);
    InitializeBuffer();
    resync = 1;
    return 0;
  }

  // Transport stream: start one packet early, so that the packet holding `position` is the
  // first video packet found.
  const uint64_t start =
      (packetSize <= 0 || position < uint64_t(packetSize)) ? 0 : position - uint64_t(packetSize);
  if (videoFile != nullptr) platform::SeekFile(videoFile, start);
  InitializeBuffer();
  resync = 1;
  const int32_t payload = SearchVideoPacket(*this, 0);
  if (payload <= 0) {
    EndStream(*this);
    return -1;
  }
  tsRemaining = payload;
  const int64_t filePosition = platform::TellFile(videoFile);
  const int64_t current = filePosition - (readCount - BytesTaken(*this));
  // The target must be a payload byte of the packet found; anything else means the position
  // does not belong to this stream, and the request gets no data rather than wrong data.
  if (filePosition < 0 || position > uint64_t(INT64_MAX)) {
    EndStream(*this);
    return -1;
  }
  const int64_t skip = int64_t(position) - current;
  if (skip < 0 || skip >= tsRemaining) {
    EndStream(*this);
    return -1;
  }
  if (SkipRawBytes(*this, skip) < 0) {
    EndStream(*this);
    return -1;
  }
  tsRemaining -= static_cast<int32_t>(skip);
  return 0;
}

int CAVCDecoder::GetAnnexbNALU() {
  unsigned char byte = 0;
  if (resync) {
    // Discard everything before the first start code.
    uint32_t window = 0xFFFFFFu;
    for (int32_t read = 0;; ++read) {
      if (read >= kStartCodeSearchLimit) return -1;
      if (GetByte(&byte) < 0) return 0;
      endOfData = 0;
      window = ((window << 8) | byte) & 0xFFFFFFu;
      if (window == 0x000001u) break;
    }
  } else if (endOfData) {
    return 0;
  }

  unitBuffer[0] = 0;
  unitBuffer[1] = 0;
  unitBuffer[2] = 1;
  unit.data = unitBuffer;
  resync = 0;
  int32_t n = 3;
  // A unit ends when the last three bytes appended are 00 00 01; those three bytes open the next
  // unit. Bytes are taken in runs straight from the read buffer where possible, one at a time
  // (with refills and packet searches) where not.
  for (;;) {
    if (n >= kBufferSize) {
      // A unit that does not fit is cut at the buffer's end; the rest of it up to the next
      // start code is skipped.
      unit.length = n;
      resync = 1;
      return 1;
    }
    const int64_t run = std::min<int64_t>(ContiguousBytes(*this), kBufferSize - n);
    if (run == 0) {
      if (GetByte(&unitBuffer[n]) < 0) {
        endOfData = 1;
        // Every Matroska frame ends in an appended start code, so the data of a Matroska track
        // always ends in one; it starts no unit.
        if (streamType == 2 && n == 3) return 0;
        unit.length = n;
        return 1;
      }
      ++n;
      if (unitBuffer[n - 1] == 1 && unitBuffer[n - 2] == 0 && unitBuffer[n - 3] == 0) {
        unit.length = n - 3;
        return 1;
      }
      continue;
    }
    const unsigned char* src = readPtr;
    const unsigned char* end = src + run;
    const unsigned char* p = src;
    while ((p = static_cast<const unsigned char*>(std::memchr(p, 1, size_t(end - p)))) != nullptr) {
      const int64_t j = p - src;  // lands at unitBuffer[n + j]
      const unsigned char before1 = j >= 1 ? src[j - 1] : unitBuffer[n - 1];
      const unsigned char before2 = j >= 2 ? src[j - 2] : unitBuffer[n + j - 2];
      if (before1 == 0 && before2 == 0) {
        std::memcpy(unitBuffer + n, src, size_t(j + 1));
        ConsumeContiguous(*this, j + 1);
        unit.length = n + static_cast<int32_t>(j) + 1 - 3;
        return 1;
      }
      ++p;
    }
    std::memcpy(unitBuffer + n, src, size_t(run));
    ConsumeContiguous(*this, run);
    n += static_cast<int32_t>(run);
  }
}
