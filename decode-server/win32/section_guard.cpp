// A section's size is fixed when Windows creates it: no client can cut it short.
#include "decode-server/section_guard.h"

namespace decode_server {

SectionGuard::~SectionGuard() = default;

bool SectionGuard::Watch(platform::Handle, void*, uint32_t) {
  return true;
}

void SectionGuard::Release() {}

bool SectionGuard::Repaired(bool*) {
  return false;
}

}  // namespace decode_server
