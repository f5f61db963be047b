// Loading a plugin library into the minimal host.
#pragma once

#include <string>

#include "avs/avisynth.h"

namespace avs_host {

// Opens the shared library at path and calls its AvisynthPluginInit2 with env, so that the plugin
// registers its functions. Returns what the entry point returned (may be null). A library that
// does not open or exports no entry point is an AvisynthError naming the file.
//
// The library is never unloaded: clips and threads of the plugin may outlive any point at which
// the host could know that its code is no longer running.
const char* LoadPlugin(IScriptEnvironment* env, const std::string& path);

}  // namespace avs_host
