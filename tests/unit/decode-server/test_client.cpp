#include "tests/unit/decode-server/test_client.h"

#include <cstdlib>
#include <cstring>

#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/client_slots.h"
#include "server-link/picture_pool.h"
#include "server-link/section_layout.h"

namespace decode_server_test {

namespace {

void PutWord(uint8_t* view, uint32_t offset, int32_t value) {
  std::memcpy(view + offset, &value, sizeof value);
}

}  // namespace

std::string UseFreshNamespace(const char* test) {
  const std::string space = UniqueIpcNamespace(test);
  setenv("MPGSOURCE_IPC_NAMESPACE", space.c_str(), 1);
  return space;
}

TestClient::~TestClient() {
  Disconnect();
}

bool TestClient::Connect(int slot) {
  bool existed = false;
  const std::string name = server::SlotObjectName(server::kSectionName, slot);
  section_ = platform::CreateSection(name.c_str(), server::kSectionSize, &existed);
  if (!section_ || !existed) return false;
  view_ = static_cast<uint8_t*>(platform::MapSection(section_, server::kSectionSize));
  auto event = [slot](const char* base) {
    std::string error;
    return platform::OpenOwnedEvent(server::SlotObjectName(base, slot).c_str(), &error);
  };
  exec_ = event(server::kExecEventName);
  done_ = event(server::kDoneEventName);
  stop_ = event(server::kStopEventName);
  requested_ = event(server::kRequestedEventName);
  available_ = event(server::kAvailableEventName);
  abort_ = platform::CreateEvent(nullptr, false);
  return view_ && exec_ && done_ && stop_ && requested_ && available_ && abort_;
}

void TestClient::Disconnect() {
  AbortFeeding();
  if (view_) platform::UnmapSection(view_, server::kSectionSize);
  view_ = nullptr;
  for (platform::Handle* handle :
       {&exec_, &done_, &stop_, &requested_, &available_, &abort_, &section_}) {
    platform::CloseHandle(*handle);
    *handle = nullptr;
  }
}

bool TestClient::Init(int deinterlace, bool useTopField, bool offerPool) {
  if (offerPool) server::kPoolRecord.Offer(view_);
  PutWord(view_, server::kRequestOffset, server::REQUEST_INIT);
  PutWord(view_, server::kOperand1Offset, deinterlace);
  PutWord(view_, server::kOperand2Offset, useTopField ? 1 : 0);
  PutWord(view_, server::kOperand3Offset, server::kInitOperand3);
  platform::ResetEvent(done_);
  platform::SetEvent(exec_);
  return platform::WaitForEvent(done_, kTestTimeoutMs) == platform::kWaitObject0;
}

void TestClient::StartFeeding(const std::vector<uint8_t>* stream, std::vector<Unit> units) {
  AbortFeeding();
  unitsAnswered_ = 0;
  endAnswered_ = false;
  platform::ResetEvent(abort_);
  feeder_ = std::thread([this, stream, units] { Feed(stream, units); });
}

void TestClient::JoinFeeding() {
  if (feeder_.joinable()) feeder_.join();
}

void TestClient::AbortFeeding() {
  if (!feeder_.joinable()) return;
  platform::SetEvent(abort_);
  feeder_.join();
  platform::ResetEvent(abort_);
}

bool TestClient::WaitDone() {
  return platform::WaitForEither(abort_, done_, kTestTimeoutMs) == platform::kWaitObject1;
}

void TestClient::Feed(const std::vector<uint8_t>* stream, std::vector<Unit> units) {
  for (const Unit& unit : units) {
    PutWord(view_, server::kRequestOffset, server::REQUEST_DATA);
    PutWord(view_, server::kOperand1Offset, static_cast<int32_t>(unit.size));
    std::memcpy(view_ + server::kUnitOffset, stream->data() + unit.offset, unit.size);
    platform::ResetEvent(done_);
    platform::SetEvent(exec_);
    if (!WaitDone()) return;
    ++unitsAnswered_;
  }
  PutWord(view_, server::kRequestOffset, server::REQUEST_END);
  platform::ResetEvent(done_);
  platform::SetEvent(exec_);
  if (WaitDone()) endAnswered_ = true;
}

TakenPicture TestClient::Take(uint32_t timeoutMs) {
  TakenPicture picture;
  platform::SetEvent(requested_);
  if (platform::WaitForEvent(available_, timeoutMs) != platform::kWaitObject0) return picture;
  picture.ok = true;
  std::memcpy(picture.words, view_ + server::kPictureHeaderOffset, sizeof picture.words);
  if (picture.picWidth() > 0 && picture.picHeight() > 0 && picture.picPitch() > 0) {
    picture.md5 = Md5OfNv12(view_ + server::kPictureAreaOffset, picture.picWidth(),
                            picture.picHeight(), picture.picPitch());
  }
  return picture;
}

bool TestClient::Stop() {
  platform::SetEvent(stop_);
  for (int poll = 0; poll < 301; ++poll) {
    if (platform::WaitForEvent(stop_, 0) != platform::kWaitObject0) return true;
    platform::Sleep(10);
  }
  return platform::WaitForEvent(stop_, 0) != platform::kWaitObject0;
}

}  // namespace decode_server_test
