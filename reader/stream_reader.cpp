// Reading the video file: buffered raw bytes, the transport-stream demultiplexer for the video
// PID, repositioning at a GOP, and cutting the bitstream into start-code units.
#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "platform/thread.h"
#include "reader/avc_decoder.h"
#include "reader/pes_header.h"

namespace {

// A transport packet search gives up after this much wall-clock time.
constexpr uint32_t kPacketSearchLimitMs = 6000;
// The clock is read once per this many sync attempts; a garbage stream makes one per byte.
constexpr uint32_t kClockInterval = 1024;
// A start-code search after a reposition gives up after this many bytes.
constexpr int32_t kStartCodeSearchLimit = CAVCDecoder::kBufferSize - 1;

// The part of a packet, from its sync byte on, that holds header and payload: 192-byte packets
// are 188-byte packets with four further bytes.
int32_t EffectivePacketLength(int32_t packetSize) {
  return packetSize == 192 ? 188 : packetSize;
}

int64_t BytesTaken(const CAVCDecoder& d) {
  return d.readPtr - d.readBuffer;
}

// Leaves the reader with nothing to deliver until the next reposition.
void EndStream(CAVCDecoder& d) {
  d.readPtr = d.readBuffer;
  d.readCount = 0;
  d.tsRemaining = 0;
}

int SkipRawBytes(CAVCDecoder& d, int64_t count) {
  unsigned char byte;
  for (int64_t i = 0; i < count; ++i) {
    if (d.GetRawByte(&byte) < 0) return -1;
  }
  return 0;
}

// Finds the next packet of the video PID and consumes its header (and the PES header when the
// packet starts one). Returns h, the bytes consumed from the sync byte on, with L - h payload
// bytes following (at least one); -1 when the data ends or the time limit passes.
int32_t SearchVideoPacket(CAVCDecoder& d) {
  const int64_t P = d.packetSize;
  const int32_t L = EffectivePacketLength(d.packetSize);
  // A packet must hold its 4-byte header and at least one payload byte, and a PID has 13 bits.
  if (L < 5 || d.videoPid < 0 || d.videoPid > 0x1FFF) return -1;
  const uint32_t t0 = platform::timeGetTime();
  uint32_t attempts = 0;
  unsigned char b = 0;
  for (;;) {
    if (attempts++ % kClockInterval == 0 && platform::timeGetTime() - t0 > kPacketSearchLimitMs) {
      return -1;
    }
    // Bytes up to the next 0x47 in the buffer would each fail as an attempt: pass over them.
    unsigned char* const end = d.readBuffer + d.readCount;
    if (d.readPtr < end) {
      void* sync = std::memchr(d.readPtr, 0x47, size_t(end - d.readPtr));
      d.readPtr = sync != nullptr ? static_cast<unsigned char*>(sync) : end;
    }
    if (d.GetRawByte(&b) < 0) return -1;
    if (b != 0x47) continue;
    // Confirm the sync byte from bytes already in the buffer: one packet back, or else one
    // packet ahead; near both ends of a short buffer it is taken unconfirmed.
    const int64_t taken = BytesTaken(d);  // this 0x47 included
    const int64_t unread = d.readCount - taken;
    if (taken > P) {
      if (d.readBuffer[taken - 1 - P] != 0x47) continue;
    } else if (unread > P - 1) {
      if (d.readBuffer[taken - 1 + P] != 0x47) continue;
    }

    unsigned char b1 = 0, b2 = 0, b3 = 0;
    if (d.GetRawByte(&b1) < 0 || d.GetRawByte(&b2) < 0) return -1;
    // A packet flagged with the transport error indicator is read like any other: its payload
    // may be intact, and ffmpeg's demuxer keeps it too, so both decoders see the same bytes.
    if ((((b1 << 8) | b2) & 0x1FFF) != d.videoPid) continue;
    const bool unitStart = (b1 & 0x40) != 0;
    if (d.GetRawByte(&b3) < 0) return -1;
    const int control = (b3 >> 4) & 3;
    if (control == 0) continue;
    int32_t h = 4;
    if (control >= 2) {
      unsigned char adaptationLength = 0;
      if (d.GetRawByte(&adaptationLength) < 0) return -1;
      // A length that claims more than the packet holds is not followed past the packet's end,
      // so that the next packet's sync byte is still found.
      if (SkipRawBytes(d, std::min<int32_t>(adaptationLength, L - 5)) < 0) return -1;
      h = 5 + adaptationLength;
    }
    if (h >= L) continue;
    if (unitStart) {
      // A PES header that does not fit the rest of the packet: drop the packet.
      if (h + pes::kFixedBytes > L) {
        if (SkipRawBytes(d, L - h) < 0) return -1;
        continue;
      }
      unsigned char fixed[pes::kFixedBytes];
      for (unsigned char& byte : fixed) {
        if (d.GetRawByte(&byte) < 0) return -1;
      }
      h += pes::kFixedBytes;
      // The optional fields (timestamps and the rest) are not used.
      const int32_t headerData = pes::OptionalFieldBytes(fixed);
      if (h + headerData >= L) {
        if (SkipRawBytes(d, L - h) < 0) return -1;
        continue;
      }
      if (SkipRawBytes(d, headerData) < 0) return -1;
      h += headerData;
    }
    return h;
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
  size_t got = 0;
  if (videoFile != nullptr) got = std::fread(readBuffer, 1, kFillSize, videoFile);
  readCount = static_cast<int32_t>(got);
  readPtr = readBuffer;
  tsRemaining = 0;
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
  // A fill shorter than the buffer means the file has ended: no second read.
  if (readCount < kFillSize || videoFile == nullptr) return -1;
  const size_t got = std::fread(readBuffer, 1, kFillSize, videoFile);
  readPtr = readBuffer;
  readCount = static_cast<int32_t>(got);
  if (got == 0) return -1;
  *byte = *readPtr++;
  return 0;
}

int CAVCDecoder::GetTSByte(unsigned char* byte) {
  if (tsRemaining > 0) {
    --tsRemaining;
    return GetRawByte(byte);
  }
  const int32_t h = SearchVideoPacket(*this);
  if (h < 0) return -1;
  tsRemaining = EffectivePacketLength(packetSize) - h - 1;
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
  const int32_t h = SearchVideoPacket(*this);
  if (h < 0) {
    EndStream(*this);
    return -1;
  }
  tsRemaining = EffectivePacketLength(packetSize) - h;
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
