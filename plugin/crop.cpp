#include "plugin/crop.h"

#include <climits>

#include "clip/crop_rule.h"

namespace {

// -x without overflow; INT_MIN becomes INT_MAX, which every crop rejects as too much.
int Negated(int x) {
  return x == INT_MIN ? INT_MAX : -x;
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
  const std::string problem = clip::CropProblem(left, right, top, bottom, vi.width, vi.height);
  if (!problem.empty()) env->ThrowError("%s", problem.c_str());
  const AVSValue args[5] = {AVSValue(clip), AVSValue(left), AVSValue(top), AVSValue(Negated(right)),
                            AVSValue(Negated(bottom))};
  return env->Invoke("crop", AVSValue(args, 5));
}
