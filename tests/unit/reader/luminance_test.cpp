#include <gtest/gtest.h>

#include "decoder_test_support.h"
#include "reader/avc_decoder.h"

namespace {

struct Case {
  int gamma, offset;
  std::vector<std::pair<int, int>> mapping;  // input, output
};

TEST(LuminanceFilter, TableValues) {
  auto d = dectest::NewDecoder();
  const Case cases[] = {
      {0, 0, {{0, 0}, {1, 1}, {128, 128}, {255, 255}}},
      {0, 1, {{0, 1}, {100, 101}, {254, 255}, {255, 255}}},
      {128, 0, {{1, 16}, {16, 64}, {64, 128}, {128, 181}, {255, 255}}},
      {-128, 0, {{16, 1}, {64, 16}, {128, 64}}},
      {0, 10, {{0, 10}, {244, 254}, {245, 255}, {255, 255}}},
      {0, -10, {{0, 0}, {10, 0}, {11, 1}, {255, 245}}},
  };
  for (const Case& c : cases) {
    d->InitializeLuminanceFilter(c.gamma, c.offset);
    for (auto [in, out] : c.mapping) {
      EXPECT_EQ(d->lumTable[in], out)
          << "gamma " << c.gamma << " offset " << c.offset << " in " << in;
    }
  }
  // Identity, and offset 10 saturating from 245 on.
  d->InitializeLuminanceFilter(0, 0);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(d->lumTable[i], i);
  d->InitializeLuminanceFilter(0, 10);
  for (int i = 245; i < 256; ++i) EXPECT_EQ(d->lumTable[i], 255);
  // Extreme values saturate at the table's ends. The exponent 2^(-gamma/128) overflows to
  // infinity for the most negative gamma, so every level below white becomes black, and underflows
  // to 0 for the largest gamma, so every level (black too: x^0 = 1) becomes white; an offset
  // beyond the range pushes every level to one end whatever the curve.
  d->InitializeLuminanceFilter(INT32_MIN, 0);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(d->lumTable[i], i == 255 ? 255 : 0) << i;
  d->InitializeLuminanceFilter(INT32_MAX, 0);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(d->lumTable[i], 255) << i;
  d->InitializeLuminanceFilter(INT32_MIN, INT32_MAX);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(d->lumTable[i], 255) << i;
  d->InitializeLuminanceFilter(INT32_MAX, INT32_MIN);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(d->lumTable[i], 0) << i;
}

TEST(LuminanceFilter, MapsOnlyWidthBytesOfEachRow) {
  auto d = dectest::NewDecoder();
  d->InitializeLuminanceFilter(0, 1);
  unsigned char plane[3][8];
  for (auto& row : plane) std::fill(std::begin(row), std::end(row), 7);
  d->LuminanceFilter(&plane[0][0], 5, 2, 8);
  for (int x = 0; x < 8; ++x) {
    EXPECT_EQ(plane[0][x], x < 5 ? 8 : 7);
    EXPECT_EQ(plane[1][x], x < 5 ? 8 : 7);
    EXPECT_EQ(plane[2][x], 7);  // beyond `height`
  }
  d->LuminanceFilter(&plane[0][0], 0, 3, 8);
  d->LuminanceFilter(&plane[0][0], 8, -1, 8);
  EXPECT_EQ(plane[2][0], 7);
}

}  // namespace
