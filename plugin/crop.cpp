#include "plugin/crop.h"

#include <climits>

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
  const AVSValue args[5] = {AVSValue(clip), AVSValue(left), AVSValue(top), AVSValue(Negated(right)),
                            AVSValue(Negated(bottom))};
  return env->Invoke("crop", AVSValue(args, 5));
}
