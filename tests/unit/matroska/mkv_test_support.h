// Test support for the Matroska parser: a memory-backed MkvInput that accounts for every block
// it hands out, a tiny EBML writer, and helpers to reach real media and tools.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "matroska/matroska.h"

namespace mkvtest {

using Bytes = std::vector<uint8_t>;

// An MkvInput over bytes in memory.
struct MemoryInput {
  // The parser hands the record back to each operation; the owner follows it.
  struct Link {
    MkvInput ops;
    MemoryInput* owner;
  } link;
  Bytes data;
  size_t limit = SIZE_MAX;  // bytes past this look like the end of the file (a cut file)
  bool withFileSize = false;
  uint32_t preferredSize = 65536;
  int progressResult = 1;
  long allocBudget = -1;   // allocations that still succeed; -1 = unlimited
  int failReadsFrom = -1;  // read number from which reads fail; -1 = never
  // Accounting.
  std::map<void*, size_t> live;
  long allocations = 0;
  int reads = 0;
  int touches = 0;
  std::vector<std::pair<uint64_t, uint64_t>> progressCalls;

  MemoryInput();
  explicit MemoryInput(Bytes bytes);
  MemoryInput(const MemoryInput&) = delete;
  MemoryInput& operator=(const MemoryInput&) = delete;
  ~MemoryInput();
  MkvInput* input() { return &link.ops; }
  size_t size() const { return data.size() < limit ? data.size() : limit; }
};

struct Closer {
  void operator()(MatroskaFile* mf) const { mkv_CloseFile(mf); }
};
using FilePtr = std::unique_ptr<MatroskaFile, Closer>;

// Opens through mkv_OpenFile; the message of a failure is left in `message`.
FilePtr openFile(MemoryInput& in, uint32_t flags = 0, std::string* message = nullptr,
                 uint64_t base = 0);

// --- EBML writer ---
Bytes cat(std::initializer_list<Bytes> parts);
Bytes idBytes(uint32_t id);
Bytes sizeBytes(uint64_t size, int length = 0);  // length 0: shortest form
Bytes unknownSize(int length = 1);
Bytes element(uint32_t id, const Bytes& payload);
Bytes master(uint32_t id, std::initializer_list<Bytes> children);
Bytes uintElement(uint32_t id, uint64_t value, int length = 0);
Bytes stringElement(uint32_t id, const std::string& text);
Bytes floatElement(uint32_t id, double value);  // 8-byte double
Bytes float32Element(uint32_t id, float value);
Bytes bytesOf(const std::string& text);

// Building blocks of a small Matroska file.
Bytes ebmlHeader(const std::string& docType = "matroska", uint64_t readVersion = 2);
Bytes segment(const Bytes& content);
Bytes segmentUnknownSize(const Bytes& content);
Bytes infoElement(std::initializer_list<Bytes> extra = {});
Bytes trackEntry(uint64_t number, uint64_t type, const std::string& codec,
                 std::initializer_list<Bytes> extra = {});
Bytes tracksElement(std::initializer_list<Bytes> entries);
Bytes simpleBlock(uint64_t track, int16_t relative, uint8_t flags, const Bytes& payload);
Bytes blockBody(uint64_t track, int16_t relative, uint8_t flags, const Bytes& payload);
Bytes cluster(uint64_t timecode, std::initializer_list<Bytes> children);
Bytes payload(size_t size, uint8_t fill);

// A frame as mkv_NextFrame reports it.
struct Frame {
  uint32_t track;
  uint64_t start, end, pos;
  uint32_t size, flags;
};
std::vector<Frame> readAll(MatroskaFile* mf, uint32_t mask = 0, size_t cap = 100000);

// --- real media and tools ---
// Path of a clip in <build>/media, or "" when the media was not made.
std::string mediaPath(const std::string& name);
Bytes readFile(const std::string& path);
// Runs a shell command and returns its standard output.
std::string runCommand(const std::string& command);
bool haveTool(const std::string& name);
// A fresh temporary folder, removed with its contents at destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string path;
};

}  // namespace mkvtest
