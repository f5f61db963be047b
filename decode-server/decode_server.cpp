#include "decode-server/decode_server.h"

#include <cstdarg>
#include <cstring>

#include "decode-server/picture_writer.h"
#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/bulk_handover.h"
#include "server-link/chroma_layout.h"
#include "server-link/client_slots.h"
#include "server-link/clip_size.h"
#include "server-link/run_record.h"
#include "server-link/section_layout.h"
#include "server-link/server_record.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace decode_server {

namespace {
// Bytes the unit queue holds before it counts as full, however few units it holds; a single unit
// is always taken.
constexpr size_t kMaxQueuedUnitBytes = 32 * 1000 * 1000;
// Once the client waits for room, the queue is refilled only after the decoder has taken it down
// to this share of its bound: the request thread and the client then hand the refill over in one
// go, instead of waking each other (and the decoder waking the request thread) for every unit.
constexpr size_t kRefillDivisor = 2;
// Buffers of decoded units kept for reuse, and the largest one kept: an occasional huge unit is
// not held on to.
constexpr size_t kSpareUnits = 32;
constexpr size_t kMaxSpareUnitBytes = 1000 * 1000;
}  // namespace

DecodeServer::DecodeServer(ServerOptions options) : options_(options) {
  if (options_.queuePictures < 1) options_.queuePictures = 1;
  if (options_.queueUnits < 1) options_.queueUnits = 1;
}

DecodeServer::~DecodeServer() {
  Shutdown();
}

bool DecodeServer::Start(std::string* error) {
  // The section first: it carries the liveness lock, and while another live server holds it the
  // events (which would be replaced under that server) are left alone.
  std::string reason;
  const int slot = options_.slot;
  const std::string sectionName = server::SlotObjectName(server::kSectionName, slot);
  section_ = platform::CreateOwnedSection(sectionName.c_str(), server::kSectionSize, &reason);
  if (!section_) {
    *error = "cannot serve \"" + sectionName + "\": " + reason;
    if (reason.find("held by another running process") != std::string::npos) {
      *error += " (is another mpgsource-server running?)";
    }
    return false;
  }
  auto event = [slot, &reason](const char* base, bool manual) {
    return platform::CreateOwnedEvent(server::SlotObjectName(base, slot).c_str(), manual,
                                      reason.empty() ? &reason : nullptr);
  };
  view_ = static_cast<uint8_t*>(platform::MapSection(section_, server::kSectionSize));
  exec_ = event(server::kExecEventName, false);
  done_ = event(server::kDoneEventName, false);
  stop_ = event(server::kStopEventName, true);
  requested_ = event(server::kRequestedEventName, false);
  available_ = event(server::kAvailableEventName, false);
  wake_ = platform::CreateEvent(nullptr, false);
  quit_ = platform::CreateEvent(nullptr, true);
  if (!view_ || !exec_ || !done_ || !stop_ || !requested_ || !available_ || !wake_ || !quit_) {
    *error = reason.empty() ? "cannot map the shared section or create the events"
                            : "cannot serve \"" + sectionName + "\": " + reason;
    Shutdown();
    return false;
  }
  // Without a pool every picture is copied, as to a client that does not take them in place.
  std::string poolError;
  pool_.reset(SharedPicturePool::Create(slot, &poolError));
  if (!pool_) Log("pictures are copied to the clients of slot %d: %s", slot, poolError.c_str());
  // Clients name this process in their messages about a server that stopped answering.
  server::PutServerRecord(view_, static_cast<int32_t>(platform::CurrentProcessId()));
  // A client that cuts the section short must not end the server (section_guard.h).
  if (!guard_.Watch(section_, view_, server::kSectionSize)) {
    Log("cannot watch \"%s\" for a client that cuts it short", sectionName.c_str());
  }
  requestThread_ = std::thread([this] { RequestLoop(); });
  decoderThread_ = std::thread([this] { DecoderLoop(); });
  deliveryThread_ = std::thread([this] { DeliveryLoop(); });
  stopThread_ = std::thread([this] { StopLoop(); });
  return true;
}

