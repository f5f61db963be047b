// YUV4MPEG2 output of planar 4:2:0 frames and of packed 4:2:2 (YUY2) frames, written planar.
#pragma once

#include <cstdio>
#include <string>

namespace cli {

struct Y4mFormat {
  int width = 0;
  int height = 0;
  unsigned fpsNumerator = 0;
  unsigned fpsDenominator = 1;
  // 'p' progressive, 't' top field first, 'b' bottom field first.
  char interlacing = 'p';
  // The sample aspect ratio; 0:0 when unknown.
  int sarNumerator = 0;
  int sarDenominator = 0;
  // The colour space tag: "420mpeg2" for YV12 and I420 frames, "422" for YUY2 frames.
  std::string colourSpace = "420mpeg2";
};

// The stream header line: "YUV4MPEG2 W720 H576 F25:1 It A64:45 C420mpeg2\n" (A0:0 when the
// sample aspect ratio is unknown).
std::string Y4mHeader(const Y4mFormat& format);

// Writes one frame: "FRAME\n" and the Y, U and V planes packed (rows of width, then width/2).
// Returns false when writing fails.
bool WriteY4mFrame(FILE* out, const unsigned char* y, int yPitch, const unsigned char* u,
                   const unsigned char* v, int chromaPitch, int width, int height);

// Writes one YUY2 frame (rows of Y0 U Y1 V, `pitch` apart) as "FRAME\n" and the planar 4:2:2
// planes: Y rows of width, then U and V rows of width / 2. Returns false when writing fails.
bool WriteY4mFrameYuy2(FILE* out, const unsigned char* packed, int pitch, int width, int height);

}  // namespace cli
