// Frame requests of the clip: continuing or restarting the server's run, the pictures taken and
// the picture delivered. The media has five open GOPs of twelve pictures (I B B P B B ...), so the
// first GOP's two leading B pictures make picture 2 the lowest one served.
#include <climits>
#include <fstream>
#include <sstream>

#include "tests/unit/plugin/test_clip_fixture.h"

namespace {

using scripted::CountPrefix;

int Pictures(const std::vector<std::string>& log) {
  return CountPrefix(log, "PIC ");
}
int Stops(const std::vector<std::string>& log) {
  return CountPrefix(log, "STOP");
}

TEST_F(ClipTest, FirstRequestRestartsAndSequentialRequestsContinue) {
  Make(0);
  PVideoFrame frame;
  auto log = Fetch(20, &frame);
  EXPECT_EQ(Stops(log), 1);
  EXPECT_EQ(Pictures(log), 9);  // pictures 12 to 20 of the second GOP
  EXPECT_TRUE(Holds(frame, 20, 0));

  for (int n = 21; n <= 22; ++n) {
    log = Fetch(n, &frame);
    EXPECT_EQ(Stops(log), 0);
    EXPECT_EQ(Pictures(log), 1);
    EXPECT_TRUE(Holds(frame, n, 0));
  }
  // Nine ahead: eight pictures are taken and discarded.
  log = Fetch(31, &frame);
  EXPECT_EQ(Stops(log), 0);
  EXPECT_EQ(Pictures(log), 9);
  EXPECT_TRUE(Holds(frame, 31, 0));
  // Ten ahead: the run restarts at the target's GOP.
  log = Fetch(41, &frame);
  EXPECT_EQ(Stops(log), 1);
  EXPECT_EQ(Pictures(log), 6);  // 36 to 41
  EXPECT_TRUE(Holds(frame, 41, 0));
  EXPECT_EQ(Source().Core().LastServed(), 41);
}

TEST_F(ClipTest, SameOrEarlierFrameRestarts) {
  Make(0);
  PVideoFrame frame;
  Fetch(20);
  auto log = Fetch(20, &frame);
  EXPECT_EQ(Stops(log), 1);
  EXPECT_EQ(Pictures(log), 9);
  EXPECT_TRUE(Holds(frame, 20, 0));
  log = Fetch(19, &frame);
  EXPECT_EQ(Stops(log), 1);
  EXPECT_EQ(Pictures(log), 8);
  EXPECT_TRUE(Holds(frame, 19, 0));
}

TEST_F(ClipTest, LeadingPictureDecodesFromThePreviousGop) {
  Make(0);
  PVideoFrame frame;
  auto log = Fetch(13, &frame);
  EXPECT_EQ(Pictures(log), 14);  // 0 to 13
  EXPECT_TRUE(Holds(frame, 13, 0));
}

TEST_F(ClipTest, LowestServedPictureFollowsTheLeadingPictures) {
  Make(0);
  EXPECT_EQ(Source().Core().Decoder().leadingBCount, 2);
  PVideoFrame frame;
  for (int n : {0, 1, 2, -7, INT_MIN}) {
    SCOPED_TRACE(n);
    auto log = Fetch(n, &frame);
    EXPECT_EQ(Stops(log), 1);  // always picture 2 again: a restart
    EXPECT_EQ(Pictures(log), 3);
    EXPECT_TRUE(Holds(frame, 2, 0));
  }
  // The next frame continues.
  auto log = Fetch(3, &frame);
  EXPECT_EQ(Stops(log), 0);
  EXPECT_TRUE(Holds(frame, 3, 0));
}

TEST_F(ClipTest, LowestServedPictureWithDeinterlacing) {
  Make(1);
  PVideoFrame frame;
  auto log = Fetch(0, &frame);
  EXPECT_EQ(Pictures(log), 4);
  EXPECT_TRUE(Holds(frame, 3, 0));
  EXPECT_TRUE(server_.WaitForLine("INIT 1 1 3"));
}

TEST_F(ClipTest, DeinterlacingStartsOneGopEarlier) {
  Make(1);
  PVideoFrame frame;
  auto log = Fetch(20, &frame);
  EXPECT_EQ(Pictures(log), 21);  // from the first GOP
  EXPECT_TRUE(Holds(frame, 20, 0));
}

TEST_F(ClipTest, FramesBeyondTheClipAreServedByTheLastOne) {
  Make(0);
  PVideoFrame frame;
  auto log = Fetch(1000, &frame);
  EXPECT_EQ(Pictures(log), 12);
  EXPECT_TRUE(Holds(frame, 59, 0));
  log = Fetch(INT_MAX, &frame);
  EXPECT_EQ(Stops(log), 1);
  EXPECT_TRUE(Holds(frame, 59, 0));
  EXPECT_EQ(Source().Core().Decoder().targetPicture, 59);
}

TEST_F(ClipTest, DoubleRateServesTwoPicturesPerFrame) {
  Make(2);
  EXPECT_TRUE(server_.WaitForLine("INIT 2 1 3"));
  PVideoFrame frame;
  // Output picture 40 is the first field of frame 20; deinterlacing starts at the first GOP.
  auto log = Fetch(40, &frame);
  EXPECT_EQ(Stops(log), 1);
  EXPECT_EQ(Pictures(log), 41);
  EXPECT_EQ(Source().Core().Decoder().targetPicture, 20);
  EXPECT_TRUE(Holds(frame, 20, 0));
  log = Fetch(41, &frame);
  EXPECT_EQ(Pictures(log), 1);
  EXPECT_TRUE(Holds(frame, 20, 1));
  // Nineteen ahead continues...
  log = Fetch(60, &frame);
  EXPECT_EQ(Stops(log), 0);
  EXPECT_EQ(Pictures(log), 19);
  EXPECT_TRUE(Holds(frame, 30, 0));
  // ...twenty ahead restarts.
  log = Fetch(80, &frame);
  EXPECT_EQ(Stops(log), 1);
  EXPECT_EQ(Pictures(log), 33);  // frames 24 to 40 from the third GOP, first field of 40
  EXPECT_EQ(Source().Core().Decoder().targetPicture, 40);
  EXPECT_TRUE(Holds(frame, 40, 0));
}

TEST_F(ClipTest, DoubleRateTargetsFrameKForOutputPictures2kAnd2kPlus1) {
  Make(2);
  PVideoFrame frame;
  auto log = Fetch(47, &frame);
  EXPECT_EQ(Source().Core().Decoder().targetPicture, 23);
  EXPECT_EQ(Pictures(log), 48);
  EXPECT_TRUE(Holds(frame, 23, 1));
  log = Fetch(46, &frame);
  EXPECT_EQ(Stops(log), 1);
  EXPECT_EQ(Source().Core().Decoder().targetPicture, 23);
  EXPECT_EQ(Pictures(log), 47);
  EXPECT_TRUE(Holds(frame, 23, 0));
  // The last output picture, also for requests beyond it.
  log = Fetch(500, &frame);
  EXPECT_EQ(Source().Core().Decoder().targetPicture, 59);
  EXPECT_TRUE(Holds(frame, 59, 1));
}

TEST_F(ClipTest, VideoInfoDescribesTheProject) {
  spec_.width = 64;
  spec_.height = 48;
  Make(0);
  const VideoInfo& vi = clip_->GetVideoInfo();
  EXPECT_EQ(vi.width, 64);
  EXPECT_EQ(vi.height, 48);
  EXPECT_EQ(vi.fps_numerator, 25u);
  EXPECT_EQ(vi.fps_denominator, 1u);
  EXPECT_EQ(vi.num_frames, 60);
  EXPECT_EQ(vi.pixel_type, static_cast<int>(0xA0000008u));
  EXPECT_FALSE(vi.IsFieldBased());
  EXPECT_FALSE(vi.HasAudio());
  EXPECT_EQ(clip_->GetVersion(), 2);
  clip_->SetCacheHints(0x8666, 0);
  clip_->GetAudio(nullptr, 0, 100, &env_);
}

TEST_F(ClipTest, DoubleRateDoublesRateAndLength) {
  Make(2);
  const VideoInfo& vi = clip_->GetVideoInfo();
  EXPECT_EQ(vi.fps_numerator, 50u);
  EXPECT_EQ(vi.fps_denominator, 1u);
  EXPECT_EQ(vi.num_frames, 120);
}

TEST_F(ClipTest, I420LabelsTheSamePictures) {
  Make(0, "", true);
  EXPECT_EQ(clip_->GetVideoInfo().pixel_type, static_cast<int>(0xA0000010u));
  PVideoFrame frame;
  Fetch(30, &frame);
  EXPECT_TRUE(Holds(frame, 30, 0));
}

TEST_F(ClipTest, ParityFollowsTheFieldOrderForEveryFrame) {
  spec_.fieldOrder = 1;
  Make(0);
  for (int n : {0, 1, 59, 1000, -1}) EXPECT_FALSE(clip_->GetParity(n));
  clip_ = nullptr;
  server_.Stop(SIGTERM);
  spec_.fieldOrder = 0;
  Make(0);
  for (int n : {0, 1, 59, 1000, -1}) EXPECT_TRUE(clip_->GetParity(n));
}

}  // namespace