void DecodeServer::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quitting_ = true;
    pictureReady_.notify_all();
    unitReady_.notify_all();
    pictureRoom_.notify_all();
  }
  if (quit_) platform::SetEvent(quit_);
  if (wake_) platform::SetEvent(wake_);
  if (requestThread_.joinable()) requestThread_.join();
  if (decoderThread_.joinable()) decoderThread_.join();
  if (deliveryThread_.joinable()) deliveryThread_.join();
  if (stopThread_.joinable()) stopThread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (RunPicture& picture : queue_) av_frame_free(&picture.frame);
    queue_.clear();
    units_.clear();
    unitCount_ = 0;
    unitBytes_ = 0;
  }
  av_frame_free(&lastPicture_);
  decoder_.reset();
  pool_.reset();
  guard_.Release();
  if (view_) platform::UnmapSection(view_, server::kSectionSize);
  view_ = nullptr;
  // Closing an owned object removes its name.
  for (platform::Handle* handle : {&exec_, &done_, &stop_, &requested_, &available_, &wake_, &quit_,
                                   &reservation_, &section_}) {
    platform::CloseHandle(*handle);
    *handle = nullptr;
  }
}

int32_t DecodeServer::ReadWord(uint32_t offset) const {
  int32_t value;
  std::memcpy(&value, view_ + offset, sizeof value);
  return value;
}

void DecodeServer::DropRunIfSectionCut() {
  auto dropRun = [this](const char* base, bool restored) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropRunLocked("the client cut the shared section short");
    Log("the client of \"%s\" cut the shared section short; its run was dropped and %s",
        server::SlotObjectName(base, options_.slot).c_str(),
        restored ? "the section restored" : "the section could not be restored");
  };
  bool restored = false;
  if (guard_.Repaired(&restored)) dropRun(server::kSectionName, restored);
  if (pool_ && pool_->Repaired(&restored)) dropRun(server::kPoolSectionName, restored);
}

void DecodeServer::Log(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("mpgsource-server: ", options_.log);
  std::vfprintf(options_.log, format, args);
  std::fputc('\n', options_.log);
  std::fflush(options_.log);
  va_end(args);
}

// ---------------------------------------------------------------------------------------------
// Request thread

void DecodeServer::RequestLoop() {
  for (;;) {
    uint64_t generation;
    bool serveTaken = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (quitting_) return;
      generation = generation_;
      if (execTaken_) {
        // An "NVExec" taken while waiting for room; one taken before a stop that has since been
        // served is stale.
        execTaken_ = false;
        serveTaken = execTakenGeneration_ == generation;
      }
    }
    if (!serveTaken) {
      // The nudge comes first: after a stop it makes the loop take the new generation before it
      // serves another request.
      const int woken = platform::WaitForEither(wake_, exec_, platform::kInfinite);
      if (woken == platform::kWaitObject0) continue;
      if (woken != platform::kWaitObject1) {
        Log("waiting for requests failed; the request thread ends");
        return;
      }
    }
    int32_t command;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // A request taken before a stop that has since been served belongs to the dropped run, and
      // the unit area may already hold the next run's bytes: it gets no answer.
      if (generation_ != generation) continue;
      command = ReadWord(server::kRequestOffset);
    }
    switch (command) {
      case server::REQUEST_INIT:
        HandleInit();
        break;
      case server::REQUEST_DATA:
        HandleData(generation, false);
        break;
      case server::REQUEST_UNITS:
        if (!bulk_) {
          Log("batch of units from a client that did not offer bulk hand-over ignored");
          platform::SetEvent(done_);
          break;
        }
        HandleData(generation, true);
        break;
      case server::REQUEST_END:
        HandleEnd(generation);
        break;
      default:
        Log("unknown request %d ignored", command);
        platform::SetEvent(done_);
        break;
    }
    DropRunIfSectionCut();
  }
}

bool DecodeServer::UnitQueueFull() const {
  return !units_.empty() &&
         (unitCount_ >= options_.queueUnits || unitBytes_ >= kMaxQueuedUnitBytes);
}

bool DecodeServer::UnitQueueLow() const {
  return unitCount_ <= options_.queueUnits / kRefillDivisor &&
         unitBytes_ <= kMaxQueuedUnitBytes / kRefillDivisor;
}

bool DecodeServer::WaitForUnitRoom(uint64_t generation, std::unique_lock<std::mutex>& lock) {
  for (;;) {
    if (quitting_ || generation_ != generation) return false;
    if (!UnitQueueFull()) return true;
    // The decoder wakes this thread once the queue is low again.
    unitHeld_ = true;
    lock.unlock();
    const int woken = platform::WaitForEither(wake_, exec_, platform::kInfinite);
    lock.lock();
    unitHeld_ = false;
    if (woken == platform::kWaitFailed || woken == platform::kWaitTimeout) return false;
    if (woken != platform::kWaitObject1) continue;
    // A new request while a unit waits for its answer. A client sends a new request only once the
    // previous one is answered or abandoned: the sender gave up (it died), and nobody will take
    // the pictures this run waits to hand over. The request is served next, in a new run.
    execTaken_ = true;
    if (generation_ == generation) DropRunLocked("the client went away");
    execTakenGeneration_ = generation_;
  }
}

