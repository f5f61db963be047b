// The environment's own services: errors, strings, variables, exit callbacks, versions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "avs/host/script_environment.h"

namespace avs_host {
namespace {

AVSValue Constant(AVSValue, void* user_data, IScriptEnvironment*) {
  return AVSValue(static_cast<int>(reinterpret_cast<intptr_t>(user_data)));
}

TEST(ScriptEnvironmentTest, ThrowErrorFormatsAndThrows) {
  ScriptEnvironment env;
  try {
    env.ThrowError("MPGSource: %s %d", "bad", 42);
    FAIL() << "ThrowError returned";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.what(), "MPGSource: bad 42");
  }
}

TEST(ScriptEnvironmentTest, UnknownFunctionsAndVariablesAreNotFound) {
  ScriptEnvironment env;
  EXPECT_TRUE(env.FunctionExists("crop"));
  EXPECT_TRUE(env.FunctionExists("Crop"));
  EXPECT_FALSE(env.FunctionExists("MPGSource"));
  EXPECT_THROW(env.Invoke("MPGSource", AVSValue("x")), IScriptEnvironment::NotFound);
  EXPECT_THROW(env.GetVar("nothing"), IScriptEnvironment::NotFound);
}

TEST(ScriptEnvironmentTest, AddFunctionChecksAndLaterRegistrationWins) {
  ScriptEnvironment env;
  EXPECT_THROW(env.AddFunction("Bad", "[x", Constant, nullptr), AvisynthError);
  EXPECT_THROW(env.AddFunction("NoApply", "", nullptr, nullptr), AvisynthError);
  env.AddFunction("Value", "", Constant, reinterpret_cast<void*>(1));
  env.AddFunction("VALUE", "", Constant, reinterpret_cast<void*>(2));
  EXPECT_EQ(env.Invoke("value", AVSValue(nullptr, 0)).AsInt(), 2);
  EXPECT_EQ(env.FunctionNames(), (std::vector<std::string>{"crop", "VALUE"}));
  EXPECT_STREQ(env.FindFunction("crop")->params.c_str(), "ciiii");
}

TEST(ScriptEnvironmentTest, StringsLiveAsLongAsTheEnvironment) {
  ScriptEnvironment env;
  std::string source = "abcdef";
  char* whole = env.SaveString(source.c_str());
  char* part = env.SaveString(source.c_str(), 3);
  char* formatted = env.Sprintf("%s-%03d", "x", 7);
  for (int i = 0; i < 1000; ++i) env.SaveString("filler");
  source.assign(6, 'z');
  EXPECT_STREQ(whole, "abcdef");
  EXPECT_STREQ(part, "abc");
  EXPECT_STREQ(formatted, "x-007");
  std::string big(5000, 'q');
  EXPECT_EQ(std::string(env.Sprintf("%s", big.c_str())), big);
}

TEST(ScriptEnvironmentTest, VariablesHaveContextsAndGlobals) {
  ScriptEnvironment env;
  std::string name = "path";
  {
    std::string value = "/tmp/a.vnt";
    env.SetVar("Path", AVSValue(value.c_str()));
    value = "overwritten";  // the environment keeps its own copy
  }
  env.SetGlobalVar("level", AVSValue(1));
  EXPECT_STREQ(env.GetVar("PATH").AsString(), "/tmp/a.vnt");
  env.PushContext();
  EXPECT_THROW(env.GetVar("path"), IScriptEnvironment::NotFound);
  EXPECT_EQ(env.GetVar("level").AsInt(), 1);
  env.SetVar("level", AVSValue(2));  // a local shadows the global
  EXPECT_EQ(env.GetVar("level").AsInt(), 2);
  env.PopContext();
  env.PopContext();  // popping the script's own level is ignored
  EXPECT_EQ(env.GetVar("level").AsInt(), 1);
  EXPECT_STREQ(env.GetVar("path").AsString(), "/tmp/a.vnt");
}

std::vector<int> g_exitOrder;
void RecordExit(void* data, IScriptEnvironment* env) {
  EXPECT_NE(env, nullptr);
  g_exitOrder.push_back(static_cast<int>(reinterpret_cast<intptr_t>(data)));
}

TEST(ScriptEnvironmentTest, AtExitRunsLastFirstWhenTheEnvironmentGoes) {
  g_exitOrder.clear();
  {
    ScriptEnvironment env;
    env.AtExit(RecordExit, reinterpret_cast<void*>(1));
    env.AtExit(RecordExit, reinterpret_cast<void*>(2));
    EXPECT_TRUE(g_exitOrder.empty());
  }
  EXPECT_EQ(g_exitOrder, (std::vector<int>{2, 1}));
}

TEST(ScriptEnvironmentTest, VersionMemoryAndWorkingDirectory) {
  ScriptEnvironment env;
  EXPECT_NO_THROW(env.CheckVersion(2));
  EXPECT_NO_THROW(env.CheckVersion());
  EXPECT_THROW(env.CheckVersion(3), AvisynthError);
  EXPECT_EQ(env.SetMemoryMax(64), 64);
  EXPECT_EQ(env.SetMemoryMax(0), 64);
  EXPECT_EQ(env.GetCPUFlags(), 0);

  char before[PATH_MAX];
  ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
  std::string pattern = (std::filesystem::temp_directory_path() / "avs_host_cwd_XXXXXX").string();
  char* dir = mkdtemp(pattern.data());
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(env.SetWorkingDir(dir), 0);
  char now[PATH_MAX];
  ASSERT_NE(getcwd(now, sizeof(now)), nullptr);
  EXPECT_STREQ(now, dir);
  EXPECT_EQ(env.SetWorkingDir("/nonexistent/avs_host"), -1);
  ASSERT_EQ(chdir(before), 0);
  rmdir(dir);
}

}  // namespace
}  // namespace avs_host
