#include "clip/shown_frames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "platform/file.h"
#include "platform/path.h"
#include "reader/avc_decoder.h"

namespace clip {

namespace {

struct AspectFrom {
  uint64_t codedFrame;
  int numerator, denominator;
};

// The INFO lines this needs, read up to the first GOP.
struct ProjectInfo {
  int codedNumerator = 0, codedDenominator = 0;
  int sarNumerator = 0, sarDenominator = 0;
  bool colour = false;
  ColourFacts colourFacts;
  std::vector<AspectFrom> aspect;
};

// Reads the project once more for its INFO lines. The project is opened as the loader opens it:
// the name as UTF-8 (or the host's ANSI bytes), through the system's wide calls on Windows.
ProjectInfo ReadInfo(const std::string& path) {
  ProjectInfo info;
  char reason[256];
  FILE* in = platform::OpenRegularFile(platform::Utf8Path(path.c_str()).c_str(), nullptr, reason,
                                       sizeof reason);
  if (in == nullptr) return info;
  std::string line;
  while (platform::ReadTextLine(in, &line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 4, "SEQ ") == 0) break;
    if (line.compare(0, 5, "INFO ") != 0) continue;
    const char* text = line.c_str() + 5;
    int a = 0, b = 0, c = 0, d = 0, e = 0;
    unsigned long long frame = 0;
    if (std::sscanf(text, "codedrate %d / %d", &a, &b) == 2 && a > 0 && b > 0) {
      info.codedNumerator = a;
      info.codedDenominator = b;
    } else if (std::sscanf(text, "sar %d / %d", &a, &b) == 2 && a > 0 && b > 0) {
      info.sarNumerator = a;
      info.sarDenominator = b;
    } else if (std::sscanf(text, "colour %d %d %d", &a, &b, &c) == 3) {
      info.colour = true;
      // 0 is forbidden in the stream: it says nothing.
      info.colourFacts.primaries = a > 0 ? a : 2;
      info.colourFacts.transfer = b > 0 ? b : 2;
      info.colourFacts.matrix = c > 0 ? c : 2;
    } else if (std::sscanf(text, "aspectchange %llu %d / %d %d / %d", &frame, &a, &b, &d, &e) >=
               3) {
      info.aspect.push_back(AspectFrom{frame, a > 0 && b > 0 ? a : 0, a > 0 && b > 0 ? b : 0});
    }
  }
  std::fclose(in);
  return info;
}

}  // namespace

void ShownFrames::Build(const CAVCDecoder& decoder, const std::string& projectPath) {
  const ProjectInfo info = ReadInfo(projectPath);
  if (info.colour) colour_ = info.colourFacts;

  // The rate frames are coded at: a field lasts half a frame period of it. Without the INFO line
  // (an older project) the clip's own rate.
  int64_t rateN = info.codedNumerator, rateD = info.codedDenominator;
  if (rateN <= 0 || rateD <= 0) {
    rateN = decoder.fpsNumerator > 0 ? decoder.fpsNumerator : 25;
    rateD = decoder.fpsDenominator > 0 ? decoder.fpsDenominator : 1;
  }
  const int64_t g = std::gcd(rateD, 2 * rateN);
  fieldNumerator_ = rateD / g;
  fieldDenominator_ = 2 * rateN / g;

  // Display order: a B frame is shown at once, an I or P frame when the next I or P arrives.
  const int count = std::max(decoder.pictureCount, 0);
  std::vector<int> order;
  order.reserve(static_cast<size_t>(count));
  int held = -1;
  for (int i = 0; i < count; ++i) {
    if (decoder.pictureTable[i].type == 3) {
      order.push_back(i);
    } else {
      if (held >= 0) order.push_back(held);
      held = i;
    }
  }
  if (held >= 0) order.push_back(held);

  const int8_t interlaced = decoder.fieldOrder == 0 ? 2 : 1;
  frames_.resize(order.size());
  uint64_t start = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const PictureEntry& picture = decoder.pictureTable[order[k]];
    Shown& shown = frames_[k];
    shown.type = picture.type == 3 ? 'B' : picture.type == 1 ? 'P' : 'I';
    shown.fields = static_cast<uint8_t>(picture.fields > 0 ? picture.fields : 2);
    if (picture.fields == 0) {
      shown.fieldBased = interlaced;
    } else if (picture.shown & kShownProgressive) {
      shown.fieldBased = 0;
    } else {
      shown.fieldBased = (picture.shown & kShownTopFirst) ? 2 : 1;
    }
    // The last change at or before the frame's place in coded order.
    shown.sarNumerator = info.sarNumerator;
    shown.sarDenominator = info.sarDenominator;
    for (const AspectFrom& change : info.aspect) {
      if (change.codedFrame <= static_cast<uint64_t>(order[k])) {
        shown.sarNumerator = change.numerator;
        shown.sarDenominator = change.denominator;
      }
    }
    shown.startFields = start;
    start += shown.fields;
  }
}

FrameFacts ShownFrames::Frame(int n, int served, int deinterlace) const {
  FrameFacts facts;
  if (frames_.empty()) return facts;
  const int64_t last = static_cast<int64_t>(frames_.size()) - 1;
  const bool doubled = deinterlace == 2;
  const auto at = [&](int frame) -> const Shown& {
    return frames_[static_cast<size_t>(
        std::min<int64_t>(std::max(frame, 0) / (doubled ? 2 : 1), last))];
  };
  const Shown& picture = at(served);
  facts.pictureType = picture.type;
  facts.fieldBased = deinterlace > 0 ? 0 : picture.fieldBased;
  facts.sarNumerator = picture.sarNumerator;
  facts.sarDenominator = picture.sarDenominator;
  const Shown& shown = at(n);
  // At double rate each of the two output frames lasts half the coded frame.
  int64_t num = static_cast<int64_t>(shown.fields) * fieldNumerator_;
  int64_t den = fieldDenominator_ * (doubled ? 2 : 1);
  const int64_t g = std::gcd(num, den);
  facts.durationNumerator = num / g;
  facts.durationDenominator = den / g;
  double start = static_cast<double>(shown.startFields) * static_cast<double>(fieldNumerator_) /
                 static_cast<double>(fieldDenominator_);
  if (doubled && n % 2 == 1) {
    start += static_cast<double>(facts.durationNumerator) /
             static_cast<double>(facts.durationDenominator);
  }
  facts.startSeconds = start;
  return facts;
}

}  // namespace clip