void DecodeServer::HandleInit() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t deinterlace = ReadWord(server::kOperand1Offset);
  const int32_t useTopField = ReadWord(server::kOperand2Offset);
  const int32_t third = ReadWord(server::kOperand3Offset);
  if (deinterlace < 0 || deinterlace > 2) {
    Log("deinterlacing mode %d is not 0, 1 or 2; frames are delivered as decoded", deinterlace);
  }
  deinterlace_ = deinterlace >= 0 && deinterlace <= 2 ? deinterlace : 0;
  useTopField_ = useTopField != 0;
  // A client that names its picture size gets every picture at that size.
  if (!server::GetClipSize(view_, &clipWidth_, &clipHeight_)) clipWidth_ = clipHeight_ = 0;
  // The record is cleared, so that a later client that does not write one is never taken for one
  // that asked for 4:2:2.
  chroma422_ = server::GetChromaRecord(view_) == server::kChroma422;
  server::ClearChromaRecord(view_);
  // A client that offers batches gets them accepted in the answer to this request.
  bulk_ = server::kBulkRecord.Take(view_) && !options_.oneUnit;
  if (bulk_) server::kBulkRecord.Accept(view_);
  // A client that has mapped the pool takes its pictures there.
  inPlace_ = server::kPoolRecord.Take(view_) && pool_ && !options_.copyPictures && !chroma422_;
  if (inPlace_) server::kPoolRecord.Accept(view_);
  if (options_.verbose) {
    Log("client set up: deinterlace %d, %s field%s, pictures %dx%d, chroma %s, %s, %s",
        deinterlace_, useTopField_ ? "top" : "bottom",
        third == server::kInitOperand3 ? "" : " (unknown format word)", clipWidth_, clipHeight_,
        chroma422_ ? "4:2:2" : "4:2:0", bulk_ ? "units in batches" : "one unit per request",
        inPlace_ ? "pictures in place" : "pictures copied");
  }
  // A new client: whatever an earlier one left (a run, a request, an unread picture, a run
  // record) goes.
  DropRunLocked("new client");
  server::ClearRunRecord(view_);
  // A unit of the previous client may have reached over the record.
  server::PutServerRecord(view_, static_cast<int32_t>(platform::CurrentProcessId()));
  platform::ResetEvent(requested_);
  platform::ResetEvent(available_);
  // A client that claims the slot does so before its REQUEST_INIT; one that did not knows only the
  // plain protocol, and the slot stays claimed for it so that no claiming client joins it.
  if (!reservation_ && !platform::SectionClaimed(section_)) {
    bool existed = false;
    const std::string name = server::SlotObjectName(server::kSectionName, options_.slot);
    reservation_ = platform::CreateSection(name.c_str(), server::kSectionSize, &existed);
    if (reservation_ && !platform::ClaimSection(reservation_)) {
      platform::CloseHandle(reservation_);
      reservation_ = nullptr;
    }
    if (options_.verbose && reservation_) {
      Log("a client that does not claim its connection uses \"%s\"; it stays reserved for such "
          "clients",
          name.c_str());
    }
  }
  // The session number tells the previous client of the slot, should it still live, that its
  // connection was taken over.
  ++session_;
  __atomic_store_n(reinterpret_cast<int32_t*>(view_ + server::kSessionOffset),
                   server::SessionWord(session_), __ATOMIC_SEQ_CST);
  platform::SetEvent(done_);
}

