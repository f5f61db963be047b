// Fuzz target: the decoding server's request handling, as a hostile client meets it. One
// DecodeServer runs in this process under a namespace of its own; the input is a list of steps
// that a client could take through the real shared section and named events (connected with the
// plugin's own link code): requests with any command word, operands and unit length, unit bytes,
// clip-size and run records (well-formed or raw), picture requests and stops. Every wait is
// bounded, since a hostile client gets no promise of an answer. After the steps the server must
// still serve a well-behaved client: a stop is taken, a REQUEST_INIT is answered, and so is a
// picture request after an empty run.
//
// Input: steps, each a byte whose value modulo 8 picks the step, followed by its operands (32-bit
// little-endian words and bytes, read as far as the input goes):
//   0 REQUEST_INIT with three operand words    1 REQUEST_DATA (count's top bit clear) or
//                                                REQUEST_UNITS (set): length word, 2-byte count,
//                                                bytes
//   2 REQUEST_END                              3 any command word with three operand words
//   4 clip-size record: mode byte (even: written well-formed from two words; odd: 16 raw bytes)
//   5 run record: mode byte (even: well-formed from one word; odd: 12 raw bytes)
//   6 a picture request                        7 a stop
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "decode-server/decode_server.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "server-link/bulk_handover.h"
#include "server-link/chroma_layout.h"
#include "server-link/clip_size.h"
#include "server-link/link.h"
#include "server-link/picture_pool.h"
#include "server-link/run_record.h"
#include "server-link/section_layout.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {
namespace {

// Bounds of the waits: a step's answer, which a hostile client may never get (a picture of a run
// that has no pictures), all steps' waits together, and the well-behaved client's checks at the
// end, which allow for a loaded machine.
constexpr uint32_t kStepWaitMs = 10;
constexpr uint32_t kStepsWaitMs = 100;
constexpr uint32_t kCheckWaitMs = 5000;
constexpr int kMaxSteps = 256;
constexpr size_t kMaxUnitBytes = 65536;

struct Running {
  std::unique_ptr<decode_server::DecodeServer> server;
  server::Link link;
  FILE* log = nullptr;
};

Running* running = nullptr;

void StopServer() {
  if (running == nullptr) return;
  running->link.Disconnect();
  running->server.reset();  // removes the section and the events
  if (running->log != nullptr) std::fclose(running->log);
  delete running;
  running = nullptr;
}

// The server and the client's link, made on first use and ended at exit.
void StartServer() {
  if (running != nullptr) return;
  const std::string space =
      "mpgfuzz." + std::to_string(getpid()) + "." + std::to_string(platform::timeGetTime());
  Check(setenv("MPGSOURCE_IPC_NAMESPACE", space.c_str(), 1) == 0, "cannot set the namespace");
  running = new Running;
  running->log = std::fopen("/dev/null", "w");
  Check(running->log != nullptr, "cannot open /dev/null");
  decode_server::ServerOptions options;
  options.log = running->log;
  running->server = std::make_unique<decode_server::DecodeServer>(options);
  std::string error;
  if (!running->server->Start(&error)) {
    std::fprintf(stderr, "cannot start the decoding server: %s\n", error.c_str());
    Check(false, "the decoding server did not start");
  }
  Check(running->link.Connect() == server::kConnected, "cannot connect to the decoding server");
  std::atexit(StopServer);
}

// The input read from the front; past its end every read gives zeros. It also keeps the steps'
// budget of waiting: once spent, a step only looks for its answer.
class Steps {
 public:
  Steps(const uint8_t* data, size_t size)
      : data_(data), size_(size), start_(platform::timeGetTime()) {}
  uint32_t WaitMs() const {
    return platform::timeGetTime() - start_ < kStepsWaitMs ? kStepWaitMs : 0;
  }
  bool Done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  int32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t(Byte()) << (8 * i);
    return static_cast<int32_t>(value);
  }
  // Up to `count` bytes, as many as the input still has; returns how many were copied.
  size_t Copy(uint8_t* out, size_t count) {
    const size_t n = std::min(count, size_ - std::min(at_, size_));
    if (n > 0) std::memcpy(out, data_ + at_, n);
    at_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  uint32_t start_;
};

void PutWord(uint32_t offset, int32_t value) {
  std::memcpy(running->link.View() + offset, &value, sizeof value);
}

// Sends the request in the block and waits for "NVDone"; true when it came within `waitMs`.
bool Request(int32_t command, uint32_t waitMs) {
  PutWord(server::kRequestOffset, command);
  platform::ResetEvent(running->link.DoneEvent());
  platform::SetEvent(running->link.ExecEvent());
  return platform::WaitForEvent(running->link.DoneEvent(), waitMs) == platform::kWaitObject0;
}

bool TakePicture(uint32_t waitMs) {
  platform::SetEvent(running->link.RequestedEvent());
  return platform::WaitForEvent(running->link.AvailableEvent(), waitMs) == platform::kWaitObject0;
}

// Sets "NVStopDecoding" and waits for the server to reset it.
bool Stop(uint32_t waitMs) {
  platform::SetEvent(running->link.StopDecodingEvent());
  const uint32_t start = platform::timeGetTime();
  while (platform::WaitForEvent(running->link.StopDecodingEvent(), 0) == platform::kWaitObject0) {
    if (platform::timeGetTime() - start > waitMs) return false;
    platform::Sleep(1);
  }
  return true;
}

void Operands(Steps& in) {
  PutWord(server::kOperand1Offset, in.Word());
  PutWord(server::kOperand2Offset, in.Word());
  PutWord(server::kOperand3Offset, in.Word());
}

void RunStep(Steps& in) {
  uint8_t* view = running->link.View();
  switch (in.Byte() % 8) {
    case 0:
      Operands(in);
      Request(server::REQUEST_INIT, in.WaitMs());
      break;
    case 1: {
      const int32_t length = in.Word();
      const size_t count = size_t(in.Byte()) | size_t(in.Byte()) << 8;
      in.Copy(view + server::kUnitOffset, std::min(count & 0x7FFF, kMaxUnitBytes));
      PutWord(server::kOperand1Offset, length);
      Request(count & 0x8000 ? server::REQUEST_UNITS : server::REQUEST_DATA, in.WaitMs());
      break;
    }
    case 2:
      Request(server::REQUEST_END, in.WaitMs());
      break;
    case 3: {
      const int32_t command = in.Word();
      Operands(in);
      Request(command, in.WaitMs());
      break;
    }
    case 4:
      if (in.Byte() % 2 == 0) {
        const int32_t width = in.Word();
        server::PutClipSize(view, width, in.Word());
        // Every other client asks for 4:2:2 pictures (the odd chroma rows in the unit area).
        if (width % 2 == 0) server::PutChromaRecord(view, server::kChroma422);
        // Every fourth offers batches of units; every third takes its pictures in the pool.
        if (width % 4 == 0) server::kBulkRecord.Offer(view);
        if (width % 3 == 0) server::kPoolRecord.Offer(view);
      } else {
        in.Copy(view + server::kClipSizeTagOffset, 16);
      }
      break;
    case 5:
      if (in.Byte() % 2 == 0) {
        server::PutRunRecord(view, in.Word());
      } else {
        in.Copy(view + server::kRunRecordOffset, 12);
      }
      break;
    case 6:
      TakePicture(in.WaitMs());
      break;
    default:
      Stop(in.WaitMs());
      break;
  }
}

}  // namespace

int ServerRequests(const uint8_t* data, size_t size) {
  StartServer();
  Steps in(data, size);
  for (int step = 0; step < kMaxSteps && !in.Done(); ++step) RunStep(in);

  // A well-behaved client after it: a stop, a handshake, an empty run and a picture (black).
  Check(Stop(kCheckWaitMs), "the server no longer takes a stop");
  PutWord(server::kOperand1Offset, 0);
  PutWord(server::kOperand2Offset, 1);
  PutWord(server::kOperand3Offset, server::kInitOperand3);
  server::PutClipSize(running->link.View(), 64, 48);
  Check(Request(server::REQUEST_INIT, kCheckWaitMs), "the server no longer answers REQUEST_INIT");
  Check(Request(server::REQUEST_END, kCheckWaitMs), "the server no longer answers REQUEST_END");
  Check(TakePicture(kCheckWaitMs), "the server no longer answers a picture request");
  Check(Stop(kCheckWaitMs), "the server no longer takes a stop after a run");
  return 0;
}

}  // namespace fuzz
