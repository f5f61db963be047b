#include "platform/file.h"

#include <cstdint>

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

}  // namespace platform
