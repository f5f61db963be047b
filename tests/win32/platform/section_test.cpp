#include "platform/section.h"

#include <cstring>
#include <string>

#include "platform/event.h"
#include "tests/win32/platform/children.h"
#include "tests/win32/support/check.h"
#include "tests/win32/support/process.h"
#include "tests/win32/support/win.h"

using namespace platform;

namespace {

constexpr uint32_t kSize = 1 << 20;

uint32_t FirstWord(void* view) {
  uint32_t word;
  std::memcpy(&word, view, sizeof word);
  return word;
}

// Starts an owner child in `mode` and waits until it has set up.
HANDLE StartOwner(const char* mode) {
  Handle ready = CreateEvent(kChildReady, true);
  Handle quit = CreateEvent(kChildQuit, true);
  ResetEvent(ready);
  ResetEvent(quit);
  HANDLE child = wintest::StartSelf(mode);
  const bool started = child && WaitForEvent(ready, 10000) == kWaitObject0;
  CloseHandle(ready);
  CloseHandle(quit);
  if (!started && child) {
    TerminateProcess(child, 1);
    ::CloseHandle(child);
    return nullptr;
  }
  return child;
}

void TellOwnerToQuit() {
  Handle quit = CreateEvent(kChildQuit, true);
  SetEvent(quit);
  CloseHandle(quit);
}

}  // namespace

WIN_TEST(SectionWithoutOwnerDidNotExistBefore) {
  bool existed = true;
  Handle client = CreateSection("PlatformTestNobody", kSize, &existed);
  REQUIRE(client);
  CHECK(!existed);
  CloseHandle(client);
  // Closing the last handle removed it: the next client again finds nothing.
  existed = true;
  client = CreateSection("PlatformTestNobody", kSize, &existed);
  REQUIRE(client);
  CHECK(!existed);
  CloseHandle(client);
}

WIN_TEST(OwnedSectionIsSharedZeroFilledAndLive) {
  std::string error;
  Handle owner = CreateOwnedSection("PlatformTestOwned", kSize, &error);
  REQUIRE(owner);
  CHECK(SectionOwnerAlive(owner));
  void* ownerView = MapSection(owner, kSize);
  REQUIRE(ownerView);
  const unsigned char* bytes = static_cast<unsigned char*>(ownerView);
  CHECK_EQ(0, bytes[0]);
  CHECK_EQ(0, bytes[kSize - 1]);

  bool existed = false;
  Handle client = CreateSection("PlatformTestOwned", kSize, &existed);
  REQUIRE(client);
  CHECK(existed);
  CHECK(SectionOwnerAlive(client));
  void* clientView = MapSection(client, kSize);
  REQUIRE(clientView);
  static_cast<unsigned char*>(clientView)[kSize - 1] = 0xA5;
  CHECK_EQ(0xA5, bytes[kSize - 1]);

  // A second owner is refused while the first lives, with a reason.
  std::string refusal;
  CHECK(CreateOwnedSection("PlatformTestOwned", kSize, &refusal) == nullptr);
  CHECK(refusal.find("already owns") != std::string::npos);

  UnmapSection(ownerView, kSize);
  CloseHandle(owner);
  // The owner closed its handle: the client learns it, although the section lives on.
  CHECK(!SectionOwnerAlive(client));
  bool existedAgain = true;
  Handle late = CreateSection("PlatformTestOwned", kSize, &existedAgain);
  REQUIRE(late);
  CHECK(!existedAgain);
  CloseHandle(late);
  UnmapSection(clientView, kSize);
  CloseHandle(client);
}

WIN_TEST(OwnerThatDiesIsSeenDeadAndReplaced) {
  HANDLE child = StartOwner("--child-owner");
  REQUIRE(child);
  bool existed = false;
  Handle client = CreateSection(kChildSection, kChildSectionSize, &existed);
  REQUIRE(client);
  CHECK(existed);
  CHECK(SectionOwnerAlive(client));
  void* view = MapSection(client, kChildSectionSize);
  REQUIRE(view);
  CHECK_EQ(kOwnerMarker, FirstWord(view));

  // A live owner in another process refuses a second one.
  std::string refusal;
  CHECK(CreateOwnedSection(kChildSection, kChildSectionSize, &refusal) == nullptr);

  // The owner is killed without cleaning up; the client still holds the section.
  TerminateProcess(child, 7);
  CHECK_EQ(7, wintest::WaitForExit(child, 10000));
  ::CloseHandle(child);
  CHECK(!SectionOwnerAlive(client));
  bool existedLater = true;
  Handle later = CreateSection(kChildSection, kChildSectionSize, &existedLater);
  REQUIRE(later);
  CHECK(!existedLater);
  CloseHandle(later);

  // A new owner takes the section left behind over, zero-filled; the old client is not fooled
  // into taking the newcomer for its owner.
  std::string error;
  Handle successor = CreateOwnedSection(kChildSection, kChildSectionSize, &error);
  REQUIRE(successor);
  CHECK_EQ(0u, FirstWord(view));
  CHECK(!SectionOwnerAlive(client));
  Handle fresh = CreateSection(kChildSection, kChildSectionSize, &existed);
  REQUIRE(fresh);
  CHECK(existed);
  CHECK(SectionOwnerAlive(fresh));
  CloseHandle(fresh);
  CloseHandle(successor);
  UnmapSection(view, kChildSectionSize);
  CloseHandle(client);
}

