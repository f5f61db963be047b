// The child processes of the cross-process tests, and the names they share with the parent.
#pragma once

#include <cstdint>

constexpr const char* kChildSection = "PlatformTestSection";
constexpr uint32_t kChildSectionSize = 1 << 20;
constexpr const char* kChildReady = "PlatformTestReady";    // manual: the child is set up
constexpr const char* kChildQuit = "PlatformTestQuit";      // manual: the child may end
constexpr const char* kChildCleaned = "PlatformTestClean";  // manual: RemoveOwnedObjects ran
constexpr const char* kPing = "PlatformTestPing";           // automatic
constexpr const char* kPong = "PlatformTestPong";           // automatic
constexpr uint32_t kOwnerMarker = 0x4D504753;               // written by the owner child
constexpr int kRoundTrips = 200;

// Modes: --child-owner (owns the section and waits to be told to quit or to be killed),
// --child-owner-cleanup (the same, but removes its owned objects once set up), --child-pong
// (answers kRoundTrips pings), --child-claim (claims the section the parent owns and holds the
// claim until told to quit or killed).
int RunChild(int argc, char** argv);
