// Random-access byte input for the indexer: a file, or bytes in memory for the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace indexer {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `count` bytes at `position` into `buffer`: the number read, 0 at or past the end,
  // or -1 on a read error.
  virtual int64_t ReadAt(uint64_t position, uint8_t* buffer, size_t count) = 0;
  virtual uint64_t Size() const = 0;
};

class FileSource : public ByteSource {
 public:
  FileSource() = default;
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Opens `path` for reading, only when it is a regular file: a FIFO, socket, folder or device is
  // refused without blocking and without being read. False with a message naming the file in
  // `error` when it cannot be read.
  bool Open(const std::string& path, std::string* error);
  int64_t ReadAt(uint64_t position, uint8_t* buffer, size_t count) override;
  uint64_t Size() const override { return size_; }

 private:
  FILE* file_ = nullptr;
  uint64_t size_ = 0;
  uint64_t next_ = 0;  // where the stream stands, to skip needless seeks
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  int64_t ReadAt(uint64_t position, uint8_t* buffer, size_t count) override;
  uint64_t Size() const override { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace indexer
