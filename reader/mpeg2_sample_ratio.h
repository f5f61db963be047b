// The sample aspect ratio of an MPEG-2 sequence, derived as libavcodec derives it (and so ffprobe,
// and every encode made from its decode): aspect_ratio_information 1 means square samples; 2, 3
// and 4 give a display aspect ratio, spread over the sequence display extension's rectangle only
// when that rectangle, shown at the picture's size, gives exactly 4:3 or 16:9 (a 540-wide
// rectangle of a 4:3 720-wide picture); otherwise, as for the common 704- or 540-wide rectangles
// of 16:9 broadcasts, over the whole picture. The indexer reports it, and the decoding server
// tells from it where libavcodec starts afresh (a change of it inside a stream).
#pragma once

#include <cstdint>
#include <numeric>

namespace mpeg2 {

// Reduced sample aspect ratio in *num / *den; 0 / 0 when the stream does not say (codes 0 and
// 5 to 15, or a picture size of 0). displayWidth/displayHeight: the display extension's
// rectangle in force (0 without one).
inline void SampleAspectRatio(int aspectRatioCode, int width, int height, int displayWidth,
                              int displayHeight, int64_t* num, int64_t* den) {
  static const int64_t kDar[5][2] = {{0, 0}, {1, 1}, {4, 3}, {16, 9}, {221, 100}};
  *num = *den = 0;
  if (aspectRatioCode < 1 || aspectRatioCode > 4 || width <= 0 || height <= 0) return;
  int64_t n = 1, d = 1;
  if (aspectRatioCode > 1) {
    const int64_t darN = kDar[aspectRatioCode][0], darD = kDar[aspectRatioCode][1];
    int64_t w = width, h = height;
    if (displayWidth > 0 && displayHeight > 0) {
      // darN/darD x (displayHeight x width) / (displayWidth x height), against 4:3 and 16:9.
      const int64_t shownN = darN * displayHeight * width;
      const int64_t shownD = darD * displayWidth * height;
      if (shownN * 3 == shownD * 4 || shownN * 9 == shownD * 16) {
        w = displayWidth;
        h = displayHeight;
      }
    }
    n = darN * h;
    d = darD * w;
  }
  const int64_t g = std::gcd(n, d);
  *num = n / g;
  *den = d / g;
}

}  // namespace mpeg2
