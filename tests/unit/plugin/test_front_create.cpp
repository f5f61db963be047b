// MPGSource as a script uses it: the entry point registers it, the host invokes it with the
// settings from the defaults file and the script, and the project's crop values decide whether
// the clip comes back as is or through the host's crop. Against the scripted server process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>
#include <string>

#include "plugin/plugin_entry.h"
#include "tests/unit/plugin/test_clip_fixture.h"

namespace {

class FrontCreateTest : public ClipTest {
 protected:
  void SetUp() override {
    ClipTest::SetUp();
    ASSERT_NE(getcwd(previous_, sizeof(previous_)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    AvisynthPluginInit2(&env_);
  }
  void TearDown() override {
    ClipTest::TearDown();
    EXPECT_EQ(chdir(previous_), 0);
  }

  // Replaces the project's CLIP line.
  void SetCrop(const std::string& values) {
    std::ifstream in(media_.project);
    std::stringstream text;
    text << in.rdbuf();
    std::string project = text.str();
    const size_t at = project.find("\nCLIP ");
    ASSERT_NE(at, std::string::npos);
    project.replace(at + 1, project.find('\n', at + 1) - at - 1, "CLIP " + values);
    std::ofstream(media_.project) << project;
  }

  // Invokes MPGSource with the project as its one positional argument, or none.
  PClip Invoke(bool withPath) {
    return withPath ? env_.Invoke("MPGSource", AVSValue(media_.project.c_str())).AsClip()
                    : env_.Invoke("MPGSource", AVSValue(nullptr, 0)).AsClip();
  }

 private:
  char previous_[PATH_MAX];
};

TEST_F(FrontCreateTest, WithoutCropTheClipItselfComesBack) {
  StartServer();
  clip_ = Invoke(true);
  ASSERT_TRUE(clip_);
  EXPECT_NE(dynamic_cast<MPGSource*>(clip_.get()), nullptr);
  EXPECT_EQ(clip_->GetVideoInfo().width, 64);
  EXPECT_EQ(clip_->GetVideoInfo().pixel_type, CS_YV12);
  EXPECT_TRUE(Holds(clip_->GetFrame(5, &env_), 5, 0));
}

TEST_F(FrontCreateTest, TheProjectsCropValuesCropTheClip) {
  StartServer();
  SetCrop("8 8 2 4");  // left, right, top, bottom
  std::ofstream("VantuDecodeNV.def") << "vnt=\"clip.vnt\"\ni420=true\n";
  clip_ = Invoke(false);
  ASSERT_TRUE(clip_);
  EXPECT_EQ(dynamic_cast<MPGSource*>(clip_.get()), nullptr);
  const VideoInfo& vi = clip_->GetVideoInfo();
  EXPECT_EQ(vi.width, 64 - 16);
  EXPECT_EQ(vi.height, 48 - 6);
  EXPECT_EQ(vi.pixel_type, CS_I420);
  PVideoFrame frame = clip_->GetFrame(7, &env_);
  for (int y = 0; y < vi.height; ++y) {
    for (int x = 0; x < vi.width; ++x) {
      ASSERT_EQ(frame->GetReadPtr()[y * frame->GetPitch() + x],
                scripted::LumaAt(7, 0, x + 8, y + 2))
          << x << "," << y;
    }
  }
  EXPECT_EQ(frame->GetReadPtr(PLANAR_U)[0], scripted::UAt(7, 0, 4, 1));
  EXPECT_EQ(frame->GetReadPtr(PLANAR_V)[0], scripted::VAt(7, 0, 4, 1));
}

TEST_F(FrontCreateTest, ACropThatDoesNotFitReleasesTheClip) {
  StartServer();
  SetCrop("3 0 0 0");
  const int before = OpenDescriptors();
  try {
    Invoke(true);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("MPGSource: the project's CLIP values", 0), 0u)
        << e.what();
  }
  // The clip is gone with everything it held, so another one can be made.
  EXPECT_LE(OpenDescriptors(), before);
  SetCrop("0 0 0 0");
  clip_ = Invoke(true);
  EXPECT_TRUE(Holds(clip_->GetFrame(5, &env_), 5, 0));
}

TEST_F(FrontCreateTest, DeinterlaceOutsideZeroToTwoIsAnErrorWhereverItComesFrom) {
  StartServer();
  // Named arguments as a script passes them: vnt and deinterlace.
  const char* names[] = {"vnt", "deinterlace"};
  auto invokeWith = [&](int deinterlace) -> std::string {
    AVSValue args[] = {AVSValue(media_.project.c_str()), AVSValue(deinterlace)};
    try {
      clip_ = env_.Invoke("MPGSource", AVSValue(args, 2), names).AsClip();
    } catch (const AvisynthError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(invokeWith(3),
            "MPGSource: deinterlace must be 0, 1 or 2, not 3 (the script's argument).");
  EXPECT_EQ(invokeWith(-1),
            "MPGSource: deinterlace must be 0, 1 or 2, not -1 (the script's argument).");
  std::ofstream("VantuDecodeNV.def") << "deinterlace=7\n";
  try {
    Invoke(true);
    ADD_FAILURE() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_EQ(std::string(e.what()),
              "MPGSource: deinterlace must be 0, 1 or 2, not 7 (VantuDecodeNV.def).");
  }
  // The script's valid value overrides the file's invalid one.
  EXPECT_EQ(invokeWith(2), "");
  EXPECT_EQ(clip_->GetVideoInfo().num_frames, 2 * media_.pictureCount);
}

TEST_F(FrontCreateTest, ProjectValuesThatCannotBeRightForTheVideo) {
  StartServer();
  std::ifstream in(media_.project);
  std::stringstream text;
  text << in.rdbuf();
  const std::string good = text.str();
  auto errorWith = [&](const std::string& from, const std::string& to) -> std::string {
    std::string project = good;
    const size_t at = project.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    project.replace(at, from.size(), to);
    std::ofstream(media_.project) << project;
    try {
      clip_ = Invoke(true);
    } catch (const AvisynthError& e) {
      return e.what();
    }
    return "";
  };
  const std::string prefix =
      "MPGSource: The VNT file holds a value that cannot be right for its video. (" +
      media_.project + ": ";
  EXPECT_EQ(errorWith("FPS 25 / 1", "FPS 0 / 0"), prefix + "FPS 0/0 is not a frame rate)");
  EXPECT_EQ(errorWith("FPS 25 / 1", "FPS -25 / 1"), prefix + "FPS -25/1 is not a frame rate)");
  EXPECT_EQ(errorWith("FPS 25 / 1", "FPS 25 / -1"), prefix + "FPS 25/-1 is not a frame rate)");
  EXPECT_EQ(errorWith("SIZ 64 x 48", "SIZ 0 x 48"), prefix + "SIZ 0x48 is not a picture size)");
  EXPECT_EQ(errorWith("SIZ 64 x 48", "SIZ 64 x 64"),
            prefix + "SIZ 64x64 is not the picture size of " + media_.video + " (64x48))");
  // The project's line that holds `text`, as a message names it.
  auto lineOf = [&](const std::string& text) {
    return "line " +
           std::to_string(1 + std::count(good.begin(), good.begin() + good.find(text), '\n'));
  };
  const std::string second = "SEQ " + std::to_string(media_.gopPositions[1]);
  EXPECT_EQ(errorWith(second, "SEQ 1000000"),
            prefix + lineOf(second) + ": GOP 1 starts at byte 1000000, past the end of " +
                media_.video + " (" +
                std::to_string(std::ifstream(media_.video, std::ios::ate).tellg()) + " bytes))");
  EXPECT_EQ(errorWith("SEQ 0\n", "SEQ 1\n"),
            prefix + lineOf("SEQ 0\n") + ": " + media_.video +
                " has no MPEG-2 sequence header where the first GOP starts (byte 1))");
  EXPECT_EQ(errorWith("FPS 25 / 1", "FPS 25 / 1"), "");
  EXPECT_TRUE(Holds(clip_->GetFrame(5, &env_), 5, 0));
}

}  // namespace
