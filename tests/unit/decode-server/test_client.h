// A small client of the decoding server that speaks the protocol through the platform layer, the
// way the plugin does: a feeding thread sends units and waits for "NVDone" (or its abort event),
// while the test's own thread takes pictures. Every wait has a time-out, so a fault fails the test
// instead of hanging it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/handle.h"
#include "tests/unit/decode-server/media_helpers.h"

namespace decode_server_test {

constexpr uint32_t kTestTimeoutMs = 20000;

struct TakenPicture {
  bool ok = false;  // answered within the time-out
  int32_t words[8] = {};
  std::string md5;  // of the picture as yuv420p (picWidth x picHeight)
  int32_t picHeight() const { return words[3]; }
  int32_t picWidth() const { return words[4]; }
  int32_t flags() const { return words[5]; }
  int32_t picPitch() const { return words[6]; }
  int32_t index() const { return words[2]; }
  int32_t displayIndex() const { return words[7]; }
};

class TestClient {
 public:
  TestClient() = default;
  ~TestClient();

  // Opens the section of `slot` (it must be held by a live server) and its five events. Claims
  // nothing, as a host that knows only the plain protocol.
  bool Connect(int slot = 0);
  void Disconnect();

  // REQUEST_INIT with the deinterlacing mode and field choice; true when answered. With
  // `offerPool` it also offers to take pictures in the server's pool (without mapping it: such a
  // client's pictures are not for reading).
  bool Init(int deinterlace, bool useTopField, bool offerPool = false);

  // Starts feeding `units` of `stream` (a run) on the feeding thread, then REQUEST_END.
  void StartFeeding(const std::vector<uint8_t>* stream, std::vector<Unit> units);
  // Waits for the feeding thread to finish on its own.
  void JoinFeeding();
  // Aborts the feeding thread (as the clip does before a stop) and waits for it.
  void AbortFeeding();
  // Units answered with "NVDone" so far in this run, and whether REQUEST_END was answered.
  int unitsAnswered() const { return unitsAnswered_.load(); }
  bool endAnswered() const { return endAnswered_.load(); }

  // "NVRequested", then waits for "NVAvailable".
  TakenPicture Take(uint32_t timeoutMs = kTestTimeoutMs);
  // "NVStopDecoding", then polls every 10 ms for the reset, at most 301 times.
  bool Stop();

  uint8_t* view() const { return view_; }

 private:
  void Feed(const std::vector<uint8_t>* stream, std::vector<Unit> units);
  // Waits for "NVDone" or the abort event; false when aborted or timed out.
  bool WaitDone();

  platform::Handle section_ = nullptr;
  uint8_t* view_ = nullptr;
  platform::Handle exec_ = nullptr, done_ = nullptr, stop_ = nullptr, requested_ = nullptr,
                   available_ = nullptr;
  platform::Handle abort_ = nullptr;
  std::thread feeder_;
  std::atomic<int> unitsAnswered_{0};
  std::atomic<bool> endAnswered_{false};
};

// Sets MPGSOURCE_IPC_NAMESPACE to a fresh name for the rest of the test.
std::string UseFreshNamespace(const char* test);

}  // namespace decode_server_test
