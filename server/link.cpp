#include "server/link.h"

#include <atomic>
#include <cstring>

#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server/section_layout.h"

namespace server {

unsigned char* sharedView = nullptr;
platform::Handle execEvent = nullptr;
platform::Handle doneEvent = nullptr;
platform::Handle stopDecodingEvent = nullptr;
platform::Handle requestedEvent = nullptr;
platform::Handle availableEvent = nullptr;

const char* const kServerGoneMessage = "MPGSource: CUVID Server is no longer running!";

namespace {

// The section handle of the held link, kept for the liveness checks (the clip owns it).
platform::Handle linkSection = nullptr;
// Set while a clip holds the link.
std::atomic<bool> linkHeld{false};
// Set once the server has been found gone; the link stays broken until the next Connect.
std::atomic<bool> serverGone{false};

void CloseEvents() {
  platform::Handle* events[] = {&execEvent, &doneEvent, &stopDecodingEvent, &requestedEvent,
                                &availableEvent};
  for (platform::Handle* event : events) {
    platform::CloseHandle(*event);
    *event = nullptr;
  }
}

bool ServerAlive() {
  if (serverGone.load()) return false;
  if (platform::SectionOwnerAlive(linkSection)) return true;
  serverGone.store(true);
  return false;
}

// Waits for `event`, or for `interrupt` first when one is given, in slices that check that the
// server still lives.
WaitResult WaitForServer(platform::Handle event, platform::Handle interrupt) {
  for (;;) {
    if (serverGone.load()) return kServerGone;
    int result = interrupt ? platform::WaitForEither(interrupt, event, kLivenessSliceMs)
                           : platform::WaitForEvent(event, kLivenessSliceMs);
    if (result == platform::kWaitObject0) return interrupt ? kInterrupted : kAnswered;
    if (result == platform::kWaitObject1) return kAnswered;
    if (!ServerAlive()) return kServerGone;
    // A failed wait must not turn into a busy loop.
    if (result != platform::kWaitTimeout) platform::Sleep(1);
  }
}

void PutWord(unsigned char* at, int32_t value) {
  std::memcpy(at, &value, sizeof value);
}

// Hands the request block to the server: a completion left over from an earlier, interrupted
// wait must not answer this request, so "NVDone" is cleared first.
WaitResult Execute(platform::Handle interrupt) {
  platform::ResetEvent(doneEvent);
  platform::SetEvent(execEvent);
  return WaitForServer(doneEvent, interrupt);
}

// Offsets within the request block, which starts at the view's kRequestOffset.
constexpr uint32_t kCommand = 0;
constexpr uint32_t kOperand1 = kOperand1Offset - kRequestOffset;
constexpr uint32_t kOperand2 = kOperand2Offset - kRequestOffset;
constexpr uint32_t kOperand3 = kOperand3Offset - kRequestOffset;
constexpr uint32_t kUnit = kUnitOffset - kRequestOffset;

}  // namespace

const char* ConnectMessage(ConnectResult result) {
  switch (result) {
    case kConnected:
      return nullptr;
    case kLinkInUse:
      return "MPGSource: only one MPGSource clip can be open at a time in a process!";
    case kNoSection:
      return "MPGSource: Could not open shared memory!";
    case kServerNotRunning:
      return "MPGSource: CUVID Server not running!";
    case kNoView:
      return "MPGSource: Couldn't open the server's shared memory!";
    case kNoEvents:
      return "MPGSource: Couldn't open the server's events!";
  }
  return "MPGSource: Could not connect to the CUVID Server!";
}

ConnectResult Connect(platform::Handle* mapping) {
  *mapping = nullptr;
  bool expected = false;
  if (!linkHeld.compare_exchange_strong(expected, true)) return kLinkInUse;

  bool existed = false;
  platform::Handle section = platform::CreateSection(kSectionName, kSectionSize, &existed);
  ConnectResult result = kConnected;
  void* view = nullptr;
  if (!section) {
    result = kNoSection;
  } else if (!existed) {
    result = kServerNotRunning;
  } else if (!(view = platform::MapSection(section, kSectionSize))) {
    result = kNoView;
  } else {
    execEvent = platform::CreateEvent(kExecEventName, false);
    doneEvent = platform::CreateEvent(kDoneEventName, false);
    stopDecodingEvent = platform::CreateEvent(kStopEventName, true);
    requestedEvent = platform::CreateEvent(kRequestedEventName, false);
    availableEvent = platform::CreateEvent(kAvailableEventName, false);
    if (!execEvent || !doneEvent || !stopDecodingEvent || !requestedEvent || !availableEvent) {
      result = kNoEvents;
    }
  }
  if (result != kConnected) {
    CloseEvents();
    if (view) platform::UnmapSection(view, kSectionSize);
    platform::CloseHandle(section);
    linkHeld.store(false);
    return result;
  }
  sharedView = static_cast<unsigned char*>(view);
  linkSection = section;
  serverGone.store(false);
  *mapping = section;
  return kConnected;
}

void Disconnect(platform::Handle mapping) {
  if (sharedView) platform::UnmapSection(sharedView, kSectionSize);
  sharedView = nullptr;
  platform::CloseHandle(mapping);
  linkSection = nullptr;
  CloseEvents();
  linkHeld.store(false);
}

bool ServerGone() {
  return serverGone.load();
}

WaitResult StartHandshake(unsigned char* request, int deinterlace, bool useTopField,
                          platform::Handle interrupt) {
  PutWord(request + kCommand, REQUEST_INIT);
  PutWord(request + kOperand1, deinterlace);
  PutWord(request + kOperand2, useTopField ? 1 : 0);
  PutWord(request + kOperand3, kInitOperand3);
  return Execute(interrupt);
}

WaitResult SendUnit(unsigned char* request, const unsigned char* data, int32_t length,
                    platform::Handle abort) {
  if (length < 0 || static_cast<uint32_t>(length) > kUnitAreaSize) return kInterrupted;
  PutWord(request + kCommand, REQUEST_DATA);
  PutWord(request + kOperand1, length);
  std::memcpy(request + kUnit, data, static_cast<size_t>(length));
  return Execute(abort);
}

WaitResult SendEnd(unsigned char* request, platform::Handle abort) {
  PutWord(request + kCommand, REQUEST_END);
  return Execute(abort);
}

WaitResult TakePicture() {
  platform::SetEvent(requestedEvent);
  return WaitForServer(availableEvent, nullptr);
}

bool StopDecoding() {
  platform::SetEvent(stopDecodingEvent);
  for (int sleeps = 0;; ++sleeps) {
    if (platform::WaitForEvent(stopDecodingEvent, 0) != platform::kWaitObject0) return true;
    if (sleeps == kStopPolls || !ServerAlive()) return false;
    platform::Sleep(kStopPollMs);
  }
}

}  // namespace server
