// The link to the decoding server against a scripted server in another process.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/event.h"
#include "platform/thread.h"
#include "server-link/link.h"
#include "server-link/section_layout.h"
#include "tests/unit/server-link/scripted_server.h"

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

int32_t Word(const server::Link& link, uint32_t offset) {
  int32_t v;
  std::memcpy(&v, link.View() + offset, sizeof v);
  return v;
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace_ = scripted::UseFreshNamespace();
    ASSERT_FALSE(dir_.path().empty());
  }
  void TearDown() override {
    link_.Disconnect();
    server_.Stop(SIGTERM);
    scripted::RemoveNamespaceObjects(namespace_);
  }
  bool StartServer(const std::string& options = "") {
    return server_.Start(options, dir_.File("server" + std::to_string(starts_++) + ".log"));
  }
  unsigned char* Request() const { return link_.View() + server::kRequestOffset; }

  std::string namespace_;
  int starts_ = 0;
  TempDir dir_;
  ServerProcess server_;
  server::Link link_;
};

TEST_F(LinkTest, NoServerFailsWithItsMessageAndLeavesNothingOpen) {
  const int before = OpenDescriptors();
  EXPECT_EQ(link_.Connect(), server::kServerNotRunning);
  EXPECT_EQ(link_.View(), nullptr);
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_STREQ(link_.ConnectMessage(server::kServerNotRunning),
               "MPGSource: CUVID Server not running!");
  // A failed attempt can be made again.
  EXPECT_EQ(link_.Connect(), server::kServerNotRunning);
}

TEST_F(LinkTest, ServerKilledBeforeConnectCountsAsNotRunning) {
  ASSERT_TRUE(StartServer());
  server_.Stop(SIGKILL);
  const int before = OpenDescriptors();
  EXPECT_EQ(link_.Connect(), server::kServerNotRunning);
  EXPECT_EQ(OpenDescriptors(), before);
}

// A plain server has one slot: a second link of the same process finds it claimed, and takes it
// once the first link has given it back.
TEST_F(LinkTest, SecondLinkOnAOneSlotServerIsBusyUntilTheFirstDisconnects) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(link_.Connect(), server::kConnected);
  ASSERT_NE(link_.View(), nullptr);
  EXPECT_NE(link_.ExecEvent(), nullptr);
  EXPECT_NE(link_.AvailableEvent(), nullptr);
  EXPECT_EQ(link_.Slot(), 0);
  server::Link second;
  EXPECT_EQ(second.Connect(), server::kServerBusy);
  EXPECT_EQ(second.View(), nullptr);
  EXPECT_NE(std::string(second.ConnectMessage(server::kServerBusy)).find("busy"),
            std::string::npos);

  link_.Disconnect();
  EXPECT_EQ(link_.View(), nullptr);
  EXPECT_EQ(link_.ExecEvent(), nullptr);
  ASSERT_EQ(second.Connect(), server::kConnected);
  EXPECT_EQ(second.StartHandshake(second.View() + server::kRequestOffset, 0, true, nullptr),
            server::kAnswered);
}

TEST_F(LinkTest, RequestsReachTheServerInTheSectionLayout) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(link_.Connect(), server::kConnected);
  EXPECT_EQ(link_.StartHandshake(Request(), 2, true, nullptr), server::kAnswered);
  EXPECT_EQ(link_.StartHandshake(Request(), 0, false, nullptr), server::kAnswered);

  const unsigned char unit[] = {0, 0, 1, 0xB8, 'G', '0', '0', '0', '0', '1', '2'};
  platform::Handle abort = platform::CreateEvent(nullptr, false);
  EXPECT_EQ(link_.SendUnit(Request(), unit, sizeof unit, abort), server::kAnswered);
  EXPECT_EQ(std::memcmp(link_.View() + server::kUnitOffset, unit, sizeof unit), 0);
  EXPECT_EQ(link_.SendEnd(Request(), abort), server::kAnswered);
  platform::CloseHandle(abort);

  std::vector<std::string> expected = {"READY", "INIT 2 1 3", "INIT 0 0 3", "DATA 11 B8 G000012",
                                       "END"};
  EXPECT_EQ(server_.Log(), expected);
}

