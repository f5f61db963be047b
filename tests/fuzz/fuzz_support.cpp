#include "tests/fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "reader/avc_decoder.h"

namespace fuzz {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

namespace {

std::string* scratch = nullptr;

void RemoveScratch() {
  if (scratch == nullptr) return;
  std::string cmd = "rm -rf '" + *scratch + "'";
  if (std::system(cmd.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", scratch->c_str());
}

}  // namespace

const std::string& ScratchDir() {
  if (scratch == nullptr) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mpg-fuzz.XXXXXX";
    std::unique_ptr<char[]> name(new char[pattern.size() + 1]);
    std::memcpy(name.get(), pattern.c_str(), pattern.size() + 1);
    Check(mkdtemp(name.get()) != nullptr, "cannot make a scratch folder");
    scratch = new std::string(name.get());
    std::atexit(RemoveScratch);
  }
  return *scratch;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  Check(f != nullptr, "cannot write a scratch file");
  Check(size == 0 || std::fwrite(data, 1, size, f) == size, "short write of a scratch file");
  std::fclose(f);
}

FILE* MemoryFile(const uint8_t* data, size_t size) {
  int fd = memfd_create("mpg-fuzz", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return nullptr;
    }
    done += size_t(n);
  }
  lseek(fd, 0, SEEK_SET);
  FILE* f = fdopen(fd, "rb");
  if (f == nullptr) close(fd);
  return f;
}

FILE* PrefixedMemoryFile(int key, const std::function<std::string()>& makePrefix,
                         const uint8_t* tail, size_t size, const std::string** contents) {
  struct Prefixed {
    int fd;
    size_t prefixSize;
    std::string bytes;
  };
  static std::map<int, Prefixed>* files = new std::map<int, Prefixed>();
  auto found = files->find(key);
  if (found == files->end()) {
    Prefixed made{memfd_create("mpg-fuzz-prefixed", MFD_CLOEXEC), 0, makePrefix()};
    Check(made.fd >= 0, "cannot make an in-memory file");
    made.prefixSize = made.bytes.size();
    Check(pwrite(made.fd, made.bytes.data(), made.bytes.size(), 0) == ssize_t(made.bytes.size()),
          "short write of an in-memory file");
    found = files->emplace(key, std::move(made)).first;
  }
  Prefixed& f = found->second;
  f.bytes.resize(f.prefixSize);
  f.bytes.append(reinterpret_cast<const char*>(tail), size);
  Check(ftruncate(f.fd, off_t(f.prefixSize)) == 0, "cannot cut an in-memory file");
  Check(size == 0 || pwrite(f.fd, tail, size, off_t(f.prefixSize)) == ssize_t(size),
        "short write of an in-memory file");
  *contents = &f.bytes;
  int fd = dup(f.fd);
  if (fd < 0) return nullptr;
  lseek(fd, 0, SEEK_SET);
  FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

CAVCDecoder& SharedDecoder() {
  // Never destroyed: libFuzzer may leave through exit() while a run is in progress.
  static CAVCDecoder* decoder = new CAVCDecoder();
  return *decoder;
}

void AttachStream(CAVCDecoder& d, FILE* file, int streamType, int packetSize, int pid) {
  d.Close();
  d.videoFile = file;
  d.streamType = streamType;
  d.packetSize = packetSize;
  d.videoPid = pid;
  d.readPtr = d.readBuffer;
  d.readCount = 0;
  d.tsRemaining = 0;
  d.endOfData = 0;
  d.currentUnit = &d.unit;
  d.unit.data = d.unitBuffer;
  d.unit.length = 0;
  d.resync = 1;
}

void DetachStream(CAVCDecoder& d) {
  d.Close();
  d.streamType = 0;
  d.mkvTrack = 0;
}

void CheckUnit(const CAVCDecoder& d) {
  const AnnexbUnit& u = d.unit;
  Check(u.data == d.unitBuffer, "a unit lies outside the unit buffer");
  Check(u.length >= 3 && u.length <= CAVCDecoder::kBufferSize, "a unit has an impossible length");
  Check(u.data[0] == 0 && u.data[1] == 0 && u.data[2] == 1, "a unit does not start with 00 00 01");
  const void* inner =
      u.length > 3 ? memmem(u.data + 1, size_t(u.length - 1), "\0\0\1", 3) : nullptr;
  Check(inner == nullptr, "a unit holds a second start code");
}

namespace {

CountingFileInput* Self(MkvInput* input) {
  return reinterpret_cast<CountingFileInput*>(input);
}

bool MayAllocate(CountingFileInput* self) {
  if (self->failAfter >= 0 && self->allocations >= self->failAfter) return false;
  ++self->allocations;
  return true;
}

void* Alloc(MkvInput* input, size_t size) {
  CountingFileInput* self = Self(input);
  if (!MayAllocate(self)) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) ++self->liveBlocks;
  return block;
}

void* Realloc(MkvInput* input, void* block, size_t size) {
  CountingFileInput* self = Self(input);
  if (!MayAllocate(self)) return nullptr;
  void* grown = std::realloc(block, size == 0 ? 1 : size);
  if (grown != nullptr && block == nullptr) ++self->liveBlocks;
  return grown;
}

void Free(MkvInput* input, void* block) {
  if (block == nullptr) return;
  --Self(input)->liveBlocks;
  std::free(block);
}

int64_t FileSize(MkvInput* input) {
  return static_cast<int64_t>(Self(input)->size);
}

}  // namespace

void InitCountingFileInput(CountingFileInput* input, FILE* file, size_t size, bool withFileSize,
                           long failAfter) {
  std::memset(input, 0, sizeof *input);
  InitMkvFileInput(&input->file, file);
  input->file.ops.alloc = Alloc;
  input->file.ops.realloc = Realloc;
  input->file.ops.free = Free;
  input->file.ops.fileSize = withFileSize ? FileSize : nullptr;
  input->size = size;
  input->failAfter = failAfter;
}

}  // namespace fuzz
