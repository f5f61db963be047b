#include "decode-server/shared_picture_pool.h"

#include <cstring>

#include "platform/section.h"
#include "server-link/client_slots.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace decode_server {

namespace {

// Bytes after each plane that libavcodec may read or write past its last row, and the alignment
// of every plane's start.
constexpr size_t kPlanePadding = 16 + 64;
constexpr size_t kPlaneAlignment = 64;

// Sets every plane of `frame` to black, including the rows below the picture up to the whole
// macroblock rows that the decoder writes: motion compensation reads them.
void ClearPlanes(AVCodecContext* context, AVFrame* frame) {
  const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
  if (format == nullptr || (format->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0) return;
  int width = frame->width, height = frame->height;
  int alignment[AV_NUM_DATA_POINTERS];
  avcodec_align_dimensions2(context, &width, &height, alignment);
  for (int plane = 0; plane < 3 && frame->data[plane] != nullptr; ++plane) {
    const int rows = plane == 0 ? height : AV_CEIL_RSHIFT(height, format->log2_chroma_h);
    const size_t bytes = size_t(frame->linesize[plane]) * size_t(rows);
    std::memset(frame->data[plane], plane == 0 ? 16 : 128, bytes);
  }
}

// The plane pitches and sizes that libavcodec's own buffers have for `frame`: the decoder refuses
// a picture whose pitch differs from the pictures before it in the run, so pool buffers and
// libavcodec's (taken when the pool has none free) must agree.
bool PlaneLayout(AVCodecContext* context, const AVFrame* frame, int linesize[4], size_t size[4]) {
  const AVPixelFormat format = AVPixelFormat(frame->format);
  int width = frame->width, height = frame->height;
  int alignment[AV_NUM_DATA_POINTERS];
  avcodec_align_dimensions2(context, &width, &height, alignment);
  for (int unaligned = 1; unaligned;) {
    if (av_image_fill_linesizes(linesize, format, width) < 0) return false;
    width += width & ~(width - 1);  // the next try doubles the width's lowest set bit
    unaligned = 0;
    for (int i = 0; i < 4; ++i) unaligned |= linesize[i] % alignment[i];
  }
  ptrdiff_t pitches[4];
  for (int i = 0; i < 4; ++i) pitches[i] = linesize[i];
  return av_image_fill_plane_sizes(size, format, height, pitches) >= 0;
}

}  // namespace

int ClearedBuffer(AVCodecContext* context, AVFrame* frame, int flags) {
  const int result = avcodec_default_get_buffer2(context, frame, flags);
  if (result >= 0) ClearPlanes(context, frame);
  return result;
}

SharedPicturePool* SharedPicturePool::Create(int slot, std::string* error) {
  const std::string name = server::SlotObjectName(server::kPoolSectionName, slot);
  SharedPicturePool* pool = new SharedPicturePool;
  pool->section_ = platform::CreateOwnedSection(name.c_str(), server::kPoolSectionSize, error);
  if (pool->section_) {
    pool->view_ =
        static_cast<uint8_t*>(platform::MapSection(pool->section_, server::kPoolSectionSize));
  }
  if (!pool->view_) {
    if (error->empty()) *error = "cannot make or map \"" + name + "\"";
    delete pool;
    return nullptr;
  }
  // A client that cuts the pool short must not end the server.
  pool->guard_.Watch(pool->section_, pool->view_, server::kPoolSectionSize);
  return pool;
}

SharedPicturePool::~SharedPicturePool() {
  guard_.Release();
  if (view_) platform::UnmapSection(view_, server::kPoolSectionSize);
  platform::CloseHandle(section_);
}

void SharedPicturePool::Attach(AVCodecContext* context) {
  context->opaque = this;
  context->get_buffer2 = &SharedPicturePool::GetBuffer;
}

void SharedPicturePool::Release(void* opaque, uint8_t*) {
  static_cast<std::atomic<bool>*>(opaque)->store(false, std::memory_order_release);
}

int SharedPicturePool::GetBuffer(AVCodecContext* context, AVFrame* frame, int flags) {
  SharedPicturePool* pool = static_cast<SharedPicturePool*>(context->opaque);
  int linesize[4];
  size_t size[4];
  if (frame->format != AV_PIX_FMT_YUV420P || frame->width <= 0 || frame->height <= 0 ||
      !PlaneLayout(context, frame, linesize, size)) {
    return ClearedBuffer(context, frame, flags);
  }
  size_t offsets[3];
  size_t total = 0;
  for (int i = 0; i < 3; ++i) {
    offsets[i] = total;
    total += (size[i] + kPlanePadding + kPlaneAlignment - 1) / kPlaneAlignment * kPlaneAlignment;
  }
  int buffer = -1;
  for (uint32_t i = 0; total <= server::kPoolBufferSize && i < server::kPoolBuffers; ++i) {
    bool free = false;
    if (pool->busy_[i].compare_exchange_strong(free, true, std::memory_order_acquire)) {
      buffer = static_cast<int>(i);
      break;
    }
  }
  if (buffer < 0) {
    pool->misses_.fetch_add(1);
    return ClearedBuffer(context, frame, flags);
  }
  uint8_t* base = pool->view_ + size_t(buffer) * server::kPoolBufferSize;
  frame->buf[0] = av_buffer_create(base, server::kPoolBufferSize, &SharedPicturePool::Release,
                                   &pool->busy_[buffer], 0);
  if (!frame->buf[0]) {
    pool->busy_[buffer].store(false, std::memory_order_release);
    return AVERROR(ENOMEM);
  }
  for (int i = 0; i < 3; ++i) {
    frame->data[i] = base + offsets[i];
    frame->linesize[i] = linesize[i];
  }
  frame->extended_data = frame->data;
  ClearPlanes(context, frame);
  return 0;
}

bool SharedPicturePool::Locate(const AVFrame* frame, server::PictureRef* where) const {
  if (frame->format != AV_PIX_FMT_YUV420P || !frame->buf[0] || frame->buf[1] || frame->width <= 0 ||
      frame->height <= 0) {
    return false;
  }
  const uint8_t* base = frame->buf[0]->data;
  if (base < view_ || base >= view_ + server::kPoolSectionSize) return false;
  const uint8_t* end = base + server::kPoolBufferSize;
  const int64_t rows[3] = {frame->height, (frame->height + 1) / 2, (frame->height + 1) / 2};
  const int64_t bytes[3] = {frame->width, (frame->width + 1) / 2, (frame->width + 1) / 2};
  uint32_t offsets[3];
  for (int i = 0; i < 3; ++i) {
    const uint8_t* plane = frame->data[i];
    if (!plane || plane < base || frame->linesize[i] < bytes[i] ||
        (end - plane) < frame->linesize[i] * (rows[i] - 1) + bytes[i]) {
      return false;
    }
    offsets[i] = static_cast<uint32_t>(plane - view_);
  }
  where->y = offsets[0];
  where->u = offsets[1];
  where->v = offsets[2];
  where->lumaPitch = frame->linesize[0];
  where->chromaPitch = frame->linesize[1];
  return frame->linesize[1] == frame->linesize[2];
}

}  // namespace decode_server
