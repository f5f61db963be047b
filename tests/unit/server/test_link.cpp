// The link to the decoding server against a scripted server in another process.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/event.h"
#include "platform/thread.h"
#include "server/link.h"
#include "server/section_layout.h"
#include "tests/unit/server/scripted_server.h"

namespace {

using scripted::CountPrefix;
using scripted::ServerProcess;
using scripted::TempDir;

int OpenDescriptors() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

int32_t Word(uint32_t offset) {
  int32_t v;
  std::memcpy(&v, server::sharedView + offset, sizeof v);
  return v;
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace_ = scripted::UseFreshNamespace();
    ASSERT_FALSE(dir_.path().empty());
  }
  void TearDown() override {
    if (mapping_) server::Disconnect(mapping_);
    server_.Stop(SIGTERM);
    scripted::RemoveNamespaceObjects(namespace_);
  }
  bool StartServer(const std::string& options = "") {
    return server_.Start(options, dir_.File("server" + std::to_string(starts_++) + ".log"));
  }
  unsigned char* Request() const { return server::sharedView + server::kRequestOffset; }

  std::string namespace_;
  int starts_ = 0;
  TempDir dir_;
  ServerProcess server_;
  platform::Handle mapping_ = nullptr;
};

TEST_F(LinkTest, NoServerFailsWithItsMessageAndLeavesNothingOpen) {
  const int before = OpenDescriptors();
  EXPECT_EQ(server::Connect(&mapping_), server::kServerNotRunning);
  EXPECT_EQ(mapping_, nullptr);
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_STREQ(server::ConnectMessage(server::kServerNotRunning),
               "MPGSource: CUVID Server not running!");
  EXPECT_EQ(server::sharedView, nullptr);
  // The failed attempt gave the link back.
  EXPECT_EQ(server::Connect(&mapping_), server::kServerNotRunning);
}

TEST_F(LinkTest, ServerKilledBeforeConnectCountsAsNotRunning) {
  ASSERT_TRUE(StartServer());
  server_.Stop(SIGKILL);
  const int before = OpenDescriptors();
  EXPECT_EQ(server::Connect(&mapping_), server::kServerNotRunning);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(LinkTest, OneLinkPerProcessUntilDisconnected) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
  ASSERT_NE(server::sharedView, nullptr);
  EXPECT_NE(server::execEvent, nullptr);
  EXPECT_NE(server::availableEvent, nullptr);
  platform::Handle second = nullptr;
  EXPECT_EQ(server::Connect(&second), server::kLinkInUse);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(std::string(server::ConnectMessage(server::kLinkInUse)).find("MPGSource: "),
            std::string::npos);

  server::Disconnect(mapping_);
  mapping_ = nullptr;
  EXPECT_EQ(server::sharedView, nullptr);
  EXPECT_EQ(server::execEvent, nullptr);
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
}

TEST_F(LinkTest, RequestsReachTheServerInTheSectionLayout) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
  EXPECT_EQ(server::StartHandshake(Request(), 2, true, nullptr), server::kAnswered);
  EXPECT_EQ(server::StartHandshake(Request(), 0, false, nullptr), server::kAnswered);

  const unsigned char unit[] = {0, 0, 1, 0xB8, 'G', '0', '0', '0', '0', '1', '2'};
  platform::Handle abort = platform::CreateEvent(nullptr, false);
  EXPECT_EQ(server::SendUnit(Request(), unit, sizeof unit, abort), server::kAnswered);
  EXPECT_EQ(std::memcmp(server::sharedView + server::kUnitOffset, unit, sizeof unit), 0);
  EXPECT_EQ(server::SendEnd(Request(), abort), server::kAnswered);
  platform::CloseHandle(abort);

  std::vector<std::string> expected = {"READY", "INIT 2 1 3", "INIT 0 0 3", "DATA 11 B8 G000012",
                                       "END"};
  EXPECT_EQ(server_.Log(), expected);
}

