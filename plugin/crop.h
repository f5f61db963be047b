// Handing the clip to the host's crop filter when the project asks for cropping.
#pragma once

#include "avs/avisynth.h"

// Returns clip itself when all four amounts are 0; otherwise the host's
// crop(clip, left, top, -right, -bottom), where a width or height of 0 or less counts the columns
// or rows removed at the right or bottom edge. Errors of the host's crop pass through unchanged.
AVSValue ApplyCrop(const PClip& clip, int left, int right, int top, int bottom,
                   IScriptEnvironment* env);
