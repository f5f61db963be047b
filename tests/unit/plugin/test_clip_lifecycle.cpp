// Making and destroying the clip, and what it does when the server is missing, silent or gone.
#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "avs/host/plugin_loader.h"
#include "platform/event.h"
#include "tests/unit/plugin/test_clip_fixture.h"

namespace {

using scripted::CountPrefix;
using Clock = std::chrono::steady_clock;

constexpr const char* kNotRunning = "MPGSource: CUVID Server not running!";

TEST_F(ClipTest, NoServerIsReportedAndNothingStaysOpen) {
  media_ = scripted::WriteMedia(dir_.path(), spec_);
  const int before = OpenDescriptors();
  EXPECT_EQ(TryMake(media_.project, 0), kNotRunning);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(ClipTest, KilledServerIsReportedAsNotRunning) {
  StartServer();
  server_.Stop(SIGKILL);
  const int before = OpenDescriptors();
  EXPECT_EQ(TryMake(media_.project, 0), kNotRunning);
  EXPECT_EQ(OpenDescriptors(), before);
}

// The scripted server has one slot: a second clip finds it taken.
TEST_F(ClipTest, SecondClipOnAOneSlotServerIsBusyWhileTheFirstLives) {
  Make(0);
  PClip first = clip_;
  const std::string message = TryMake(media_.project, 0);
  EXPECT_EQ(message.rfind("MPGSource: CUVID Server is busy", 0), 0u) << message;
  EXPECT_EQ(clip_, first);

  // The first clip is untouched.
  PVideoFrame frame;
  Fetch(5, &frame);
  EXPECT_TRUE(Holds(frame, 5, 0));

  // Once it is gone, a new clip connects.
  frame = nullptr;
  first = nullptr;
  clip_ = nullptr;
  ASSERT_EQ(TryMake(media_.project, 0), "");
  Fetch(7, &frame);
  EXPECT_TRUE(Holds(frame, 7, 0));
}

TEST_F(ClipTest, LoadFailuresAreReportedAndReleaseEverything) {
  StartServer();
  std::ofstream(dir_.File("empty.vnt")).close();
  std::ofstream(dir_.File("other.vnt")) << "just some text\n";
  std::ofstream(dir_.File("newer.vnt")) << "VantuIndexFileNV3\n";
  const int before = OpenDescriptors();
  // The load code's own text, then the file it is about (and why, where there is more to say).
  EXPECT_EQ(TryMake(dir_.File("missing.vnt"), 0),
            "MPGSource: Could not open one of the input files. (" + dir_.File("missing.vnt") +
                ": No such file or directory)");
  EXPECT_EQ(TryMake(dir_.File("empty.vnt"), 0),
            "MPGSource: Invalid VNT file, it's empty! (" + dir_.File("empty.vnt") + ")");
  EXPECT_EQ(
      TryMake(dir_.File("other.vnt"), 0),
      "MPGSource: The input file is not a VNT project file. (" + dir_.File("other.vnt") + ")");
  EXPECT_EQ(TryMake(dir_.File("newer.vnt"), 0)
                .rfind("MPGSource: VantuIndexNV/VantuDecodeNV "
                       "mismatch. You are picking up\na version",
                       0),
            0u);
  EXPECT_EQ(OpenDescriptors(), before);
  // The link was given back each time.
  ASSERT_EQ(TryMake(media_.project, 0), "");
}

TEST_F(ClipTest, DestroyingTheClipEndsTheRunAndFreesTheLink) {
  Make(0);
  Fetch(5);
  const size_t mark = server_.Log().size();
  clip_ = nullptr;
  EXPECT_EQ(CountPrefix(server_.LogSince(mark), "STOP"), 1);
  ASSERT_EQ(TryMake(media_.project, 0), "");
}

TEST_F(ClipTest, ClipDestroyedDuringTheHandshakeWithASilentServer) {
  Make(0, "noinit");
  ASSERT_TRUE(server_.WaitForLine("INIT 0 1 3"));
  clip_ = nullptr;  // must neither hang nor touch closed handles
}

TEST_F(ClipTest, AbortDuringAUnitWaitSendsNoEnd) {
  Make(0, "hold=20");
  PVideoFrame frame;
  Fetch(0, &frame);
  ASSERT_TRUE(server_.WaitForLine("HELD"));
  Fetch(40, &frame);
  EXPECT_TRUE(Holds(frame, 40, 0));
  ASSERT_TRUE(server_.WaitForLine("END"));
  // The first run was cut short in its twentieth unit: its only END is the second run's, which
  // began after the restart's STOP.
  const std::vector<std::string> log = server_.Log();
  int stops = 0;
  for (const std::string& line : log) {
    if (line == "STOP") ++stops;
    if (line == "END") {
      EXPECT_EQ(stops, 2);
    }
  }
  EXPECT_EQ(CountPrefix(log, "END"), 1);
}

// A run is never started while the server may still hold the old one: a server that keeps the
// stop set fails the request once the answer time-out has passed, and the clip stays failed.
TEST_F(ClipTest, ServerThatKeepsTheStopSetFailsTheRequestAfterTheBound) {
  Make(0, "ignorestop");
  Source().Core().SetAnswerTimeout(1000);
  std::string message;
  try {
    Fetch(20);
  } catch (const AvisynthError& e) {
    message = e.what();
  }
  EXPECT_EQ(message.rfind("MPGSource: the CUVID Server has not answered for 1 seconds", 0), 0u)
      << message;
  EXPECT_TRUE(server_.WaitForLine("IGNORED"));
  EXPECT_EQ(Source().Core().LastServed(), -1);
  try {
    Fetch(21);
    ADD_FAILURE() << "a broken link served a frame";
  } catch (const AvisynthError& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST_F(ClipTest, ServerDyingDuringAPictureWaitFailsTheRequest) {
  Make(0, "nopics");
  std::thread killer([this] {
    EXPECT_TRUE(server_.WaitForLine("PICREQ"));
    server_.Stop(SIGKILL);
  });
  std::string message;
  try {
    Fetch(5);
  } catch (const AvisynthError& e) {
    message = e.what();
  }
  killer.join();
  EXPECT_EQ(message, "MPGSource: CUVID Server is no longer running!");
  EXPECT_EQ(Source().Core().LastServed(), -1);
  // Later requests fail at once, and the clip can still be destroyed.
  EXPECT_THROW(Fetch(6), AvisynthError);
  const auto start = Clock::now();
  clip_ = nullptr;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST_F(ClipTest, ServerDyingBetweenRequestsFailsTheNextOne) {
  Make(0);
  Fetch(5);
  server_.Stop(SIGKILL);
  EXPECT_THROW(Fetch(30), AvisynthError);  // a restart
  EXPECT_THROW(Fetch(31), AvisynthError);
}

TEST_F(ClipTest, ServerDyingDuringTheHandshakeFailsTheFirstRequest) {
  Make(0, "noinit");
  ASSERT_TRUE(server_.WaitForLine("INIT 0 1 3"));
  server_.Stop(SIGKILL);
  EXPECT_THROW(Fetch(5), AvisynthError);
}

TEST_F(ClipTest, ProjectWithoutPicturesFailsRequests) {
  spec_.gops = {""};
  Make(0);
  EXPECT_EQ(clip_->GetVideoInfo().num_frames, 0);
  EXPECT_THROW(Fetch(0), AvisynthError);
}

#ifdef VANTU_PLUGIN_PATH
int Threads() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

// The plugin library as a host uses it: a clip made through the script function, its last
// reference dropped, the library unloaded with the host's environment; then all of it again in
// the same process.
TEST_F(ClipTest, TheLastReferenceDestroysTheClipBeforeTheHostUnloadsThePlugin) {
  StartServer();
  // A sanitizer's runtime may start a thread of its own with the first thread the process makes:
  // one thread made and ended here leaves only the clip's threads to count.
  std::thread([] {}).join();
  const int before = Threads();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    {
      avs_host::ScriptEnvironment host;
      avs_host::LoadPlugin(&host, VANTU_PLUGIN_PATH);
      const AVSValue args[1] = {media_.project.c_str()};
      PClip clip = host.Invoke("MPGSource", AVSValue(args, 1)).AsClip();
      ASSERT_TRUE(clip);
      EXPECT_EQ(clip->RefCount(), 1);
      EXPECT_GT(Threads(), before);  // the decode thread runs
      PVideoFrame frame = clip->GetFrame(8, &host);
      EXPECT_TRUE(Holds(frame, 8, 0));
      frame = nullptr;
      clip = nullptr;
      // The clip is gone and its thread ended with it, before the host unloads the library.
      EXPECT_EQ(Threads(), before);
    }
    EXPECT_EQ(dlopen(VANTU_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr) << "still loaded";
  }
}
#endif

}  // namespace
