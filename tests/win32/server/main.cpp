// A decoding server for the Windows link tests: it owns "NVSharedMem" and the five named events
// exactly as a real server does, and answers the plugin's requests with synthetic pictures
// (tests/win32/server/synthetic.h) instead of decoding. Pictures go out in display order, one per
// "NVRequested", starting with the first picture of the run's first GOP; with deinterlace 2 two
// per coded picture. "NVStopDecoding" drops the run and is reset.
//
// Usage: win32_test_server [ready-event-name]. The ready event (manual reset) is set once the
// section and events exist. The server runs until it is killed or finds the named event
// "<ready-event-name>.quit" set.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/section_layout.h"
#include "tests/win32/server/synthetic.h"

namespace {

constexpr uint32_t kSliceMs = 5;
constexpr size_t kQueueLimit = 16;  // undelivered pictures before "NVDone" is held back

struct Output {
  int number;  // display number, or -1: undecodable, -2: filler
  int field;
};

struct Picture {
  int temporalReference = 0;
  int type = 0;
  int number = -1;  // from the user data unit
};

class Server {
 public:
  bool Start(std::string* error) {
    using namespace server;
    section_ = platform::CreateOwnedSection(kSectionName, kSectionSize, error);
    if (!section_) return false;
    view_ = static_cast<unsigned char*>(platform::MapSection(section_, kSectionSize));
    if (!view_) {
      *error = "cannot map the section";
      return false;
    }
    exec_ = platform::CreateOwnedEvent(kExecEventName, false);
    done_ = platform::CreateOwnedEvent(kDoneEventName, false);
    stop_ = platform::CreateOwnedEvent(kStopEventName, true);
    requested_ = platform::CreateOwnedEvent(kRequestedEventName, false);
    available_ = platform::CreateOwnedEvent(kAvailableEventName, false);
    if (!exec_ || !done_ || !stop_ || !requested_ || !available_) {
      *error = "cannot create the events";
      return false;
    }
    return true;
  }

  void Run(platform::Handle quit) {
    while (!quit || platform::WaitForEvent(quit, 0) != platform::kWaitObject0) {
      if (platform::WaitForEvent(stop_, 0) == platform::kWaitObject0) DropRun();
      if (pendingRequest_ && queue_.size() < kQueueLimit) HandleRequest();
      if (pictureWanted_ && !queue_.empty()) Deliver();
      if (pictureWanted_ && queue_.empty() && ended_) {
        queue_.push_back({-2, 0});
        Deliver();
      }
      // While a request waits for room in the queue, only picture requests are taken.
      if (pendingRequest_) {
        if (platform::WaitForEvent(requested_, kSliceMs) == platform::kWaitObject0) {
          pictureWanted_ = true;
        }
        continue;
      }
      const int woken = platform::WaitForEither(exec_, requested_, kSliceMs);
      if (woken == platform::kWaitObject0) pendingRequest_ = true;
      if (woken == platform::kWaitObject1) pictureWanted_ = true;
    }
  }

 private:
  int32_t Word(uint32_t offset) const {
    int32_t value;
    std::memcpy(&value, view_ + offset, sizeof value);
    return value;
  }
  void SetWord(uint32_t offset, int32_t value) { std::memcpy(view_ + offset, &value, 4); }

  void DropRun() {
    queue_.clear();
    gop_.clear();
    pictureWanted_ = false;
    pendingRequest_ = false;
    ended_ = false;
    gopsInRun_ = 0;
    platform::ResetEvent(stop_);
  }

  void HandleRequest() {
    pendingRequest_ = false;
    const int32_t command = Word(server::kRequestOffset);
    if (command == server::REQUEST_INIT) {
      deinterlace_ = Word(server::kOperand1Offset);
    } else if (command == server::REQUEST_DATA) {
      const int32_t length = Word(server::kOperand1Offset);
      if (length >= 4 && static_cast<uint32_t>(length) <= server::kUnitAreaSize) {
        Unit(view_ + server::kUnitOffset, length);
      }
    } else if (command == server::REQUEST_END) {
      FlushGop();
      ended_ = true;
    }
    platform::SetEvent(done_);
  }

