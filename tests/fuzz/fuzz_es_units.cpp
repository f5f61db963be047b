// Fuzz target: the unit cutter over elementary-stream bytes. The first two bytes choose where
// reading is repositioned; the rest is the video file. Every unit must be well formed, and the
// units together must be exactly the stream from the first start code at or after the position.
#include <cstring>
#include <string>

#include "decoder/avc_decoder.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {
namespace {

// Reads every unit after a reposition at `position` and compares them with the stream.
void ReadAllUnitsFrom(CAVCDecoder& d, const uint8_t* stream, size_t size, uint64_t position) {
  Check(d.AlignStream(position) == 0, "repositioning an elementary stream failed");
  std::string units;
  int result = 0;
  // Each unit consumes at least one byte of the stream, so this bound is never reached.
  for (size_t i = 0; i <= size + 1; ++i) {
    result = d.GetAnnexbNALU();
    if (result < 1) break;
    CheckUnit(d);
    units.append(reinterpret_cast<const char*>(d.unit.data), size_t(d.unit.length));
  }
  Check(result == 0, "the units of a short stream did not end with 0");
  Check(d.GetAnnexbNALU() == 0, "a unit came after the end of the data");

  std::string expected;
  if (position < size) {
    const void* first = memmem(stream + position, size - size_t(position), "\0\0\1", 3);
    if (first != nullptr) {
      const uint8_t* from = static_cast<const uint8_t*>(first);
      expected.assign(reinterpret_cast<const char*>(from), size_t(stream + size - from));
    }
  }
  Check(units == expected, "the units differ from the stream's bytes");
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

}  // namespace fuzz

#ifdef MPG_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::EsUnits(data, size);
}
#endif
