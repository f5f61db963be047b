#include "tools/cli/y4m_writer.h"

namespace cli {

std::string Y4mHeader(const Y4mFormat& format) {
  const bool sarKnown = format.sarNumerator > 0 && format.sarDenominator > 0;
  const std::string sar =
      sarKnown ? std::to_string(format.sarNumerator) + ":" + std::to_string(format.sarDenominator)
               : "0:0";
  return "YUV4MPEG2 W" + std::to_string(format.width) + " H" + std::to_string(format.height) +
         " F" + std::to_string(format.fpsNumerator) + ":" + std::to_string(format.fpsDenominator) +
         " I" + std::string(1, format.interlacing) + " A" + sar + " C420mpeg2\n";
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

}  // namespace cli
