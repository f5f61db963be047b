// The server in this process, driven through real shared memory and named events by a client that
// speaks the protocol the way the plugin does.
#include "decode-server/decode_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "decode-server/picture_writer.h"
#include "platform/thread.h"
#include "server-link/chroma_layout.h"
#include "server-link/section_layout.h"
#include "tests/unit/decode-server/media_helpers.h"
#include "tests/unit/decode-server/test_client.h"

namespace decode_server {
namespace {

using decode_server_test::FfmpegFrameMd5;
using decode_server_test::TakenPicture;
using decode_server_test::TestClient;
using decode_server_test::TestStream;

class ServerTest : public ::testing::Test {
 protected:
  void StartServer(size_t queuePictures = 8, FILE* log = stderr, size_t queueUnits = 256) {
    decode_server_test::UseFreshNamespace("server");
    ServerOptions options;
    options.queuePictures = queuePictures;
    options.queueUnits = queueUnits;
    options.log = log;
    server_ = std::make_unique<DecodeServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    ASSERT_TRUE(client_.Connect());
  }
  void TearDown() override {
    client_.Disconnect();
    server_.reset();
  }

  // Runs from GOP `gop` with the client's current settings: takes every picture of the run and
  // checks it against ffmpeg's sequential decode; then a few requests past the end.
  void CheckRun(const TestStream& stream, size_t gop) {
    SCOPED_TRACE("run from GOP " + std::to_string(gop));
    const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
    const int first = stream.gops[gop].firstPicture;
    const int leading = stream.LeadingBs(gop);
    ASSERT_TRUE(client_.Stop());
    client_.StartFeeding(&stream.bytes, stream.UnitsFrom(gop));
    std::string last;
    for (int k = 0; first + k < stream.frames; ++k) {
      const TakenPicture picture = client_.Take();
      ASSERT_TRUE(picture.ok) << "picture " << k;
      ASSERT_EQ(picture.index(), k);
      ASSERT_EQ(picture.displayIndex(), k);
      ASSERT_EQ((picture.flags() & kPictureFlagPlaceholder) != 0, k < leading);
      const std::string& expected = reference[first + (k < leading ? leading : k)];
      ASSERT_EQ(picture.md5, expected) << "display picture " << first + k;
      last = picture.md5;
    }
    // A run that has ended answers every further request with its last picture.
    for (int extra = 0; extra < 3; ++extra) {
      const TakenPicture picture = client_.Take();
      ASSERT_TRUE(picture.ok);
      EXPECT_TRUE(picture.flags() & kPictureFlagRepeated);
      EXPECT_EQ(picture.md5, last);
    }
    client_.AbortFeeding();
    EXPECT_TRUE(client_.endAnswered());
  }

