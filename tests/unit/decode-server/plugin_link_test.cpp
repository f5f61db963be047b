// The server driven by the plugin's own link code (server-link/link.h): connect, start handshake,
// units from a feeding thread, pictures on the test's thread, stops between runs.
#if defined(MPGSOURCE_HAVE_LINK)

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "decode-server/decode_server.h"
#include "platform/event.h"
#include "platform/section.h"
#include "server-link/client_slots.h"
#include "server-link/link.h"
#include "server-link/picture_pool.h"
#include "server-link/section_layout.h"
#include "tests/unit/decode-server/media_helpers.h"
#include "tests/unit/decode-server/test_client.h"
#include "tests/unit/platform/ipc_test_support.h"

namespace decode_server {
namespace {

using decode_server_test::FfmpegFrameMd5;
using decode_server_test::Md5OfNv12;
using decode_server_test::TestStream;
using decode_server_test::Unit;

std::string TakeMd5(server::Link& link) {
  if (link.TakePicture() != server::kAnswered) return "no answer";
  const unsigned char* view = link.View();
  int32_t height, width, pitch;
  std::memcpy(&height, view + server::kPicHeightOffset, 4);
  std::memcpy(&width, view + server::kPicWidthOffset, 4);
  std::memcpy(&pitch, view + server::kPicPitchOffset, 4);
  // The link agrees with our server on pictures in place: most pictures are named in its pool.
  int32_t flags;
  std::memcpy(&flags, view + server::kPicFlagsOffset, 4);
  server::PictureRef where;
  if (const unsigned char* pool = link.PoolView()) {
    if ((flags & server::kPictureFlagInPool) && server::GetPictureRef(view, &where)) {
      return decode_server_test::Md5OfPlanes(pool + where.y, pool + where.u, pool + where.v, width,
                                             height, where.lumaPitch, where.chromaPitch);
    }
  }
  return Md5OfNv12(view + server::kPictureAreaOffset, width, height, pitch);
}

TEST(PluginLink, RestartsAndRunsThroughTheLinkMatchFfmpeg) {
  decode_server_test::UseFreshNamespace("link");
  server::Link link;
  ASSERT_EQ(link.Connect(), server::kServerNotRunning);

  DecodeServer decodeServer(ServerOptions{});
  std::string error;
  ASSERT_TRUE(decodeServer.Start(&error)) << error;
  ASSERT_EQ(link.Connect(), server::kConnected);
  unsigned char* request = link.View() + server::kRequestOffset;
  platform::Handle abort = platform::CreateEvent(nullptr, false);
  ASSERT_EQ(link.StartHandshake(request, 0, true, nullptr), server::kAnswered);

  const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  std::thread feeder;
  auto feed = [&](size_t gop) {
    feeder = std::thread([&, gop] {
      for (const Unit& unit : stream.UnitsFrom(gop)) {
        if (link.SendUnit(request, stream.bytes.data() + unit.offset,
                          static_cast<int32_t>(unit.size), abort) != server::kAnswered) {
          return;
        }
      }
      link.SendEnd(request, abort);
    });
  };
  auto restart = [&](size_t gop) {
    if (feeder.joinable()) {
      platform::SetEvent(abort);
      feeder.join();
      platform::ResetEvent(abort);
    }
    ASSERT_TRUE(link.StopDecoding());
    feed(gop);
  };

  // A restart in the middle of a run, then a run to the end and beyond it.
  for (size_t gop : {size_t{7}, size_t{2}}) {
    restart(gop);
    const int first = stream.gops[gop].firstPicture;
    const int leading = stream.LeadingBs(gop);
    const int count = gop == 7 ? 20 : stream.frames - first;
    for (int k = 0; k < count; ++k) {
      ASSERT_EQ(TakeMd5(link), reference[first + std::max(k, leading)])
          << "GOP " << gop << " " << k;
    }
  }
  EXPECT_EQ(TakeMd5(link), reference.back()) << "past the end: the last picture again";
  feeder.join();
  ASSERT_TRUE(link.StopDecoding());
  link.Disconnect();
  platform::CloseHandle(abort);
}

// A server with `slots` client slots in this process, made from the highest slot down as
// mpgsource-server makes them.
std::vector<std::unique_ptr<DecodeServer>> StartSlots(int slots) {
  std::vector<std::unique_ptr<DecodeServer>> servers(slots);
  for (int slot = slots - 1; slot >= 0; --slot) {
    ServerOptions options;
    options.slot = slot;
    servers[slot] = std::make_unique<DecodeServer>(options);
    std::string error;
    EXPECT_TRUE(servers[slot]->Start(&error)) << error;
  }
  return servers;
}

// A handle on the section of `slot` with its claim; null when the claim is refused.
platform::Handle ClaimSlot(int slot) {
  bool existed = false;
  platform::Handle section = platform::CreateSection(
      server::SlotObjectName(server::kSectionName, slot).c_str(), server::kSectionSize, &existed);
  if (existed && platform::ClaimSection(section)) return section;
  platform::CloseHandle(section);
  return nullptr;
}

// Clients take the numbered slots first and slot 0 last; a client finding every slot claimed,
// by other clients or by the server for a host that does not claim, is told the server is busy.
TEST(PluginLink, EachClientClaimsASlotOfItsOwnAndABusyServerIsReported) {
  decode_server_test::UseFreshNamespace("slots");
  auto servers = StartSlots(2);
  server::Link link;
  ASSERT_EQ(link.Connect(), server::kConnected);
  EXPECT_EQ(ClaimSlot(1), nullptr) << "the link holds slot 1";
  platform::Handle other = ClaimSlot(0);
  ASSERT_NE(other, nullptr) << "slot 0 is still free";
  link.Disconnect();

  ASSERT_EQ(link.Connect(), server::kConnected) << "slot 1 is free again";
  link.Disconnect();
  platform::Handle another = ClaimSlot(1);
  ASSERT_NE(another, nullptr);
  ASSERT_EQ(link.Connect(), server::kServerBusy);
  EXPECT_EQ(link.View(), nullptr);
  EXPECT_NE(
      std::string(link.ConnectMessage(server::kServerBusy)).find("MPGSource: CUVID Server is busy"),
      std::string::npos);

  // A host that knows only "NVSharedMem" and claims nothing keeps slot 0 once it has used it.
  platform::CloseHandle(other);
  {
    decode_server_test::TestClient plain;
    ASSERT_TRUE(plain.Connect());
    ASSERT_TRUE(plain.Init(0, true));
  }
  EXPECT_EQ(link.Connect(), server::kServerBusy);
  platform::CloseHandle(another);
  ASSERT_EQ(link.Connect(), server::kConnected);
  link.Disconnect();
}

// Another process's REQUEST_INIT in a slot this client holds: the client's requests fail at once
// with a clear message and leave the slot alone, and the newcomer is served exactly.
TEST(PluginLink, ClientWhoseSlotIsTakenOverFailsClearlyAndTheNewcomerIsServed) {
  decode_server_test::UseFreshNamespace("takeover");
  auto servers = StartSlots(1);
  server::Link link;
  ASSERT_EQ(link.Connect(), server::kConnected);
  unsigned char* request = link.View() + server::kRequestOffset;
  ASSERT_EQ(link.StartHandshake(request, 0, true, nullptr), server::kAnswered);
  const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  ASSERT_TRUE(link.StopDecoding());
  platform::Handle abort = platform::CreateEvent(nullptr, false);
  std::atomic<int> feederResult{-1};
  std::thread feeder([&] {
    for (const Unit& unit : stream.UnitsFrom(0)) {
      const server::WaitResult result = link.SendUnit(request, stream.bytes.data() + unit.offset,
                                                      static_cast<int32_t>(unit.size), abort);
      if (result != server::kAnswered) {
        feederResult = result;
        return;
      }
    }
    feederResult = link.SendEnd(request, abort);
  });
  for (int k = 0; k < 5; ++k) ASSERT_EQ(TakeMd5(link), reference[k]);

  // The newcomer sets up while the feeder still waits for answers (the server's queues are full):
  // its "NVDone" must reach it even when the old client's feeder wakes for it.
  decode_server_test::TestClient newcomer;
  ASSERT_TRUE(newcomer.Connect());
  ASSERT_TRUE(newcomer.Init(0, true));
  EXPECT_EQ(link.TakePicture(), server::kTakenOver);
  EXPECT_TRUE(link.ServerGone());
  EXPECT_STREQ(link.BrokenLinkMessage(), server::kTakenOverMessage);
  feeder.join();
  EXPECT_EQ(feederResult.load(), server::kTakenOver);
  EXPECT_FALSE(link.StopDecoding()) << "a stop would end the newcomer's run";
  EXPECT_EQ(link.SendEnd(request, abort), server::kTakenOver);

  ASSERT_TRUE(newcomer.Stop());
  newcomer.StartFeeding(&stream.bytes, stream.UnitsFrom(3));
  const int first = stream.gops[3].firstPicture;
  const int leading = stream.LeadingBs(3);
  for (int k = 0; first + k < stream.frames; ++k) {
    const decode_server_test::TakenPicture picture = newcomer.Take();
    ASSERT_TRUE(picture.ok) << k;
    ASSERT_EQ(picture.md5, reference[first + std::max(k, leading)]) << k;
  }
  newcomer.JoinFeeding();
  EXPECT_TRUE(newcomer.endAnswered());
  link.Disconnect();
  platform::CloseHandle(abort);
}

// Another user stands in for the server: objects under our server's names, open to everyone, with
// the owner's lock held. The plugin's link refuses them with a message naming the object, and our
// server, started after them, takes the names with objects of its own and serves.
TEST(PluginLink, AnotherUsersStandInIsRefusedAndKeepsNoServerOut) {
  if (!platform_test::CanBecomeAnotherUser()) {
    GTEST_SKIP() << "only a test run as root can act as another user";
  }
  const std::string space = decode_server_test::UseFreshNamespace("standin");
  const std::string prefix = "/dev/shm/mpgsource.u" + std::to_string(geteuid()) + "." + space + ".";
  std::vector<std::string> files = {prefix + server::kSectionName};
  for (const char* event : {server::kExecEventName, server::kDoneEventName, server::kStopEventName,
                            server::kRequestedEventName, server::kAvailableEventName}) {
    files.push_back(prefix + "event." + event);
  }
  platform_test::PlantedObjects planted(files, server::kSectionSize, true);
  ASSERT_TRUE(planted.ok());
  server::Link link;
  ASSERT_EQ(link.Connect(), server::kRefusedObject);
  EXPECT_EQ(link.View(), nullptr);
  const std::string message = link.ConnectMessage(server::kRefusedObject);
  EXPECT_EQ(message.rfind("MPGSource: ", 0), 0u) << message;
  EXPECT_NE(message.find("\"" + files[0].substr(8) + "\" belongs to user 65534"), std::string::npos)
      << message;

  DecodeServer decodeServer(ServerOptions{});
  std::string error;
  ASSERT_TRUE(decodeServer.Start(&error)) << error;
  for (size_t i = 0; i < files.size(); ++i) {
    struct stat info;
    ASSERT_EQ(stat(files[i].c_str(), &info), 0) << files[i];
    EXPECT_NE(info.st_ino, planted.inode(i)) << files[i] << " was adopted";
    EXPECT_EQ(info.st_uid, geteuid()) << files[i];
    EXPECT_EQ(info.st_mode & 0777, 0600u) << files[i];
  }
  ASSERT_EQ(link.Connect(), server::kConnected);
  unsigned char* request = link.View() + server::kRequestOffset;
  EXPECT_EQ(link.StartHandshake(request, 0, true, nullptr), server::kAnswered);
  link.Disconnect();
}

}  // namespace
}  // namespace decode_server

#endif  // MPGSOURCE_HAVE_LINK
