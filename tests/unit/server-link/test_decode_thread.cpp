// The decode thread and AVCDecode with a loaded decoder, feeding a scripted server process.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "reader/avc_decoder.h"
#include "server-link/link.h"
#include "server-link/section_layout.h"
#include "tests/unit/server-link/scripted_server.h"

namespace {

using scripted::CountPrefix;

class DecodeThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace_ = scripted::UseFreshNamespace();
    ASSERT_FALSE(dir_.path().empty());
  }

  void TearDown() override {
    if (decoder_) {
      if (decoder_->decodeThread) {
        platform::SetEvent(decoder_->abortEvent);
        platform::SetEvent(decoder_->quitEvent);
        EXPECT_EQ(platform::WaitForThread(decoder_->decodeThread, 10000), platform::kWaitObject0);
      }
      decoder_->Close();
      decoder_.reset();
    }
    link_.Disconnect();
    server_.Stop(SIGTERM);
    scripted::RemoveNamespaceObjects(namespace_);
  }

  // Writes the media, starts the server, connects and loads the project.
  void Prepare(const scripted::MediaSpec& wanted, int deinterlace,
               const std::string& options = "") {
    media_ = scripted::WriteMedia(dir_.path(), wanted);
    ASSERT_TRUE(server_.Start(options, dir_.File("server.log")));
    ASSERT_EQ(link_.Connect(), server::kConnected);
    decoder_.reset(new CAVCDecoder);
    decoder_->link = &link_;
    decoder_->deinterlace = deinterlace;
    decoder_->use_top_field = 1;
    ASSERT_EQ(decoder_->Open(media_.project.c_str()), kLoadOk);
    ASSERT_EQ(decoder_->pictureCount, media_.pictureCount);
  }

  // Runs AVCDecode on this thread for `target`; returns the units the server received.
  std::vector<std::string> RunDirectly(int target) {
    if (!decoder_->startedEvent) {
      decoder_->startedEvent = platform::CreateEvent(nullptr, false);
      decoder_->abortEvent = platform::CreateEvent(nullptr, false);
      decoder_->serverRequest = link_.View() + server::kRequestOffset;
    }
    const size_t mark = server_.Log().size();
    decoder_->targetPicture = target;
    decoder_->AVCDecode();
    EXPECT_EQ(platform::WaitForEvent(decoder_->startedEvent, 0), platform::kWaitObject0);
    return server_.LogSince(mark);
  }

  // The log lines of a run that starts at GOP `gop` and feeds the stream to its end.
  std::vector<std::string> RunFrom(size_t gop) const {
    std::vector<std::string> lines;
    size_t first = 0;
    for (size_t g = 0; g < gop; ++g) first += 2 + spec_.gops[g].size();
    for (size_t i = first; i < media_.units.size(); ++i) lines.push_back("DATA " + media_.units[i]);
    lines.push_back("END");
    return lines;
  }

  std::string namespace_;
  scripted::TempDir dir_;
  scripted::ServerProcess server_;
  scripted::MediaSpec spec_;
  scripted::Media media_;
  server::Link link_;
  std::unique_ptr<CAVCDecoder> decoder_;
};

// Five open GOPs of twelve pictures (I B B P ...): pictures 12 and 13 are leading positions.
TEST_F(DecodeThreadTest, ChoosesTheGopAndCountsThePicturesUpToTheTarget) {
  Prepare(spec_, 0);
  struct Case {
    int target;
    size_t gop;
    int decodeCount;
  };
  const Case cases[] = {
      {18, 1, 7},    // middle of the second GOP: no step back
      {12, 0, 13},   // a leading position needs the previous GOP
      {13, 0, 14},   // so does the second one
      {14, 1, 3},    // the first picture after them does not
      {5, 0, 6},     // the first GOP never steps back
      {0, 0, 1},     // its leading positions neither
      {59, 4, 12},   // the last picture
      {500, 4, 12},  // beyond the table: held to the last picture
      {-3, 0, 1},    // below it: held to the first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("target " + std::to_string(c.target));
    EXPECT_EQ(RunDirectly(c.target), RunFrom(c.gop));
    EXPECT_EQ(decoder_->decodeCount, c.decodeCount);
  }
}

TEST_F(DecodeThreadTest, DeinterlacingStepsBackOneGop) {
  Prepare(spec_, 1);
  EXPECT_EQ(RunDirectly(18), RunFrom(0));
  EXPECT_EQ(decoder_->decodeCount, 19);
  EXPECT_EQ(RunDirectly(40), RunFrom(2));
  EXPECT_EQ(decoder_->decodeCount, 17);
  EXPECT_EQ(RunDirectly(3), RunFrom(0));
  EXPECT_EQ(decoder_->decodeCount, 4);
}

