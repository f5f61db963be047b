// A small plugin for the host's loader tests: "Pattern" makes a pattern clip, "Describe" echoes
// its arguments as a string, "Fail" raises an error through the host.
#include <string>

#include "avs/avisynth.h"
#include "tests/unit/avs/host/pattern_clip.h"

namespace {

int g_initCalls = 0;

AVSValue CreatePattern(AVSValue args, void*, IScriptEnvironment*) {
  const int pixel_type = args[2].AsBool(false) ? CS_I420 : CS_YV12;
  return AVSValue(new avs_test::PatternClip(args[0].AsInt(64), args[1].AsInt(48), pixel_type));
}

AVSValue Describe(AVSValue args, void* user_data, IScriptEnvironment* env) {
  return AVSValue(env->Sprintf("%s %s %d %g calls=%d", static_cast<const char*>(user_data),
                               args[0].AsString("-"), args[1].AsInt(-1),
                               static_cast<double>(args[2].AsFloat(-1.0f)), g_initCalls));
}

AVSValue Fail(AVSValue args, void*, IScriptEnvironment* env) {
  env->ThrowError("Fail: %s", args[0].AsString());
  return AVSValue();  // not reached: ThrowError throws
}

}  // namespace

extern "C" AVS_EXPORT const char* AvisynthPluginInit2(IScriptEnvironment* env) {
  ++g_initCalls;
  env->AddFunction("Pattern", "[width]i[height]i[i420]b", CreatePattern, nullptr);
  env->AddFunction("Describe", "s[n]i[x]f", Describe, const_cast<char*>("described"));
  env->AddFunction("Fail", "s", Fail, nullptr);
  return "avs test plugin";
}
