#include "avs/host/frame_store.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace avs_host {

struct FrameStore::BufferSlot {
  VideoFrameBuffer vfb{};
  ~BufferSlot() { std::free(vfb.data); }
};

namespace {

[[noreturn]] void Fail(const std::string& message) {
  throw AvisynthError(message);
}

}  // namespace

FrameStore::FrameStore() = default;
FrameStore::~FrameStore() = default;

void FrameStore::Reclaim() {
  // Every frame the store hands out is wrapped before the caller sees it, so a count of 0 here
  // means that the last reference has gone.
  size_t kept = 0;
  for (auto& f : frames_) {
    if (f->refcount > 0) frames_[kept++] = std::move(f);
  }
  frames_.resize(kept);
  size_t spare = 0;
  kept = 0;
  for (auto& b : buffers_) {
    if (b->vfb.refcount == 0 && ++spare > kSpareBuffers) continue;  // freed by the reset below
    buffers_[kept++] = std::move(b);
  }
  buffers_.resize(kept);
}

VideoFrameBuffer* FrameStore::AcquireBuffer(int size) {
  Reclaim();
  for (auto& b : buffers_) {
    if (b->vfb.refcount == 0 && b->vfb.data_size == size) return &b->vfb;
  }
  const size_t rounded =
      (static_cast<size_t>(size) + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
  void* data = std::aligned_alloc(kBufferAlignment, rounded);
  if (data == nullptr) Fail("NewVideoFrame: out of memory for a frame of " + std::to_string(size));
  // A real host's fresh frame memory holds whatever was there before: a pattern here shows any
  // byte that a plugin leaves unwritten.
  std::memset(data, kFreshByte, rounded);
  auto slot = std::make_unique<BufferSlot>();
  slot->vfb.data = static_cast<BYTE*>(data);
  slot->vfb.data_size = size;
  buffers_.push_back(std::move(slot));
  return &buffers_.back()->vfb;
}

VideoFrame* FrameStore::NewFrame(VideoFrameBuffer* vfb) {
  auto frame = std::make_unique<VideoFrame>();
  *frame = VideoFrame{};
  frame->vfb = vfb;
  ++vfb->refcount;  // a frame holds its buffer from creation; its last Release lets go
  frames_.push_back(std::move(frame));
  return frames_.back().get();
}

PVideoFrame FrameStore::NewVideoFrame(const VideoInfo& vi, int align) {
  if (!vi.IsYV12() && !vi.IsYUY2()) {
    Fail("NewVideoFrame: this host makes only YV12, I420 and YUY2 frames");
  }
  // YUY2 is one packed plane of width * 2 bytes a row; YV12 and I420 have half-size chroma planes.
  const bool packed = vi.IsYUY2();
  if (vi.width <= 0 || vi.height <= 0) {
    Fail("NewVideoFrame: bad frame size " + std::to_string(vi.width) + "x" +
         std::to_string(vi.height));
  }
  long long a = align < 0 ? -static_cast<long long>(align) : align;
  if (a == 0) a = 1;
  if ((a & (a - 1)) != 0 || a > 4096) {
    Fail("NewVideoFrame: alignment " + std::to_string(align) + " is not a power of two up to 4096");
  }
  const long long pitch = (static_cast<long long>(vi.RowSize()) + a - 1) / a * a;
  const long long pitchUV = packed ? 0 : (pitch + 1) >> 1;
  const long long chromaHeight = vi.height >> 1;
  const long long lumaSize = pitch * vi.height;
  const long long chromaSize = pitchUV * chromaHeight;
  const long long total = lumaSize + 2 * chromaSize;
  if (total > INT_MAX / 2) {
    Fail("NewVideoFrame: frame of " + std::to_string(vi.width) + "x" + std::to_string(vi.height) +
         " is too large");
  }
  VideoFrame* f = NewFrame(AcquireBuffer(static_cast<int>(total)));
  // A real host takes the luma write pointer itself before handing the frame out, so a plugin
  // never sees a sequence number of 0 or 1 where it expects a count.
  f->vfb->GetWritePtr();
  f->vfb->GetWritePtr();
  f->offset = 0;
  f->pitch = static_cast<int>(pitch);
  f->row_size = vi.RowSize();
  f->height = vi.height;
  f->pitchUV = static_cast<int>(pitchUV);
  const int first = static_cast<int>(lumaSize);
  const int second = static_cast<int>(lumaSize + chromaSize);
  if (vi.pixel_type == CS_I420) {
    f->offsetU = first;
    f->offsetV = second;
  } else {
    f->offsetV = first;
    f->offsetU = second;
  }
  if (packed) f->offsetU = f->offsetV = 0;
  return PVideoFrame(f);
}

void FrameStore::CheckArea(const VideoFrameBuffer* vfb, long long offset, int pitch, int row_size,
                           int height, const char* what) const {
  if (row_size < 0 || height < 0) Fail(std::string(what) + ": negative size");
  if (height == 0 || row_size == 0) return;
  const long long first = offset;
  const long long last = offset + static_cast<long long>(height - 1) * pitch;
  const long long lo = first < last ? first : last;
  const long long hi = (first < last ? last : first) + row_size;
  if (lo < 0 || hi > vfb->data_size) Fail(std::string(what) + ": area lies outside the frame");
}

PVideoFrame FrameStore::Subframe(const PVideoFrame& src, int rel_offset, int new_pitch,
                                 int new_row_size, int new_height) {
  if (!src) Fail("Subframe: no source frame");
  const long long offset = static_cast<long long>(src->offset) + rel_offset;
  CheckArea(src->vfb, offset, new_pitch, new_row_size, new_height, "Subframe");
  VideoFrame* f = NewFrame(src->vfb);
  f->offset = static_cast<int>(offset);
  f->pitch = new_pitch;
  f->row_size = new_row_size;
  f->height = new_height;
  f->offsetU = src->offsetU;
  f->offsetV = src->offsetV;
  f->pitchUV = src->pitchUV;
  return PVideoFrame(f);
}

PVideoFrame FrameStore::SubframePlanar(const PVideoFrame& src, int rel_offset, int new_row_size,
                                       int new_height, int rel_offsetUV) {
  if (!src) Fail("Subframe: no source frame");
  const long long offset = static_cast<long long>(src->offset) + rel_offset;
  const long long offsetU = static_cast<long long>(src->offsetU) + rel_offsetUV;
  const long long offsetV = static_cast<long long>(src->offsetV) + rel_offsetUV;
  CheckArea(src->vfb, offset, src->pitch, new_row_size, new_height, "Subframe");
  if (src->pitchUV != 0) {
    CheckArea(src->vfb, offsetU, src->pitchUV, new_row_size >> 1, new_height >> 1, "Subframe");
    CheckArea(src->vfb, offsetV, src->pitchUV, new_row_size >> 1, new_height >> 1, "Subframe");
  }
  VideoFrame* f = NewFrame(src->vfb);
  f->offset = static_cast<int>(offset);
  f->pitch = src->pitch;
  f->row_size = new_row_size;
  f->height = new_height;
  f->pitchUV = src->pitchUV;
  f->offsetU = src->pitchUV ? static_cast<int>(offsetU) : src->offsetU;
  f->offsetV = src->pitchUV ? static_cast<int>(offsetV) : src->offsetV;
  return PVideoFrame(f);
}

bool FrameStore::MakeWritable(PVideoFrame* frame) {
  if (frame == nullptr || !*frame) Fail("MakeWritable: no frame");
  const VideoFrame& src = **frame;
  if (src.IsWritable()) return false;
  // The copy keeps the source's geometry and plane order, with freshly aligned pitches.
  const long long pitch = (static_cast<long long>(src.row_size) + 15) & ~15LL;
  const long long pitchUV = src.pitchUV ? (pitch + 1) >> 1 : 0;
  const long long chromaHeight = src.pitchUV ? src.height >> 1 : 0;
  const long long lumaSize = pitch * src.height;
  const long long chromaSize = pitchUV * chromaHeight;
  const long long total = lumaSize + 2 * chromaSize;
  if (total > INT_MAX / 2 || total <= 0) Fail("MakeWritable: frame too large");
  PVideoFrame keep = *frame;  // the source stays alive while its buffer may be recycled
  VideoFrame* f = NewFrame(AcquireBuffer(static_cast<int>(total)));
  // A real host takes the luma write pointer itself before handing the frame out, so a plugin
  // never sees a sequence number of 0 or 1 where it expects a count.
  f->vfb->GetWritePtr();
  f->vfb->GetWritePtr();
  f->offset = 0;
  f->pitch = static_cast<int>(pitch);
  f->row_size = src.row_size;
  f->height = src.height;
  f->pitchUV = static_cast<int>(pitchUV);
  const bool uFirst = src.offsetU < src.offsetV;
  f->offsetU = static_cast<int>(uFirst ? lumaSize : lumaSize + chromaSize);
  f->offsetV = static_cast<int>(uFirst ? lumaSize + chromaSize : lumaSize);
  PVideoFrame copy(f);
  BitBlt(f->vfb->data + f->offset, f->pitch, src.GetReadPtr(), src.pitch, src.row_size, src.height);
  if (src.pitchUV) {
    for (int plane : {PLANAR_U, PLANAR_V}) {
      BitBlt(f->vfb->data + f->GetOffset(plane), f->pitchUV, src.GetReadPtr(plane), src.pitchUV,
             src.GetRowSize(plane), src.GetHeight(plane));
    }
  }
  *frame = copy;
  return true;
}

size_t FrameStore::LiveFrames() const {
  size_t n = 0;
  for (const auto& f : frames_) n += f->refcount > 0 ? 1 : 0;
  return n;
}

void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size, int height) {
  if (row_size <= 0 || height <= 0 || dstp == nullptr || srcp == nullptr) return;
  if (dst_pitch == row_size && src_pitch == row_size) {
    std::memcpy(dstp, srcp, static_cast<size_t>(row_size) * height);
    return;
  }
  for (int y = 0; y < height; ++y) {
    std::memcpy(dstp, srcp, static_cast<size_t>(row_size));
    dstp += dst_pitch;
    srcp += src_pitch;
  }
}

}  // namespace avs_host