// A GOP position that holds no sequence header (a project that does not fit its video) fails the
// requests that would start there, before anything is sent, and names the GOP; the other GOPs
// still serve their frames.
TEST_F(ClipTest, ARunNeverStartsWhereTheProjectListsNoSequenceHeader) {
  StartServer();
  std::ifstream in(media_.project);
  std::stringstream text;
  text << in.rdbuf();
  std::string project = text.str();
  struct Case {
    const char* what;
    uint64_t position;
  };
  // Inside the GOP's sequence header, and at its first picture.
  for (const Case& c :
       {Case{"inside", media_.gopPositions[2] + 2}, Case{"picture", media_.gopPositions[2] + 40}}) {
    SCOPED_TRACE(c.what);
    std::string bad = project;
    const std::string line = "SEQ " + std::to_string(media_.gopPositions[2]) + "\n";
    bad.replace(bad.find(line), line.size(), "SEQ " + std::to_string(c.position) + "\n");
    const std::string path = dir_.File("bad.vnt");
    std::ofstream(path) << bad;
    clip_ = nullptr;
    ASSERT_EQ(TryMake(path, 0), "");
    const size_t mark = server_.Log().size();
    std::string message;
    try {
      Fetch(media_.gopFirst[2] + 3);
    } catch (const AvisynthError& e) {
      message = e.what();
    }
    EXPECT_EQ(message, "MPGSource: the VNT file does not fit its video: GOP 2 (from frame " +
                           std::to_string(media_.gopFirst[2]) +
                           ") does not start at an MPEG-2 sequence header in " + media_.video +
                           " (byte " + std::to_string(c.position) + "); index the video again.");
    EXPECT_EQ(CountPrefix(server_.LogSince(mark), "DATA"), 0);
    PVideoFrame frame;
    Fetch(media_.gopFirst[3] + 3, &frame);
    EXPECT_TRUE(Holds(frame, media_.gopFirst[3] + 3, 0));
  }
}
