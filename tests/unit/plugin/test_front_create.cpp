// MPGSource as a script uses it: the entry point registers it, the host invokes it with the
// settings from the defaults file and the script, and the project's crop values decide whether
// the clip comes back as is or through the host's crop. Against the scripted server process.
#include <gtest/gtest.h>
#include <unistd.h>

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

}  // namespace
