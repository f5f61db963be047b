// The crop hand-off: the clip itself when nothing is cropped, else the host's crop of it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avs/host/script_environment.h"
#include "plugin/crop.h"
#include "tests/unit/avs/host/pattern_clip.h"

namespace {

using avs_host::ScriptEnvironment;
using avs_test::PatternClip;

struct CropCall {
  int calls = 0;
  IClip* clip = nullptr;
  std::vector<int> amounts;
};

// Stands in for the host's crop to see exactly what the front passes.
AVSValue RecordCrop(AVSValue args, void* user_data, IScriptEnvironment*) {
  auto* call = static_cast<CropCall*>(user_data);
  ++call->calls;
  call->clip = args[0].AsClip().get();
  call->amounts.clear();
  for (int i = 1; i < 5; ++i) call->amounts.push_back(args[i].AsInt());
  return args[0];
}

TEST(FrontCropTest, NothingToCropReturnsTheClipItself) {
  ScriptEnvironment env;
  CropCall call;
  env.AddFunction("crop", "ciiii", RecordCrop, &call);
  IClip* source = new PatternClip(720, 576, CS_YV12);
  AVSValue result = ApplyCrop(PClip(source), 0, 0, 0, 0, &env);
  EXPECT_EQ(call.calls, 0);
  ASSERT_TRUE(result.IsClip());
  EXPECT_EQ(result.AsClip().get(), source);
  EXPECT_EQ(source->RefCount(), 1);  // the result's reference only
}

TEST(FrontCropTest, CropAmountsBecomeLeftTopAndNegativeWidthHeight) {
  ScriptEnvironment env;
  CropCall call;
  env.AddFunction("crop", "ciiii", RecordCrop, &call);
  IClip* source = new PatternClip(720, 576, CS_YV12);
  AVSValue result = ApplyCrop(PClip(source), 8, 8, 0, 0, &env);
  EXPECT_EQ(call.calls, 1);
  EXPECT_EQ(call.clip, source);
  EXPECT_EQ(call.amounts, (std::vector<int>{8, 0, -8, 0}));
  EXPECT_EQ(source->RefCount(), 1);  // the temporary arguments are gone

  ApplyCrop(PClip(source), 2, 4, 6, 10, &env);
  EXPECT_EQ(call.amounts, (std::vector<int>{2, 6, -4, -10}));
}

TEST(FrontCropTest, TheHostsCropMakesTheSmallerClip) {
  ScriptEnvironment env;
  bool destroyed = false;
  AVSValue result =
      ApplyCrop(PClip(new PatternClip(720, 576, CS_I420, &destroyed)), 8, 8, 0, 0, &env);
  PClip cropped = result.AsClip();
  EXPECT_EQ(cropped->GetVideoInfo().width, 704);
  EXPECT_EQ(cropped->GetVideoInfo().height, 576);
  EXPECT_EQ(cropped->GetVideoInfo().pixel_type, CS_I420);
  PVideoFrame f = cropped->GetFrame(0, &env);
  EXPECT_EQ(f->GetReadPtr()[0], avs_test::PatternSample(PLANAR_Y, 8, 0, 0));
  f = PVideoFrame();
  result = AVSValue();
  cropped = nullptr;
  EXPECT_TRUE(destroyed);
}

// Values the host's crop would refuse are refused before the host is called: on a real host the
// host's error would unwind past the plugin's clean-up and the clip would never be released.
TEST(FrontCropTest, CropValuesTheHostWouldRefuseAreRefusedFirstAndReleaseTheClip) {
  ScriptEnvironment env;
  CropCall call;
  env.AddFunction("crop", "ciiii", RecordCrop, &call);
  bool destroyed = false;
  try {
    ApplyCrop(PClip(new PatternClip(720, 576, CS_YV12, &destroyed)), 3, 0, 0, 0, &env);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.what(),
                 "MPGSource: the project's CLIP values (left 3, right 0, top 0, bottom 0) do not "
                 "fit the 720x576 picture (they must be even and leave part of it)");
  }
  EXPECT_TRUE(destroyed);
  for (const std::vector<int>& bad : std::vector<std::vector<int>>{
           {0, 0, 40, 40}, {64, 0, 0, 0}, {-2, 0, 0, 0}, {0, 0, 0, 66}, {0, 2, 0, 1}}) {
    destroyed = false;
    EXPECT_THROW(ApplyCrop(PClip(new PatternClip(64, 64, CS_YV12, &destroyed)), bad[0], bad[1],
                           bad[2], bad[3], &env),
                 AvisynthError);
    EXPECT_TRUE(destroyed);
  }
  EXPECT_EQ(call.calls, 0);
}

// A crop that fails inside the host (here a stand-in that refuses everything) passes its error on
// unchanged and releases the clip.
AVSValue RefuseCrop(AVSValue, void*, IScriptEnvironment* env) {
  env->ThrowError("crop: refused");
  return AVSValue();
}

TEST(FrontCropTest, CropErrorsOfTheHostPassUnchangedAndReleaseTheClip) {
  ScriptEnvironment env;
  env.AddFunction("crop", "ciiii", RefuseCrop, nullptr);
  bool destroyed = false;
  try {
    ApplyCrop(PClip(new PatternClip(64, 64, CS_YV12, &destroyed)), 2, 0, 0, 0, &env);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.what(), "crop: refused");
  }
  EXPECT_TRUE(destroyed);
}

// A host without a crop filter gets a message instead of a bare "not found".
class HostWithoutCrop : public ScriptEnvironment {
 public:
  bool FunctionExists(const char* name) override {
    return std::string(name) != "crop" && ScriptEnvironment::FunctionExists(name);
  }
};

TEST(FrontCropTest, AHostWithoutCropIsAClearError) {
  HostWithoutCrop env;
  try {
    ApplyCrop(PClip(new PatternClip(64, 64, CS_YV12)), 2, 0, 0, 0, &env);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.what(), "MPGSource: the host has no crop filter");
  }
}

}  // namespace