TEST_F(LinkTest, PicturesArriveOnePerRequest) {
  ASSERT_TRUE(StartServer("w=64,h=48,pitch=96"));
  ASSERT_EQ(link_.Connect(), server::kConnected);
  ASSERT_EQ(link_.StartHandshake(Request(), 0, true, nullptr), server::kAnswered);
  const unsigned char gop[] = {0, 0, 1, 0xB8, 'G', '0', '0', '0', '0', '2', '4'};
  ASSERT_EQ(link_.SendUnit(Request(), gop, sizeof gop, nullptr), server::kAnswered);

  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(link_.TakePicture(), server::kAnswered);
    EXPECT_EQ(Word(link_, server::kPicHeightOffset), 48);
    EXPECT_EQ(Word(link_, server::kPicWidthOffset), 64);
    EXPECT_EQ(Word(link_, server::kPicPitchOffset), 96);
    const unsigned char* area = link_.View() + server::kPictureAreaOffset;
    EXPECT_EQ(area[5 * 96 + 7], scripted::LumaAt(24 + k, 0, 7, 5));
    EXPECT_EQ(area[96 * 48 + 2 * 96 + 6], scripted::UAt(24 + k, 0, 3, 2));
  }
  EXPECT_EQ(CountPrefix(server_.Log(), "PIC "), 3);
}

TEST_F(LinkTest, StopDecodingWaitsForTheServersReset) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(link_.Connect(), server::kConnected);
  EXPECT_TRUE(link_.StopDecoding());
  EXPECT_EQ(platform::WaitForEvent(link_.StopDecodingEvent(), 0), platform::kWaitTimeout);
  EXPECT_EQ(CountPrefix(server_.Log(), "STOP"), 1);
}

TEST_F(LinkTest, AbortEndsAUnitWaitAndWinsOverCompletion) {
  ASSERT_TRUE(StartServer("hold=1"));
  ASSERT_EQ(link_.Connect(), server::kConnected);
  platform::Handle abort = platform::CreateEvent(nullptr, false);
  const unsigned char unit[] = {0, 0, 1, 0xB3, 'S'};
  std::thread aborter([abort] {
    platform::Sleep(50);
    platform::SetEvent(abort);
  });
  EXPECT_EQ(link_.SendUnit(Request(), unit, sizeof unit, abort), server::kInterrupted);
  aborter.join();
  ASSERT_TRUE(server_.WaitForLine("HELD"));

  // With both set, the abort is taken and consumed; the completion stays for nobody, and the
  // next request clears it before its own wait.
  platform::SetEvent(abort);
  platform::SetEvent(link_.DoneEvent());
  EXPECT_EQ(platform::WaitForEither(abort, link_.DoneEvent(), 0), platform::kWaitObject0);
  EXPECT_EQ(link_.SendUnit(Request(), unit, sizeof unit, abort), server::kAnswered);
  EXPECT_EQ(CountPrefix(server_.Log(), "DATA "), 2);
  platform::CloseHandle(abort);
}

TEST_F(LinkTest, WaitsEndWhenTheServerDies) {
  ASSERT_TRUE(StartServer("nopics"));
  ASSERT_EQ(link_.Connect(), server::kConnected);
  std::thread killer([this] {
    ASSERT_TRUE(server_.WaitForLine("PICREQ"));
    server_.Stop(SIGKILL);
  });
  EXPECT_EQ(link_.TakePicture(), server::kServerGone);
  killer.join();
  EXPECT_TRUE(link_.ServerGone());
  // Every later wait ends at once, and the stop handshake does not spend its three seconds.
  EXPECT_EQ(link_.StartHandshake(Request(), 0, true, nullptr), server::kServerGone);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(link_.StopDecoding());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  // A new server and a new link start afresh.
  link_.Disconnect();
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(link_.Connect(), server::kConnected);
  EXPECT_FALSE(link_.ServerGone());
  EXPECT_EQ(link_.StartHandshake(Request(), 0, true, nullptr), server::kAnswered);
}

TEST_F(LinkTest, OversizedUnitIsNotWritten) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(link_.Connect(), server::kConnected);
  const unsigned char unit[4] = {0, 0, 1, 0};
  EXPECT_EQ(link_.SendUnit(Request(), unit, server::kUnitAreaSize + 1, nullptr),
            server::kInterrupted);
  EXPECT_EQ(link_.SendUnit(Request(), unit, -1, nullptr), server::kInterrupted);
  EXPECT_EQ(CountPrefix(server_.Log(), "DATA "), 0);
}

}  // namespace
