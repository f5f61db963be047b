#include "clip/crop_rule.h"

#include <climits>
#include <cstdio>

namespace clip {

namespace {

// -x without overflow; INT_MIN becomes INT_MAX, which every crop rejects as too much.
int Negated(int x) {
  return x == INT_MIN ? INT_MAX : -x;
}

// A host's crop takes left, top, then a width and a height, where 0 or less counts the columns or
// rows removed at the right or bottom edge. True when the area it would cut out of a picture of
// `size` lies inside the picture, is not empty and starts and ends on even positions.
bool CropFits(int size, int start, int extent) {
  const long long kept = extent > 0 ? extent : static_cast<long long>(size) - start + extent;
  return start >= 0 && kept > 0 && start + kept <= size && start % 2 == 0 && kept % 2 == 0;
}

}  // namespace

std::string CropProblem(int left, int right, int top, int bottom, int width, int height) {
  if (CropFits(width, left, Negated(right)) && CropFits(height, top, Negated(bottom)))
    return std::string();
  char text[256];
  std::snprintf(text, sizeof text,
                "MPGSource: the project's CLIP values (left %d, right %d, top %d, bottom %d) do "
                "not fit the %dx%d picture (they must be even and leave part of it)",
                left, right, top, bottom, width, height);
  return text;
}

}  // namespace clip
