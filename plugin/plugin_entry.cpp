#include "plugin/plugin_entry.h"

#include "plugin/crop.h"
#include "plugin/mpgsource.h"

const char* const kMPGSourceParams = "[vnt]s[i420]b[deinterlace]i[use_top_field]b[yv12]b";

MPGSourceSettings ReadSettings(const AVSValue& args, const char* defaultsPath) {
  MPGSourceSettings settings;
  ReadDefaultsFile(defaultsPath, &settings);
  // A value of another type than the argument string declares counts as left out.
  if (args[0].IsString() && args[0].AsString() != nullptr) settings.path = args[0].AsString();
  if (args[1].IsBool()) settings.i420 = args[1].AsBool();
  if (args[2].IsInt()) {
    settings.deinterlace = args[2].AsInt();
    settings.deinterlaceFromFile = false;
  }
  if (args[3].IsBool()) settings.use_top_field = args[3].AsBool();
  if (args[4].IsBool()) settings.yv12 = args[4].AsBool();
  return settings;
}

AVSValue CreateMPGSource(AVSValue args, void*, IScriptEnvironment* env) {
  const MPGSourceSettings s = ReadSettings(args, kDefaultsFileName);
  // Only modes 0, 1 and 2 exist; any other value would serve pictures of no defined kind.
  if (s.deinterlace < 0 || s.deinterlace > 2) {
    env->ThrowError("MPGSource: deinterlace must be 0, 1 or 2, not %d (%s).", s.deinterlace,
                    s.deinterlaceFromFile ? kDefaultsFileName : "the script's argument");
  }
  // The longest bound that milliseconds in 32 bits hold, about 49 days.
  constexpr int kMaxServerTimeoutSeconds = 4000000;
  if (s.serverTimeoutSeconds < 0 || s.serverTimeoutSeconds > kMaxServerTimeoutSeconds) {
    env->ThrowError("MPGSource: server_timeout must be 0 (no limit) to %d seconds, not %d (%s).",
                    kMaxServerTimeoutSeconds, s.serverTimeoutSeconds, kDefaultsFileName);
  }
  // The constructor raises the host's error itself; the clip is counted from here on, so that
  // an error of the crop releases it.
  MPGSource* source = new MPGSource(s.path.c_str(), s.i420, s.deinterlace, s.use_top_field, env,
                                    s.yv12, static_cast<uint32_t>(s.serverTimeoutSeconds) * 1000u);
  const PClip clip(source);
  const clip::ClipFacts& f = source->Core().Facts();
  return ApplyCrop(clip, f.cropLeft, f.cropRight, f.cropTop, f.cropBottom, env);
}

extern "C" AVS_EXPORT const char* AvisynthPluginInit2(IScriptEnvironment* env) {
  env->AddFunction("MPGSource", kMPGSourceParams, CreateMPGSource, nullptr);
  return nullptr;
}
