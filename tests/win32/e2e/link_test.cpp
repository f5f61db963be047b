#include <string>
#include <vector>

#include "avs/host_win32/script_environment.h"
#include "tests/win32/e2e/fixture.h"
#include "tests/win32/support/check.h"

using avs_host_win32::HostError;
using avs_host_win32::ScriptEnvironment;
using e2e::Mismatches;

namespace {

constexpr int kFrames = e2e::kGops * 12;

bool Load(ScriptEnvironment* env) {
  std::string error;
  const bool loaded = env->LoadPlugin(e2e::ProgramFolder() + "VantuDecodeNV.dll", &error);
  if (!loaded) std::fprintf(stderr, "%s\n", error.c_str());
  return loaded;
}

// MPGSource(project, i420, deinterlace) as a script calls it; void values are left out.
AVSValue MakeSource(ScriptEnvironment* env, const std::string& project, AVSValue i420 = AVSValue(),
                    AVSValue deinterlace = AVSValue()) {
  const AVSValue args[4] = {AVSValue(project.c_str()), i420, deinterlace, AVSValue()};
  return env->Call("MPGSource", AVSValue(args, 4));
}

// The message of the host error that `make` raises; empty when it raises none.
template <typename F>
std::string ErrorOf(F make) {
  try {
    make();
  } catch (const HostError& e) {
    return e.what();
  }
  return std::string();
}

// Fetches `order` and counts the frames whose bytes are not those of their picture.
int WrongFrames(ScriptEnvironment* env, const PClip& clip, const std::vector<int>& order) {
  int wrong = 0;
  for (int n : order) {
    const PVideoFrame frame = ScriptEnvironment::FrameOf(clip, n, env);
    if (Mismatches(frame, n, 0) != 0) {
      std::fprintf(stderr, "frame %d differs from its picture\n", n);
      ++wrong;
    }
  }
  return wrong;
}

}  // namespace

WIN_TEST(EntryPointRegistersMPGSource) {
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  CHECK_EQ(std::string("[vnt]s[i420]b[deinterlace]i[use_top_field]b[yv12]b"),
           env.RegisteredParams("MPGSource"));
}

WIN_TEST(WithoutServerTheHostGetsTheNotRunningError) {
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  const std::string project = e2e::WriteProject("plain.vnt", e2e::StreamPath());
  CHECK_EQ(std::string("MPGSource: CUVID Server not running!"),
           ErrorOf([&] { MakeSource(&env, project); }));
  // The failed clip released everything: a clip can be made once a server runs.
  e2e::ServerProcess server;
  REQUIRE(server.Start());
  const AVSValue clip = MakeSource(&env, project);
  CHECK(clip.IsClip());
}

WIN_TEST(FramesInAnyOrderAreTheirOwnPictures) {
  e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  // A relative video path is resolved against the project's folder.
  const AVSValue value = MakeSource(&env, e2e::WriteProject("relative.vnt", "clip.m2v"));
  REQUIRE(value.IsClip());
  const PClip clip = value.AsClip();
  const VideoInfo& vi = clip->HostGetVideoInfo();
  CHECK_EQ(e2e::kWidth, vi.width);
  CHECK_EQ(e2e::kHeight, vi.height);
  CHECK_EQ(25u, vi.fps_numerator);
  CHECK_EQ(1u, vi.fps_denominator);
  CHECK_EQ(kFrames, vi.num_frames);
  CHECK_EQ(CS_YV12, vi.pixel_type);

  std::vector<int> order;
  for (int n = 0; n < kFrames; ++n) order.push_back(n);
  for (int n = kFrames - 1; n >= 0; --n) order.push_back(n);
  // Around the continue-or-restart window, repeats, and a shuffle with a fixed seed.
  for (int n : {3, 12, 21, 31, 13, 22, 14, 14, 14, 0, 11, 12, 13, 47, 46, 1}) order.push_back(n);
  uint32_t seed = 12345;
  for (int i = 0; i < 60; ++i) {
    seed = seed * 1103515245u + 12345u;
    order.push_back(static_cast<int>((seed >> 16) % kFrames));
  }
  CHECK_EQ(0, WrongFrames(&env, clip, order));
  CHECK_EQ(0L, env.LiveFrameReferences());
}

WIN_TEST(I420LabelsTheSamePictures) {
  e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  const AVSValue value =
      MakeSource(&env, e2e::WriteProject("plain.vnt", e2e::StreamPath()), AVSValue(true));
  REQUIRE(value.IsClip());
  const PClip clip = value.AsClip();
  CHECK_EQ(CS_I420, clip->HostGetVideoInfo().pixel_type);
  CHECK_EQ(0, WrongFrames(&env, clip, {0, 5, 30, 29, 40}));
}

