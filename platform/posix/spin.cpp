#include "platform/posix/spin.h"

#include <sched.h>

namespace platform {
namespace posix {

bool CanSpin() {
  static const bool several = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
  }();
  return several;
}

}  // namespace posix
}  // namespace platform
