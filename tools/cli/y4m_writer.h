// YUV4MPEG2 output of planar 4:2:0 frames.
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
};

// The stream header line: "YUV4MPEG2 W720 H576 F25:1 It A64:45 C420mpeg2\n" (A0:0 when the
// sample aspect ratio is unknown).
std::string Y4mHeader(const Y4mFormat& format);

// Writes one frame: "FRAME\n" and the Y, U and V planes packed (rows of width, then width/2).
// Returns false when writing fails.
bool WriteY4mFrame(FILE* out, const unsigned char* y, int yPitch, const unsigned char* u,
                   const unsigned char* v, int chromaPitch, int width, int height);

}  // namespace cli
