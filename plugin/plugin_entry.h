// The plugin's front door: the exported entry point (declared in avs/avisynth.h) registers the
// one filter, MPGSource; its creation function gathers the settings, makes the clip and hands it
// to the host's crop filter when the project asks for cropping.
#pragma once

#include "avs/avisynth.h"
#include "plugin/defaults_file.h"

// The filter's argument string: five optional named arguments.
extern const char* const kMPGSourceParams;

// The settings for one use of the filter: the built-in defaults, overridden by the defaults file
// at defaultsPath (read afresh), overridden by each argument the script gave in args (the host's
// array of the five arguments in the order of kMPGSourceParams).
MPGSourceSettings ReadSettings(const AVSValue& args, const char* defaultsPath);

// The host's apply function for MPGSource; user_data is unused.
AVSValue CreateMPGSource(AVSValue args, void* user_data, IScriptEnvironment* env);
