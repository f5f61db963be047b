#include "tools/cli/y4m_writer.h"

#include <vector>

namespace cli {

std::string Y4mHeader(const Y4mFormat& format) {
  const bool sarKnown = format.sarNumerator > 0 && format.sarDenominator > 0;
  const std::string sar =
      sarKnown ? std::to_string(format.sarNumerator) + ":" + std::to_string(format.sarDenominator)
               : "0:0";
  return "YUV4MPEG2 W" + std::to_string(format.width) + " H" + std::to_string(format.height) +
         " F" + std::to_string(format.fpsNumerator) + ":" + std::to_string(format.fpsDenominator) +
         " I" + std::string(1, format.interlacing) + " A" + sar + " C" + format.colourSpace + "\n";
}

bool WriteY4mFrame(FILE* out, const unsigned char* y, int yPitch, const unsigned char* u,
                   const unsigned char* v, int chromaPitch, int width, int height) {
  if (fputs("FRAME\n", out) < 0) return false;
  for (int row = 0; row < height; ++row) {
    if (fwrite(y + static_cast<long>(row) * yPitch, 1, width, out) != static_cast<size_t>(width))
      return false;
  }
  for (const unsigned char* plane : {u, v}) {
    for (int row = 0; row < height / 2; ++row) {
      const unsigned char* line = plane + static_cast<long>(row) * chromaPitch;
      if (fwrite(line, 1, width / 2, out) != static_cast<size_t>(width / 2)) return false;
    }
  }
  return true;
}

bool WriteY4mFrameYuy2(FILE* out, const unsigned char* packed, int pitch, int width, int height) {
  if (fputs("FRAME\n", out) < 0) return false;
  const int half = width / 2;
  std::vector<unsigned char> line(static_cast<size_t>(width));
  // Y at even bytes; U and V take turns at the odd ones.
  const int starts[3] = {0, 1, 3};
  const int steps[3] = {2, 4, 4};
  for (int plane = 0; plane < 3; ++plane) {
    const int samples = plane == 0 ? width : half;
    for (int row = 0; row < height; ++row) {
      const unsigned char* src = packed + static_cast<long>(row) * pitch + starts[plane];
      for (int i = 0; i < samples; ++i) line[i] = src[i * steps[plane]];
      if (fwrite(line.data(), 1, samples, out) != static_cast<size_t>(samples)) return false;
    }
  }
  return true;
}

}  // namespace cli