void DecodeServer::HandleData(uint64_t generation, bool batch) {
  std::vector<uint8_t> bytes;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (generation_ != generation) return;
    // Data after the end of a run begins a new run.
    if (endQueuedGeneration_ == generation) {
      DropRunLocked("new data after the end of the run");
      generation = generation_;
    }
    // While the unit queue is full the units stay in the section and "NVDone" waits.
    if (!WaitForUnitRoom(generation, lock)) return;
    if (!spareUnits_.empty()) {
      bytes = std::move(spareUnits_.back());
      spareUnits_.pop_back();
    }
  }
  // The copy is made outside the lock; only this thread answers "NVDone", so the section's units
  // stay as they are meanwhile. A batch is kept whole, as one job: its units are split apart
  // only as they are decoded.
  int32_t length = ReadWord(server::kOperand1Offset);
  const uint32_t limit = batch ? server::kMaxBatchBytes : server::kUnitAreaSize;
  if (length < 0 || static_cast<uint32_t>(length) > limit) {
    Log("%s length %d is outside the unit area; ignored", batch ? "batch" : "unit", length);
    length = 0;
  }
  const unsigned char* data = view_ + server::kUnitOffset;
  size_t units = 1;
  uint32_t whole = static_cast<uint32_t>(length);
  if (batch) {
    // The whole units at the batch's start; a batch that ends inside a unit keeps those.
    units = 0;
    whole = 0;
    const bool complete = server::ForEachBatchUnit(
        data, static_cast<uint32_t>(length), [&](const unsigned char* unit, uint32_t size) {
          ++units;
          whole = static_cast<uint32_t>(unit + size - data);
        });
    if (!complete) {
      Log("batch of %d bytes ends inside a unit; the units before it are kept", length);
    }
  }
  bytes.assign(data, data + whole);
  std::lock_guard<std::mutex> lock(mutex_);
  // A stop meanwhile dropped the run: the units go unanswered, as any unit of a dropped run.
  if (generation_ != generation) return;
  if (units == 0) {
    platform::SetEvent(done_);
    return;
  }
  UnitJob job;
  if (runUnits_ == 0) {
    // The run's first unit: the client wrote its run record before it.
    job.leadFrames = server::TakeRunRecord(view_);
    runUnreadPictures_ = deinterlace_ == 2 ? 2 * int64_t{job.leadFrames} : job.leadFrames;
  }
  job.generation = generation;
  job.batch = batch;
  job.units = units;
  job.bytes = std::move(bytes);
  unitBytes_ += job.bytes.size();
  unitCount_ += units;
  runUnits_ += static_cast<int64_t>(units);
  units_.push_back(std::move(job));
  unitReady_.notify_one();
  platform::SetEvent(done_);  // the client may write the next request while these wait
}

void DecodeServer::HandleEnd(uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (generation_ != generation) return;
  // A second end mark of the same run adds nothing.
  if (endQueuedGeneration_ != generation) {
    UnitJob job;
    job.generation = generation;
    job.end = true;
    units_.push_back(std::move(job));
    endQueuedGeneration_ = generation;
    unitReady_.notify_one();
  }
  platform::SetEvent(done_);
}

// ---------------------------------------------------------------------------------------------
// Decoder thread

void DecodeServer::DecoderLoop() {
  for (;;) {
    UnitJob job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      unitReady_.wait(lock, [&] { return quitting_ || !units_.empty(); });
      if (quitting_) return;
      job = std::move(units_.front());
      units_.pop_front();
      unitBytes_ -= job.bytes.size();
      unitCount_ -= job.units;
      if (job.generation != generation_) continue;
      // Room for the unit held in the section, and for the units after it.
      if (unitHeld_ && UnitQueueLow()) {
        unitHeld_ = false;
        platform::SetEvent(wake_);
      }
    }
    RunDecoder* decoder = DecoderFor(job.generation, job.leadFrames);
    if (decoder && decoder->AwaitsReplay() && !WaitForReadingOn(job.generation)) {
      decoder = nullptr;  // dropped meanwhile
    }
    if (decoder) {
      auto sink = [&](RunPicture picture) { Enqueue(job.generation, decoder, picture); };
      if (job.end) {
        decoder->Finish(sink);
      } else if (job.batch) {
        server::ForEachBatchUnit(
            job.bytes.data(), static_cast<uint32_t>(job.bytes.size()),
            [&](const unsigned char* unit, uint32_t size) { decoder->PushUnit(unit, size, sink); });
      } else {
        decoder->PushUnit(job.bytes.data(), job.bytes.size(), sink);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (decoder && generation_ == job.generation) {
      if (job.end) {
        runEnded_ = true;
        pictureReady_.notify_all();
        LogRunDecoded(*decoder);
      } else if (decoder->tracker().width() > 0) {
        lastWidth_ = decoder->tracker().width();
        lastHeight_ = decoder->tracker().height();
      }
    }
    if (!job.end && spareUnits_.size() < kSpareUnits &&
        job.bytes.capacity() <= kMaxSpareUnitBytes) {
      spareUnits_.push_back(std::move(job.bytes));
    }
  }
}

RunDecoder* DecodeServer::DecoderFor(uint64_t generation, int32_t leadFrames) {
  if (!decoder_ || decoderGeneration_ != generation) {
    int deinterlace, width, height;
    bool useTopField, chroma422, inPlace;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (generation_ != generation) return nullptr;  // dropped before it began
      deinterlace = deinterlace_;
      useTopField = useTopField_;
      width = clipWidth_;
      height = clipHeight_;
      chroma422 = chroma422_;
      inPlace = inPlace_;
      ++runNumber_;
      runLogged_ = false;
    }
    // Every picture leaves in the client's chroma layout: 4:2:2 for a client that asked for it,
    // else 4:2:0 (4:2:2 video converted field by field). A client that takes its pictures in
    // place gets them decoded into the pool; the old run's buffers go back to it first.
    decoder_.reset();
    decoder_ = std::make_unique<RunDecoder>(deinterlace, useTopField, width, height,
                                            chroma422 ? AV_PIX_FMT_YUV422P : AV_PIX_FMT_YUV420P,
                                            inPlace && !chroma422 ? pool_.get() : nullptr);
    decoder_->SkipUnseenFrames(leadFrames);
    decoderGeneration_ = generation;
    if (!decoder_->ok()) Log("cannot open libavcodec's MPEG-2 decoder; the run yields black");
  }
  return decoder_.get();
}

