// A clip for tests: 4:2:0 frames whose every sample is a known function of plane, position and
// frame number, made through the environment's NewVideoFrame.
#pragma once

#include "avs/avisynth.h"

namespace avs_test {

inline BYTE PatternSample(int plane, int x, int y, int n) {
  switch (plane) {
    case PLANAR_U:
      return static_cast<BYTE>(x * 5 + y * 7 + n + 100);
    case PLANAR_V:
      return static_cast<BYTE>(x * 11 + y * 3 + n + 200);
    default:
      return static_cast<BYTE>(x + y * 3 + n);
  }
}

class PatternClip : public IClip {
 public:
  PatternClip(int width, int height, int pixel_type, bool* destroyed = nullptr)
      : destroyed_(destroyed) {
    vi_ = VideoInfo{};
    vi_.width = width;
    vi_.height = height;
    vi_.fps_numerator = 25;
    vi_.fps_denominator = 1;
    vi_.num_frames = 100;
    vi_.pixel_type = pixel_type;
    vi_.image_type = IT_TFF;
  }
  ~PatternClip() override {
    if (destroyed_) *destroyed_ = true;
  }

  PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
    PVideoFrame f = env->NewVideoFrame(vi_);
    BYTE* y = f->GetWritePtr();
    for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
      BYTE* p = plane == PLANAR_Y ? y : f->GetWritePtr(plane);
      for (int row = 0; row < f->GetHeight(plane); ++row) {
        for (int x = 0; x < f->GetRowSize(plane); ++x) {
          p[row * f->GetPitch(plane) + x] = PatternSample(plane, x, row, n);
        }
      }
    }
    return f;
  }
  bool GetParity(int) override { return true; }
  void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
  void SetCacheHints(int, int) override {}
  const VideoInfo& GetVideoInfo() override { return vi_; }

 private:
  VideoInfo vi_;
  bool* destroyed_;
};

}  // namespace avs_test
