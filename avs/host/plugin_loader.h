// Loading a plugin library into the minimal host.
#pragma once

#include <string>

#include "avs/avisynth.h"

namespace avs_host {

// Opens the shared library at path and calls its AvisynthPluginInit2 with env, so that the plugin
// registers its functions. Returns what the entry point returned (may be null). A library that
// does not open or exports no entry point is an AvisynthError naming the file.
//
// Our ScriptEnvironment unloads the library when it ends, after its clips and variables are gone,
// as a real host does: a plugin must have ended its threads by the time its last clip is
// destroyed. Under any other environment the library stays loaded.
const char* LoadPlugin(IScriptEnvironment* env, const std::string& path);

}  // namespace avs_host