  std::unique_ptr<DecodeServer> server_;
  TestClient client_;
};

// Several runs in one session, each started after a stop at another GOP, in both kinds of GOP:
// every picture is ffmpeg's, counted from the run's first GOP, and past the end the last one
// repeats.
TEST_F(ServerTest, RunsFromGopsMatchFfmpegAndRepeatPastTheEnd) {
  StartServer();
  ASSERT_TRUE(client_.Init(0, true));
  const TestStream& open = decode_server_test::Media("es576i_open.m2v");
  for (size_t gop : {size_t{3}, open.gops.size() - 1, size_t{0}}) CheckRun(open, gop);
  const TestStream& closed = decode_server_test::Media("es1080p_closed.m2v");
  CheckRun(closed, 2);
}

// A client that asks for 4:2:2 pictures gets them flagged; the next client of the slot that does
// not ask (an older plugin) gets 4:2:0 pictures, each field's chroma from that field, equal to
// ffmpeg's scale=interl=-1: the request is never left over for it.
TEST_F(ServerTest, FourTwoTwoPicturesOnlyForTheClientThatAsks) {
  StartServer();
  const TestStream& stream = decode_server_test::Media("es422i.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "scale=interl=-1");
  for (const bool asks : {true, false}) {
    SCOPED_TRACE(asks ? "asks for 4:2:2" : "asks for nothing");
    client_.AbortFeeding();  // the previous run's feeder writes the request block too
    if (asks) server::PutChromaRecord(client_.view(), server::kChroma422);
    ASSERT_TRUE(client_.Init(0, true));
    ASSERT_TRUE(client_.Stop());
    client_.StartFeeding(&stream.bytes, stream.UnitsFrom(0));
    for (int k = 0; k < 3; ++k) {
      const TakenPicture picture = client_.Take();
      ASSERT_TRUE(picture.ok);
      EXPECT_EQ((picture.flags() & server::kPictureFlagChroma422) != 0, asks) << "picture " << k;
      if (!asks) {
        EXPECT_EQ(picture.md5, reference[k]) << "picture " << k;
      }
    }
  }
}

// Deinterlacing through the server: twice the pictures, each bwdif's field picture for its frame.
TEST_F(ServerTest, DeinterlacedRunDeliversTwoPicturesPerFrame) {
  StartServer();
  ASSERT_TRUE(client_.Init(2, true));
  const TestStream& stream = decode_server_test::Media("es480i_bff.m2v");
  const std::vector<std::string>& reference =
      FfmpegFrameMd5(stream.path, "bwdif=mode=send_field:parity=auto:deint=all");
  const size_t gop = 2;
  const int first = stream.gops[gop].firstPicture;
  ASSERT_TRUE(client_.Stop());
  client_.StartFeeding(&stream.bytes, stream.UnitsFrom(gop));
  for (int k = 0; k < 2 * (stream.frames - first); ++k) {
    const TakenPicture picture = client_.Take();
    ASSERT_TRUE(picture.ok);
    ASSERT_EQ(picture.displayIndex(), k / 2);
    if (k >= 2 * (stream.LeadingBs(gop) + 1)) {
      ASSERT_EQ(picture.md5, reference[2 * first + k]) << k;
    }
  }
  EXPECT_TRUE(client_.Take().flags() & kPictureFlagRepeated);
  client_.JoinFeeding();  // before the stream goes
}

// Stops at every stage of a run (before any picture, while the feeder is held back by a full
// queue, in the middle, right after the first unit): the next run starts clean, with none of the
// dropped run's pictures.
TEST_F(ServerTest, StopInTheMiddleLeaksNothingIntoTheNextRun) {
  StartServer(3);
  ASSERT_TRUE(client_.Init(0, true));
  const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  for (int taken : {0, 2, 7, 30}) {
    SCOPED_TRACE("stopped after " + std::to_string(taken) + " pictures");
    ASSERT_TRUE(client_.Stop());
    client_.StartFeeding(&stream.bytes, stream.UnitsFrom(6));
    for (int k = 0; k < taken; ++k) ASSERT_TRUE(client_.Take().ok);
    platform::Sleep(20);  // let the feeder fill the queue and be held back
    client_.AbortFeeding();
    ASSERT_TRUE(client_.Stop());
    const size_t next = 2;
    const int first = stream.gops[next].firstPicture;
    const int leading = stream.LeadingBs(next);
    client_.StartFeeding(&stream.bytes, stream.UnitsFrom(next));
    for (int k = 0; k < 15; ++k) {
      const TakenPicture picture = client_.Take();
      ASSERT_TRUE(picture.ok);
      ASSERT_EQ(picture.index(), k);
      ASSERT_EQ(picture.md5, reference[first + std::max(k, leading)]) << k;
    }
    client_.AbortFeeding();
  }
  // A stop right after the first unit was answered.
  ASSERT_TRUE(client_.Stop());
  std::vector<decode_server_test::Unit> one(stream.units.begin() + stream.gops[4].unit,
                                            stream.units.begin() + stream.gops[4].unit + 1);
  client_.StartFeeding(&stream.bytes, one);
  client_.AbortFeeding();
  CheckRun(stream, 5);
}

// With a full queue the server holds "NVDone" back: the feeder stops until pictures are taken,
// then goes on to the end of the data.
TEST_F(ServerTest, FullQueueHoldsTheFeederBackUntilPicturesAreTaken) {
  StartServer(2);
  ASSERT_TRUE(client_.Init(0, true));
  const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
  const std::vector<decode_server_test::Unit> units = stream.UnitsFrom(0);
  client_.StartFeeding(&stream.bytes, units);
  int answered = -1;
  for (int wait = 0; wait < 200 && client_.unitsAnswered() != answered; ++wait) {
    answered = client_.unitsAnswered();
    platform::Sleep(30);
  }
  EXPECT_LT(answered, static_cast<int>(units.size()) / 4) << "the feeder was not held back";
  for (int k = 0; k < stream.frames; ++k) ASSERT_TRUE(client_.Take().ok) << k;
  client_.AbortFeeding();
  EXPECT_TRUE(client_.endAnswered());
  EXPECT_EQ(client_.unitsAnswered(), static_cast<int>(units.size()));
}

// With a unit queue of a few units the feeder is held back again and again, and the queue is
// refilled from half empty: every unit arrives, in order, and a stop in the middle of a refill
// leaks nothing into the next run.
TEST_F(ServerTest, RefillsOfASmallUnitQueueKeepEveryUnitInOrder) {
  StartServer(3, stderr, 8);
  ASSERT_TRUE(client_.Init(0, true));
  const TestStream& open = decode_server_test::Media("es576i_open.m2v");
  CheckRun(open, 1);
  const TestStream& closed = decode_server_test::Media("es1080p_closed.m2v");
  CheckRun(closed, 0);
  const std::vector<std::string>& reference = FfmpegFrameMd5(open.path, "");
  for (int taken : {1, 5, 20}) {
    SCOPED_TRACE("stopped after " + std::to_string(taken) + " pictures");
    ASSERT_TRUE(client_.Stop());
    client_.StartFeeding(&open.bytes, open.UnitsFrom(2));
    for (int k = 0; k < taken; ++k) {
      const TakenPicture picture = client_.Take();
      ASSERT_TRUE(picture.ok);
      ASSERT_EQ(picture.md5, reference[open.gops[2].firstPicture + std::max(k, open.LeadingBs(2))])
          << k;
    }
    client_.AbortFeeding();
  }
  CheckRun(open, 4);
}

// Once the client has the first picture of a run and asks for nothing more, the decoder adds no
// picture, however long the picture queue: the feeder is held back after the units of a few
// pictures. The next request lets the run go on, and every picture is still right.
TEST_F(ServerTest, DecoderWaitsAfterTheFirstPictureUntilTheClientReadsOn) {
  StartServer(8, stderr, 8);
  ASSERT_TRUE(client_.Init(0, true));
  const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  const std::vector<decode_server_test::Unit> units = stream.UnitsFrom(0);
  // The units before the sixth picture in coded order.
  int pictures = 0;
  size_t beforeSixth = units.size();
  for (size_t i = 0; i < units.size(); ++i) {
    if (units[i].code == 0x00 && ++pictures == 6) {
      beforeSixth = i;
      break;
    }
  }
  ASSERT_LT(beforeSixth, units.size());
  client_.StartFeeding(&stream.bytes, units);
  TakenPicture picture = client_.Take();
  ASSERT_TRUE(picture.ok);
  ASSERT_EQ(picture.md5, reference[0]);
  int answered = -1;
  for (int wait = 0; wait < 200 && client_.unitsAnswered() != answered; ++wait) {
    answered = client_.unitsAnswered();
    platform::Sleep(30);
  }
  // A decoder that worked ahead would have filled the queue of eight pictures.
  EXPECT_LT(answered, static_cast<int>(beforeSixth)) << "the decoder did not wait";
  for (int k = 1; k < stream.frames; ++k) {
    picture = client_.Take();
    ASSERT_TRUE(picture.ok);
    ASSERT_EQ(picture.md5, reference[k]) << k;
  }
  client_.JoinFeeding();
  EXPECT_EQ(client_.unitsAnswered(), static_cast<int>(units.size()));
}

// A request of a run that ended without any data is answered (black), not left hanging.
TEST_F(ServerTest, RunWithoutDataAnswersWithBlack) {
  StartServer();
  ASSERT_TRUE(client_.Init(1, false));
  client_.StartFeeding(nullptr, {});
  const TakenPicture picture = client_.Take();
  ASSERT_TRUE(picture.ok);
  EXPECT_TRUE(picture.flags() & kPictureFlagRepeated);
  EXPECT_EQ(client_.view()[server::kPictureAreaOffset], 16);
  client_.JoinFeeding();
  EXPECT_TRUE(client_.endAnswered());
}

// Data after the end of a run, without a stop, starts a new run rather than extending the old.
// (The plugin always stops a run before it starts another; this keeps other clients sane.)
TEST_F(ServerTest, DataAfterTheEndStartsANewRun) {
  StartServer();
  ASSERT_TRUE(client_.Init(0, true));
  const TestStream& stream = decode_server_test::Media("es1080p_closed.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  const size_t last = stream.gops.size() - 1;
  client_.StartFeeding(&stream.bytes, stream.UnitsFrom(last));
  for (int k = stream.gops[last].firstPicture; k < stream.frames; ++k) {
    ASSERT_EQ(client_.Take().md5, reference[k]) << k;
  }
  client_.JoinFeeding();
  ASSERT_TRUE(client_.endAnswered());
  client_.StartFeeding(&stream.bytes, stream.UnitsFrom(0));
  // Requests the server takes before it has seen the new data are past the end of the old run;
  // the first answered unit marks the new run.
  for (int wait = 0; wait < 2000 && client_.unitsAnswered() == 0; ++wait) platform::Sleep(1);
  for (int k = 0; k < stream.frames; ++k) {
    const TakenPicture picture = client_.Take();
    ASSERT_TRUE(picture.ok);
    ASSERT_EQ(picture.md5, reference[k]) << k;
  }
  client_.JoinFeeding();  // before the stream goes
}

// A stream larger than the picture area: every picture arrives clipped to it, with one clear log
// line, and the run goes on.
TEST_F(ServerTest, OversizedPicturesArriveClippedWithOneLogLine) {
  const std::string path = decode_server_test::MediaPath("oversized_2304x1296.m2v");
  const std::string command =
      "test -s '" + path +
      "' || { ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=2304x1296:rate=25 "
      "-frames:v 4 -c:v mpeg2video -g 4 -bf 0 -f mpeg2video '" +
      path + ".tmp' && mv '" + path + ".tmp' '" + path + "'; }";
  ASSERT_EQ(std::system(command.c_str()), 0);
  FILE* log = std::tmpfile();
  StartServer(8, log);
  ASSERT_TRUE(client_.Init(0, true));
  const TestStream& stream = decode_server_test::Media("oversized_2304x1296.m2v");
  ASSERT_TRUE(client_.Stop());
  client_.StartFeeding(&stream.bytes, stream.UnitsFrom(0));
  for (int k = 0; k < stream.frames; ++k) {
    const TakenPicture picture = client_.Take();
    ASSERT_TRUE(picture.ok);
    EXPECT_EQ(picture.picWidth(), 2048);
    EXPECT_EQ(picture.picHeight(), 1088);
    EXPECT_EQ(picture.words[0], 2304);
    EXPECT_EQ(picture.words[1], 1296);
    EXPECT_TRUE(picture.flags() & kPictureFlagClipped);
  }
  client_.JoinFeeding();
  server_.reset();
  std::rewind(log);
  std::string text;
  char line[512];
  while (std::fgets(line, sizeof line, log)) text += line;
  std::fclose(log);
  EXPECT_NE(text.find("a 2304x1296 picture does not fit the picture area (2048 bytes x 1632 rows); "
                      "delivered clipped to 2048x1088"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("does not fit"), text.rfind("does not fit")) << "one line per run";
}

}  // namespace
}  // namespace decode_server
