// The VapourSynth front: mpgsource.Source(project, deinterlace, use_top_field, yv12,
// server_timeout), a clip over clip::ClipSource with frame properties on every frame.
//
// The filter runs in fmUnordered mode: the core calls getFrame for one frame at a time, in any
// order, from whichever worker thread is free. ClipSource serves one caller at a time and keeps
// its decode run going for requests in order, so calls must be serial; as a source the filter
// asks no other node for frames, so it needs none of fmFrameState's bookkeeping either.
#include <VSConstants4.h>
#include <VSHelper4.h>
#include <VapourSynth4.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "clip/clip_source.h"
#include "clip/crop_rule.h"

namespace {

struct SourceData {
  std::unique_ptr<clip::ClipSource> core;
  VSVideoInfo vi{};
};

void SetProperties(const clip::ClipSource& core, int n, VSMap* props, const VSAPI* api) {
  const clip::FrameFacts f = core.Shown(n);
  const clip::ColourFacts& colour = core.Colour();
  api->mapSetInt(props, "_FieldBased", f.fieldBased, maReplace);
  if (f.sarNumerator > 0 && f.sarDenominator > 0) {
    api->mapSetInt(props, "_SARNum", f.sarNumerator, maReplace);
    api->mapSetInt(props, "_SARDen", f.sarDenominator, maReplace);
  }
  api->mapSetInt(props, "_Matrix", colour.matrix, maReplace);
  api->mapSetInt(props, "_Primaries", colour.primaries, maReplace);
  api->mapSetInt(props, "_Transfer", colour.transfer, maReplace);
  api->mapSetInt(props, "_ColorRange", VSC_RANGE_LIMITED, maReplace);
  // MPEG-2 places chroma samples with the left luma sample of each pair.
  api->mapSetInt(props, "_ChromaLocation", VSC_CHROMA_LEFT, maReplace);
  api->mapSetInt(props, "_DurationNum", f.durationNumerator, maReplace);
  api->mapSetInt(props, "_DurationDen", f.durationDenominator, maReplace);
  api->mapSetFloat(props, "_AbsoluteTime", f.startSeconds, maReplace);
  const char type[2] = {f.pictureType, '\0'};
  api->mapSetData(props, "_PictType", type, 1, dtUtf8, maReplace);
}

const VSFrame* VS_CC GetFrame(int n, int activationReason, void* instanceData, void**,
                              VSFrameContext* frameCtx, VSCore* core, const VSAPI* api) {
  if (activationReason != arInitial) return nullptr;
  SourceData* d = static_cast<SourceData*>(instanceData);
  VSFrame* frame = api->newVideoFrame(&d->vi.format, d->vi.width, d->vi.height, nullptr, core);
  YV12PICT out{};
  out.lumaPlane = api->getWritePtr(frame, 0);
  out.uPlane = api->getWritePtr(frame, 1);
  out.vPlane = api->getWritePtr(frame, 2);
  out.lumaPitch = static_cast<int>(api->getStride(frame, 0));
  out.chromaPitch = static_cast<int>(api->getStride(frame, 1));
  out.lumaWidth = api->getFrameWidth(frame, 0);
  out.chromaWidth = api->getFrameWidth(frame, 1);
  out.lumaHeight = api->getFrameHeight(frame, 0);
  out.chromaHeight = api->getFrameHeight(frame, 1);
  if (const char* failure = d->core->GetPicture(n, out)) {
    api->freeFrame(frame);
    api->setFilterError(failure, frameCtx);
    return nullptr;
  }
  SetProperties(*d->core, n, api->getFramePropertiesRW(frame), api);
  return frame;
}

void VS_CC FreeSource(void* instanceData, VSCore*, const VSAPI*) {
  delete static_cast<SourceData*>(instanceData);
}

// The clip with the project's crop: the core's own std.Crop, after our check of the values so
// that a bad CLIP line gets our message.
void Crop(VSNode* node, const clip::ClipFacts& f, VSMap* out, VSCore* core, const VSAPI* api) {
  if (f.cropLeft == 0 && f.cropRight == 0 && f.cropTop == 0 && f.cropBottom == 0) {
    api->mapConsumeNode(out, "clip", node, maReplace);
    return;
  }
  const std::string problem =
      clip::CropProblem(f.cropLeft, f.cropRight, f.cropTop, f.cropBottom, f.width, f.height);
  VSPlugin* std = api->getPluginByID(VSH_STD_PLUGIN_ID, core);
  if (!problem.empty() || std == nullptr) {
    api->freeNode(node);
    api->mapSetError(out,
                     problem.empty() ? "MPGSource: the host has no crop filter" : problem.c_str());
    return;
  }
  // A negative right or bottom value is the width or height kept.
  const int width = f.cropRight < 0 ? -f.cropRight : f.width - f.cropLeft - f.cropRight;
  const int height = f.cropBottom < 0 ? -f.cropBottom : f.height - f.cropTop - f.cropBottom;
  VSMap* args = api->createMap();
  api->mapConsumeNode(args, "clip", node, maReplace);
  api->mapSetInt(args, "left", f.cropLeft, maReplace);
  api->mapSetInt(args, "top", f.cropTop, maReplace);
  api->mapSetInt(args, "width", width, maReplace);
  api->mapSetInt(args, "height", height, maReplace);
  VSMap* result = api->invoke(std, "CropAbs", args);
  api->freeMap(args);
  if (const char* error = api->mapGetError(result)) {
    api->mapSetError(out, error);
  } else {
    api->mapConsumeNode(out, "clip", api->mapGetNode(result, "clip", 0, nullptr), maReplace);
  }
  api->freeMap(result);
}

void VS_CC CreateSource(const VSMap* in, VSMap* out, void*, VSCore* core, const VSAPI* api) {
  int err = 0;
  const char* project = api->mapGetData(in, "project", 0, &err);
  clip::ClipOptions options;
  const int64_t deinterlace = api->mapGetInt(in, "deinterlace", 0, &err);
  if (!err) {
    if (deinterlace < 0 || deinterlace > 2) {
      const std::string text = "MPGSource: deinterlace must be 0, 1 or 2, not " +
                               std::to_string(deinterlace) + " (the script's argument).";
      api->mapSetError(out, text.c_str());
      return;
    }
    options.deinterlace = static_cast<int>(deinterlace);
  }
  const int64_t useTop = api->mapGetInt(in, "use_top_field", 0, &err);
  if (!err) options.useTopField = useTop != 0;
  const int64_t yv12 = api->mapGetInt(in, "yv12", 0, &err);
  if (!err) options.yv12 = yv12 != 0;
  // The longest bound that milliseconds in 32 bits hold, about 49 days.
  constexpr int64_t kMaxServerTimeoutSeconds = 4000000;
  int64_t timeout = api->mapGetInt(in, "server_timeout", 0, &err);
  if (err) timeout = 30;
  if (timeout < 0 || timeout > kMaxServerTimeoutSeconds) {
    const std::string text = "MPGSource: server_timeout must be 0 (no limit) to " +
                             std::to_string(kMaxServerTimeoutSeconds) + " seconds, not " +
                             std::to_string(timeout) + " (the script's argument).";
    api->mapSetError(out, text.c_str());
    return;
  }
  options.answerTimeoutMs = static_cast<uint32_t>(timeout) * 1000u;
  // VapourSynth is planar: 4:2:2 comes in planes.
  options.planar422 = true;

  std::unique_ptr<SourceData> d(new SourceData);
  std::string error;
  d->core = clip::ClipSource::Open(project ? project : "", options, &error);
  if (!d->core) {
    api->mapSetError(out, error.c_str());
    return;
  }
  const clip::ClipFacts& f = d->core->Facts();
  const bool planar422 = f.format == clip::PixelFormat::kYV16;
  if (!api->queryVideoFormat(&d->vi.format, cfYUV, stInteger, 8, 1, planar422 ? 0 : 1, core)) {
    api->mapSetError(out, "MPGSource: the host does not know the clip's YUV format.");
    return;
  }
  d->vi.width = f.width;
  d->vi.height = f.height;
  d->vi.fpsNum = f.fpsNumerator;
  d->vi.fpsDen = f.fpsDenominator;
  d->vi.numFrames = f.frameCount;
  const clip::ClipFacts facts = f;
  VSNode* node = api->createVideoFilter2("Source", &d->vi, GetFrame, FreeSource, fmUnordered,
                                         nullptr, 0, d.get(), core);
  d.release();  // the node owns it now: FreeSource deletes it
  Crop(node, facts, out, core, api);
}

}  // namespace

VS_EXTERNAL_API(void)
VapourSynthPluginInit2(VSPlugin* plugin, const VSPLUGINAPI* api) {
  api->configPlugin("com.mpgsource.mpgsource", "mpgsource",
                    "Frame-accurate MPEG-2 source over MPGSource projects", VS_MAKE_VERSION(1, 0),
                    VAPOURSYNTH_API_VERSION, 0, plugin);
  api->registerFunction("Source",
                        "project:data;deinterlace:int:opt;use_top_field:int:opt;yv12:int:opt;"
                        "server_timeout:int:opt;",
                        "clip:vnode;", CreateSource, nullptr, plugin);
}
