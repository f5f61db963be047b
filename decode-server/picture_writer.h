// Writes a decoded picture into the section's picture area in NV12 order: picHeight luma rows,
// then the chroma rows with U and V interleaved (U at even bytes), every row picPitch bytes after
// the previous one. The area holds 2048 x 1632 bytes; a larger picture is clipped to it (never
// written past it): at most 2048 bytes per row and 1088 luma rows (1632 rows with chroma).
#pragma once

#include <cstdint>

#include "server-link/picture_pool.h"

extern "C" {
struct AVFrame;
}

namespace decode_server {

// The header words written with each picture. picHeight, picWidth and picPitch are what the plugin
// reads; the other words describe the picture for tools and tests.
struct PictureInfo {
  int32_t fullWidth = 0;   // word 0: the decoded width before any clipping
  int32_t fullHeight = 0;  // word 1: the decoded height before any clipping
  int32_t index = 0;       // word 2: the picture's number in its run (counting from 0)
  int32_t picHeight = 0;
  int32_t picWidth = 0;
  int32_t flags = 0;  // word 5: kPictureFlag* bits
  int32_t picPitch = 0;
  int32_t displayIndex = 0;  // word 7: the frame's display place in its run
};

constexpr int32_t kPictureFlagPlaceholder = 1;  // fills a place the decoder gave no picture for
constexpr int32_t kPictureFlagClipped = 2;      // larger than the area; clipped
constexpr int32_t kPictureFlagRepeated = 4;     // answers a request past the end of the run

// The size the picture will have in the area, clipped to it.
void FitPicture(int width, int height, PictureInfo* info);

// Writes `frame` (8-bit planar YUV; other chroma layouts are subsampled to 4:2:0, formats without
// chroma get neutral chroma) into the section at `view` and fills the header from `info`, whose
// size fields are set here. With `chroma422` every chroma row goes out, in the 4:2:2 layout of
// server-link/chroma_layout.h, and the picture is flagged so. Returns false when the picture had to
// be clipped.
bool WritePicture(uint8_t* view, const AVFrame* frame, PictureInfo info, bool chroma422 = false);

// Delivers `frame`, which lies in the slot's picture pool where `where` says, without copying it:
// writes the header from `info` (flagged in place, picPitch the luma pitch) and the reference
// record into the picture area. Returns false, writing nothing, for a picture that would have to
// be clipped: that one goes by WritePicture.
bool WritePictureRef(uint8_t* view, const AVFrame* frame, PictureInfo info,
                     const server::PictureRef& where);

}  // namespace decode_server
