// The plugin's side of the link to the decoding server: the "NVSharedMem" section and the five
// named events, and the exchanges that use them.
//
// The mapped view and the event handles are process-wide values, so one process holds at most one
// link at a time. Connect claims it and Disconnect gives it back; a second Connect while the link
// is held is refused (kLinkInUse), because two clips driving one server would mix their runs.
//
// A server may serve several clients, each through a slot of its own (server/client_slots.h):
// Connect claims a free slot, so that no other client process shares it, and fails with
// kServerBusy when every slot is taken.
//
// Every wait on the server is made in slices that check the server's liveness lock and the slot's
// session: once the server process is gone, or another process has taken the slot over, the wait
// ends with kServerGone or kTakenOver, and every later request on this link ends the same way at
// once, without touching the slot. The waits that the host's thread makes for an answer that a
// working server gives promptly (the start handshake, a picture, the stop of a run) are bounded
// as well: a server that answers nothing at all (on either of the clip's threads) for the answer
// time-out (stopped, or stuck while it still holds its lock) breaks the link with kTimedOut, so
// the host gets an error instead of freezing.
// The feeding thread's wait for "NVDone" is not bounded: a server may hold a unit back for as long
// as the host takes no pictures; it ends when the link breaks.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace server {

// The mapped section; null while no link is held.
extern unsigned char* sharedView;

// The five named events, opened in this order by Connect.
extern platform::Handle execEvent;          // "NVExec", automatic
extern platform::Handle doneEvent;          // "NVDone", automatic
extern platform::Handle stopDecodingEvent;  // "NVStopDecoding", manual
extern platform::Handle requestedEvent;     // "NVRequested", automatic
extern platform::Handle availableEvent;     // "NVAvailable", automatic

enum ConnectResult {
  kConnected = 0,
  kLinkInUse,         // another clip of this process holds the link
  kNoSection,         // the section could not be created or opened
  kServerNotRunning,  // no live server made the section
  kNoView,            // the section could not be mapped
  kNoEvents,          // a named event could not be opened
  kServerBusy,        // the server is running, but every one of its client slots is taken
  kRefusedObject,     // an object under the server's names is not this user's own (POSIX)
};

// The host's error message for a failed connect ("MPGSource: ..."); null for kConnected. For
// kRefusedObject it names the object and why it was refused, as found by this thread's last
// Connect.
const char* ConnectMessage(ConnectResult result);

// The message for requests that fail because the server process has gone.
extern const char* const kServerGoneMessage;
// The message for requests that fail because another process took the slot over.
extern const char* const kTakenOverMessage;

// Claims the link, opens the section of a free slot (it must already exist and be held by a live
// server) and claims it, maps it and opens the five events. On success the section's handle is
// stored in `*mapping` (it belongs to the caller, which hands it back to Disconnect). On failure
// nothing stays open and the link is free again.
ConnectResult Connect(platform::Handle* mapping);

// Unmaps the view, closes `mapping`, closes the five events and frees the link for a new clip.
void Disconnect(platform::Handle mapping);

enum WaitResult {
  kAnswered = 0,  // the server answered
  kInterrupted,   // the caller's interrupt event ended the wait (and was consumed)
  kServerGone,    // the server process has ended
  kTakenOver,     // another process took the slot over
  kTimedOut,      // the server answered nothing for the answer time-out
};

// How long the host's thread waits for an answer before the link counts as broken (kTimedOut);
// 0 waits without a bound. Process-wide, like the link; kDefaultAnswerTimeoutMs until set.
constexpr uint32_t kDefaultAnswerTimeoutMs = 30000;
void SetAnswerTimeout(uint32_t ms);
uint32_t AnswerTimeout();

// True once the link is broken: a wait found the server process gone, the slot taken over or the
// server silent for the answer time-out (until the next Connect).
bool ServerGone();
// Why the link broke: kServerGoneMessage, kTakenOverMessage or the time-out's message, which names
// the server's process; null while the link is whole.
const char* BrokenLinkMessage();

// The start handshake: REQUEST_INIT with the deinterlacing mode, the field choice and the constant
// 3, then a wait for "NVDone". `interrupt` (may be null) ends the wait early. Once answered, the
// slot's session number is noted; a later change of it breaks the link (kTakenOver).
WaitResult StartHandshake(unsigned char* request, int deinterlace, bool useTopField,
                          platform::Handle interrupt);

// Sends one start-code unit (REQUEST_DATA) and waits for "NVDone" or `abort`; `abort` wins when
// both are set. A unit that does not fit the unit area is not sent and counts as interrupted.
WaitResult SendUnit(unsigned char* request, const unsigned char* data, int32_t length,
                    platform::Handle abort);

// Sends REQUEST_END (the command word only) and waits for "NVDone" or `abort`.
WaitResult SendEnd(unsigned char* request, platform::Handle abort);

// Asks for the next picture and waits for it. On kAnswered the picture header and area in the
// view hold it until the next call.
WaitResult TakePicture();

// Tells the server to drop its run and waits for it to reset "NVStopDecoding": tested at a 10 ms
// cadence (on POSIX finely, see platform::PollPause), or until the link is found broken (a slot
// that was taken over is left alone: the stop would end its new client's run). Returns true when
// the server reset the event.
// Before a new run (kStopBeforeRun) the wait lasts up to the answer time-out, after which the
// link is broken (kTimedOut): a run started while the server may still hold the old one could
// mix the two runs' pictures. When the clip ends (kStopAtEnd) it gives up after 301 intervals
// (about three seconds), and the link is left as it is.
enum StopPurpose { kStopBeforeRun, kStopAtEnd };
bool StopDecoding(StopPurpose purpose = kStopBeforeRun);

// Timing of the stop handshake.
constexpr int kStopPolls = 301;
constexpr uint32_t kStopPollMs = 10;
constexpr uint32_t kStopLimitMs = kStopPolls * kStopPollMs;
// Length of one slice of a wait on the server, after which its liveness is checked.
constexpr uint32_t kLivenessSliceMs = 100;

}  // namespace server
