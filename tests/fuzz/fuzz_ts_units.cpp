// Fuzz target: the transport-stream demultiplexer and the unit cutter above it. The first five
// bytes choose the packet size (mostly 188 or 192, sometimes an odd small one), the video PID
// (sometimes outside the 13-bit range) and the position of a reposition; the rest is the file.
#include "platform/file.h"
#include "reader/avc_decoder.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {
namespace {

// Reads units until the data ends; the payload delivered can never exceed the file.
void ReadUnits(CAVCDecoder& d, size_t fileSize) {
  size_t total = 0;
  int result = 0;
  for (size_t i = 0; i <= fileSize + 1; ++i) {
    result = d.GetAnnexbNALU();
    if (result < 1) break;
    CheckUnit(d);
    total += size_t(d.unit.length);
    Check(total <= fileSize, "more unit bytes than the file holds");
  }
  Check(result == 0, "the units of a short transport stream did not end with 0");
  Check(d.GetAnnexbNALU() == 0, "a unit came after the end of the data");
}

}  // namespace

int TsUnits(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  int packetSize = 188;
  switch (data[0] & 3) {
    case 2:
      packetSize = 192;
      break;
    case 3:
      packetSize = (data[0] >> 2) + 1;
      break;
    default:
      break;
  }
  int pid = ((data[1] << 8) | data[2]) & 0x1FFF;
  if ((data[1] & 0xE0) == 0xE0) pid = (data[1] << 8) | data[2];
  const uint64_t position = uint64_t(data[3]) * uint64_t(packetSize) + data[4];
  const uint8_t* stream = data + 5;
  const size_t n = size - 5;

  CAVCDecoder& d = SharedDecoder();
  FILE* file = MemoryFile(stream, n);
  if (file == nullptr) return 0;
  AttachStream(d, file, 1, packetSize, pid);
  if (d.AlignStream(position) == 0) ReadUnits(d, n);
  // The whole file from its first byte, as the stream's first GOP is read.
  Check(platform::SeekFile(d.videoFile, 0) == 0, "cannot rewind the stream");
  d.InitializeBuffer();
  d.resync = 1;
  ReadUnits(d, n);
  DetachStream(d);
  return 0;
}

}  // namespace fuzz
