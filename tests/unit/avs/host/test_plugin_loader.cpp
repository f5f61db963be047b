// Loading a real plugin library with dlopen and using what it registers.
#include <gtest/gtest.h>

#include <string>

#include "avs/host/plugin_loader.h"
#include "avs/host/script_environment.h"

namespace avs_host {
namespace {

TEST(PluginLoaderTest, RegistersAndServesThePluginsFunctions) {
  ScriptEnvironment env;
  const char* result = LoadPlugin(&env, AVS_TEST_PLUGIN_PATH);
  ASSERT_NE(result, nullptr);
  EXPECT_STREQ(result, "avs test plugin");
  ASSERT_NE(env.FindFunction("Pattern"), nullptr);
  EXPECT_EQ(env.FindFunction("Pattern")->params, "[width]i[height]i[i420]b");

  const AVSValue args[2] = {true, 32};
  const char* names[2] = {"i420", "height"};
  PClip clip = env.Invoke("Pattern", AVSValue(args, 2), names).AsClip();
  ASSERT_TRUE(clip);
  EXPECT_EQ(clip->GetVideoInfo().width, 64);
  EXPECT_EQ(clip->GetVideoInfo().height, 32);
  EXPECT_EQ(clip->GetVideoInfo().pixel_type, CS_I420);
  PVideoFrame f = clip->GetFrame(3, &env);
  EXPECT_EQ(f->GetReadPtr()[1], 4);  // written by the plugin's code into the host's frame

  // The host's crop works on the plugin's clip.
  const AVSValue crop[5] = {clip, 2, 2, -2, -2};
  PClip cropped = env.Invoke("crop", AVSValue(crop, 5)).AsClip();
  EXPECT_EQ(cropped->GetFrame(3, &env)->GetReadPtr()[0], 2 + 2 * 3 + 3);

  const AVSValue d[3] = {"s", 5, 2};
  EXPECT_STREQ(env.Invoke("Describe", AVSValue(d, 3)).AsString(), "described s 5 2 calls=1");
}

TEST(PluginLoaderTest, ErrorsRaisedInThePluginReachTheCaller) {
  ScriptEnvironment env;
  LoadPlugin(&env, AVS_TEST_PLUGIN_PATH);
  try {
    env.Invoke("Fail", AVSValue("on purpose"));
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.what(), "Fail: on purpose");
  }
}

TEST(PluginLoaderTest, LoadingTwiceCallsTheEntryPointAgain) {
  ScriptEnvironment env;
  LoadPlugin(&env, AVS_TEST_PLUGIN_PATH);
  LoadPlugin(&env, AVS_TEST_PLUGIN_PATH);
  const std::string described = env.Invoke("Describe", AVSValue("x")).AsString();
  EXPECT_NE(described.find("calls="), std::string::npos);
  EXPECT_EQ(env.FunctionNames().size(), 4u);  // crop and the plugin's three, once each
}

TEST(PluginLoaderTest, BadLibrariesAreErrorsNamingTheFile) {
  ScriptEnvironment env;
  try {
    LoadPlugin(&env, "/nonexistent/plugin.so");
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/plugin.so"), std::string::npos);
  }
  try {
    LoadPlugin(&env, "libm.so.6");
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.what(), "plugin \"libm.so.6\" exports no AvisynthPluginInit2");
  }
}

}  // namespace
}  // namespace avs_host
