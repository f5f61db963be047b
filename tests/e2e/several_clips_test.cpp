// Several clips in one host process, through the minimal host, the real plugin and one real
// decoding server: each clip holds a client slot of its own. Clips of different files served
// interleaved, a clip destroyed while another serves, and more clips than the server has slots.
// Every frame is compared with ffmpeg's decode of its file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "avs/avisynth.h"
#include "avs/host/plugin_loader.h"
#include "avs/host/script_environment.h"
#include "tests/e2e/e2e_support.h"
#include "tools/cli/frame_hash.h"

namespace e2e {
namespace {

constexpr const char* kBusy = "MPGSource: CUVID Server is busy";

// One file as a clip: its project, ffmpeg's frames and how ours map onto them.
struct Source {
  std::string video;
  std::string project;
  std::vector<std::string> reference;
  int frames = 0;
  int shift = 0;  // our frame n is ffmpeg's n - shift (leading pictures ffmpeg drops)
  bool packed = false;

  const std::string& Expected(int n) const { return reference[std::max(n, shift) - shift]; }
};

Source Prepare(const std::string& file) {
  Source s;
  s.video = MediaPath(file);
  // IndexVideo writes one project file per test: each clip gets a copy of its own.
  s.project = TempDir() + "/" + file + ".vnt";
  EXPECT_EQ(std::rename(IndexVideo(s.video).c_str(), s.project.c_str()), 0);
  s.packed = file.find("422") != std::string::npos;
  s.reference = FfmpegMd5(s.video, "", s.packed ? "yuyv422" : "yuv420p");
  s.frames = std::stoi(Info(s.project)["frames"]);
  s.shift = s.frames - static_cast<int>(s.reference.size());
  return s;
}

std::string FrameMd5(const PVideoFrame& f, const VideoInfo& vi) {
  if (vi.IsYUY2()) return cli::PackedMd5(f->GetReadPtr(), f->GetPitch(), vi.width * 2, vi.height);
  return cli::PlanesMd5(f->GetReadPtr(), f->GetPitch(), f->GetReadPtr(PLANAR_U),
                        f->GetReadPtr(PLANAR_V), f->GetPitch(PLANAR_U), vi.width, vi.height);
}

// The minimal host with the plugin loaded; the environment outlives every clip made here.
class Host {
 public:
  Host() { avs_host::LoadPlugin(&env_, BuildDir() + "/VantuDecodeNV.so"); }
  // The clip of `project`, or null with the host's error in `*error`.
  PClip Make(const std::string& project, std::string* error = nullptr) {
    try {
      const AVSValue args[1] = {project.c_str()};
      return env_.Invoke("MPGSource", AVSValue(args, 1)).AsClip();
    } catch (const AvisynthError& e) {
      if (error) *error = e.what();
    }
    return nullptr;
  }
  // Whether frame n of `clip` is ffmpeg's frame for it.
  ::testing::AssertionResult Serves(const PClip& clip, const Source& s, int n) {
    std::string md5;
    try {
      md5 = FrameMd5(clip->GetFrame(n, &env_), clip->GetVideoInfo());
    } catch (const AvisynthError& e) {
      return ::testing::AssertionFailure() << s.video << " frame " << n << ": " << e.what();
    }
    if (md5 == s.Expected(n)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << s.video << " frame " << n << " differs from ffmpeg's";
  }

 private:
  avs_host::ScriptEnvironment env_;
};

struct Files {
  const char* name;
  std::vector<const char*> files;
};

class InterleavedClips : public ::testing::TestWithParam<Files> {};

// Clips of different files, asked for frame by frame in turn (each clip's run continues while the
// others are served), then in each clip's shuffled order in turn (restarts interleaved).
TEST_P(InterleavedClips, EveryFrameOfEveryClipIsFfmpegs) {
  Server server;
  std::vector<Source> sources;
  for (const char* file : GetParam().files) sources.push_back(Prepare(file));
  Host host;
  std::vector<PClip> clips;
  for (const Source& s : sources) {
    std::string error;
    clips.push_back(host.Make(s.project, &error));
    ASSERT_TRUE(clips.back()) << error;
  }
  int most = 0;
  for (const Source& s : sources) most = std::max(most, s.frames);
  int wrong = 0;
  for (int n = 0; n < most; ++n) {
    for (size_t c = 0; c < clips.size(); ++c) {
      if (n >= sources[c].frames) continue;
      const auto served = host.Serves(clips[c], sources[c], n);
      if (!served && ++wrong <= 5) ADD_FAILURE() << "in order: " << served.message();
    }
  }
  std::vector<std::vector<int>> shuffled;
  for (const Source& s : sources) shuffled.push_back(RequestOrders(s.frames, 40)["shuffled"]);
  for (size_t i = 0; i < 40; ++i) {
    for (size_t c = 0; c < clips.size(); ++c) {
      if (i >= shuffled[c].size()) continue;
      const auto served = host.Serves(clips[c], sources[c], shuffled[c][i]);
      if (!served && ++wrong <= 10) ADD_FAILURE() << "shuffled: " << served.message();
    }
  }
  EXPECT_EQ(wrong, 0);
}

// The files of a set show different pictures, so that a frame of another clip never passes.
INSTANTIATE_TEST_SUITE_P(
    Files, InterleavedClips,
    ::testing::Values(Files{"EsTs", {"es480i_bff.m2v", "ts576i.ts"}},
                      Files{"EsTsMatroska", {"es480i_bff.m2v", "ts576i.ts", "mkv422i.mkv"}},
                      Files{"EsTsMatroskaHd",
                            {"es1080p_closed.m2v", "ts422i_1080.ts", "mkv576i.mkv"}}),
    [](const ::testing::TestParamInfo<Files>& info) { return info.param.name; });

// A clip destroyed in the middle of its run leaves the other clip's run as it was: the other
// continues exactly, and a clip made again takes the freed slot and serves exactly.
TEST(SeveralClips, DestroyingOneLeavesTheOtherServing) {
  Server server({"--clients", "2"});
  const Source es = Prepare("es480i_bff.m2v");
  const Source ts = Prepare("ts576i.ts");
  Host host;
  PClip a = host.Make(es.project);
  PClip b = host.Make(ts.project);
  ASSERT_TRUE(a && b);
  for (int n = 30; n < 36; ++n) {
    EXPECT_TRUE(host.Serves(a, es, n));
    EXPECT_TRUE(host.Serves(b, ts, n));
  }
  a = nullptr;
  for (int n : {36, 37, 38, 100, 12, 13}) EXPECT_TRUE(host.Serves(b, ts, n));
  std::string error;
  a = host.Make(es.project, &error);
  ASSERT_TRUE(a) << error;
  for (int n : {80, 39, 81, 40, 82, 41, 60, 14}) {
    EXPECT_TRUE(host.Serves(a, es, n));
    EXPECT_TRUE(host.Serves(b, ts, n));
  }
}

class MoreClipsThanSlots : public ::testing::TestWithParam<int> {};

// With every slot held by a clip of this process, the next clip is told that the server is busy
// and the others serve on; once one is gone, a new clip gets its slot. One slot is the plain
// server of one client.
TEST_P(MoreClipsThanSlots, TheNextClipIsToldTheServerIsBusy) {
  const int slots = GetParam();
  Server server({"--clients", std::to_string(slots)});
  const Source es = Prepare("es576i_open.m2v");
  Host host;
  std::vector<PClip> clips;
  for (int i = 0; i < slots; ++i) {
    std::string error;
    clips.push_back(host.Make(es.project, &error));
    ASSERT_TRUE(clips.back()) << "clip " << i << ": " << error << " (" << server.SlotUsers() << ")";
  }
  std::string error;
  EXPECT_FALSE(host.Make(es.project, &error)) << server.SlotUsers();
  EXPECT_EQ(error.rfind(kBusy, 0), 0u) << error;
  for (int i = 0; i < slots; ++i) EXPECT_TRUE(host.Serves(clips[i], es, 20 + i));
  clips.front() = nullptr;
  PClip again = host.Make(es.project, &error);
  ASSERT_TRUE(again) << error << " (" << server.SlotUsers() << ")";
  EXPECT_TRUE(host.Serves(again, es, 60));
  for (int i = 1; i < slots; ++i) EXPECT_TRUE(host.Serves(clips[i], es, 21 + i));
}

INSTANTIATE_TEST_SUITE_P(Slots, MoreClipsThanSlots, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace e2e
