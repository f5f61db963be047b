#include "tests/win32/platform/children.h"

#include <cstring>
#include <string>

#include "platform/event.h"
#include "platform/section.h"

namespace {

constexpr uint32_t kChildLifetimeMs = 30000;

int Owner(bool cleanup) {
  std::string error;
  platform::Handle section = platform::CreateOwnedSection(kChildSection, kChildSectionSize, &error);
  if (!section) return 2;
  void* view = platform::MapSection(section, kChildSectionSize);
  if (!view) return 3;
  std::memcpy(view, &kOwnerMarker, sizeof kOwnerMarker);
  platform::Handle ready = platform::CreateEvent(kChildReady, true);
  platform::Handle quit = platform::CreateEvent(kChildQuit, true);
  platform::Handle cleaned = platform::CreateEvent(kChildCleaned, true);
  platform::SetEvent(ready);
  if (cleanup) {
    platform::RemoveOwnedObjects();
    platform::SetEvent(cleaned);
  }
  const int waited = platform::WaitForEvent(quit, kChildLifetimeMs);
  platform::UnmapSection(view, kChildSectionSize);
  platform::CloseHandle(section);
  platform::CloseHandle(ready);
  platform::CloseHandle(quit);
  platform::CloseHandle(cleaned);
  return waited == platform::kWaitObject0 ? 0 : 4;
}

// Claims the section that the parent owns, and holds the claim until told to quit or killed.
int Claimer() {
  bool existed = false;
  platform::Handle section = platform::CreateSection(kChildSection, kChildSectionSize, &existed);
  if (!section || !existed) return 6;
  if (!platform::ClaimSection(section)) return 7;
  platform::Handle ready = platform::CreateEvent(kChildReady, true);
  platform::Handle quit = platform::CreateEvent(kChildQuit, true);
  platform::SetEvent(ready);
  const int waited = platform::WaitForEvent(quit, kChildLifetimeMs);
  platform::CloseHandle(section);
  platform::CloseHandle(ready);
  platform::CloseHandle(quit);
  return waited == platform::kWaitObject0 ? 0 : 4;
}

int Pong() {
  platform::Handle ping = platform::CreateEvent(kPing, false);
  platform::Handle pong = platform::CreateEvent(kPong, false);
  platform::Handle ready = platform::CreateEvent(kChildReady, true);
  platform::SetEvent(ready);
  int answered = 0;
  while (answered < kRoundTrips &&
         platform::WaitForEvent(ping, kChildLifetimeMs) == platform::kWaitObject0) {
    platform::SetEvent(pong);
    ++answered;
  }
  platform::CloseHandle(ping);
  platform::CloseHandle(pong);
  platform::CloseHandle(ready);
  return answered == kRoundTrips ? 0 : 5;
}

}  // namespace

int RunChild(int, char** argv) {
  const std::string mode = argv[1];
  if (mode == "--child-owner") return Owner(false);
  if (mode == "--child-owner-cleanup") return Owner(true);
  if (mode == "--child-pong") return Pong();
  if (mode == "--child-claim") return Claimer();
  return 9;
}
