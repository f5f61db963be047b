// The client's side of the link to the decoding server: one slot's "NVSharedMem" section and its
// five named events, and the exchanges that use them.
//
// A Link is one clip's connection: it holds its own mapped view, events, answer time-out and
// broken-link state, so a process may hold as many links as the server has client slots, and
// what happens to one (a broken wait, a disconnect) never touches another. Connect claims a free
// slot of the server (server-link/client_slots.h), so that no other client shares it, and fails
// with kServerBusy when every slot is taken.
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
//
// One link serves one clip's two threads: the host's thread (connect, pictures, stops) and its
// decode thread (handshake, units); its state words are atomic for that reason.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/handle.h"

namespace server {

enum ConnectResult {
  kConnected = 0,
  kNoSection,         // the section could not be created or opened
  kServerNotRunning,  // no live server made the section
  kNoView,            // the section could not be mapped
  kNoEvents,          // a named event could not be opened
  kServerBusy,        // the server is running, but every one of its client slots is taken
  kRefusedObject,     // an object under the server's names is not this user's own (POSIX)
};

enum WaitResult {
  kAnswered = 0,  // the server answered
  kInterrupted,   // the caller's interrupt event ended the wait (and was consumed)
  kServerGone,    // the server process has ended
  kTakenOver,     // another process took the slot over
  kTimedOut,      // the server answered nothing for the answer time-out
};

// The message for requests that fail because the server process has gone.
extern const char* const kServerGoneMessage;
// The message for requests that fail because another process took the slot over.
extern const char* const kTakenOverMessage;

// How long the host's thread waits for an answer before the link counts as broken (kTimedOut);
// 0 waits without a bound.
constexpr uint32_t kDefaultAnswerTimeoutMs = 30000;

// Timing of the stop handshake.
constexpr int kStopPolls = 301;
constexpr uint32_t kStopPollMs = 10;
constexpr uint32_t kStopLimitMs = kStopPolls * kStopPollMs;
// Length of one slice of a wait on the server, after which its liveness is checked.
constexpr uint32_t kLivenessSliceMs = 100;

// What a stop is for: before a new run (kStopBeforeRun) or when the clip ends (kStopAtEnd).
enum StopPurpose { kStopBeforeRun, kStopAtEnd };

class Link {
 public:
  Link() = default;
  ~Link() { Disconnect(); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Opens the section of a free slot (it must already exist and be held by a live server) and
  // claims it, maps it and opens the five events. On failure nothing stays open. A link that is
  // connected already is disconnected first.
  ConnectResult Connect();
  // Unmaps the view, gives the slot back and closes the five events; nothing when not connected.
  void Disconnect();

  // The host's error message for a failed connect ("MPGSource: ..."); null for kConnected. For
  // kRefusedObject it names the object and why it was refused, as found by this link's last
  // Connect.
  const char* ConnectMessage(ConnectResult result) const;

  // The mapped section; null while not connected.
  unsigned char* View() const { return sharedView; }
  // The slot this link holds (0 for the plain names); -1 while not connected.
  int Slot() const { return slot_; }
  // The five named events, in the order Connect opens them.
  platform::Handle ExecEvent() const { return execEvent; }                  // "NVExec", automatic
  platform::Handle DoneEvent() const { return doneEvent; }                  // "NVDone", automatic
  platform::Handle StopDecodingEvent() const { return stopDecodingEvent; }  // manual
  platform::Handle RequestedEvent() const { return requestedEvent; }        // automatic
  platform::Handle AvailableEvent() const { return availableEvent; }        // automatic

  void SetAnswerTimeout(uint32_t ms) { answerTimeoutMs_.store(ms); }
  uint32_t AnswerTimeout() const { return answerTimeoutMs_.load(); }

  // True once the link is broken: a wait found the server process gone, the slot taken over or
  // the server silent for the answer time-out (until the next Connect).
  bool ServerGone() const { return broken_.load() != kAnswered; }
  // Why the link broke: kServerGoneMessage, kTakenOverMessage or the time-out's message, which
  // names the server's process; null while the link is whole.
  const char* BrokenLinkMessage() const;

  // The start handshake: REQUEST_INIT with the deinterlacing mode, the field choice and the
  // constant 3, then a wait for "NVDone". `interrupt` (may be null) ends the wait early. Once
  // answered, the slot's session number is noted; a later change of it breaks the link
  // (kTakenOver). `request` is the request block of this link's view.
  WaitResult StartHandshake(unsigned char* request, int deinterlace, bool useTopField,
                            platform::Handle interrupt);

  // Sends one start-code unit (REQUEST_DATA) and waits for "NVDone" or `abort`; `abort` wins when
  // both are set. A unit that does not fit the unit area is not sent and counts as interrupted.
  WaitResult SendUnit(unsigned char* request, const unsigned char* data, int32_t length,
                      platform::Handle abort);

  // Whether the start handshake agreed on bulk hand-over (server-link/bulk_handover.h). The
  // handshake offers it unless the environment variable MPGSOURCE_ONE_UNIT is set (not "0").
  bool Bulk() const { return bulk_; }
  // Hands one unit over. Without bulk hand-over it is sent at once (SendUnit). With it, the unit
  // joins the batch being built in the unit area; the batch is sent first when `sendBefore` is
  // set or the unit would not fit it (a unit that fits no batch goes alone, as REQUEST_DATA).
  // Only the decode thread calls these.
  WaitResult QueueUnit(unsigned char* request, const unsigned char* data, int32_t length,
                       bool sendBefore, platform::Handle abort);
  // Sends the batch being built (REQUEST_UNITS), if any.
  WaitResult SendQueuedUnits(unsigned char* request, platform::Handle abort);
  // Forgets the batch being built (the start of a run: an aborted run leaves one behind).
  void DropQueuedUnits() { batchBytes_ = 0; }
  // Bytes in the batch being built.
  uint32_t QueuedBytes() const { return batchBytes_; }

  // The slot's picture pool (server-link/picture_pool.h) when the start handshake agreed that the
  // server delivers pictures there; null otherwise. Connect maps the pool of a server that has
  // one, and the handshake offers it, unless the environment variable MPGSOURCE_COPY_PICTURES is
  // set (not "0") or the process is 32-bit (its address space is kept for the host).
  const unsigned char* PoolView() const { return inPlace_.load() ? poolView_ : nullptr; }

  // Sends REQUEST_END (the command word only) and waits for "NVDone" or `abort`.
  WaitResult SendEnd(unsigned char* request, platform::Handle abort);

  // Asks for the next picture and waits for it. On kAnswered the picture header and area in the
  // view hold it until the next call.
  WaitResult TakePicture();

  // Tells the server to drop its run and waits for it to reset "NVStopDecoding": tested at a 10 ms
  // cadence (on POSIX finely, see platform::PollPause), or until the link is found broken (a slot
  // that was taken over is left alone: the stop would end its new client's run). Returns true
  // when the server reset the event.
  // Before a new run (kStopBeforeRun) the wait lasts up to the answer time-out, after which the
  // link is broken (kTimedOut): a run started while the server may still hold the old one could
  // mix the two runs' pictures. When the clip ends (kStopAtEnd) it gives up after 301 intervals
  // (about three seconds), and the link is left as it is.
  bool StopDecoding(StopPurpose purpose = kStopBeforeRun);

 private:
  void CloseEvents();
  void Break(WaitResult why);
  void BreakForSilence(uint32_t limitMs);
  bool ServerAlive();
  int32_t CurrentSessionWord() const;
  bool TakenOver();
  WaitResult LinkState();
  WaitResult WaitForServer(platform::Handle event, platform::Handle interrupt, bool bounded);
  WaitResult Execute(platform::Handle interrupt, bool bounded);
  ConnectResult Refuse(const std::string& why);
  ConnectResult OpenSlot(int slot, platform::Handle* section);
  ConnectResult OpenSlotEvent(const char* base, int slot, platform::Handle section,
                              platform::Handle* event);
  void OpenPool();
  void ClosePool();

  unsigned char* sharedView = nullptr;
  platform::Handle mapping = nullptr;
  int slot_ = -1;
  platform::Handle execEvent = nullptr;
  platform::Handle doneEvent = nullptr;
  platform::Handle stopDecodingEvent = nullptr;
  platform::Handle requestedEvent = nullptr;
  platform::Handle availableEvent = nullptr;
  // kAnswered while the link is whole; why it broke otherwise, until the next Connect.
  std::atomic<int> broken_{kAnswered};
  // The slot's session word noted after the start handshake; 0 before it, and when the server
  // reports no sessions.
  std::atomic<int32_t> session_{0};
  std::atomic<uint32_t> answerTimeoutMs_{kDefaultAnswerTimeoutMs};
  // When the server last answered anything on this link (timeGetTime): a bounded wait counts the
  // server silent only while no answer comes at all, so a picture that waits for the feeding
  // thread to hand over many units does not count against the server.
  std::atomic<uint32_t> lastAnswerMs_{0};
  // The message of a time-out, written once by whoever breaks the link with it (writingMessage_
  // keeps the two threads apart) and read only after broken_ says kTimedOut.
  std::atomic<bool> writingMessage_{false};
  char timedOutMessage_[256] = "";
  // Why the last Connect refused an object (kRefusedObject), as the host's message.
  std::string refusedObjectMessage_;
  // Bulk hand-over, agreed at the handshake, and the length of the batch being built in the unit
  // area (decode thread only).
  bool bulk_ = false;
  uint32_t batchBytes_ = 0;
  // The slot's picture pool, mapped at Connect when the server has one, and whether the handshake
  // agreed on pictures in place.
  platform::Handle poolSection_ = nullptr;
  unsigned char* poolView_ = nullptr;
  // Agreed on the decode thread, read on the host's.
  std::atomic<bool> inPlace_{false};
};

}  // namespace server
