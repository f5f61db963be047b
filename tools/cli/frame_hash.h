// Per-frame MD5 over the visible picture: the Y rows, then U, then V, packed. This is the value
// that `ffmpeg -i X -f framemd5 -pix_fmt yuv420p -` prints for the same frame.
#pragma once

#include <string>

namespace cli {

std::string PlanesMd5(const unsigned char* y, int yPitch, const unsigned char* u,
                      const unsigned char* v, int chromaPitch, int width, int height);

// Per-frame MD5 over a packed YUY2 frame's visible rows (width * 2 bytes each): the value that
// `ffmpeg -i X -f framemd5 -pix_fmt yuyv422 -` prints for the same frame.
std::string PackedMd5(const unsigned char* rows, int pitch, int rowBytes, int height);

}  // namespace cli
