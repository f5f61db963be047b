#include "tools/cli/frame_hash.h"

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include <memory>

namespace cli {

namespace {

// The digest of `md5` in lower-case hexadecimal.
std::string Hex(AVMD5* md5) {
  unsigned char digest[16];
  av_md5_final(md5, digest);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

}  // namespace

std::string PlanesMd5(const unsigned char* y, int yPitch, const unsigned char* u,
                      const unsigned char* v, int chromaPitch, int width, int height) {
  std::unique_ptr<AVMD5, void (*)(void*)> md5(av_md5_alloc(), av_free);
  av_md5_init(md5.get());
  for (int row = 0; row < height; ++row) av_md5_update(md5.get(), y + long(row) * yPitch, width);
  for (const unsigned char* plane : {u, v}) {
    for (int row = 0; row < height / 2; ++row) {
      av_md5_update(md5.get(), plane + long(row) * chromaPitch, width / 2);
    }
  }
  return Hex(md5.get());
}

std::string PackedMd5(const unsigned char* rows, int pitch, int rowBytes, int height) {
  std::unique_ptr<AVMD5, void (*)(void*)> md5(av_md5_alloc(), av_free);
  av_md5_init(md5.get());
  for (int row = 0; row < height; ++row)
    av_md5_update(md5.get(), rows + long(row) * pitch, rowBytes);
  return Hex(md5.get());
}

}  // namespace cli
