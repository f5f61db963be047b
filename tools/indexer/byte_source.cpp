#include "tools/indexer/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace indexer {

bool FileSource::Open(const std::string& path, std::string* error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = "\"" + path + "\" is a folder, not a video file";
    return false;
  }
  errno = 0;
  file_.open(path, std::ios::in | std::ios::binary);
  if (!file_.is_open()) {
    *error =
        "cannot open \"" + path + "\"" + (errno != 0 ? ": " + std::string(strerror(errno)) : "");
    return false;
  }
  file_.seekg(0, std::ios::end);
  std::streamoff end = file_.tellg();
  file_.seekg(0, std::ios::beg);
  if (!file_ || end < 0) {
    // A folder opens on some systems but cannot be positioned or read.
    *error = "cannot read \"" + path + "\"";
    file_.close();
    return false;
  }
  size_ = static_cast<uint64_t>(end);
  next_ = 0;
  return true;
}

int64_t FileSource::ReadAt(uint64_t position, uint8_t* buffer, size_t count) {
  if (position >= size_ || count == 0) return 0;
  file_.clear();
  if (position != next_) {
    file_.seekg(static_cast<std::streamoff>(position), std::ios::beg);
    if (!file_) return -1;
  }
  file_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count));
  std::streamsize got = file_.gcount();
  if (got <= 0) {
    next_ = UINT64_MAX;
    return file_.eof() ? 0 : -1;
  }
  next_ = position + static_cast<uint64_t>(got);
  return got;
}

int64_t MemorySource::ReadAt(uint64_t position, uint8_t* buffer, size_t count) {
  if (position >= bytes_.size()) return 0;
  size_t n = std::min<uint64_t>(count, bytes_.size() - position);
  memcpy(buffer, bytes_.data() + position, n);
  return static_cast<int64_t>(n);
}

}  // namespace indexer
