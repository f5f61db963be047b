#include "tools/indexer/frame_timing.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <numeric>

namespace indexer {
namespace {

// The frames' field counts in display order.
std::vector<uint8_t> DisplayOrderFields(const VideoIndex& index) {
  std::vector<uint8_t> shown;
  shown.reserve(index.displayFields.size());
  size_t picture = 0;
  bool anchorWaiting = false;
  uint8_t anchorFields = 2;
  for (const GopRecord& gop : index.gops) {
    for (char type : gop.types) {
      if (picture >= index.displayFields.size()) break;
      const uint8_t fields = index.displayFields[picture++];
      if (type == 'B') {
        shown.push_back(fields);
        continue;
      }
      if (anchorWaiting) shown.push_back(anchorFields);
      anchorWaiting = true;
      anchorFields = fields;
    }
  }
  if (anchorWaiting) shown.push_back(anchorFields);
  return shown;
}

bool IsRegularPulldown(const std::vector<uint8_t>& shown) {
  if (shown.size() < 2) return false;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] != 2 && shown[i] != 3) return false;
    if (i > 0 && shown[i] == shown[i - 1]) return false;
  }
  return true;
}

// In a progressive sequence a frame lasts 2, 4 or 6 field periods (shown once, twice or three
// times); the regular film cadence alternates 4 and 6.
bool IsRegularFrameRepeat(const std::vector<uint8_t>& shown) {
  if (shown.size() < 2) return false;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] != 4 && shown[i] != 6) return false;
    if (i > 0 && shown[i] == shown[i - 1]) return false;
  }
  return true;
}

}  // namespace

void FitRate(uint64_t numerator, uint64_t denominator, int* fitNumerator, int* fitDenominator) {
  if (denominator == 0) {
    *fitNumerator = *fitDenominator = 0;
    return;
  }
  const uint64_t g = std::gcd(numerator, denominator);
  numerator /= g;
  denominator /= g;
  if (numerator <= INT_MAX && denominator <= INT_MAX) {
    *fitNumerator = static_cast<int>(numerator);
    *fitDenominator = static_cast<int>(denominator);
    return;
  }
  // Continued fraction convergents, while both terms fit.
  uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
  uint64_t n = numerator, d = denominator;
  while (d != 0) {
    const uint64_t a = n / d;
    const unsigned __int128 p2 = static_cast<unsigned __int128>(a) * p1 + p0;
    const unsigned __int128 q2 = static_cast<unsigned __int128>(a) * q1 + q0;
    if (p2 > INT_MAX || q2 > INT_MAX) break;
    p0 = p1, q0 = q1, p1 = static_cast<uint64_t>(p2), q1 = static_cast<uint64_t>(q2);
    const uint64_t r = n % d;
    n = d;
    d = r;
  }
  if (q1 == 0) {  // larger than any fitting fraction
    *fitNumerator = INT_MAX;
    *fitDenominator = 1;
    return;
  }
  *fitNumerator = static_cast<int>(p1);
  *fitDenominator = static_cast<int>(q1);
}

ClipTiming ComputeTiming(const VideoIndex& index) {
  ClipTiming timing;
  timing.fpsNumerator = index.sequence.fpsNumerator;
  timing.fpsDenominator = index.sequence.fpsDenominator;
  const std::vector<uint8_t> shown = DisplayOrderFields(index);
  for (uint8_t f : shown) timing.fields += f;
  if (index.repeatedFields == 0 || shown.empty() || timing.fpsNumerator <= 0 ||
      timing.fpsDenominator <= 0) {
    return timing;
  }
  const uint64_t rateN = static_cast<uint64_t>(timing.fpsNumerator);
  const uint64_t rateD = static_cast<uint64_t>(timing.fpsDenominator);
  if (index.sequence.progressiveSequence && IsRegularFrameRepeat(shown)) {
    timing.pulldown = Pulldown::kFrameRepeat;
    FitRate(rateN * 2, rateD * 5, &timing.fpsNumerator, &timing.fpsDenominator);
    return timing;
  }
  if (IsRegularPulldown(shown)) {
    timing.pulldown = Pulldown::kRegular;
    FitRate(rateN * 4, rateD * 5, &timing.fpsNumerator, &timing.fpsDenominator);
    return timing;
  }
  timing.pulldown = Pulldown::kMixed;
  // frames / (fields / (2 x rate)) = 2 x frames x rateN / (fields x rateD)
  const unsigned __int128 num = static_cast<unsigned __int128>(2) * shown.size() * rateN;
  const unsigned __int128 den = static_cast<unsigned __int128>(timing.fields) * rateD;
  if (num <= UINT64_MAX && den <= UINT64_MAX) {
    FitRate(static_cast<uint64_t>(num), static_cast<uint64_t>(den), &timing.fpsNumerator,
            &timing.fpsDenominator);
  }
  return timing;
}

std::vector<uint64_t> DisplayStartFields(const VideoIndex& index) {
  const std::vector<uint8_t> shown = DisplayOrderFields(index);
  std::vector<uint64_t> starts;
  starts.reserve(shown.size());
  uint64_t at = 0;
  for (uint8_t f : shown) {
    starts.push_back(at);
    at += f;
  }
  return starts;
}

std::string FormatTimestampsV2(const VideoIndex& index) {
  std::string out = "# timestamp format v2\n";
  double rateN = index.sequence.fpsNumerator;
  double rateD = index.sequence.fpsDenominator;
  if (rateN <= 0 || rateD <= 0) return out;
  // A field lasts 1000 x rateD / (2 x rateN) ms, at the rate in force from each rate change on
  // (a change starts a GOP, where coded and display order agree on the frame number).
  const std::vector<uint64_t> starts = DisplayStartFields(index);
  auto change = index.rateChanges.begin();
  double segmentMs = 0;        // when the rate in force began
  uint64_t segmentFields = 0;  // and the fields shown before it
  char line[48];
  for (size_t frame = 0; frame < starts.size(); ++frame) {
    for (; change != index.rateChanges.end() && change->frame <= frame; ++change) {
      if (change->fpsNumerator <= 0 || change->fpsDenominator <= 0) continue;
      segmentMs +=
          static_cast<double>(starts[frame] - segmentFields) * 1000.0 * rateD / (2.0 * rateN);
      segmentFields = starts[frame];
      rateN = change->fpsNumerator;
      rateD = change->fpsDenominator;
    }
    const double ms = segmentMs + static_cast<double>(starts[frame] - segmentFields) * 1000.0 *
                                      rateD / (2.0 * rateN);
    int length = std::snprintf(line, sizeof line, "%.3f", ms);
    // Trailing zeros (and a trailing point) say nothing.
    while (length > 0 && line[length - 1] == '0') --length;
    if (length > 0 && line[length - 1] == '.') --length;
    out.append(line, static_cast<size_t>(length));
    out += '\n';
  }
  return out;
}

const char* PulldownText(Pulldown pulldown) {
  switch (pulldown) {
    case Pulldown::kRegular:
      return "film, 3:2 pulldown removed";
    case Pulldown::kFrameRepeat:
      return "film, 2:3 frame repetition removed";
    case Pulldown::kMixed:
      return "mixed pulldown, average rate (see --timestamps)";
    default:
      return "no pulldown";
  }
}

}  // namespace indexer
