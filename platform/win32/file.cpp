#include "platform/file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {

int SeekFile(FILE* file, uint64_t position) {
  if (!file || position > static_cast<uint64_t>(INT64_MAX)) return -1;
  return _fseeki64(file, static_cast<int64_t>(position), SEEK_SET) == 0 ? 0 : -1;
}

int64_t TellFile(FILE* file) {
  if (!file) return -1;
  const int64_t position = _ftelli64(file);
  return position < 0 ? -1 : position;
}

FILE* OpenRegularFile(const char* path, uint64_t* size, char* reason, size_t reasonSize) {
  auto setReason = [&](const char* text) {
    if (reason && reasonSize > 0) std::snprintf(reason, reasonSize, "%s", text);
  };
  setReason("");
  struct _stat64 st;
  if (!path || _stat64(path, &st) != 0) {
    setReason(std::strerror(path ? errno : ENOENT));
    return nullptr;
  }
  if ((st.st_mode & _S_IFMT) != _S_IFREG) {
    setReason((st.st_mode & _S_IFMT) == _S_IFDIR ? "a folder, not a regular file"
                                                 : "not a regular file");
    return nullptr;
  }
  FILE* file = std::fopen(path, "rb");
  if (!file) {
    setReason(std::strerror(errno));
    return nullptr;
  }
  if (size) *size = static_cast<uint64_t>(st.st_size);
  return file;
}

bool SetBinaryMode(FILE* file) {
  return file != nullptr && _setmode(_fileno(file), _O_BINARY) != -1;
}

}  // namespace platform
