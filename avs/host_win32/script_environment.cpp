#include "avs/host_win32/script_environment.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/wide.h"

namespace avs_host_win32 {

namespace {

// The host's crop filter: crop(clip, left, top, width, height), where a width or height of 0 or
// below counts the columns or rows removed at the right or bottom edge. Frames are copied.
class CropClip : public IClip {
 public:
  CropClip(const PClip& child, int left, int top, int width, int height)
      : child_(child), left_(left), top_(top) {
    vi_ = child_->HostGetVideoInfo();
    vi_.width = width;
    vi_.height = height;
  }

  PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
    PVideoFrame source = ScriptEnvironment::FrameOf(child_, n, env);
    PVideoFrame frame = env->NewVideoFrame(vi_, 16);
    BYTE* luma = frame->GetWritePtr();
    if (vi_.IsYUY2()) {
      // One packed plane, two bytes a pixel.
      env->BitBlt(luma, frame->GetPitch(),
                  source->GetReadPtr() + top_ * source->GetPitch() + 2 * left_, source->GetPitch(),
                  frame->GetRowSize(), frame->GetHeight());
      return frame;
    }
    const int planes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
    for (int plane : planes) {
      const int shift = plane == PLANAR_Y ? 0 : 1;
      BYTE* dst = plane == PLANAR_Y ? luma : frame->GetWritePtr(plane);
      const BYTE* src =
          source->GetReadPtr(plane) + (top_ >> shift) * source->GetPitch(plane) + (left_ >> shift);
      env->BitBlt(dst, frame->GetPitch(plane), src, source->GetPitch(plane),
                  frame->GetRowSize(plane), frame->GetHeight(plane));
    }
    return frame;
  }
  bool GetParity(int n) override { return child_->HostGetParity(n); }
  void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
  void SetCacheHints(int, int) override {}
  const VideoInfo& GetVideoInfo() override { return vi_; }

 private:
  PClip child_;
  int left_, top_;
  VideoInfo vi_;
};

}  // namespace

ScriptEnvironment::ScriptEnvironment() = default;

ScriptEnvironment::~ScriptEnvironment() {
  for (auto& exit : atExit_) exit.first(exit.second, this);
  if (plugin_) FreeLibrary(static_cast<HMODULE>(plugin_));
}

bool ScriptEnvironment::LoadPlugin(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryW(platform::win32::FilePath(path).c_str());
  if (!module) {
    *error = "cannot load " + path + ": " + platform::win32::ErrorText(GetLastError());
    return false;
  }
  plugin_ = module;
  typedef const char*(AVS_STDCALL * InitFunction)(IScriptEnvironment*);
  auto init = reinterpret_cast<InitFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, "AvisynthPluginInit2")));
  if (!init) {
    *error = path + " exports no AvisynthPluginInit2";
    return false;
  }
  ++entryPointCalls_;
  init(this);
  return true;
}

AVSValue ScriptEnvironment::Call(const char* name, const AVSValue& args) {
  AVSValueRaw out = {};
  out.type = 'v';
  HostInvoke(&out, name, args.Share(), nullptr);
  return AVSValue::Adopt(out);
}

PVideoFrame ScriptEnvironment::FrameOf(const PClip& clip, int n, IScriptEnvironment* env) {
  VideoFrame* frame = nullptr;
  clip->HostGetFrame(&frame, n, env);
  return PVideoFrame::Adopt(frame);
}

long ScriptEnvironment::LiveFrameReferences() const {
  long total = 0;
  for (const auto& f : frames_) total += f->frame.refcount + f->buffer.refcount;
  return total;
}

const std::string& ScriptEnvironment::RegisteredParams(const std::string& name) const {
  static const std::string none;
  auto it = functions_.find(name);
  return it == functions_.end() ? none : it->second.params;
}

std::string ScriptEnvironment::Format(const char* fmt, va_list args) {
  char text[4096];
  std::vsnprintf(text, sizeof text, fmt, args);
  return text;
}

void* ScriptEnvironment::HostDestroy(unsigned) {
  return this;
}

long AVS_STDCALL ScriptEnvironment::HostGetCPUFlags() {
  return 0;
}

char* AVS_STDCALL ScriptEnvironment::HostSaveString(const char* s, int length) {
  strings_.push_back(length < 0 ? std::string(s) : std::string(s, static_cast<size_t>(length)));
  return &strings_.back()[0];
}

char* AVS_CDECL ScriptEnvironment::HostSprintf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = Format(fmt, args);
  va_end(args);
  return HostSaveString(text.c_str(), -1);
}

char* AVS_STDCALL ScriptEnvironment::HostVSprintf(const char* fmt, va_list val) {
  return HostSaveString(Format(fmt, val).c_str(), -1);
}

void AVS_CDECL ScriptEnvironment::HostThrowError(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = Format(fmt, args);
  va_end(args);
  throw HostError(text);
}

void AVS_STDCALL ScriptEnvironment::HostAddFunction(const char* name, const char* params,
                                                    HostApplyFunc apply, void* user_data) {
  functions_[name] = Function{params, apply, user_data};
}

bool AVS_STDCALL ScriptEnvironment::HostFunctionExists(const char* name) {
  return functions_.count(name) != 0 || std::strcmp(name, "crop") == 0;
}

