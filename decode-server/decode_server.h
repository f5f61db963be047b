// The decoding server of one client slot: owns the slot's section ("NVSharedMem" for slot 0) and
// its five named events, decodes the runs that the slot's client streams into the section, and
// hands the pictures back one per "NVRequested". mpgsource-server runs one per slot.
//
// Four threads:
// - the request thread waits for "NVExec", serves REQUEST_INIT, and for REQUEST_DATA and
//   REQUEST_END copies the unit (or the end mark) out of the section into the bounded unit queue
//   and answers "NVDone" at once, so that the client's next unit is taken while earlier ones
//   decode: the hand-overs of a picture's many slices then cost the decoder nothing.
// - the decoder thread takes the unit queue in order and decodes it; it alone owns the decoder.
// - the delivery thread waits for "NVRequested" and writes the next picture of the run into the
//   picture area, then sets "NVAvailable"; past the end of a run it repeats the run's last picture
//   (black when the run had none), so no request is ever left unanswered once a run has ended.
// - the stop thread waits for "NVStopDecoding", drops the run and resets the event.
//
// Decoded pictures wait in a bounded queue. While it is full the decoder waits to add pictures,
// the unit queue fills up, and then "NVDone" for the next unit is held back (the unit stays in the
// section), until the client takes pictures, which it does from another thread; a stop ends the
// waits at once, and a held unit is then dropped without an answer. A held unit is answered only
// once the decoder has taken the unit queue down to half, so that the client's thread and the
// server hand the next units over in one go rather than waking each other for every unit. Once
// the client has the picture it started the run for, no picture is added until it asks for the
// next one: a client that seeks instead finds the decoder idle. A decoder drained to hand out an
// I or P target early (RunDecoder::AwaitsReplay) likewise decodes the run again only once the
// client asks for the next picture. A new client's REQUEST_INIT (or any new request while a unit
// is held) means the old client is gone: its run is dropped and the new request served.
//
// Each run has a generation number. Dropping a run (a stop, a new REQUEST_INIT, data after the end
// of a run) advances it under the lock; anything of an older generation (a unit in flight, a
// picture being decoded or written, a waiting request) is dropped when it meets the lock again,
// so nothing of a dropped run can reach the next one. A stop also clears an "NVExec" that the
// request thread has not taken yet, and one it took before the stop is recognised as stale: the
// unit area may already hold the next run's bytes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decode-server/run_decoder.h"
#include "decode-server/section_guard.h"
#include "decode-server/shared_picture_pool.h"
#include "platform/handle.h"

namespace decode_server {

struct ServerOptions {
  int slot = 0;  // the client slot served: its section and events (server-link/client_slots.h)
  bool verbose = false;       // log each run (first GOP, units, pictures delivered)
  size_t queuePictures = 8;   // bound of the queue of decoded pictures (at least 1)
  size_t queueUnits = 256;    // bound of the queue of units waiting to be decoded (at least 1)
  bool oneUnit = false;       // refuse bulk hand-over: every client sends one unit per request
  bool copyPictures = false;  // refuse pictures in place: every picture is copied to the client
  FILE* log = stderr;         // where log lines go
};

class DecodeServer {
 public:
  explicit DecodeServer(ServerOptions options);
  ~DecodeServer();
  DecodeServer(const DecodeServer&) = delete;
  DecodeServer& operator=(const DecodeServer&) = delete;

  // Creates the section and the events and starts serving. Returns false with a message when
  // another live server holds the section or an object cannot be made.
  bool Start(std::string* error);

  // Stops the threads and removes the section and the events. Called by the destructor.
  void Shutdown();

 private:
  // A unit, a batch of units or the end mark of a run, waiting for the decoder thread.
  struct UnitJob {
    uint64_t generation = 0;
    bool end = false;
    int32_t leadFrames = 0;  // first job of a run: frames the client discards (run record)
    // A batch holds whole units, each as in the client's batch (server-link/bulk_handover.h);
    // otherwise `bytes` is one unit.
    bool batch = false;
    size_t units = 0;  // units in the job
    std::vector<uint8_t> bytes;
  };

  void RequestLoop();
  void DecoderLoop();
  void DeliveryLoop();
  void StopLoop();

  // Request handlers; `generation` is the run the request belongs to.
  void HandleInit();
  // REQUEST_DATA (one unit) and REQUEST_UNITS (a batch of units, server-link/bulk_handover.h).
  void HandleData(uint64_t generation, bool batch);
  void HandleEnd(uint64_t generation);
  // With the lock held, on the request thread: waits until the unit queue has room for a unit of
  // `generation` while that unit waits in the section for its "NVDone". False when that run was
  // dropped (or the server quits).
  bool WaitForUnitRoom(uint64_t generation, std::unique_lock<std::mutex>& lock);
  bool UnitQueueFull() const;
  // True once the decoder has taken the queue down far enough for a held unit to be answered.
  bool UnitQueueLow() const;

