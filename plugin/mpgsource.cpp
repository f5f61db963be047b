#include "plugin/mpgsource.h"

#include <cstring>
#include <string>

MPGSource::MPGSource(const char* path, bool i420, int deinterlace, bool use_top_field,
                     IScriptEnvironment* env, bool yv12, uint32_t answerTimeoutMs)
    : vi() {
  clip::ClipOptions options;
  options.i420 = i420;
  options.deinterlace = deinterlace;
  options.useTopField = use_top_field;
  options.yv12 = yv12;
  options.answerTimeoutMs = answerTimeoutMs;
  std::string error;
  core = clip::ClipSource::Open(path, options, &error);
  if (!core) env->ThrowError("%s", error.c_str());

  const clip::ClipFacts& facts = core->Facts();
  std::memset(&vi, 0, sizeof vi);
  vi.width = facts.width;
  vi.height = facts.height;
  vi.pixel_type = facts.format == clip::PixelFormat::kYUY2   ? CS_YUY2
                  : facts.format == clip::PixelFormat::kI420 ? CS_I420
                                                             : CS_YV12;
  vi.fps_numerator = facts.fpsNumerator;
  vi.fps_denominator = facts.fpsDenominator;
  vi.num_frames = facts.frameCount;
  vi.SetFieldBased(false);
}

PVideoFrame MPGSource::GetFrame(int n, IScriptEnvironment* env) {
  const char* failure;
  {
    PVideoFrame frame = env->NewVideoFrame(vi, 16);
    const bool packed = vi.IsYUY2();
    YV12PICT out{};
    out.lumaPlane = frame->GetWritePtr();
    out.uPlane = packed ? nullptr : frame->GetWritePtr(PLANAR_U);
    out.vPlane = packed ? nullptr : frame->GetWritePtr(PLANAR_V);
    out.lumaPitch = frame->GetPitch();
    out.chromaPitch = frame->GetPitch(PLANAR_U);
    out.lumaWidth = frame->GetRowSize();
    out.chromaWidth = frame->GetRowSize(PLANAR_U);
    out.lumaHeight = frame->GetHeight();
    out.chromaHeight = frame->GetHeight(PLANAR_U);
    failure = core->GetPicture(n, out);
    if (!failure) return frame;
  }
  // The frame is released before the error leaves, so that no reference outlives it.
  env->ThrowError("%s", failure);
  return PVideoFrame();  // not reached: ThrowError does not return
}

bool MPGSource::GetParity(int) {
  return core->Facts().topFieldFirst;
}

void MPGSource::GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) {}

void MPGSource::SetCacheHints(int, int) {}
