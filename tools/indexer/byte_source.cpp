#include "tools/indexer/byte_source.h"

#include <algorithm>
#include <cstring>

#include "platform/file.h"

namespace indexer {

FileSource::~FileSource() {
  if (file_ != nullptr) std::fclose(file_);
}

bool FileSource::Open(const std::string& path, std::string* error) {
  if (file_ != nullptr) std::fclose(file_);
  char reason[128];
  file_ = platform::OpenRegularFile(path.c_str(), &size_, reason, sizeof reason);
  if (file_ == nullptr) {
    *error = "cannot read \"" + path + "\": " + reason;
    return false;
  }
  next_ = 0;
  return true;
}

int64_t FileSource::ReadAt(uint64_t position, uint8_t* buffer, size_t count) {
  if (file_ == nullptr || position >= size_ || count == 0) return 0;
  if (position != next_ && platform::SeekFile(file_, position) != 0) {
    next_ = UINT64_MAX;
    return -1;
  }
  const size_t got = std::fread(buffer, 1, count, file_);
  if (got == 0) {
    next_ = UINT64_MAX;
    const bool failed = std::ferror(file_) != 0;
    std::clearerr(file_);
    return failed ? -1 : 0;
  }
  next_ = position + got;
  return static_cast<int64_t>(got);
}

int64_t MemorySource::ReadAt(uint64_t position, uint8_t* buffer, size_t count) {
  if (position >= bytes_.size()) return 0;
  size_t n = std::min<uint64_t>(count, bytes_.size() - position);
  memcpy(buffer, bytes_.data() + position, n);
  return static_cast<int64_t>(n);
}

}  // namespace indexer
