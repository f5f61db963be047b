#include "tests/unit/matroska/mkv_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/command_output.h"

namespace mkvtest {
namespace {

MemoryInput* self(MkvInput* in) {
  return reinterpret_cast<MemoryInput::Link*>(in)->owner;
}

int readOp(MkvInput* in, uint64_t position, void* buffer, int count) {
  MemoryInput* m = self(in);
  if (count == 0) {
    ++m->touches;
    return 0;
  }
  ++m->reads;
  if (m->failReadsFrom >= 0 && m->reads > m->failReadsFrom) return -1;
  if (count < 0) return -1;
  if (position >= m->size()) return 0;
  size_t n = m->size() - static_cast<size_t>(position);
  if (n > static_cast<size_t>(count)) n = static_cast<size_t>(count);
  std::memcpy(buffer, m->data.data() + position, n);
  return static_cast<int>(n);
}

int64_t scanOp(MkvInput* in, uint64_t start, uint32_t signature) {
  MemoryInput* m = self(in);
  const uint8_t pattern[4] = {
      static_cast<uint8_t>(signature >> 24), static_cast<uint8_t>(signature >> 16),
      static_cast<uint8_t>(signature >> 8), static_cast<uint8_t>(signature)};
  size_t size = m->size();
  for (uint64_t p = start; p + 4 <= size; ++p) {
    if (std::memcmp(m->data.data() + p, pattern, 4) == 0) return static_cast<int64_t>(p);
  }
  return -1;
}

uint32_t cacheSizeOp(MkvInput* in) {
  return self(in)->preferredSize;
}
const char* errorTextOp(MkvInput*) {
  return "simulated read failure";
}

bool spend(MemoryInput* m) {
  if (m->allocBudget == 0) return false;
  if (m->allocBudget > 0) --m->allocBudget;
  return true;
}

void* allocOp(MkvInput* in, size_t size) {
  MemoryInput* m = self(in);
  if (!spend(m)) return nullptr;
  void* p = std::malloc(size == 0 ? 1 : size);
  m->live[p] = size;
  ++m->allocations;
  return p;
}

void* reallocOp(MkvInput* in, void* block, size_t size) {
  MemoryInput* m = self(in);
  if (block != nullptr && m->live.count(block) == 0) std::abort();  // not ours
  if (!spend(m)) return nullptr;
  void* p = std::realloc(block, size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  if (block != nullptr) m->live.erase(block);
  m->live[p] = size;
  ++m->allocations;
  return p;
}

void freeOp(MkvInput* in, void* block) {
  if (block == nullptr) return;
  MemoryInput* m = self(in);
  if (m->live.erase(block) == 0) std::abort();  // double free or foreign block
  std::free(block);
}

int progressOp(MkvInput* in, uint64_t current, uint64_t total) {
  MemoryInput* m = self(in);
  m->progressCalls.emplace_back(current, total);
  return m->progressResult;
}

int64_t fileSizeOp(MkvInput* in) {
  return static_cast<int64_t>(self(in)->size());
}

}  // namespace

MemoryInput::MemoryInput() {
  static_assert(offsetof(Link, ops) == 0, "the record must come first");
  MkvInput& ops = link.ops;
  link.owner = this;
  ops.read = readOp;
  ops.scan = scanOp;
  ops.cacheSize = cacheSizeOp;
  ops.errorText = errorTextOp;
  ops.alloc = allocOp;
  ops.realloc = reallocOp;
  ops.free = freeOp;
  ops.progress = progressOp;
  ops.fileSize = nullptr;
}

MemoryInput::MemoryInput(Bytes bytes) : MemoryInput() {
  data = std::move(bytes);
}

MemoryInput::~MemoryInput() {
  // Every block the parser took must have come back by now.
  EXPECT_TRUE(live.empty()) << live.size() << " blocks never freed";
  for (auto& block : live) std::free(block.first);
}

FilePtr openFile(MemoryInput& in, uint32_t flags, std::string* message, uint64_t base) {
  in.link.ops.fileSize = in.withFileSize ? fileSizeOp : nullptr;
  char text[256] = "untouched";
  MatroskaFile* mf = mkv_OpenFile(in.input(), base, flags, text, sizeof text);
  if (message != nullptr) *message = mf != nullptr ? std::string() : std::string(text);
  return FilePtr(mf);
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes idBytes(uint32_t id) {
  Bytes out;
  bool started = false;
  for (int shift = 24; shift >= 0; shift -= 8) {
    uint8_t b = static_cast<uint8_t>(id >> shift);
    if (b != 0 || started || shift == 0) {
      out.push_back(b);
      started = true;
    }
  }
  return out;
}

Bytes sizeBytes(uint64_t size, int length) {
  if (length == 0) {
    length = 1;
    while (length < 8 && size >= (uint64_t{1} << (7 * length)) - 1) ++length;
  }
  Bytes out(static_cast<size_t>(length));
  uint64_t v = size | (uint64_t{1} << (7 * length));
  for (int i = length - 1; i >= 0; --i) {
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    v >>= 8;
  }
  return out;
}

Bytes unknownSize(int length) {
  Bytes out(static_cast<size_t>(length), 0xFF);
  out[0] = static_cast<uint8_t>(0xFF >> (length - 1));
  return out;
}

Bytes element(uint32_t id, const Bytes& payload) {
  return cat({idBytes(id), sizeBytes(payload.size()), payload});
}

Bytes master(uint32_t id, std::initializer_list<Bytes> children) {
  return element(id, cat(children));
}

Bytes uintElement(uint32_t id, uint64_t value, int length) {
  if (length == 0) {
    length = 1;
    while (length < 8 && (value >> (8 * length)) != 0) ++length;
  }
  Bytes payload(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) {
    int shift = 8 * (length - 1 - i);
    payload[static_cast<size_t>(i)] = shift < 64 ? static_cast<uint8_t>(value >> shift) : 0;
  }
  return element(id, payload);
}

Bytes stringElement(uint32_t id, const std::string& text) {
  return element(id, bytesOf(text));
}

Bytes floatElement(uint32_t id, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  Bytes payload(8);
  for (int i = 7; i >= 0; --i) {
    payload[static_cast<size_t>(i)] = static_cast<uint8_t>(bits);
    bits >>= 8;
  }
  return element(id, payload);
}

Bytes float32Element(uint32_t id, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  Bytes payload(4);
  for (int i = 3; i >= 0; --i) {
    payload[static_cast<size_t>(i)] = static_cast<uint8_t>(bits);
    bits >>= 8;
  }
  return element(id, payload);
}

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes ebmlHeader(const std::string& docType, uint64_t readVersion) {
  return master(0x1A45DFA3, {uintElement(0x4286, 1), uintElement(0x42F7, 1), uintElement(0x42F2, 4),
                             uintElement(0x42F3, 8), stringElement(0x4282, docType),
                             uintElement(0x4287, 4), uintElement(0x4285, readVersion)});
}

Bytes segment(const Bytes& content) {
  return element(0x18538067, content);
}

Bytes segmentUnknownSize(const Bytes& content) {
  return cat({idBytes(0x18538067), unknownSize(8), content});
}

Bytes infoElement(std::initializer_list<Bytes> extra) {
  Bytes children = uintElement(0x2AD7B1, 1000000);
  for (const Bytes& e : extra) children.insert(children.end(), e.begin(), e.end());
  return element(0x1549A966, children);
}

Bytes trackEntry(uint64_t number, uint64_t type, const std::string& codec,
                 std::initializer_list<Bytes> extra) {
  Bytes children =
      cat({uintElement(0xD7, number), uintElement(0x83, type), stringElement(0x86, codec)});
  for (const Bytes& e : extra) children.insert(children.end(), e.begin(), e.end());
  return element(0xAE, children);
}

Bytes tracksElement(std::initializer_list<Bytes> entries) {
  return element(0x1654AE6B, cat(entries));
}

Bytes blockBody(uint64_t track, int16_t relative, uint8_t flags, const Bytes& payload) {
  uint16_t rel = static_cast<uint16_t>(relative);
  return cat({sizeBytes(track),
              Bytes{static_cast<uint8_t>(rel >> 8), static_cast<uint8_t>(rel), flags}, payload});
}

Bytes simpleBlock(uint64_t track, int16_t relative, uint8_t flags, const Bytes& payload) {
  return element(0xA3, blockBody(track, relative, flags, payload));
}

Bytes cluster(uint64_t timecode, std::initializer_list<Bytes> children) {
  Bytes content = uintElement(0xE7, timecode);
  for (const Bytes& c : children) content.insert(content.end(), c.begin(), c.end());
  return element(0x1F43B675, content);
}

Bytes payload(size_t size, uint8_t fill) {
  return Bytes(size, fill);
}

std::vector<Frame> readAll(MatroskaFile* mf, uint32_t mask, size_t cap) {
  std::vector<Frame> frames;
  Frame f{};
  while (frames.size() < cap &&
         mkv_NextFrame(mf, mask, &f.track, &f.start, &f.end, &f.pos, &f.size, &f.flags) == 0) {
    frames.push_back(f);
  }
  return frames;
}

std::string mediaPath(const std::string& name) {
  const char* build = std::getenv("MPG_BUILD_DIR");
  std::string path = std::string(build != nullptr ? build : "build") + "/media/" + name;
  return access(path.c_str(), R_OK) == 0 ? path : std::string();
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string runCommand(const std::string& command) {
  return test_support::CommandOutput(command);
}

bool haveTool(const std::string& name) {
  static std::map<std::string, bool> known;
  auto it = known.find(name);
  if (it == known.end()) {
    bool found = std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
    it = known.emplace(name, found).first;
  }
  return it->second;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "mkvtest.XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr) << pattern;
  path = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

}  // namespace mkvtest
