#include "server-link/link.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/bulk_handover.h"
#include "server-link/client_slots.h"
#include "server-link/picture_pool.h"
#include "server-link/section_layout.h"
#include "server-link/server_record.h"

namespace server {

const char* const kServerGoneMessage = "MPGSource: CUVID Server is no longer running!";
const char* const kTakenOverMessage =
    "MPGSource: another process took over this clip's connection to the CUVID Server!";

namespace {

void PutWord(unsigned char* at, int32_t value) {
  std::memcpy(at, &value, sizeof value);
}

// Offsets within the request block, which starts at the view's kRequestOffset.
constexpr uint32_t kCommand = 0;
constexpr uint32_t kOperand1 = kOperand1Offset - kRequestOffset;
constexpr uint32_t kOperand2 = kOperand2Offset - kRequestOffset;
constexpr uint32_t kOperand3 = kOperand3Offset - kRequestOffset;
constexpr uint32_t kUnit = kUnitOffset - kRequestOffset;

// How long a client waits for the events of a server whose section it found: the server makes
// its section first and its events right after it.
constexpr uint32_t kEventsPatienceMs = 2000;

}  // namespace

void Link::CloseEvents() {
  platform::Handle* events[] = {&execEvent, &doneEvent, &stopDecodingEvent, &requestedEvent,
                                &availableEvent};
  for (platform::Handle* event : events) {
    platform::CloseHandle(*event);
    *event = nullptr;
  }
}

void Link::Break(WaitResult why) {
  int expected = kAnswered;
  broken_.compare_exchange_strong(expected, why);
}

// Breaks the link for a server that stayed silent for the bound of `limitMs`, naming its process
// when the server recorded it.
void Link::BreakForSilence(uint32_t limitMs) {
  if (!writingMessage_.exchange(true)) {
    const int32_t pid = sharedView ? ServerProcessId(sharedView) : 0;
    char process[48] = "";
    if (pid > 0) std::snprintf(process, sizeof process, " (process %d)", static_cast<int>(pid));
    std::snprintf(timedOutMessage_, sizeof timedOutMessage_,
                  "MPGSource: the CUVID Server%s has not answered for %u seconds; it may be "
                  "stopped or stuck. Restart it (or raise server_timeout= in VantuDecodeNV.def).",
                  process, static_cast<unsigned>(std::max<uint32_t>(1, (limitMs + 500) / 1000)));
    Break(kTimedOut);
    writingMessage_.store(false);
  }
}

bool Link::ServerAlive() {
  if (broken_.load() == kServerGone) return false;
  if (platform::SectionOwnerAlive(mapping)) return true;
  Break(kServerGone);
  return false;
}

int32_t Link::CurrentSessionWord() const {
  return __atomic_load_n(reinterpret_cast<const int32_t*>(sharedView + kSessionOffset),
                         __ATOMIC_SEQ_CST);
}

// True (and the link broken) once another client's REQUEST_INIT has started a new session of the
// slot after this client's handshake.
bool Link::TakenOver() {
  if (broken_.load() == kTakenOver) return true;
  const int32_t session = session_.load();
  if (session == 0 || CurrentSessionWord() == session) return false;
  Break(kTakenOver);
  return true;
}

// The state of the link before a request: kAnswered while it may be used.
WaitResult Link::LinkState() {
  if (!sharedView) return kServerGone;
  if (broken_.load() == kAnswered) TakenOver();
  return static_cast<WaitResult>(broken_.load());
}

// Waits for `event`, or for `interrupt` first when one is given, in slices that check that the
// server still lives and the slot is still ours; a `bounded` wait also ends after the answer
// time-out.
WaitResult Link::WaitForServer(platform::Handle event, platform::Handle interrupt, bool bounded) {
  const uint32_t limit = bounded ? answerTimeoutMs_.load() : 0;
  const uint32_t start = platform::timeGetTime();
  for (;;) {
    const WaitResult state = LinkState();
    if (state != kAnswered) return state;
    uint32_t slice = kLivenessSliceMs;
    if (limit != 0) {
      const uint32_t now = platform::timeGetTime();
      const uint32_t waited = std::min(now - start, now - lastAnswerMs_.load());
      if (waited >= limit) {
        BreakForSilence(limit);
        return kTimedOut;
      }
      if (limit - waited < slice) slice = limit - waited;
    }
    int result = interrupt ? platform::WaitForEither(interrupt, event, slice)
                           : platform::WaitForEvent(event, slice);
    if (result == platform::kWaitObject0 && interrupt) return kInterrupted;
    if (result == platform::kWaitObject0 || result == platform::kWaitObject1) {
      if (!TakenOver()) {
        lastAnswerMs_.store(platform::timeGetTime());
        return kAnswered;
      }
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

// Hands the request block to the server: a completion left over from an earlier, interrupted
// wait must not answer this request, so "NVDone" is cleared first.
WaitResult Link::Execute(platform::Handle interrupt, bool bounded) {
  platform::ResetEvent(doneEvent);
  platform::SetEvent(execEvent);
  return WaitForServer(doneEvent, interrupt, bounded);
}

const char* Link::ConnectMessage(ConnectResult result) const {
  switch (result) {
    case kConnected:
      return nullptr;
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
    case kRefusedObject:
      if (!refusedObjectMessage_.empty()) return refusedObjectMessage_.c_str();
      break;
  }
  return "MPGSource: Could not connect to the CUVID Server!";
}

ConnectResult Link::Refuse(const std::string& why) {
  refusedObjectMessage_ = "MPGSource: refused to connect to the CUVID Server: " + why + "!";
  return kRefusedObject;
}

// Opens the section of `slot` and claims it. kConnected with the section in `*section`;
// kServerNotRunning when no live server holds it; kServerBusy when another client claimed it;
// kRefusedObject when the object under its name is not ours.
ConnectResult Link::OpenSlot(int slot, platform::Handle* section) {
  bool existed = false;
  std::string refusal;
  const std::string name = SlotObjectName(kSectionName, slot);
  *section = platform::CreateSection(name.c_str(), kSectionSize, &existed, &refusal);
  if (!*section) return refusal.empty() ? kNoSection : Refuse(refusal);
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

// Opens the event `base` of `slot`, made by the live server that holds `section`. kConnected with
// the handle in `*event`.
ConnectResult Link::OpenSlotEvent(const char* base, int slot, platform::Handle section,
                                  platform::Handle* event) {
  const std::string name = SlotObjectName(base, slot);
  const uint32_t start = platform::timeGetTime();
  for (uint32_t attempt = 0;; ++attempt) {
    std::string refusal;
    *event = platform::OpenOwnedEvent(name.c_str(), &refusal);
    if (*event) return kConnected;
    if (!refusal.empty()) return Refuse(refusal);
    if (!platform::SectionOwnerAlive(section)) return kServerNotRunning;
    if (platform::timeGetTime() - start >= kEventsPatienceMs) return kNoEvents;
    platform::PollPause(1, attempt);
  }
}

ConnectResult Link::Connect() {
  Disconnect();
  refusedObjectMessage_.clear();
  // The numbered slots first, from 1 up to the first one that no live server holds; slot 0 last,
  // which keeps it free for hosts that know only its names. A server that has no numbered slots
  // serves slot 0 alone. A slot claimed by another client (of this process or another) is busy.
  platform::Handle section = nullptr;
  ConnectResult result = kServerNotRunning;
  int slot = 1;
  for (; slot < kMaxClientSlots; ++slot) {
    result = OpenSlot(slot, &section);
    if (result == kConnected) break;
    if (result != kServerBusy) break;
  }
  if (result != kConnected && result != kRefusedObject) {
    slot = 0;
    result = OpenSlot(0, &section);
  }
  void* view = nullptr;
  if (result == kConnected && !(view = platform::MapSection(section, kSectionSize))) {
    result = kNoView;
  }
  const std::pair<const char*, platform::Handle*> events[] = {
      {kExecEventName, &execEvent},
      {kDoneEventName, &doneEvent},
      {kStopEventName, &stopDecodingEvent},
      {kRequestedEventName, &requestedEvent},
      {kAvailableEventName, &availableEvent}};
  for (const auto& event : events) {
    if (result != kConnected) break;
    result = OpenSlotEvent(event.first, slot, section, event.second);
  }
  if (result != kConnected) {
    CloseEvents();
    if (view) platform::UnmapSection(view, kSectionSize);
    platform::CloseHandle(section);
    return result;
  }
  sharedView = static_cast<unsigned char*>(view);
  mapping = section;
  slot_ = slot;
  broken_.store(kAnswered);
  session_.store(0);
  lastAnswerMs_.store(0);
  OpenPool();
  return kConnected;
}

// Whether the environment variable `name` is set to hold the link to the plain protocol: set to
// anything but "" or "0".
static bool HeldToPlain(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

// Whether this process takes pictures in place: not when told to copy them, and not in a 32-bit
// process, whose address space the pool's view would take from the host.
static bool PoolWanted() {
  return sizeof(void*) >= 8 && !HeldToPlain("MPGSOURCE_COPY_PICTURES");
}

void Link::OpenPool() {
  if (!PoolWanted()) return;
  // Only a pool that the slot's live server made is used; anything else (a server without one,
  // an object refused as not ours) leaves every picture copied.
  bool existed = false;
  const std::string name = SlotObjectName(kPoolSectionName, slot_);
  poolSection_ = platform::CreateSection(name.c_str(), kPoolSectionSize, &existed);
  if (poolSection_ && existed) {
    poolView_ = static_cast<unsigned char*>(platform::MapSection(poolSection_, kPoolSectionSize));
  }
  if (!poolView_) ClosePool();
}

void Link::ClosePool() {
  if (poolView_) platform::UnmapSection(poolView_, kPoolSectionSize);
  poolView_ = nullptr;
  platform::CloseHandle(poolSection_);
  poolSection_ = nullptr;
  inPlace_ = false;
}

void Link::Disconnect() {
  ClosePool();
  if (sharedView) platform::UnmapSection(sharedView, kSectionSize);
  sharedView = nullptr;
  platform::CloseHandle(mapping);
  mapping = nullptr;
  slot_ = -1;
  session_.store(0);
  CloseEvents();
}

const char* Link::BrokenLinkMessage() const {
  switch (broken_.load()) {
    case kServerGone:
      return kServerGoneMessage;
    case kTakenOver:
      return kTakenOverMessage;
    case kTimedOut:
      return timedOutMessage_;
    default:
      return nullptr;
  }
}

WaitResult Link::StartHandshake(unsigned char* request, int deinterlace, bool useTopField,
                                platform::Handle interrupt) {
  const WaitResult state = LinkState();
  if (state != kAnswered) return state;
  PutWord(request + kCommand, REQUEST_INIT);
  PutWord(request + kOperand1, deinterlace);
  PutWord(request + kOperand2, useTopField ? 1 : 0);
  PutWord(request + kOperand3, kInitOperand3);
  const bool offer = !HeldToPlain("MPGSOURCE_ONE_UNIT");
  if (offer) kBulkRecord.Offer(sharedView);
  const bool poolOffer = poolView_ != nullptr;
  if (poolOffer) kPoolRecord.Offer(sharedView);
  bulk_ = false;
  inPlace_ = false;
  batchBytes_ = 0;
  const WaitResult result = Execute(interrupt, true);
  if (result == kAnswered) {
    bulk_ = offer && kBulkRecord.Accepted(sharedView);
    inPlace_.store(poolOffer && kPoolRecord.Accepted(sharedView));
    // Watched only when the server reports sessions (the word carries the mark).
    const int32_t session = CurrentSessionWord();
    const bool marked = (static_cast<uint32_t>(session) & kSessionMarkMask) == kSessionMark;
    session_.store(marked ? session : 0);
  }
  return result;
}

WaitResult Link::SendUnit(unsigned char* request, const unsigned char* data, int32_t length,
                          platform::Handle abort) {
  if (length < 0 || static_cast<uint32_t>(length) > kUnitAreaSize) return kInterrupted;
  const WaitResult state = LinkState();
  if (state != kAnswered) return state;
  PutWord(request + kCommand, REQUEST_DATA);
  PutWord(request + kOperand1, length);
  std::memcpy(request + kUnit, data, static_cast<size_t>(length));
  return Execute(abort, false);
}

WaitResult Link::QueueUnit(unsigned char* request, const unsigned char* data, int32_t length,
                           bool sendBefore, platform::Handle abort) {
  if (!bulk_) return SendUnit(request, data, length, abort);
  if (length < 0) return kInterrupted;
  const uint32_t size = static_cast<uint32_t>(length) + kBatchUnitHeader;
  if (sendBefore || size > kMaxBatchBytes - batchBytes_) {
    const WaitResult sent = SendQueuedUnits(request, abort);
    if (sent != kAnswered) return sent;
  }
  if (size > kMaxBatchBytes) return SendUnit(request, data, length, abort);
  const uint32_t unitLength = static_cast<uint32_t>(length);
  unsigned char* at = request + kUnit + batchBytes_;
  std::memcpy(at, &unitLength, sizeof unitLength);
  std::memcpy(at + kBatchUnitHeader, data, unitLength);
  batchBytes_ += size;
  return kAnswered;
}

WaitResult Link::SendQueuedUnits(unsigned char* request, platform::Handle abort) {
  if (batchBytes_ == 0) return kAnswered;
  const WaitResult state = LinkState();
  if (state != kAnswered) return state;
  PutWord(request + kCommand, REQUEST_UNITS);
  PutWord(request + kOperand1, static_cast<int32_t>(batchBytes_));
  batchBytes_ = 0;
  return Execute(abort, false);
}

WaitResult Link::SendEnd(unsigned char* request, platform::Handle abort) {
  const WaitResult state = LinkState();
  if (state != kAnswered) return state;
  PutWord(request + kCommand, REQUEST_END);
  return Execute(abort, false);
}

WaitResult Link::TakePicture() {
  const WaitResult state = LinkState();
  if (state != kAnswered) return state;
  platform::SetEvent(requestedEvent);
  return WaitForServer(availableEvent, nullptr, true);
}

bool Link::StopDecoding(StopPurpose purpose) {
  if (LinkState() != kAnswered) return false;
  platform::SetEvent(stopDecodingEvent);
  const uint32_t limit = purpose == kStopAtEnd ? kStopLimitMs : answerTimeoutMs_.load();
  const uint32_t start = platform::timeGetTime();
  uint32_t checked = start;
  for (uint32_t attempt = 0;; ++attempt) {
    if (platform::WaitForEvent(stopDecodingEvent, 0) != platform::kWaitObject0) return true;
    const uint32_t now = platform::timeGetTime();
    if (limit != 0 && now - start >= limit) {
      if (purpose == kStopBeforeRun) BreakForSilence(limit);
      return false;
    }
    // The link is checked at the stop's own cadence, however finely the event is tested.
    if (now - checked >= kStopPollMs) {
      checked = now;
      if (!ServerAlive() || TakenOver()) return false;
    }
    platform::PollPause(kStopPollMs, attempt);
  }
}

}  // namespace server