WIN_TEST(DoubleRateServesBothPicturesOfEachFrame) {
  e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  const AVSValue value =
      MakeSource(&env, e2e::WriteProject("plain.vnt", e2e::StreamPath()), AVSValue(), AVSValue(2));
  REQUIRE(value.IsClip());
  const PClip clip = value.AsClip();
  const VideoInfo& vi = clip->HostGetVideoInfo();
  CHECK_EQ(2 * kFrames, vi.num_frames);
  CHECK_EQ(50u, vi.fps_numerator);
  int wrong = 0;
  for (int n : {1, 2, 3, 24, 25, 26, 27, 43, 44, 60, 95, 94, 10, 0}) {
    // Frame 0 is served by the lowest output picture, 1 (the first frame's second picture).
    const int shown = n == 0 ? 1 : n;
    const PVideoFrame frame = ScriptEnvironment::FrameOf(clip, n, &env);
    if (Mismatches(frame, shown / 2, shown % 2) != 0) {
      std::fprintf(stderr, "double-rate frame %d differs from its picture\n", n);
      ++wrong;
    }
  }
  CHECK_EQ(0, wrong);
}

WIN_TEST(ProjectCropGoesThroughTheHostsCrop) {
  e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  const AVSValue value =
      MakeSource(&env, e2e::WriteProject("crop.vnt", e2e::StreamPath(), "8 8 4 2"));
  REQUIRE(value.IsClip());
  const PClip clip = value.AsClip();
  const VideoInfo& vi = clip->HostGetVideoInfo();
  CHECK_EQ(e2e::kWidth - 16, vi.width);
  CHECK_EQ(e2e::kHeight - 6, vi.height);
  for (int n : {0, 17, 40}) {
    CHECK_EQ(0, Mismatches(ScriptEnvironment::FrameOf(clip, n, &env), n, 0, 8, 4));
  }
}

WIN_TEST(LoadErrorsReachTheHost) {
  e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  const std::string missingVideo = e2e::WriteProject("missing.vnt", "C:\\no\\such\\video.m2v");
  // The load code's text, then the file it is about.
  const std::string noVideo = ErrorOf([&] { MakeSource(&env, missingVideo); });
  CHECK_EQ(0u, noVideo.rfind("MPGSource: Could not open one of the input files. (", 0));
  CHECK(noVideo.find("C:\\no\\such\\video.m2v") != std::string::npos);
  const std::string noProject =
      ErrorOf([&] { MakeSource(&env, e2e::MediaFolder() + "no-such.vnt"); });
  CHECK_EQ(0u, noProject.rfind("MPGSource: Could not open one of the input files. (", 0));
  CHECK(noProject.find("no-such.vnt") != std::string::npos);
  // After the errors a clip is made and works.
  const AVSValue value = MakeSource(&env, e2e::WriteProject("plain.vnt", e2e::StreamPath()));
  REQUIRE(value.IsClip());
  CHECK_EQ(0, WrongFrames(&env, value.AsClip(), {7}));
}

// The test server has one client slot: a second clip finds it taken while the first lives.
WIN_TEST(SecondClipOnAOneSlotServerIsBusyAndReleasingTheFirstFreesTheSlot) {
  e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  const std::string project = e2e::WriteProject("plain.vnt", e2e::StreamPath());
  {
    const AVSValue first = MakeSource(&env, project);
    REQUIRE(first.IsClip());
    CHECK_EQ(0u, ErrorOf([&] {
                   MakeSource(&env, project);
                 }).rfind("MPGSource: CUVID Server is busy", 0));
    CHECK_EQ(0, WrongFrames(&env, first.AsClip(), {2}));
  }
  // The last reference went through the host's destructor slot: the link is free again.
  const AVSValue second = MakeSource(&env, project);
  REQUIRE(second.IsClip());
  CHECK_EQ(0, WrongFrames(&env, second.AsClip(), {20, 21}));
  CHECK_EQ(0L, env.LiveFrameReferences());
}

WIN_TEST(ServerThatDiesGivesAnErrorInsteadOfAHang) {
  e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  const AVSValue value = MakeSource(&env, e2e::WriteProject("plain.vnt", e2e::StreamPath()));
  REQUIRE(value.IsClip());
  const PClip clip = value.AsClip();
  CHECK_EQ(0, WrongFrames(&env, clip, {5}));
  server.Kill();
  CHECK_EQ(std::string("MPGSource: CUVID Server is no longer running!"),
           ErrorOf([&] { ScriptEnvironment::FrameOf(clip, 30, &env); }));
  CHECK_EQ(0L, env.LiveFrameReferences());
}
