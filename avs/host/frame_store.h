// The host's frames and frame buffers. Frames are counted by the plugin's inline code and never
// deleted by it: the store reclaims frames whose count has dropped to 0 whenever it makes a new
// one, and keeps a few free buffers for reuse.
//
// Errors (a bad format, alignment or subframe geometry) are thrown as AvisynthError.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "avs/avisynth.h"

namespace avs_host {

class FrameStore {
 public:
  // Buffers are aligned to this many bytes.
  static constexpr int kBufferAlignment = 64;
  // At most this many unused buffers are kept for reuse.
  static constexpr size_t kSpareBuffers = 8;
  // What fresh frame memory holds before anyone writes it.
  static constexpr unsigned char kFreshByte = 0xA7;

  FrameStore();
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;
  ~FrameStore();

  // A new writable 4:2:0 frame (YV12 or I420) of vi's size, or a packed YUY2 frame (one plane of
  // width * 2 bytes a row, no chroma planes). The luma pitch is the row size rounded
  // up to align (a power of two; a negative value counts as its magnitude, 0 as 1), the chroma
  // pitch is (pitch + 1) >> 1. YV12 places V after Y and U after V; I420 places U first.
  PVideoFrame NewVideoFrame(const VideoInfo& vi, int align);

  // A frame over src's buffer at src's luma offset + rel_offset with the given luma geometry;
  // the chroma planes are src's. The area must lie inside the buffer.
  PVideoFrame Subframe(const PVideoFrame& src, int rel_offset, int new_pitch, int new_row_size,
                       int new_height);

  // A frame over src's buffer with every plane moved and resized: the luma plane by rel_offset,
  // the chroma planes by rel_offsetUV, the chroma row size and height being half the luma ones.
  PVideoFrame SubframePlanar(const PVideoFrame& src, int rel_offset, int new_row_size,
                             int new_height, int rel_offsetUV);

  // Replaces *frame by a writable copy unless it is writable already. Returns whether it copied.
  bool MakeWritable(PVideoFrame* frame);

  // Frames alive (count above 0) and buffers held (in use or spare), for tests and diagnostics.
  size_t LiveFrames() const;
  size_t BufferCount() const { return buffers_.size(); }

 private:
  struct BufferSlot;
  void Reclaim();
  VideoFrameBuffer* AcquireBuffer(int size);
  VideoFrame* NewFrame(VideoFrameBuffer* vfb);
  void CheckArea(const VideoFrameBuffer* vfb, long long offset, int pitch, int row_size, int height,
                 const char* what) const;

  std::vector<std::unique_ptr<VideoFrame>> frames_;
  std::vector<std::unique_ptr<BufferSlot>> buffers_;
};

// Copies height rows of row_size bytes between planes of the given pitches.
void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size, int height);

}  // namespace avs_host