bool DecodeServer::ReadingOnLocked() const {
  return runRequested_ > runUnreadPictures_ + 1;
}

bool DecodeServer::WaitForReadingOn(uint64_t generation) {
  std::unique_lock<std::mutex> lock(mutex_);
  pictureRoom_.wait(lock,
                    [&] { return quitting_ || generation_ != generation || ReadingOnLocked(); });
  return !quitting_ && generation_ == generation;
}

size_t DecodeServer::PictureBoundLocked() const {
  // Once the client has the picture it started the run for, the decoder adds no picture until the
  // client asks for the next one: a client that goes elsewhere instead (a seek) then finds the
  // decoder idle, and its new run starts at once, where a decoder still busy with pictures of the
  // dropped run would hold it up. A client that reads on has the whole queue from then on.
  const bool targetOut = runDelivered_ > runUnreadPictures_;
  return targetOut && !ReadingOnLocked() ? 0 : options_.queuePictures;
}

// Waits for room, so that the queue never holds more than its bound however many pictures one
// unit (or the end of a run) produces. A dropped run cancels the decoder's remaining work.
void DecodeServer::Enqueue(uint64_t generation, RunDecoder* decoder, RunPicture picture) {
  std::unique_lock<std::mutex> lock(mutex_);
  pictureRoom_.wait(lock, [&] {
    return quitting_ || generation_ != generation || queue_.size() < PictureBoundLocked();
  });
  if (quitting_ || generation_ != generation) {
    av_frame_free(&picture.frame);
    decoder->Cancel();
    return;
  }
  queue_.push_back(picture);
  pictureReady_.notify_all();
}

void DecodeServer::LogRunDecoded(const RunDecoder& decoder) {
  if (!options_.verbose) return;
  const RunStats& stats = decoder.stats();
  const GopHeader& gop = decoder.tracker().firstGop();
  // Buffers the decoder took outside the pool (it had none free) since the last such line.
  const long long missed = pool_ ? static_cast<long long>(pool_->TakeMisses()) : 0;
  Log("run %lld decoded: first GOP %s%s, %lld units, %lld coded frames, %lld pictures "
      "(%lld places filled in, %lld decoder errors, %lld buffers outside the pool)",
      static_cast<long long>(runNumber_), gop.seen ? gop.TimeCode().c_str() : "(no GOP header)",
      gop.seen ? (gop.closedGop ? " closed" : (gop.brokenLink ? " open, broken link" : " open"))
               : "",
      static_cast<long long>(stats.units), static_cast<long long>(stats.codedFrames),
      static_cast<long long>(stats.pictures), static_cast<long long>(stats.placeholders),
      static_cast<long long>(stats.decoderErrors), missed);
}

