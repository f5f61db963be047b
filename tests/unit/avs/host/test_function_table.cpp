// Binding of script arguments to a function's argument string, through the environment's Invoke.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avs/host/function_table.h"
#include "avs/host/script_environment.h"
#include "tests/unit/avs/host/pattern_clip.h"

namespace avs_host {
namespace {

// Records what an apply function received.
struct Received {
  int calls = 0;
  std::vector<char> types;
  std::vector<AVSValue> values;
  // Arrays live only during the call: their elements are copied here.
  std::vector<std::vector<AVSValue>> arrays;
};

AVSValue Record(AVSValue args, void* user_data, IScriptEnvironment*) {
  auto* r = static_cast<Received*>(user_data);
  ++r->calls;
  r->types.clear();
  r->values.clear();
  r->arrays.clear();
  for (int i = 0; i < args.ArraySize(); ++i) {
    r->types.push_back(args[i].Type());
    r->values.push_back(args[i]);
    if (args[i].IsArray()) {
      r->arrays.emplace_back();
      for (int j = 0; j < args[i].ArraySize(); ++j) r->arrays.back().push_back(args[i][j]);
    }
  }
  return AVSValue(args.ArraySize());
}

std::string InvokeError(ScriptEnvironment& env, const char* name, const AVSValue& args,
                        const char** names = nullptr) {
  try {
    env.Invoke(name, args, names);
  } catch (const AvisynthError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(ParamsTest, ParsesNamedPositionalAndRepeated) {
  std::vector<ParamSpec> specs;
  std::string error;
  ASSERT_TRUE(ParseParams("c[left]i.f*[s]s+", &specs, &error)) << error;
  ASSERT_EQ(specs.size(), 5u);
  EXPECT_EQ(specs[0].type, 'c');
  EXPECT_FALSE(specs[0].Optional());
  EXPECT_EQ(specs[1].name, "left");
  EXPECT_TRUE(specs[1].Optional());
  EXPECT_EQ(specs[2].type, '.');
  EXPECT_EQ(specs[3].repeat, '*');
  EXPECT_EQ(specs[4].repeat, '+');
  EXPECT_TRUE(ParseParams("", &specs, &error));
  EXPECT_TRUE(specs.empty());
}

TEST(ParamsTest, RejectsMalformedStrings) {
  std::vector<ParamSpec> specs;
  std::string error;
  for (const char* bad : {"x", "[vnt", "[]s", "[a]", "s*+", "i[n]"}) {
    EXPECT_FALSE(ParseParams(bad, &specs, &error)) << bad;
    EXPECT_NE(error.find("bad argument string"), std::string::npos) << bad;
  }
}

class InvokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.AddFunction("Source", "[vnt]s[i420]b[deinterlace]i[use_top_field]b", Record, &got);
    env.AddFunction("Scale", "c[factor]f", Record, &got);
  }
  ScriptEnvironment env;
  Received got;
};

TEST_F(InvokeTest, PositionalAndNamedFillTheirParameters) {
  const AVSValue args[3] = {"a.vnt", 2, true};
  const char* names[3] = {nullptr, "deinterlace", "USE_TOP_FIELD"};
  AVSValue r = env.Invoke("source", AVSValue(args, 3), names);
  EXPECT_EQ(r.AsInt(), 4);  // one value per parameter
  ASSERT_EQ(got.types, (std::vector<char>{'s', 'v', 'i', 'b'}));
  EXPECT_STREQ(got.values[0].AsString(), "a.vnt");
  EXPECT_EQ(got.values[2].AsInt(), 2);
  EXPECT_TRUE(got.values[3].AsBool());

  // Optional named parameters may also be given by position; a single value needs no array.
  env.Invoke("Source", AVSValue("b.vnt"));
  EXPECT_EQ(got.types, (std::vector<char>{'s', 'v', 'v', 'v'}));
  env.Invoke("Source", AVSValue(nullptr, 0));
  EXPECT_EQ(got.types, (std::vector<char>{'v', 'v', 'v', 'v'}));
}

TEST_F(InvokeTest, IntIsAcceptedAsFloat) {
  const PClip clip(new avs_test::PatternClip(16, 16, CS_YV12));
  const AVSValue args[2] = {clip, 3};
  env.Invoke("Scale", AVSValue(args, 2));
  ASSERT_EQ(got.types, (std::vector<char>{'c', 'f'}));
  EXPECT_FLOAT_EQ(got.values[1].AsFloat(), 3.0f);
  EXPECT_EQ(got.values[0].AsClip(), clip);
}

TEST_F(InvokeTest, WrongTypesAndNamesAreClearErrors) {
  EXPECT_EQ(InvokeError(env, "Source", AVSValue(5)),
            "Source: argument 1 (vnt) must be string, not int");
  {
    const AVSValue args[2] = {"a", 1.5f};
    const char* names[2] = {nullptr, "deinterlace"};
    EXPECT_EQ(InvokeError(env, "Source", AVSValue(args, 2), names),
              "Source: argument 3 (deinterlace) must be int, not float");
  }
  {
    const AVSValue args[2] = {"a", true};
    const char* names[2] = {nullptr, "i42"};
    EXPECT_EQ(InvokeError(env, "Source", AVSValue(args, 2), names),
              "Source: no argument named \"i42\"");
  }
  {
    const AVSValue args[2] = {"a", "b"};
    const char* names[2] = {nullptr, "vnt"};
    EXPECT_EQ(InvokeError(env, "Source", AVSValue(args, 2), names),
              "Source: argument 1 (vnt) is given twice");
  }
  {
    const AVSValue args[5] = {"a", true, 1, true, 7};
    EXPECT_EQ(InvokeError(env, "Source", AVSValue(args, 5)),
              "Source: too many arguments (takes at most 4)");
  }
  EXPECT_EQ(InvokeError(env, "Scale", AVSValue(nullptr, 0)), "Scale: argument 1 (clip) is missing");
  EXPECT_EQ(got.calls, 0);
}

TEST_F(InvokeTest, RepeatedParametersGatherValues) {
  env.AddFunction("Join", "s+[sep]s", Record, &got);
  const AVSValue args[4] = {"x", "y", "z", "-"};
  const char* names[4] = {nullptr, nullptr, nullptr, "sep"};
  env.Invoke("Join", AVSValue(args, 4), names);
  ASSERT_EQ(got.types, (std::vector<char>{'a', 's'}));
  ASSERT_EQ(got.arrays.size(), 1u);
  ASSERT_EQ(got.arrays[0].size(), 3u);
  EXPECT_STREQ(got.arrays[0][2].AsString(), "z");
  EXPECT_EQ(InvokeError(env, "Join", AVSValue(1)), "Join: argument 1 must be string, not int");
}

}  // namespace
}  // namespace avs_host
