// Registration with the host, from the statically linked front and from the built plugin library.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "avs/host/plugin_loader.h"
#include "avs/host/script_environment.h"
#include "plugin/plugin_entry.h"
#include "tests/unit/plugin/front_test_dir.h"

namespace {

using avs_host::ScriptEnvironment;

const char kParams[] = "[vnt]s[i420]b[deinterlace]i[use_top_field]b[yv12]b";

TEST(FrontEntryTest, RegistersOnlyMPGSourceWithItsArguments) {
  ScriptEnvironment env;
  EXPECT_EQ(AvisynthPluginInit2(&env), nullptr);
  EXPECT_EQ(env.FunctionNames(), (std::vector<std::string>{"crop", "MPGSource"}));
  ASSERT_NE(env.FindFunction("MPGSource"), nullptr);
  EXPECT_EQ(env.FindFunction("MPGSource")->params, kParams);
  EXPECT_EQ(env.FindFunction("MPGSource")->user_data, nullptr);
  // Registering again (a host may call the entry point twice) changes nothing.
  AvisynthPluginInit2(&env);
  EXPECT_EQ(env.FunctionNames().size(), 2u);
}

TEST(FrontEntryTest, TheHostChecksTheScriptsArgumentTypes) {
  ScriptEnvironment env;
  AvisynthPluginInit2(&env);
  try {
    const AVSValue args[2] = {"a.vnt", 1};
    const char* names[2] = {nullptr, "i420"};
    env.Invoke("MPGSource", AVSValue(args, 2), names);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.what(), "MPGSource: argument 2 (i420) must be bool, not int");
  }
}

// Without a decoding server the clip's own error reaches the script unchanged.
class FrontWithoutServerTest : public FrontTestDir {
 protected:
  void SetUp() override {
    FrontTestDir::SetUp();
    const char* old = getenv("MPGSOURCE_IPC_NAMESPACE");
    saved_ = old ? old : "";
    hadNamespace_ = old != nullptr;
    setenv("MPGSOURCE_IPC_NAMESPACE", ("front-test-" + std::to_string(getpid())).c_str(), 1);
  }
  void TearDown() override {
    if (hadNamespace_) {
      setenv("MPGSOURCE_IPC_NAMESPACE", saved_.c_str(), 1);
    } else {
      unsetenv("MPGSOURCE_IPC_NAMESPACE");
    }
    FrontTestDir::TearDown();
  }

 private:
  std::string saved_;
  bool hadNamespace_ = false;
};

TEST_F(FrontWithoutServerTest, TheClipsErrorPassesThrough) {
  WriteDefaults("vnt=\"from-file.vnt\"\n");
  ScriptEnvironment env;
  AvisynthPluginInit2(&env);
  try {
    env.Invoke("MPGSource", AVSValue(nullptr, 0));
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.what(), "MPGSource: CUVID Server not running!");
  }
}

#ifdef VANTU_PLUGIN_PATH
TEST(FrontEntryTest, ThePluginLibraryExportsItsEntryPoint) {
  ScriptEnvironment env;
  EXPECT_EQ(avs_host::LoadPlugin(&env, VANTU_PLUGIN_PATH), nullptr);
  EXPECT_EQ(env.FunctionNames(), (std::vector<std::string>{"crop", "MPGSource"}));
  EXPECT_EQ(env.FindFunction("MPGSource")->params, kParams);

  // The dynamic symbol table names it undecorated (as `nm -D` shows it).
  FILE* nm = popen("nm -D --defined-only " VANTU_PLUGIN_PATH " 2>/dev/null", "r");
  ASSERT_NE(nm, nullptr);
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof(buf), nm)) out.append(buf, n);
  const int status = pclose(nm);
  if (status != 0) GTEST_SKIP() << "nm is not available";
  EXPECT_NE(out.find(" T AvisynthPluginInit2\n"), std::string::npos) << out;
}
#endif

}  // namespace
