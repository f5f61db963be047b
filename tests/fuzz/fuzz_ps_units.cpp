// Fuzz target: the program-stream reader and the unit cutter above it, over two files read as
// one. The first five bytes choose the video stream id (mostly 0xE0-0xEF), where the first file
// ends and the position of a reposition; the rest is the stream.
#include "reader/avc_decoder.h"
#include "reader/program_stream_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {
namespace {

// Reads units until the data ends; the payload delivered can never exceed the files.
void ReadUnits(CAVCDecoder& d, size_t size) {
  size_t total = 0;
  int result = 0;
  for (size_t i = 0; i <= size + 1; ++i) {
    result = d.GetAnnexbNALU();
    if (result < 1) break;
    CheckUnit(d);
    total += size_t(d.unit.length);
    Check(total <= size, "more unit bytes than the files hold");
  }
  Check(result == 0, "the units of a short program stream did not end with 0");
  Check(d.GetAnnexbNALU() == 0, "a unit came after the end of the data");
}

}  // namespace

int PsUnits(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const int id = (data[0] & 0x80) != 0 ? data[0] : 0xE0 | (data[0] & 0x0F);
  const uint8_t* stream = data + 5;
  const size_t n = size - 5;
  const size_t split = std::min<size_t>(n, (size_t(data[1]) << 8 | data[2]) * 8);
  const uint64_t position = (uint64_t(data[3]) << 8 | data[4]) * 8;

  CAVCDecoder& d = SharedDecoder();
  FILE* first = MemoryFile(stream, split);
  FILE* second = MemoryFile(stream + split, n - split);
  if (first == nullptr || second == nullptr) {
    if (first != nullptr) std::fclose(first);
    if (second != nullptr) std::fclose(second);
    return 0;
  }
  AttachStream(d, nullptr, 3, 0, id);
  d.programFiles = new ProgramStreamFiles;
  d.programFiles->Add(first, split);
  d.programFiles->Add(second, n - split);
  if (d.AlignStream(position) == 0) ReadUnits(d, n);
  // The whole stream from its first byte.
  d.readPtr = d.readBuffer;
  d.readCount = 0;
  d.tsRemaining = 0;
  d.programNext = 0;
  d.resync = 1;
  d.endOfData = 0;
  ReadUnits(d, n);
  DetachStream(d);
  return 0;
}

}  // namespace fuzz