TEST_F(DecodeThreadTest, GopWithoutPicturesIsNeverChosen) {
  spec_.gops = {"IPPP", "", "IPPP"};
  Prepare(spec_, 0);
  EXPECT_EQ(RunDirectly(4), RunFrom(2));
  EXPECT_EQ(decoder_->decodeCount, 1);
  EXPECT_EQ(RunDirectly(3), RunFrom(0));
  EXPECT_EQ(decoder_->decodeCount, 4);
}

TEST_F(DecodeThreadTest, ThreadHandshakesThenServesRequestsUntilQuit) {
  Prepare(spec_, 2, "");
  decoder_->use_top_field = 0;
  decoder_->StartThreadFunc();
  ASSERT_NE(decoder_->decodeThread, nullptr);
  ASSERT_EQ(platform::WaitForEvent(decoder_->readyEvent, 10000), platform::kWaitObject0);
  EXPECT_EQ(decoder_->serverRequest, link_.View() + server::kRequestOffset);
  // readyEvent stays set.
  EXPECT_EQ(platform::WaitForEvent(decoder_->readyEvent, 0), platform::kWaitObject0);
  EXPECT_EQ(server_.Log()[1], "INIT 2 0 3");

  decoder_->targetPicture = 30;
  platform::SetEvent(decoder_->requestEvent);
  ASSERT_EQ(platform::WaitForEvent(decoder_->startedEvent, 10000), platform::kWaitObject0);
  EXPECT_EQ(decoder_->decodeCount, 19);  // from the second GOP, deinterlacing steps back
  ASSERT_TRUE(server_.WaitForLine("END"));
  // requestEvent is the busy flag: the thread clears it when the run has ended.
  for (int i = 0; i < 10000 && platform::WaitForEvent(decoder_->requestEvent, 0) == 0; ++i) {
    platform::Sleep(1);
  }
  EXPECT_EQ(platform::WaitForEvent(decoder_->requestEvent, 0), platform::kWaitTimeout);
  EXPECT_EQ(server_.LogSince(2), RunFrom(1));

  platform::SetEvent(decoder_->quitEvent);
  EXPECT_EQ(platform::WaitForThread(decoder_->decodeThread, 10000), platform::kWaitObject0);
}

TEST_F(DecodeThreadTest, AbortDuringAUnitWaitSendsNoEnd) {
  Prepare(spec_, 0, "hold=3");
  decoder_->StartThreadFunc();
  ASSERT_EQ(platform::WaitForEvent(decoder_->readyEvent, 10000), platform::kWaitObject0);
  decoder_->targetPicture = 0;
  platform::SetEvent(decoder_->requestEvent);
  ASSERT_EQ(platform::WaitForEvent(decoder_->startedEvent, 10000), platform::kWaitObject0);
  ASSERT_TRUE(server_.WaitForLine("HELD"));

  platform::SetEvent(decoder_->abortEvent);
  for (int i = 0; i < 10000 && platform::WaitForEvent(decoder_->requestEvent, 0) == 0; ++i) {
    platform::Sleep(1);
  }
  EXPECT_EQ(platform::WaitForEvent(decoder_->requestEvent, 0), platform::kWaitTimeout);
  platform::Sleep(20);
  const std::vector<std::string> log = server_.Log();
  EXPECT_EQ(CountPrefix(log, "DATA "), 3);
  EXPECT_EQ(CountPrefix(log, "END"), 0);
}

TEST_F(DecodeThreadTest, QuitEndsAThreadWaitingInTheHandshake) {
  Prepare(spec_, 0, "noinit");
  decoder_->StartThreadFunc();
  ASSERT_TRUE(server_.WaitForLine("INIT 0 1 3"));
  platform::SetEvent(decoder_->quitEvent);
  EXPECT_EQ(platform::WaitForThread(decoder_->decodeThread, 10000), platform::kWaitObject0);
  EXPECT_EQ(platform::WaitForEvent(decoder_->readyEvent, 0), platform::kWaitTimeout);
}

TEST_F(DecodeThreadTest, ServerDeathEndsTheHandshake) {
  Prepare(spec_, 0, "noinit");
  decoder_->StartThreadFunc();
  ASSERT_TRUE(server_.WaitForLine("INIT 0 1 3"));
  server_.Stop(SIGKILL);
  // The thread gives up on the handshake and reports itself ready; the link says why.
  ASSERT_EQ(platform::WaitForEvent(decoder_->readyEvent, 10000), platform::kWaitObject0);
  EXPECT_TRUE(link_.ServerGone());
  // A run against the dead server ends at once.
  platform::SetEvent(decoder_->requestEvent);
  ASSERT_EQ(platform::WaitForEvent(decoder_->startedEvent, 10000), platform::kWaitObject0);
  for (int i = 0; i < 10000 && platform::WaitForEvent(decoder_->requestEvent, 0) == 0; ++i) {
    platform::Sleep(1);
  }
  EXPECT_EQ(platform::WaitForEvent(decoder_->requestEvent, 0), platform::kWaitTimeout);
}

}  // namespace
