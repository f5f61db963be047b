// Fuzz target: the unit cutter over elementary-stream bytes. The first two bytes choose where
// reading is repositioned; the rest is the video file. Every unit must be well formed, and the
// units together must be exactly the stream from the first start code at or after the position.
#include <cstring>
#include <string>

#include "decoder/avc_decoder.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {
namespace {

// Reads every unit after a reposition at `position` and compares them, as they come, with the
// stream from its first start code at or after the position.
void ReadAllUnitsFrom(CAVCDecoder& d, const uint8_t* stream, size_t size, uint64_t position) {
  Check(d.AlignStream(position) == 0, "repositioning an elementary stream failed");
  const uint8_t* expected = stream + size;
  if (position < size) {
    const void* first = memmem(stream + position, size - size_t(position), "\0\0\1", 3);
    if (first != nullptr) expected = static_cast<const uint8_t*>(first);
  }
  const size_t total = size_t(stream + size - expected);
  size_t read = 0;
  int result = 0;
  // Each unit consumes at least one byte of the stream, so this bound is never reached.
  for (size_t i = 0; i <= size + 1; ++i) {
    result = d.GetAnnexbNALU();
    if (result < 1) break;
    CheckUnit(d);
    const size_t length = size_t(d.unit.length);
    Check(read + length <= total && std::memcmp(d.unit.data, expected + read, length) == 0,
          "the units differ from the stream's bytes");
    read += length;
  }
  Check(result == 0, "the units of a short stream did not end with 0");
  Check(read == total, "the units end before the stream does");
  Check(d.GetAnnexbNALU() == 0, "a unit came after the end of the data");
}

// The stream read across a refill of the 8,000,000-byte read buffer: the file starts with a start
// code and zeros up to `before` bytes short of the buffer's end, the last 64 of them a unit of
// their own, and the input follows.
void ReadAcrossRefill(CAVCDecoder& d, const uint8_t* stream, size_t n, size_t before) {
  std::string file(size_t(CAVCDecoder::kBufferSize) - before, '\0');
  file[2] = 1;
  file[3] = char(0xB3);
  file[file.size() - 62] = 1;
  file[file.size() - 61] = char(0xB5);
  file.append(reinterpret_cast<const char*>(stream), n);
  FILE* f = MemoryFile(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  if (f == nullptr) return;
  AttachStream(d, f, 0, 0, 0);
  ReadAllUnitsFrom(d, reinterpret_cast<const uint8_t*>(file.data()), file.size(), 0);
  DetachStream(d);
}

}  // namespace

int EsUnits(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t* stream = data + 2;
  const size_t n = size - 2;
  // Positions up to one past the end; a position beyond the end must give no units.
  const uint64_t position = ((uint64_t(data[0]) << 8) | data[1]) % (n + 2);
  CAVCDecoder& d = SharedDecoder();
  FILE* file = MemoryFile(stream, n);
  if (file == nullptr) return 0;
  AttachStream(d, file, 0, 0, 0);
  ReadAllUnitsFrom(d, stream, n, position);
  // A second request on the same reader, as the decode thread makes after a restart.
  ReadAllUnitsFrom(d, stream, n, 0);
  DetachStream(d);
  return 0;
}

int EsRefill(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  ReadAcrossRefill(SharedDecoder(), data + 1, size - 1, data[0]);
  return 0;
}

}  // namespace fuzz
