// Planar picture descriptions and aligned plane allocation.
#pragma once

#include <cstdint>

// A planar 4:2:0 (or 4:2:2, 4:4:4) picture: three plane addresses, then pitches, widths, heights.
// A record either owns its planes (create_YV12PICT) or only points into someone else's (the clip's
// description of a host frame).
struct YV12PICT {
  unsigned char* lumaPlane;
  unsigned char* uPlane;
  unsigned char* vPlane;
  int lumaPitch;
  int chromaPitch;
  int lumaWidth;
  int chromaWidth;
  int lumaHeight;
  int chromaHeight;
};

// A block of `size` usable bytes at a multiple of `alignment` (a power of two up to 128; 0 means
// none). The byte in front of the block holds the distance back to the heap allocation.
void* aligned_malloc(uint32_t size, uint32_t alignment);
void aligned_free(void* block);

// A record owning three new planes; chromaFormat 1 is 4:2:0, 2 is 4:2:2, anything else 4:4:4.
YV12PICT* create_YV12PICT(int height, int width, int chromaFormat);
void destroy_YV12PICT(YV12PICT* picture);
