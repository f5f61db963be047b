// Picture buffers for libavcodec: every buffer starts black, and with a pool they lie in a slot's
// shared pool section (server-link/picture_pool.h), so that a delivery can name the picture where
// it lies instead of copying it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "decode-server/section_guard.h"
#include "platform/handle.h"
#include "server-link/picture_pool.h"

extern "C" {
struct AVCodecContext;
struct AVFrame;
}

namespace decode_server {

// libavcodec's own buffer, cleared to black. Buffers come out of libavcodec's pools holding
// whatever an earlier picture left in them; on damaged streams its error concealment leaves some
// macroblocks unwritten (or reads them), so a picture would carry bytes of whichever picture used
// its buffer before: a result that depends on the request order.
int ClearedBuffer(AVCodecContext* context, AVFrame* frame, int flags);

class SharedPicturePool {
 public:
  // Makes and maps the pool section of `slot`. Null, with the reason in `error`, when that fails.
  static SharedPicturePool* Create(int slot, std::string* error);
  ~SharedPicturePool();
  SharedPicturePool(const SharedPicturePool&) = delete;
  SharedPicturePool& operator=(const SharedPicturePool&) = delete;

  // Sets `context` to take its buffers from the pool (its opaque field points to the pool). The
  // pool must outlive every frame the context makes.
  void Attach(AVCodecContext* context);

  // Where `frame` lies in the pool: true when it is 8-bit planar 4:2:0 and all three planes lie
  // in one of the pool's buffers.
  bool Locate(const AVFrame* frame, server::PictureRef* where) const;

  // Buffers that could not come from the pool (none free, or too large) since the last call.
  int64_t TakeMisses() { return misses_.exchange(0); }

  // True when a client cut the section short since the last call (see SectionGuard); the view
  // has been restored by then.
  bool Repaired(bool* restored) { return guard_.Repaired(restored); }

 private:
  SharedPicturePool() = default;
  static int GetBuffer(AVCodecContext* context, AVFrame* frame, int flags);
  static void Release(void* opaque, uint8_t* data);

  platform::Handle section_ = nullptr;
  uint8_t* view_ = nullptr;
  SectionGuard guard_;
  std::atomic<bool> busy_[server::kPoolBuffers] = {};
  std::atomic<int64_t> misses_{0};
};

}  // namespace decode_server