  void Unit(const unsigned char* unit, int32_t length) {
    ended_ = false;
    const unsigned char code = unit[3];
    if (code == 0xB3) {
      FlushGop();
      width_ = (unit[4] << 4) | (unit[5] >> 4);
      height_ = ((unit[5] & 0x0F) << 8) | unit[6];
    } else if (code == 0x00 && length >= 6) {
      Picture p;
      p.temporalReference = (unit[4] << 2) | (unit[5] >> 6);
      p.type = (unit[5] >> 3) & 7;
      gop_.push_back(p);
    } else if (code == 0xB2 && !gop_.empty() && length > 5 && unit[4] == 'F') {
      gop_.back().number = std::atoi(
          std::string(reinterpret_cast<const char*>(unit + 5), static_cast<size_t>(length - 5))
              .c_str());
    }
  }

  // A GOP is complete when the next one starts or the data ends: its pictures go out in display
  // order. In the run's first GOP, B pictures displayed before the I picture lack their
  // reference in the previous GOP.
  void FlushGop() {
    if (gop_.empty()) return;
    int iReference = 0;
    for (const Picture& p : gop_) {
      if (p.type == synthetic::kTypeI) iReference = p.temporalReference;
    }
    std::sort(gop_.begin(), gop_.end(), [](const Picture& a, const Picture& b) {
      return a.temporalReference < b.temporalReference;
    });
    for (const Picture& p : gop_) {
      const bool undecodable = gopsInRun_ == 0 && p.temporalReference < iReference;
      const int number = undecodable ? -1 : p.number;
      queue_.push_back({number, 0});
      if (deinterlace_ == 2) queue_.push_back({number, 1});
    }
    gop_.clear();
    ++gopsInRun_;
  }

  void Deliver() {
    const Output out = queue_.front();
    queue_.pop_front();
    pictureWanted_ = false;
    const int width = std::max(2, width_);
    const int height = std::max(2, height_);
    const int pitch = synthetic::PitchFor(width);
    SetWord(server::kPicHeightOffset, height);
    SetWord(server::kPicWidthOffset, width);
    SetWord(server::kPicPitchOffset, pitch);
    unsigned char* area = view_ + server::kPictureAreaOffset;
    for (int y = 0; y < height; ++y) {
      unsigned char* row = area + static_cast<size_t>(y) * pitch;
      for (int x = 0; x < width; ++x) {
        row[x] = out.number >= 0    ? synthetic::LumaAt(out.number, out.field, x, y)
                 : out.number == -1 ? synthetic::kUndecodableLuma
                                    : synthetic::kFillerLuma;
      }
    }
    unsigned char* chroma = area + static_cast<size_t>(pitch) * height;
    for (int y = 0; y < height / 2; ++y) {
      unsigned char* row = chroma + static_cast<size_t>(y) * pitch;
      for (int x = 0; x < width / 2; ++x) {
        row[2 * x] = out.number >= 0 ? synthetic::UAt(out.number, out.field, x, y) : 128;
        row[2 * x + 1] = out.number >= 0 ? synthetic::VAt(out.number, out.field, x, y) : 128;
      }
    }
    platform::SetEvent(available_);
  }

  platform::Handle section_ = nullptr;
  unsigned char* view_ = nullptr;
  platform::Handle exec_ = nullptr, done_ = nullptr, stop_ = nullptr, requested_ = nullptr,
                   available_ = nullptr;
  int deinterlace_ = 0;
  int width_ = 0, height_ = 0;
  std::vector<Picture> gop_;
  std::deque<Output> queue_;
  int gopsInRun_ = 0;
  bool pendingRequest_ = false;
  bool pictureWanted_ = false;
  bool ended_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Server server;
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "win32_test_server: %s\n", error.c_str());
    return 1;
  }
  platform::Handle quit = nullptr;
  if (argc > 1) {
    platform::Handle ready = platform::CreateEvent(argv[1], true);
    quit = platform::CreateEvent((std::string(argv[1]) + ".quit").c_str(), true);
    platform::SetEvent(ready);
  }
  server.Run(quit);
  return 0;
}
