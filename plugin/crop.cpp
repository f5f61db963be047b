#include "plugin/crop.h"

#include <climits>

namespace {

// -x without overflow; INT_MIN becomes INT_MAX, which every crop rejects as too much.
int Negated(int x) {
  return x == INT_MIN ? INT_MAX : -x;
}

// The host's crop takes left, top, then a width and a height, where 0 or less counts the columns
// or rows removed at the right or bottom edge. True when the area it would cut out of a picture of
// `size` lies inside the picture, is not empty and, for 4:2:0, starts and ends on even positions.
bool CropFits(int size, int start, int extent) {
  long long kept = extent > 0 ? extent : static_cast<long long>(size) - start + extent;
  return start >= 0 && kept > 0 && start + kept <= size && start % 2 == 0 && kept % 2 == 0;
}

}  // namespace

AVSValue ApplyCrop(const PClip& clip, int left, int right, int top, int bottom,
                   IScriptEnvironment* env) {
  if (left == 0 && right == 0 && top == 0 && bottom == 0) return AVSValue(clip);
  // Invoke of an unknown name raises the host's bare "not found" error; say what is missing.
  if (!env->FunctionExists("crop")) env->ThrowError("MPGSource: the host has no crop filter");
  // A crop that the host refuses would raise the host's own error past the plugin's clean-up, so
  // the clip would never be released; refuse such values here with a message of our own.
  const VideoInfo& vi = clip->GetVideoInfo();
  if (!CropFits(vi.width, left, Negated(right)) || !CropFits(vi.height, top, Negated(bottom))) {
    env->ThrowError(
        "MPGSource: the project's CLIP values (left %d, right %d, top %d, bottom %d) do not fit "
        "the %dx%d picture (they must be even and leave part of it)",
        left, right, top, bottom, vi.width, vi.height);
  }
  const AVSValue args[5] = {AVSValue(clip), AVSValue(left), AVSValue(top), AVSValue(Negated(right)),
                            AVSValue(Negated(bottom))};
  return env->Invoke("crop", AVSValue(args, 5));
}
