// Fuzz target: the unit cutter over elementary-stream bytes. The first two bytes choose where
// reading is repositioned; the rest is the video file. Every unit must be well formed, and the
// units together must be exactly the stream from the first start code at or after the position.
#include <cstring>
#include <string>

#include "reader/avc_decoder.h"
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

// The stream read across a refill of the read buffer: the file starts with units
// of 0xFF bytes (a start code every 1,000,000 bytes) and zeros up to data[0] bytes short of the
// buffer's end, and the rest of the input follows.
int EsRefill(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  constexpr size_t kPrefix = CAVCDecoder::kFillSize - 256;
  std::string tail(256 - data[0], '\0');
  tail.append(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string* file = nullptr;
  FILE* f = PrefixedMemoryFile(
      0,
      [] {
        std::string prefix(kPrefix, char(0xFF));
        for (size_t at = 0; at + 4 <= prefix.size(); at += 1000000) {
          prefix.replace(at, 4, "\0\0\1\xB5", 4);
        }
        return prefix;
      },
      reinterpret_cast<const uint8_t*>(tail.data()), tail.size(), &file);
  if (f == nullptr) return 0;
  CAVCDecoder& d = SharedDecoder();
  AttachStream(d, f, 0, 0, 0);
  ReadAllUnitsFrom(d, reinterpret_cast<const uint8_t*>(file->data()), file->size(), 0);
  DetachStream(d);
  return 0;
}

}  // namespace fuzz