void DecodeServer::DropRunLocked(const char* why) {
  if (options_.verbose && !runLogged_) {
    Log("run %lld closed (%s): %lld units taken, %lld pictures delivered (%lld in place)",
        static_cast<long long>(runNumber_), why, static_cast<long long>(runUnits_),
        static_cast<long long>(runDelivered_), static_cast<long long>(runInPlace_));
  }
  runLogged_ = true;
  ++generation_;
  for (RunPicture& picture : queue_) av_frame_free(&picture.frame);
  queue_.clear();
  units_.clear();
  unitCount_ = 0;
  unitBytes_ = 0;
  runEnded_ = false;
  runUnits_ = 0;
  runUnreadPictures_ = 0;
  runDelivered_ = 0;
  runInPlace_ = 0;
  runRequested_ = 0;
  clipReported_ = false;
  pictureReady_.notify_all();
  pictureRoom_.notify_all();
  platform::SetEvent(wake_);
}

// ---------------------------------------------------------------------------------------------
// Delivery thread

void DecodeServer::DeliveryLoop() {
  for (;;) {
    const int woken = platform::WaitForEither(quit_, requested_, platform::kInfinite);
    if (woken != platform::kWaitObject1) return;
    RunPicture picture;
    PictureInfo info;
    uint64_t generation;
    int64_t unread = 0;
    bool chroma422 = false, inPlace = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      generation = generation_;
      chroma422 = chroma422_;
      inPlace = inPlace_;
      if (runRequested_ <= runDelivered_) {
        runRequested_ = runDelivered_ + 1;
        pictureRoom_.notify_one();  // the decoder may work ahead again
      }
      pictureReady_.wait(lock, [&] {
        return quitting_ || generation_ != generation || !queue_.empty() || runEnded_;
      });
      if (quitting_) return;
      if (generation_ != generation) continue;  // the request's run was dropped
      info.index = static_cast<int32_t>(runDelivered_);
      unread = runUnreadPictures_;
      if (!queue_.empty()) {
        picture = queue_.front();
        queue_.pop_front();
      } else {
        // Past the end of the run: the last picture again, or black.
        picture.frame = lastPicture_ && lastPictureGeneration_ == generation
                            ? av_frame_clone(lastPicture_)
                        : clipWidth_ > 0 ? MakeBlackFrame(clipWidth_, clipHeight_)
                                         : MakeBlackFrame(lastWidth_, lastHeight_);
        info.flags |= kPictureFlagRepeated;
        picture.displayIndex = -1;
      }
    }
    pictureRoom_.notify_one();  // room in the queue
    if (!picture.frame) {
      Log("out of memory for a picture");
      continue;
    }
    if (picture.placeholder) info.flags |= kPictureFlagPlaceholder;
    info.displayIndex = static_cast<int32_t>(picture.displayIndex);
    // A picture that the client takes without reading it is not written. One that lies in the
    // pool is named there; it stays unchanged while lastPicture_ holds it, until the next request.
    server::PictureRef where;
    const bool unwritten = info.index < unread;
    const bool named = !unwritten && inPlace && pool_->Locate(picture.frame, &where) &&
                       WritePictureRef(view_, picture.frame, info, where);
    const bool whole = unwritten || named || WritePicture(view_, picture.frame, info, chroma422);
    DropRunIfSectionCut();
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation_ != generation) {
      av_frame_free(&picture.frame);
      continue;
    }
    if (!whole && !clipReported_) {
      clipReported_ = true;
      PictureInfo fitted;
      FitPicture(picture.frame->width, picture.frame->height, &fitted);
      Log("a %dx%d picture does not fit the picture area (%u bytes x %u rows); delivered "
          "clipped to %dx%d",
          picture.frame->width, picture.frame->height, server::kMaxPicturePitch,
          server::kMaxPictureRows, fitted.picWidth, fitted.picHeight);
    }
    ++runDelivered_;
    if (named) ++runInPlace_;
    av_frame_free(&lastPicture_);
    lastPicture_ = picture.frame;
    lastPictureGeneration_ = generation;
    platform::SetEvent(available_);
  }
}

// ---------------------------------------------------------------------------------------------
// Stop thread

void DecodeServer::StopLoop() {
  for (;;) {
    const int woken = platform::WaitForEither(quit_, stop_, platform::kInfinite);
    if (woken != platform::kWaitObject1) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      DropRunLocked("stopped");
      // A unit announced before the stop and not yet taken belongs to the dropped run.
      platform::ResetEvent(exec_);
    }
    platform::ResetEvent(stop_);
  }
}

}  // namespace decode_server
