#include "decode-server/picture_writer.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "server-link/chroma_layout.h"
#include "server-link/section_layout.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace decode_server {

namespace {

// Luma rows that fit with their chroma rows: rows + ceil(rows / 2) <= 1632.
constexpr int kMaxLumaRows = static_cast<int>(server::kMaxPictureRows) * 2 / 3;

void PutWord(uint8_t* view, uint32_t offset, int32_t value) {
  std::memcpy(view + offset, &value, sizeof value);  // the section's words are little-endian
}

void PutHeader(uint8_t* view, const PictureInfo& info) {
  PutWord(view, server::kPicFullWidthOffset, info.fullWidth);
  PutWord(view, server::kPicFullHeightOffset, info.fullHeight);
  PutWord(view, server::kPicIndexOffset, info.index);
  PutWord(view, server::kPicHeightOffset, info.picHeight);
  PutWord(view, server::kPicWidthOffset, info.picWidth);
  PutWord(view, server::kPicFlagsOffset, info.flags);
  PutWord(view, server::kPicPitchOffset, info.picPitch);
  PutWord(view, server::kPicDisplayIndexOffset, info.displayIndex);
}

// Interleaves `pairs` samples of the rows `u` and `v` into `row` (U, V, U, V, ...).
void InterleaveChromaRow(uint8_t* row, const uint8_t* u, const uint8_t* v, int pairs) {
  int x = 0;
#if defined(__SSE2__)
  for (; x + 16 <= pairs; x += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * x), _mm_unpacklo_epi8(a, b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * x + 16), _mm_unpackhi_epi8(a, b));
  }
#endif
  for (; x < pairs; ++x) {
    row[2 * x] = u[x];
    row[2 * x + 1] = v[x];
  }
}

}  // namespace

void FitPicture(int width, int height, PictureInfo* info) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  info->fullWidth = width;
  info->fullHeight = height;
  info->picWidth = std::min(width, static_cast<int>(server::kMaxPicturePitch));
  // Rows start 64-byte aligned when the area allows it.
  const int aligned = (info->picWidth + 63) & ~63;
  info->picPitch = std::min(std::max(aligned, 64), static_cast<int>(server::kMaxPicturePitch));
  info->picHeight = std::min(height, kMaxLumaRows);
  if (info->picWidth != width || info->picHeight != height) {
    info->flags |= kPictureFlagClipped;
  } else {
    info->flags &= ~kPictureFlagClipped;
  }
}

bool WritePicture(uint8_t* view, const AVFrame* frame, PictureInfo info, bool chroma422) {
  FitPicture(frame->width, frame->height, &info);
  uint8_t* area = view + server::kPictureAreaOffset;
  const int width = info.picWidth;
  const int height = info.picHeight;
  const int pitch = info.picPitch;
  const int chromaRows = (height + 1) / 2;
  const int chromaPairs = (width + 1) / 2;

  for (int y = 0; y < height; ++y) {
    std::memcpy(area + static_cast<size_t>(y) * pitch, frame->data[0] + y * frame->linesize[0],
                width);
  }
  uint8_t* chroma = area + static_cast<size_t>(pitch) * height;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  const bool planarYuv = desc && desc->nb_components >= 3 &&
                         (desc->flags & AV_PIX_FMT_FLAG_PLANAR) &&
                         !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->comp[0].depth == 8 &&
                         frame->data[1] && frame->data[2];
  const int chromaBytes = std::min(2 * chromaPairs, pitch);
  // Chroma row `y` of the picture (its rows counted at the picture's own chroma height: half the
  // luma rows for 4:2:0, all of them for 4:2:2) into `row`.
  auto writeChromaRow = [&](uint8_t* row, int y) {
    if (!planarYuv) {
      std::memset(row, 128, chromaBytes);
      return;
    }
    const uint8_t* u = frame->data[1] + y * frame->linesize[1];
    const uint8_t* v = frame->data[2] + y * frame->linesize[2];
    if (desc->log2_chroma_w == 1) {
      // Half-width chroma: sample x of the row is source sample x.
      InterleaveChromaRow(row, u, v, chromaBytes / 2);
      return;
    }
    for (int x = 0; 2 * x + 1 < chromaBytes; ++x) {
      const int column = (2 * x) >> desc->log2_chroma_w;
      row[2 * x] = u[column];
      row[2 * x + 1] = v[column];
    }
  };
  // Rows the frame has chroma for (a 4:2:0 frame in a 4:2:2 delivery repeats each of its rows).
  const int shift = planarYuv ? desc->log2_chroma_h : 0;
  if (chroma422) {
    info.flags |= server::kPictureFlagChroma422;
    uint8_t* odd = view + server::kOddChromaRowsOffset;
    for (int y = 0; y < height; ++y) {
      uint8_t* row = (y % 2 == 0 ? chroma : odd) + static_cast<size_t>(y / 2) * pitch;
      writeChromaRow(row, y >> shift);
    }
  } else {
    for (int y = 0; y < chromaRows; ++y) {
      // 4:2:0 chroma row y comes from source row 2y >> shift: one to one for 4:2:0. Other layouts
      // reach here only when the scaler could not bring them to 4:2:0.
      writeChromaRow(chroma + static_cast<size_t>(y) * pitch, (2 * y) >> shift);
    }
  }

  PutHeader(view, info);
  return !(info.flags & kPictureFlagClipped);
}

bool WritePictureRef(uint8_t* view, const AVFrame* frame, PictureInfo info,
                     const server::PictureRef& where) {
  FitPicture(frame->width, frame->height, &info);
  if (info.flags & kPictureFlagClipped) return false;
  info.picPitch = where.lumaPitch;
  info.flags |= server::kPictureFlagInPool;
  server::PutPictureRef(view, where);
  PutHeader(view, info);
  return true;
}

}  // namespace decode_server
