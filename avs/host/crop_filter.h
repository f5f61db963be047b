// The host's "crop" filter: crop(clip, left, top, width, height). A width or height of 0 or less
// counts the columns or rows removed at the right or bottom edge. The cropped clip shares the
// source frames' buffers.
#pragma once

#include "avs/avisynth.h"

namespace avs_host {

class FrameStore;

// The argument string under which the host registers crop.
extern const char* const kCropParams;

// The apply function; user_data is the FrameStore that makes the cropped frames. Bad values
// (negative left or top, nothing left, an area beyond the picture, odd values on 4:2:0 video)
// are raised through env->ThrowError.
AVSValue CreateCrop(AVSValue args, void* user_data, IScriptEnvironment* env);

}  // namespace avs_host