TEST_F(LinkTest, PicturesArriveOnePerRequest) {
  ASSERT_TRUE(StartServer("w=64,h=48,pitch=96"));
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
  ASSERT_EQ(server::StartHandshake(Request(), 0, true, nullptr), server::kAnswered);
  const unsigned char gop[] = {0, 0, 1, 0xB8, 'G', '0', '0', '0', '0', '2', '4'};
  ASSERT_EQ(server::SendUnit(Request(), gop, sizeof gop, nullptr), server::kAnswered);

  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(server::TakePicture(), server::kAnswered);
    EXPECT_EQ(Word(server::kPicHeightOffset), 48);
    EXPECT_EQ(Word(server::kPicWidthOffset), 64);
    EXPECT_EQ(Word(server::kPicPitchOffset), 96);
    const unsigned char* area = server::sharedView + server::kPictureAreaOffset;
    EXPECT_EQ(area[5 * 96 + 7], scripted::LumaAt(24 + k, 0, 7, 5));
    EXPECT_EQ(area[96 * 48 + 2 * 96 + 6], scripted::UAt(24 + k, 0, 3, 2));
  }
  EXPECT_EQ(CountPrefix(server_.Log(), "PIC "), 3);
}

TEST_F(LinkTest, StopDecodingWaitsForTheServersReset) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
  EXPECT_TRUE(server::StopDecoding());
  EXPECT_EQ(platform::WaitForEvent(server::stopDecodingEvent, 0), platform::kWaitTimeout);
  EXPECT_EQ(CountPrefix(server_.Log(), "STOP"), 1);
}

TEST_F(LinkTest, AbortEndsAUnitWaitAndWinsOverCompletion) {
  ASSERT_TRUE(StartServer("hold=1"));
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
  platform::Handle abort = platform::CreateEvent(nullptr, false);
  const unsigned char unit[] = {0, 0, 1, 0xB3, 'S'};
  std::thread aborter([abort] {
    platform::Sleep(50);
    platform::SetEvent(abort);
  });
  EXPECT_EQ(server::SendUnit(Request(), unit, sizeof unit, abort), server::kInterrupted);
  aborter.join();
  ASSERT_TRUE(server_.WaitForLine("HELD"));

  // With both set, the abort is taken and consumed; the completion stays for nobody, and the
  // next request clears it before its own wait.
  platform::SetEvent(abort);
  platform::SetEvent(server::doneEvent);
  EXPECT_EQ(platform::WaitForEither(abort, server::doneEvent, 0), platform::kWaitObject0);
  EXPECT_EQ(server::SendUnit(Request(), unit, sizeof unit, abort), server::kAnswered);
  EXPECT_EQ(CountPrefix(server_.Log(), "DATA "), 2);
  platform::CloseHandle(abort);
}

TEST_F(LinkTest, WaitsEndWhenTheServerDies) {
  ASSERT_TRUE(StartServer("nopics"));
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
  std::thread killer([this] {
    ASSERT_TRUE(server_.WaitForLine("PICREQ"));
    server_.Stop(SIGKILL);
  });
  EXPECT_EQ(server::TakePicture(), server::kServerGone);
  killer.join();
  EXPECT_TRUE(server::ServerGone());
  // Every later wait ends at once, and the stop handshake does not spend its three seconds.
  EXPECT_EQ(server::StartHandshake(Request(), 0, true, nullptr), server::kServerGone);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server::StopDecoding());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  // A new server and a new link start afresh.
  server::Disconnect(mapping_);
  mapping_ = nullptr;
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
  EXPECT_FALSE(server::ServerGone());
  EXPECT_EQ(server::StartHandshake(Request(), 0, true, nullptr), server::kAnswered);
}

TEST_F(LinkTest, OversizedUnitIsNotWritten) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(server::Connect(&mapping_), server::kConnected);
  const unsigned char unit[4] = {0, 0, 1, 0};
  EXPECT_EQ(server::SendUnit(Request(), unit, server::kUnitAreaSize + 1, nullptr),
            server::kInterrupted);
  EXPECT_EQ(server::SendUnit(Request(), unit, -1, nullptr), server::kInterrupted);
  EXPECT_EQ(CountPrefix(server_.Log(), "DATA "), 0);
}

}  // namespace
