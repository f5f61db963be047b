#include "avs/host/crop_filter.h"

#include "avs/host/frame_store.h"

namespace avs_host {

const char* const kCropParams = "ciiii";

namespace {

class CropClip : public IClip {
 public:
  CropClip(const PClip& child, FrameStore* store, int left, int top, int width, int height)
      : child_(child), store_(store), left_(left), top_(top) {
    vi_ = child->GetVideoInfo();
    vi_.width = width;
    vi_.height = height;
  }

  PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
    PVideoFrame src = child_->GetFrame(n, env);
    if (vi_.IsYUY2()) {
      // One packed plane, two bytes a pixel.
      return store_->Subframe(src, top_ * src->GetPitch() + 2 * left_, src->GetPitch(),
                              2 * vi_.width, vi_.height);
    }
    const int luma = top_ * src->GetPitch() + left_;
    const int chroma = (top_ >> 1) * src->GetPitch(PLANAR_U) + (left_ >> 1);
    return store_->SubframePlanar(src, luma, vi_.width, vi_.height, chroma);
  }
  bool GetParity(int n) override { return child_->GetParity(n); }
  void GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) override {
    child_->GetAudio(buf, start, count, env);
  }
  void SetCacheHints(int, int) override {}
  const VideoInfo& GetVideoInfo() override { return vi_; }

 private:
  PClip child_;
  FrameStore* store_;
  int left_, top_;
  VideoInfo vi_;
};

}  // namespace

AVSValue CreateCrop(AVSValue args, void* user_data, IScriptEnvironment* env) {
  PClip child = args[0].AsClip();
  if (!child) env->ThrowError("crop: no clip");
  const VideoInfo& vi = child->GetVideoInfo();
  const long long left = args[1].AsInt();
  const long long top = args[2].AsInt();
  long long width = args[3].AsInt();
  long long height = args[4].AsInt();
  if (!vi.IsYV12() && !vi.IsYUY2()) {
    env->ThrowError("crop: this host crops only YV12, I420 and YUY2 video");
  }
  if (left < 0 || top < 0) {
    env->ThrowError("crop: left (%lld) and top (%lld) must not be negative", left, top);
  }
  if (width <= 0) width = vi.width - left + width;
  if (height <= 0) height = vi.height - top + height;
  if (width <= 0 || height <= 0) {
    env->ThrowError(
        "crop: nothing remains of the %dx%d picture (left %d, top %d, width %d, "
        "height %d)",
        vi.width, vi.height, args[1].AsInt(), args[2].AsInt(), args[3].AsInt(), args[4].AsInt());
  }
  if (left + width > vi.width || top + height > vi.height) {
    env->ThrowError("crop: the area %lldx%lld at (%lld, %lld) lies outside the %dx%d picture",
                    width, height, left, top, vi.width, vi.height);
  }
  // 4:2:0 shares chroma between two columns and two rows, 4:2:2 (YUY2) between two columns.
  if (vi.IsYUY2() ? ((left | width) & 1) : ((left | top | width | height) & 1)) {
    env->ThrowError(
        "crop: %s video can be cropped only by even numbers of %s "
        "(left %lld, top %lld, width %lld, height %lld)",
        vi.IsYUY2() ? "4:2:2" : "4:2:0", vi.IsYUY2() ? "columns" : "columns and rows", left, top,
        width, height);
  }
  return AVSValue(new CropClip(child, static_cast<FrameStore*>(user_data), static_cast<int>(left),
                               static_cast<int>(top), static_cast<int>(width),
                               static_cast<int>(height)));
}

}  // namespace avs_host
