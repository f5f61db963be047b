#include "platform/file.h"

#include <sys/types.h>

#include <cstdint>
#include <limits>

namespace platform {

static_assert(sizeof(off_t) == 8, "64-bit file offsets are needed");

int SeekFile(FILE* file, uint64_t position) {
  if (file == nullptr || position > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    return -1;
  }
  return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0 ? 0 : -1;
}

int64_t TellFile(FILE* file) {
  if (file == nullptr) return -1;
  const off_t position = ftello(file);
  return position < 0 ? -1 : static_cast<int64_t>(position);
}

}  // namespace platform
