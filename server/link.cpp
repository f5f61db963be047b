#include "server/link.h"

#include <atomic>
#include <cstring>
#include <string>

#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server/client_slots.h"
#include "server/section_layout.h"

namespace server {

unsigned char* sharedView = nullptr;
platform::Handle execEvent = nullptr;
platform::Handle doneEvent = nullptr;
platform::Handle stopDecodingEvent = nullptr;
platform::Handle requestedEvent = nullptr;
platform::Handle availableEvent = nullptr;

const char* const kServerGoneMessage = "MPGSource: CUVID Server is no longer running!";
const char* const kTakenOverMessage =
    "MPGSource: another process took over this clip's connection to the CUVID Server!";

namespace {

// The section handle of the held link, kept for the liveness checks (the clip owns it).
platform::Handle linkSection = nullptr;
// Set while a clip holds the link.
std::atomic<bool> linkHeld{false};
// kAnswered while the link is whole; kServerGone or kTakenOver once it broke, until the next
// Connect.
std::atomic<int> linkBroken{kAnswered};
// The slot's session word noted after the start handshake; 0 before it, and when the server
// reports no sessions.
std::atomic<int32_t> linkSession{0};

void CloseEvents() {
  platform::Handle* events[] = {&execEvent, &doneEvent, &stopDecodingEvent, &requestedEvent,
                                &availableEvent};
  for (platform::Handle* event : events) {
    platform::CloseHandle(*event);
    *event = nullptr;
  }
}

void Break(WaitResult why) {
  int expected = kAnswered;
  linkBroken.compare_exchange_strong(expected, why);
}

bool ServerAlive() {
  if (linkBroken.load() == kServerGone) return false;
  if (platform::SectionOwnerAlive(linkSection)) return true;
  Break(kServerGone);
  return false;
}

int32_t CurrentSessionWord() {
  return __atomic_load_n(reinterpret_cast<const int32_t*>(sharedView + kSessionOffset),
                         __ATOMIC_SEQ_CST);
}

// True (and the link broken) once another client's REQUEST_INIT has started a new session of the
// slot after this client's handshake.
bool TakenOver() {
  if (linkBroken.load() == kTakenOver) return true;
  const int32_t session = linkSession.load();
  if (session == 0 || CurrentSessionWord() == session) return false;
  Break(kTakenOver);
  return true;
}

// The state of the link before a request: kAnswered while it may be used.
WaitResult LinkState() {
  if (linkBroken.load() == kAnswered) TakenOver();
  return static_cast<WaitResult>(linkBroken.load());
}

// Waits for `event`, or for `interrupt` first when one is given, in slices that check that the
// server still lives and the slot is still ours.
WaitResult WaitForServer(platform::Handle event, platform::Handle interrupt) {
  for (;;) {
    const WaitResult state = LinkState();
    if (state != kAnswered) return state;
    int result = interrupt ? platform::WaitForEither(interrupt, event, kLivenessSliceMs)
                           : platform::WaitForEvent(event, kLivenessSliceMs);
    if (result == platform::kWaitObject0 && interrupt) return kInterrupted;
    if (result == platform::kWaitObject0 || result == platform::kWaitObject1) {
      if (!TakenOver()) return kAnswered;
      // The answer was most likely meant for the client that took the slot over, which waits for
      // the same event: pass it on.
      platform::SetEvent(event);
      return kTakenOver;
    }
    if (TakenOver()) return kTakenOver;
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
    case kServerBusy:
      return "MPGSource: CUVID Server is busy: all of its client connections are in use by other "
             "processes!";
  }
  return "MPGSource: Could not connect to the CUVID Server!";
}

namespace {

// Opens the section of `slot` and claims it. kConnected with the section in `*section`;
// kServerNotRunning when no live server holds it; kServerBusy when another client claimed it.
ConnectResult OpenSlot(int slot, platform::Handle* section) {
  bool existed = false;
  const std::string name = SlotObjectName(kSectionName, slot);
  *section = platform::CreateSection(name.c_str(), kSectionSize, &existed);
  if (!*section) return kNoSection;
  ConnectResult result = kConnected;
  if (!existed) {
    result = kServerNotRunning;
  } else if (!platform::ClaimSection(*section)) {
    result = kServerBusy;
  }
  if (result != kConnected) {
    platform::CloseHandle(*section);
    *section = nullptr;
  }
  return result;
}

platform::Handle OpenSlotEvent(const char* base, int slot, bool manual) {
  return platform::CreateEvent(SlotObjectName(base, slot).c_str(), manual);
}

}  // namespace

ConnectResult Connect(platform::Handle* mapping) {
  *mapping = nullptr;
  bool expected = false;
  if (!linkHeld.compare_exchange_strong(expected, true)) return kLinkInUse;

  // The numbered slots first, from 1 up to the first one that no live server holds; slot 0 last,
  // which keeps it free for hosts that know only its names. A server that has no numbered slots
  // serves slot 0 alone.
  platform::Handle section = nullptr;
  ConnectResult result = kServerNotRunning;
  int slot = 1;
  for (; slot < kMaxClientSlots; ++slot) {
    result = OpenSlot(slot, &section);
    if (result == kConnected) break;
    if (result != kServerBusy) break;
  }
  if (result != kConnected) {
    slot = 0;
    result = OpenSlot(0, &section);
  }
  void* view = nullptr;
  if (result == kConnected && !(view = platform::MapSection(section, kSectionSize))) {
    result = kNoView;
  }
  if (result == kConnected) {
    execEvent = OpenSlotEvent(kExecEventName, slot, false);
    doneEvent = OpenSlotEvent(kDoneEventName, slot, false);
    stopDecodingEvent = OpenSlotEvent(kStopEventName, slot, true);
    requestedEvent = OpenSlotEvent(kRequestedEventName, slot, false);
    availableEvent = OpenSlotEvent(kAvailableEventName, slot, false);
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
  linkBroken.store(kAnswered);
  linkSession.store(0);
  *mapping = section;
  return kConnected;
}

void Disconnect(platform::Handle mapping) {
  if (sharedView) platform::UnmapSection(sharedView, kSectionSize);
  sharedView = nullptr;
  platform::CloseHandle(mapping);
  linkSection = nullptr;
  linkSession.store(0);
  CloseEvents();
  linkHeld.store(false);
}

bool ServerGone() {
  return linkBroken.load() != kAnswered;
}

const char* BrokenLinkMessage() {
  switch (linkBroken.load()) {
    case kServerGone:
      return kServerGoneMessage;
    case kTakenOver:
      return kTakenOverMessage;
    default:
      return nullptr;
  }
}

WaitResult StartHandshake(unsigned char* request, int deinterlace, bool useTopField,
                          platform::Handle interrupt) {
  PutWord(request + kCommand, REQUEST_INIT);
  PutWord(request + kOperand1, deinterlace);
  PutWord(request + kOperand2, useTopField ? 1 : 0);
  PutWord(request + kOperand3, kInitOperand3);
  const WaitResult result = Execute(interrupt);
  if (result == kAnswered) {
    // Watched only when the server reports sessions (the word carries the mark).
    const int32_t session = CurrentSessionWord();
    const bool marked = (static_cast<uint32_t>(session) & kSessionMarkMask) == kSessionMark;
    linkSession.store(marked ? session : 0);
  }
  return result;
}

WaitResult SendUnit(unsigned char* request, const unsigned char* data, int32_t length,
                    platform::Handle abort) {
  if (length < 0 || static_cast<uint32_t>(length) > kUnitAreaSize) return kInterrupted;
  const WaitResult state = LinkState();
  if (state != kAnswered) return state;
  PutWord(request + kCommand, REQUEST_DATA);
  PutWord(request + kOperand1, length);
  std::memcpy(request + kUnit, data, static_cast<size_t>(length));
  return Execute(abort);
}

WaitResult SendEnd(unsigned char* request, platform::Handle abort) {
  const WaitResult state = LinkState();
  if (state != kAnswered) return state;
  PutWord(request + kCommand, REQUEST_END);
  return Execute(abort);
}

WaitResult TakePicture() {
  const WaitResult state = LinkState();
  if (state != kAnswered) return state;
  platform::SetEvent(requestedEvent);
  return WaitForServer(availableEvent, nullptr);
}

bool StopDecoding() {
  if (LinkState() != kAnswered) return false;
  platform::SetEvent(stopDecodingEvent);
  const uint32_t start = platform::timeGetTime();
  uint32_t checked = start;
  for (uint32_t attempt = 0;; ++attempt) {
    if (platform::WaitForEvent(stopDecodingEvent, 0) != platform::kWaitObject0) return true;
    const uint32_t now = platform::timeGetTime();
    if (now - start >= kStopLimitMs) return false;
    // The link is checked at the stop's own cadence, however finely the event is tested.
    if (now - checked >= kStopPollMs) {
      checked = now;
      if (!ServerAlive() || TakenOver()) return false;
    }
    platform::PollPause(kStopPollMs, attempt);
  }
}

}  // namespace server
