// The luminance correction: a 256-entry table built from a gamma and an offset, applied to luma.
#include <cmath>
#include <cstddef>

#include "reader/avc_decoder.h"

void CAVCDecoder::InitializeLuminanceFilter(int gamma, int offset) {
  // Gamma is given in 128ths of a power of two: the curve is x^(2^(-gamma/128)).
  const double exponent = std::pow(2.0, -static_cast<double>(gamma) * 0.0078125);
  for (int i = 0; i < 256; ++i) {
    const double v = 255.0 * std::pow(i / 255.0, exponent) + offset + 0.5;
    if (v < 0)
      lumTable[i] = 0;
    else if (v > 255)
      lumTable[i] = 255;
    else
      lumTable[i] = static_cast<unsigned char>(v);
  }
}

void CAVCDecoder::LuminanceFilter(unsigned char* plane, int width, int height, int pitch) {
  if (plane == nullptr) return;
  for (int y = 0; y < height; ++y) {
    unsigned char* row = plane + static_cast<ptrdiff_t>(y) * pitch;
    for (int x = 0; x < width; ++x) row[x] = lumTable[row[x]];
  }
}