  // Drops the current run (with the lock held): queue, end mark, last picture; logs it.
  void DropRunLocked(const char* why);
  // The decoder for `generation`, made afresh when the run is new; null when that run was dropped.
  RunDecoder* DecoderFor(uint64_t generation, int32_t leadFrames);
  void Enqueue(uint64_t generation, RunDecoder* decoder, RunPicture picture);
  // How many decoded pictures may wait for the client now (with the lock held).
  size_t PictureBoundLocked() const;
  // The client has asked for a picture after the one it started the run for (lock held).
  bool ReadingOnLocked() const;
  // Waits until the client reads on; false when the run `generation` was dropped (or the server
  // quits) first. A decoder drained at the client's target replays the run only for such a client.
  bool WaitForReadingOn(uint64_t generation);
  void LogRunDecoded(const RunDecoder& decoder);
  // After an access to the section: when the client had cut the section short, drops its run
  // (the guard has restored the section by then).
  void DropRunIfSectionCut();
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int32_t ReadWord(uint32_t offset) const;

  ServerOptions options_;
  platform::Handle section_ = nullptr;
  uint8_t* view_ = nullptr;
  SectionGuard guard_;
  platform::Handle exec_ = nullptr, done_ = nullptr, stop_ = nullptr, requested_ = nullptr,
                   available_ = nullptr;
  // A second handle on the section that claims it for a client that did not claim it itself (a
  // host that knows only the plain protocol); kept until the server ends.
  platform::Handle reservation_ = nullptr;
  // The slot's picture pool (server-link/picture_pool.h); null when it could not be made. It
  // outlives every picture, so it goes last.
  std::unique_ptr<SharedPicturePool> pool_;
  uint32_t session_ = 0;             // number of the slot's current session (REQUEST_INIT count)
  platform::Handle wake_ = nullptr;  // private, automatic: the request thread's nudge
  platform::Handle quit_ = nullptr;  // private, manual: the threads end
  std::thread requestThread_, decoderThread_, deliveryThread_, stopThread_;

  // Shared state, under mutex_.
  std::mutex mutex_;
  std::condition_variable pictureReady_;  // the delivery thread's wake-up
  std::condition_variable unitReady_;     // the decoder thread's wake-up: a unit, or a drop
  std::condition_variable pictureRoom_;   // the decoder thread's wake-up: room, or a drop
  bool quitting_ = false;
  uint64_t generation_ = 1;
  std::deque<RunPicture> queue_;
  bool runEnded_ = false;
  std::deque<UnitJob> units_;                     // waiting for the decoder thread, in order
  size_t unitCount_ = 0;                          // units in units_
  size_t unitBytes_ = 0;                          // bytes in units_
  std::vector<std::vector<uint8_t>> spareUnits_;  // buffers of decoded units, for reuse
  uint64_t endQueuedGeneration_ = 0;              // the run whose end mark was queued
  int deinterlace_ = 0;
  bool useTopField_ = true;
  int lastWidth_ = 0, lastHeight_ = 0;  // size of the last sequence seen, for black pictures
  int clipWidth_ = 0, clipHeight_ = 0;  // the client's picture size (0: pictures as decoded)
  bool chroma422_ = false;              // the client asked for 4:2:2 pictures
  bool bulk_ = false;                   // the client's units come in batches (REQUEST_UNITS)
  bool inPlace_ = false;                // the client takes pictures where they lie in the pool
  int64_t runNumber_ = 0;               // runs started so far
  int64_t runUnits_ = 0;
  // Pictures at the start of the run that the client takes without reading them; they are not
  // written into the picture area.
  int64_t runUnreadPictures_ = 0;
  int64_t runDelivered_ = 0;
  int64_t runInPlace_ = 0;    // of those, named where they lie in the pool
  int64_t runRequested_ = 0;  // pictures of the run the client has asked for
  bool runLogged_ = true;     // the current run's closing line was written (or it had no data)
  bool clipReported_ = false;

  // The request thread holds a unit in the section and waits for the decoder's nudge, which comes
  // once the unit queue is low again.
  bool unitHeld_ = false;

  // An "NVExec" taken while waiting for room, to be served next, and the run it was taken in.
  bool execTaken_ = false;
  uint64_t execTakenGeneration_ = 0;

  // Decoder thread only.
  std::unique_ptr<RunDecoder> decoder_;
  uint64_t decoderGeneration_ = 0;

  // Delivery thread only.
  AVFrame* lastPicture_ = nullptr;
  uint64_t lastPictureGeneration_ = 0;
};

}  // namespace decode_server
