// Whether a project's crop (its CLIP line) fits the picture, for every host's crop.
#pragma once

#include <string>

namespace clip {

// Empty when the crop of the project's CLIP values fits a `width` x `height` picture: it leaves
// part of it and keeps every edge on an even position (a negative right or bottom value is the
// width or height kept, as the host's crop reads it); otherwise the user's message.
std::string CropProblem(int left, int right, int top, int bottom, int width, int height);

}  // namespace clip
