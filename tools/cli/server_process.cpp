#include "tools/cli/server_process.h"

#include "platform/section.h"
#include "server-link/section_layout.h"

namespace cli {

bool ServerRunning() {
  bool existed = false;
  platform::Handle section =
      platform::CreateSection(server::kSectionName, server::kSectionSize, &existed);
  if (section == nullptr) return false;
  platform::CloseHandle(section);
  return existed;
}

}  // namespace cli