AVSValueRaw* AVS_STDCALL ScriptEnvironment::HostInvoke(AVSValueRaw* ret, const char* name,
                                                       AVSValueRaw args, const char**) {
  // The callee owns its by-value argument.
  const AVSValue owned = AVSValue::Adopt(args);
  ret->type = 'v';
  ret->array_size = 0;
  ret->clip = nullptr;
  auto it = functions_.find(name);
  if (it != functions_.end()) {
    return it->second.apply(ret, owned.Share(), it->second.user_data, this);
  }
  if (std::strcmp(name, "crop") == 0 && owned.ArraySize() == 5 && owned[0].IsClip()) {
    const PClip child = owned[0].AsClip();
    const VideoInfo& vi = child->HostGetVideoInfo();
    const int left = owned[1].AsInt();
    const int top = owned[2].AsInt();
    int width = owned[3].AsInt();
    int height = owned[4].AsInt();
    if (width <= 0) width = vi.width - left + width;
    if (height <= 0) height = vi.height - top + height;
    if (left < 0 || top < 0 || width <= 0 || height <= 0 || left + width > vi.width ||
        top + height > vi.height || ((left | top | width | height) & 1)) {
      HostThrowError("Crop: the crop does not fit the clip");
    }
    *ret = AVSValue(new CropClip(child, left, top, width, height)).Detach();
    return ret;
  }
  throw HostError(std::string("no function named ") + name);
}

AVSValueRaw* AVS_STDCALL ScriptEnvironment::HostGetVar(AVSValueRaw* ret, const char* name) {
  throw HostError(std::string("no variable named ") + (name ? name : ""));
  return ret;
}

bool AVS_STDCALL ScriptEnvironment::HostSetVar(const char*, const AVSValue&) {
  return false;
}
bool AVS_STDCALL ScriptEnvironment::HostSetGlobalVar(const char*, const AVSValue&) {
  return false;
}
void AVS_STDCALL ScriptEnvironment::HostPushContext(int) {}
void AVS_STDCALL ScriptEnvironment::HostPopContext() {}

VideoFrame** AVS_STDCALL ScriptEnvironment::HostNewVideoFrame(VideoFrame** ret, const VideoInfo& vi,
                                                              int align) {
  if (align < 1) align = 16;
  // YUY2 is one packed plane; YV12 and I420 have half-size chroma planes after the luma plane.
  const bool packed = vi.IsYUY2();
  const int pitch = (vi.RowSize() + align - 1) / align * align;
  const int pitchUV = packed ? 0 : (pitch + 1) >> 1;
  const int lumaSize = pitch * vi.height;
  const int chromaSize = pitchUV * (vi.height >> 1);
  const size_t bytes = static_cast<size_t>(lumaSize + 2 * chromaSize);
  // A frame of the same size that no one holds any more is used again, so that a long run of
  // requests keeps as many frames as are held at once.
  Frame* reused = nullptr;
  for (const auto& f : frames_) {
    if (f->frame.refcount == 0 && f->buffer.refcount == 0 && f->memory.size() == bytes) {
      reused = f.get();
      break;
    }
  }
  if (!reused) {
    frames_.push_back(std::make_unique<Frame>());
    reused = frames_.back().get();
  }
  Frame* f = reused;
  f->memory.assign(bytes, 0xEE);
  f->buffer.data = f->memory.data();
  f->buffer.data_size = static_cast<int>(f->memory.size());
  f->buffer.sequence_number = 0;
  f->buffer.refcount = 1;
  VideoFrame& frame = f->frame;
  frame.refcount = 1;
  frame.vfb = &f->buffer;
  frame.offset = 0;
  frame.pitch = pitch;
  frame.row_size = vi.RowSize();
  frame.height = vi.height;
  frame.pitchUV = pitchUV;
  // YV12 keeps V before U in memory, I420 U before V.
  const int first = lumaSize;
  const int second = lumaSize + chromaSize;
  frame.offsetV = vi.pixel_type == CS_I420 ? second : first;
  frame.offsetU = vi.pixel_type == CS_I420 ? first : second;
  if (packed) frame.offsetU = frame.offsetV = 0;
  *ret = &frame;
  return ret;
}

bool AVS_STDCALL ScriptEnvironment::HostMakeWritable(PVideoFrame*) {
  return false;
}

void AVS_STDCALL ScriptEnvironment::HostBitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp,
                                               int src_pitch, int row_size, int height) {
  for (int y = 0; y < height; ++y) {
    std::memcpy(dstp + static_cast<ptrdiff_t>(y) * dst_pitch,
                srcp + static_cast<ptrdiff_t>(y) * src_pitch, static_cast<size_t>(row_size));
  }
}

void AVS_STDCALL ScriptEnvironment::HostAtExit(HostShutdownFunc function, void* user_data) {
  atExit_.emplace_back(function, user_data);
}

void AVS_STDCALL ScriptEnvironment::HostCheckVersion(int version) {
  if (version > AVISYNTH_INTERFACE_VERSION) HostThrowError("host interface version too old");
}

VideoFrame** AVS_STDCALL ScriptEnvironment::HostSubframe(VideoFrame** ret, VideoFrame* src, int,
                                                         int, int, int) {
  // Not used by the plugin; the callee owns `src`'s reference.
  if (src) src->Release();
  *ret = nullptr;
  return ret;
}

int AVS_STDCALL ScriptEnvironment::HostSetMemoryMax(int mem) {
  return mem;
}
int AVS_STDCALL ScriptEnvironment::HostSetWorkingDir(const char*) {
  return 0;
}

}  // namespace avs_host_win32
