// Per-frame MD5 over the visible picture: the Y rows, then U, then V, packed. This is the value
// that `ffmpeg -i X -f framemd5 -pix_fmt yuv420p -` prints for the same frame.
#pragma once

#include <string>

namespace cli {

std::string PlanesMd5(const unsigned char* y, int yPitch, const unsigned char* u,
                      const unsigned char* v, int chromaPitch, int width, int height);

}  // namespace cli
