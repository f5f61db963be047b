// The server driven by the plugin's own link code (server/link.h): connect, start handshake, units
// from a feeding thread, pictures on the test's thread, stops between runs.
#if defined(MPGSOURCE_HAVE_LINK)

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "server/link.h"
#include "server/section_layout.h"
#include "tests/unit/tools/decode-server/media_helpers.h"
#include "tests/unit/tools/decode-server/test_client.h"
#include "tools/decode-server/decode_server.h"

namespace decode_server {
namespace {

using decode_server_test::FfmpegFrameMd5;
using decode_server_test::Md5OfNv12;
using decode_server_test::TestStream;
using decode_server_test::Unit;

std::string TakeMd5() {
  if (server::TakePicture() != server::kAnswered) return "no answer";
  const unsigned char* view = server::sharedView;
  int32_t height, width, pitch;
  std::memcpy(&height, view + server::kPicHeightOffset, 4);
  std::memcpy(&width, view + server::kPicWidthOffset, 4);
  std::memcpy(&pitch, view + server::kPicPitchOffset, 4);
  return Md5OfNv12(view + server::kPictureAreaOffset, width, height, pitch);
}

TEST(PluginLink, RestartsAndRunsThroughTheLinkMatchFfmpeg) {
  decode_server_test::UseFreshNamespace("link");
  platform::Handle mapping = nullptr;
  ASSERT_EQ(server::Connect(&mapping), server::kServerNotRunning);

  DecodeServer decodeServer(ServerOptions{});
  std::string error;
  ASSERT_TRUE(decodeServer.Start(&error)) << error;
  ASSERT_EQ(server::Connect(&mapping), server::kConnected);
  unsigned char* request = server::sharedView + server::kRequestOffset;
  platform::Handle abort = platform::CreateEvent(nullptr, false);
  ASSERT_EQ(server::StartHandshake(request, 0, true, nullptr), server::kAnswered);

  const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  std::thread feeder;
  auto feed = [&](size_t gop) {
    feeder = std::thread([&, gop] {
      for (const Unit& unit : stream.UnitsFrom(gop)) {
        if (server::SendUnit(request, stream.bytes.data() + unit.offset,
                             static_cast<int32_t>(unit.size), abort) != server::kAnswered) {
          return;
        }
      }
      server::SendEnd(request, abort);
    });
  };
  auto restart = [&](size_t gop) {
    if (feeder.joinable()) {
      platform::SetEvent(abort);
      feeder.join();
      platform::ResetEvent(abort);
    }
    ASSERT_TRUE(server::StopDecoding());
    feed(gop);
  };

  // A restart in the middle of a run, then a run to the end and beyond it.
  for (size_t gop : {size_t{7}, size_t{2}}) {
    restart(gop);
    const int first = stream.gops[gop].firstPicture;
    const int leading = stream.LeadingBs(gop);
    const int count = gop == 7 ? 20 : stream.frames - first;
    for (int k = 0; k < count; ++k) {
      ASSERT_EQ(TakeMd5(), reference[first + std::max(k, leading)]) << "GOP " << gop << " " << k;
    }
  }
  EXPECT_EQ(TakeMd5(), reference.back()) << "past the end: the last picture again";
  feeder.join();
  ASSERT_TRUE(server::StopDecoding());
  server::Disconnect(mapping);
  platform::CloseHandle(abort);
}

}  // namespace
}  // namespace decode_server

#endif  // MPGSOURCE_HAVE_LINK
