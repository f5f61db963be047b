// 32.32 fixed point: IEEE 754 floats converted by their bits, and the product used for times.
// Nothing here uses floating-point arithmetic.
#include <cstdint>

#include "matroska/mkv_file.h"

namespace mkv {

int64_t floatBitsToFixed(uint64_t bits, bool isDouble) {
  bool negative;
  int exponent;
  uint64_t mantissa;
  int shift;
  if (isDouble) {
    negative = (bits >> 63) != 0;
    exponent = static_cast<int>((bits >> 52) & 0x7FF);
    mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    if (exponent == 0) return 0;  // zero and subnormals
    shift = exponent - 1043;      // bias 1023, 52 fraction bits, 32 fixed fraction bits
    if (exponent == 0x7FF || shift > 10) return negative ? INT64_MIN : INT64_MAX;
  } else {
    negative = ((bits >> 31) & 1) != 0;
    exponent = static_cast<int>((bits >> 23) & 0xFF);
    mantissa = (bits & 0x7FFFFF) | 0x800000;
    if (exponent == 0) return 0;
    shift = exponent - 118;  // bias 127, 23 fraction bits, 32 fixed fraction bits
    if (exponent == 0xFF || shift > 39) return negative ? INT64_MIN : INT64_MAX;
  }
  // |value| < 2^31 here, so the shifted magnitude stays below 2^63.
  if (shift >= 0) {
    uint64_t magnitude = mantissa << shift;
    return negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  }
  int right = -shift;
  if (right >= 64) return negative ? -1 : 0;
  // Floor for negative values: an arithmetic shift of the negated mantissa.
  int64_t v = negative ? -static_cast<int64_t>(mantissa) : static_cast<int64_t>(mantissa);
  return v >> right;
}

uint64_t fixedMul(int64_t a, int64_t b) {
  uint64_t x = a < 0 ? 0 - static_cast<uint64_t>(a) : static_cast<uint64_t>(a);
  uint64_t y = b < 0 ? 0 - static_cast<uint64_t>(b) : static_cast<uint64_t>(b);
  uint64_t xh = x >> 32, xl = x & 0xFFFFFFFF;
  uint64_t yh = y >> 32, yl = y & 0xFFFFFFFF;
  return ((xl * yl) >> 32) + xl * yh + xh * yl + ((xh * yh) << 32);
}

}  // namespace mkv