WIN_TEST(OwnerCleanUpIsSeenWhileItsProcessRuns) {
  Handle cleaned = CreateEvent(kChildCleaned, true);
  ResetEvent(cleaned);
  HANDLE child = StartOwner("--child-owner-cleanup");
  REQUIRE(child);
  CHECK_EQ(kWaitObject0, WaitForEvent(cleaned, 10000));
  bool existed = true;
  Handle client = CreateSection(kChildSection, kChildSectionSize, &existed);
  REQUIRE(client);
  CHECK(!existed);
  CHECK(!SectionOwnerAlive(client));
  TellOwnerToQuit();
  CHECK_EQ(0, wintest::WaitForExit(child, 10000));
  ::CloseHandle(child);
  CloseHandle(client);
  CloseHandle(cleaned);
}

WIN_TEST(OwnerThatQuitsNormallyLeavesNothingLive) {
  HANDLE child = StartOwner("--child-owner");
  REQUIRE(child);
  bool existed = false;
  Handle client = CreateSection(kChildSection, kChildSectionSize, &existed);
  REQUIRE(client);
  CHECK(existed);
  TellOwnerToQuit();
  CHECK_EQ(0, wintest::WaitForExit(child, 10000));
  ::CloseHandle(child);
  CHECK(!SectionOwnerAlive(client));
  CloseHandle(client);
}

WIN_TEST(UnnamedSectionIsPrivateToItsViews) {
  bool existed = true;
  Handle section = CreateSection(nullptr, kSize, &existed);
  REQUIRE(section);
  CHECK(!existed);
  CHECK(!SectionOwnerAlive(section));
  unsigned char* a = static_cast<unsigned char*>(MapSection(section, kSize));
  unsigned char* b = static_cast<unsigned char*>(MapSection(section, kSize));
  REQUIRE(a && b);
  a[100] = 7;
  CHECK_EQ(7, b[100]);
  UnmapSection(a, kSize);
  UnmapSection(b, kSize);
  CloseHandle(section);
}

WIN_TEST(ViewLargerThanTheSectionIsRefused) {
  std::string error;
  Handle owner = CreateOwnedSection("PlatformTestSmall", 65536, &error);
  REQUIRE(owner);
  bool existed = false;
  Handle client = CreateSection("PlatformTestSmall", kSize, &existed);
  REQUIRE(client);
  CHECK(existed);
  CHECK(MapSection(client, kSize) == nullptr);
  void* fits = MapSection(client, 65536);
  CHECK(fits != nullptr);
  UnmapSection(fits, 65536);
  CloseHandle(client);
  CloseHandle(owner);
}

WIN_TEST(BadSectionRequestsFail) {
  bool existed = true;
  CHECK(CreateSection("", kSize, &existed) == nullptr);
  CHECK(!existed);
  std::string error;
  CHECK(CreateOwnedSection("bad\\name", kSize, &error) == nullptr);
  CHECK(!error.empty());
  CHECK(MapSection(nullptr, kSize) == nullptr);
  CHECK(!SectionOwnerAlive(nullptr));
  Handle event = CreateEvent(nullptr, false);
  CHECK(MapSection(event, kSize) == nullptr);
  CloseHandle(event);
  UnmapSection(nullptr, kSize);
}

WIN_TEST(AClientClaimIsExclusiveAndEndsWithItsHolder) {
  std::string error;
  Handle owner = CreateOwnedSection(kChildSection, kChildSectionSize, &error);
  REQUIRE(owner);
  CHECK(!SectionClaimed(owner));
  bool existed = false;
  Handle first = CreateSection(kChildSection, kChildSectionSize, &existed);
  Handle second = CreateSection(kChildSection, kChildSectionSize, &existed);
  REQUIRE(first && second);
  CHECK(ClaimSection(first));
  CHECK(ClaimSection(first));  // held already by this handle
  CHECK(SectionClaimed(owner));
  CHECK(!ClaimSection(second));
  // Closing the holder's handle ends the claim.
  CloseHandle(first);
  CHECK(!SectionClaimed(owner));
  CHECK(ClaimSection(second));
  CloseHandle(second);

  // A claim held by another process ends when that process is killed.
  HANDLE child = StartOwner("--child-claim");
  REQUIRE(child);
  CHECK(SectionClaimed(owner));
  Handle third = CreateSection(kChildSection, kChildSectionSize, &existed);
  REQUIRE(third);
  CHECK(!ClaimSection(third));
  TerminateProcess(child, 7);
  CHECK_EQ(7, wintest::WaitForExit(child, 10000));
  ::CloseHandle(child);
  CHECK(!SectionClaimed(owner));
  CHECK(ClaimSection(third));
  CloseHandle(third);

  // A section private to its handle has no other users to keep out.
  Handle unnamed = CreateSection(nullptr, kSize, &existed);
  REQUIRE(unnamed);
  CHECK(ClaimSection(unnamed));
  CloseHandle(unnamed);
  CloseHandle(owner);
}
