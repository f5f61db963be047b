// Aligned plane allocation and planar picture records that own their planes.
#include "reader/picture.h"

#include <cstdlib>

void* aligned_malloc(uint32_t size, uint32_t alignment) {
  // The distance back to the heap block is kept in one byte, so 128 is the largest alignment
  // that can be served; other values are not powers of two and have no meaning here.
  if (alignment > 128 || (alignment & (alignment - 1)) != 0) return nullptr;
  if (alignment == 0) {
    unsigned char* raw = static_cast<unsigned char*>(std::malloc(size_t{size} + 1));
    if (raw == nullptr) return nullptr;
    raw[0] = 1;
    return raw + 1;
  }
  unsigned char* raw = static_cast<unsigned char*>(std::malloc(size_t{size} + alignment));
  if (raw == nullptr) return nullptr;
  uintptr_t r = reinterpret_cast<uintptr_t>(raw);
  uintptr_t q = (r + alignment - 1) & ~uintptr_t{alignment - 1};
  // At least one byte must lie in front of the block to hold the distance.
  if (q == r) q += alignment;
  unsigned char* block = raw + (q - r);
  block[-1] = static_cast<unsigned char>(q - r);
  return block;
}

void aligned_free(void* block) {
  if (block == nullptr) return;
  unsigned char* p = static_cast<unsigned char*>(block);
  std::free(p - p[-1]);
}

YV12PICT* create_YV12PICT(int height, int width, int chromaFormat) {
  YV12PICT* picture = static_cast<YV12PICT*>(std::calloc(1, sizeof(YV12PICT)));
  if (picture == nullptr) return nullptr;
  if (width < 0) width = 0;
  if (height < 0) height = 0;
  int chromaWidth = width;
  int chromaHeight = height;
  if (chromaFormat == 1) {
    chromaWidth = width / 2;
    chromaHeight = height / 2;
  } else if (chromaFormat == 2) {
    chromaWidth = width / 2;
  }
  int chromaPitch = (chromaWidth + 15) & ~15;
  int lumaPitch = 2 * chromaPitch;
  // With an odd width the halved chroma pitch can leave the luma row one byte short.
  if (lumaPitch < width) lumaPitch = (width + 31) & ~31;
  picture->lumaPlane =
      static_cast<unsigned char*>(aligned_malloc(uint32_t(lumaPitch) * uint32_t(height), 32));
  picture->uPlane = static_cast<unsigned char*>(
      aligned_malloc(uint32_t(chromaPitch) * uint32_t(chromaHeight), 16));
  picture->vPlane = static_cast<unsigned char*>(
      aligned_malloc(uint32_t(chromaPitch) * uint32_t(chromaHeight), 16));
  picture->lumaPitch = lumaPitch;
  picture->chromaPitch = chromaPitch;
  picture->lumaWidth = width;
  picture->chromaWidth = chromaWidth;
  picture->lumaHeight = height;
  picture->chromaHeight = chromaHeight;
  return picture;
}

void destroy_YV12PICT(YV12PICT* picture) {
  if (picture == nullptr) return;
  aligned_free(picture->lumaPlane);
  aligned_free(picture->uPlane);
  aligned_free(picture->vPlane);
  std::free(picture);
}
