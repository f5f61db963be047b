// Our declarations of the AviSynth 2.5 plugin interface for Windows builds made with g++
// (MinGW-w64) that load into a host built with MSVC.
//
// The plugin writes the same code as against the Linux declarations (env->AddFunction,
// env->Invoke, env->ThrowError, env->NewVideoFrame, IClip overrides, AVSValue, PClip,
// PVideoFrame, VideoInfo, VideoFrame accessors). Underneath, every class that crosses the
// boundary has the host's byte layout, and every virtual slot that the host calls or implements
// has MSVC's shape:
//  - The host's slots are declared with the names Host*, in the host's order and conventions
//    (stdcall, cdecl for the variadic ones, thiscall for the destructor slot). The plugin-facing
//    names are inline wrappers (IScriptEnvironment) or ordinary virtual methods placed after the
//    host's slots (IClip), which the Host* slots call.
//  - A virtual destructor would take two g++ slots; the host's single destructor slot is an
//    ordinary virtual method taking MSVC's `flags` (bit 0: free the memory).
//  - Methods that return a PVideoFrame or an AVSValue take an explicit out-pointer right after
//    `this` and return it, which is where MSVC passes its hidden return pointer.
//  - Values passed by value (AVSValue, PVideoFrame) cross as trivially copyable 8- and 4-byte
//    records; the callee owns what it receives, as with MSVC, so references are handed over
//    explicitly.
//  - No exception crosses the boundary in either direction. ThrowError raises an ordinary C++
//    exception inside the plugin, so destructors run as usual; every Host* entry point catches
//    everything and, once outside the catch block and holding no owning object, hands the
//    message to the host's own ThrowError, whose exception the host catches. Host calls that can
//    raise the host's exception (Invoke of a failing filter, GetVar of an unknown name) unwind
//    past the plugin's frames without running their destructors: hold no owning object across
//    them where that matters, and test FunctionExists before Invoke (Invoke does).
//
// The clip methods GetVersion, GetFrame, ... are the plugin's own implementations and exist only
// in clips that the plugin makes; a clip that the host made (the result of Invoke) is called
// through the Host* slots.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#define AVISYNTH_INTERFACE_VERSION 2

#if defined(__i386__)
#define AVS_STDCALL __attribute__((stdcall))
#define AVS_CDECL __attribute__((cdecl))
#else
// x86_64 has one calling convention; these builds only ever meet a g++ host (tests under wine).
#define AVS_STDCALL
#define AVS_CDECL
#endif

typedef unsigned char BYTE;

// Pixel types. YV12 and I420 are planar 4:2:0; they differ only in the order of the chroma planes
// in memory. YUY2 is packed 4:2:2: one plane, each row Y0 U Y1 V for every two pixels (width * 2
// bytes).
constexpr int CS_PLANAR = static_cast<int>(0x80000000u);
constexpr int CS_YUV = 0x20000000;
constexpr int CS_YV12 = static_cast<int>(0xA0000008u);
constexpr int CS_I420 = static_cast<int>(0xA0000010u);
constexpr int CS_INTERLEAVED = 0x40000000;
constexpr int CS_YUY2 = 0x60000004;

// Image types.
enum { IT_BFF = 1, IT_TFF = 2, IT_FIELDBASED = 4 };

// Planes of a frame. Plane 0 means the luma plane (or the only plane of a packed frame).
enum {
  PLANAR_Y = 1,
  PLANAR_U = 2,
  PLANAR_V = 4,
  PLANAR_ALIGNED = 8,
  PLANAR_Y_ALIGNED = PLANAR_Y | PLANAR_ALIGNED,
  PLANAR_U_ALIGNED = PLANAR_U | PLANAR_ALIGNED,
  PLANAR_V_ALIGNED = PLANAR_V | PLANAR_ALIGNED,
};

// The error that ThrowError raises inside the plugin. The Host* entry points turn it into the
// host's own error.
class AvisynthError : public std::exception {
 public:
  explicit AvisynthError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class IScriptEnvironment;
class IClip;
class AVSValue;
class VideoFrame;

namespace avs_msvc {

// Reference counts are shared with the host, which changes them with interlocked operations.
inline long AtomicIncrement(volatile long* value) {
  return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}
inline long AtomicDecrement(volatile long* value) {
  return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

// Copies `text` into `out` (of `size` bytes), cut to fit.
inline void CopyMessage(char* out, size_t size, const char* text) {
  std::snprintf(out, size, "%s", text ? text : "");
}

constexpr size_t kMessageSize = 1024;

}  // namespace avs_msvc

// The video format record (48 bytes).
struct VideoInfo {
  int width;
  int height;
  unsigned fps_numerator;
  unsigned fps_denominator;
  int num_frames;
  int pixel_type;
  int audio_samples_per_second;
  int sample_type;
  int64_t num_audio_samples;
  int nchannels;
  int image_type;

  bool HasVideo() const { return width != 0; }
  bool HasAudio() const { return audio_samples_per_second != 0; }
  bool IsPlanar() const { return (pixel_type & CS_PLANAR) != 0; }
  // True for both 4:2:0 planar types.
  bool IsYV12() const { return pixel_type == CS_YV12 || pixel_type == CS_I420; }
  bool IsI420() const { return pixel_type == CS_I420; }
  bool IsYUY2() const { return pixel_type == CS_YUY2; }
  bool IsFieldBased() const { return (image_type & IT_FIELDBASED) != 0; }
  bool IsBFF() const { return (image_type & IT_BFF) != 0; }
  bool IsTFF() const { return (image_type & IT_TFF) != 0; }
  bool IsParityKnown() const { return (image_type & (IT_BFF | IT_TFF)) != 0; }
  void SetFieldBased(bool on) {
    if (on) {
      image_type |= IT_FIELDBASED;
    } else {
      image_type &= ~IT_FIELDBASED;
    }
  }
  int BitsPerPixel() const { return IsYV12() ? 12 : IsYUY2() ? 16 : 0; }
  // Bytes in a luma row.
  int RowSize() const { return IsYUY2() ? width * 2 : width; }
};

// A block of frame memory shared by a frame and its subframes (16 bytes on 32-bit hosts).
class VideoFrameBuffer {
 public:
  BYTE* data;
  int data_size;
  volatile long sequence_number;  // advanced whenever the luma plane is handed out for writing
  volatile long refcount;         // number of live frames over this buffer

  const BYTE* GetReadPtr() const { return data; }
  BYTE* GetWritePtr() {
    avs_msvc::AtomicIncrement(&sequence_number);
    return data;
  }
  int GetDataSize() const { return data_size; }
  int GetSequenceNumber() const { return static_cast<int>(sequence_number); }
  int GetRefcount() const { return static_cast<int>(refcount); }
};

// A frame: a view of planes in a buffer (36 bytes on 32-bit hosts). Offsets count from the
// buffer's data. The host makes and recycles frames; a plugin never deletes one, it only drops
// its references.
class VideoFrame {
 public:
  volatile long refcount;
  VideoFrameBuffer* vfb;
  int offset, pitch, row_size, height;
  int offsetU, offsetV, pitchUV;  // pitchUV is 0 for frames without chroma planes

  void AddRef() { avs_msvc::AtomicIncrement(&refcount); }
  // Dropping the last reference to a frame also drops the frame's hold on its buffer; the
  // buffer's count goes first, so that a frame that the host sees free has a free buffer.
  void Release() {
    if (refcount == 1) avs_msvc::AtomicDecrement(&vfb->refcount);
    avs_msvc::AtomicDecrement(&refcount);
  }

  int GetPitch(int plane = 0) const { return IsChroma(plane) ? pitchUV : pitch; }
  int GetRowSize(int plane = 0) const {
    if (IsChroma(plane)) {
      if (pitchUV == 0) return 0;
      int r = row_size >> 1;
      if (plane & PLANAR_ALIGNED) r = AlignedWithin(r, pitchUV);
      return r;
    }
    if (plane & PLANAR_ALIGNED) return AlignedWithin(row_size, pitch);
    return row_size;
  }
  int GetHeight(int plane = 0) const {
    if (IsChroma(plane)) return pitchUV ? height >> 1 : 0;
    return height;
  }
  int GetOffset(int plane = 0) const {
    if (plane & PLANAR_U) return offsetU;
    if (plane & PLANAR_V) return offsetV;
    return offset;
  }
  const BYTE* GetReadPtr(int plane = 0) const { return vfb->GetReadPtr() + GetOffset(plane); }
  bool IsWritable() const { return refcount == 1 && vfb->refcount == 1; }
  // The luma pointer is null unless the frame is writable; the chroma pointers are not checked,
  // so a writer takes the luma pointer first.
  BYTE* GetWritePtr(int plane = 0) const {
    if (IsChroma(plane)) return vfb->data + GetOffset(plane);
    return IsWritable() ? vfb->GetWritePtr() + offset : nullptr;
  }
  VideoFrameBuffer* GetFrameBuffer() const { return vfb; }

 private:
  static bool IsChroma(int plane) { return (plane & (PLANAR_U | PLANAR_V)) != 0; }
  // A row size rounded up to 16 bytes when the pitch leaves room for it.
  static int AlignedWithin(int size, int pitch_) {
    int r = (size + 15) & ~15;
    return r <= pitch_ ? r : size;
  }
};

// A counted reference to a frame: one pointer, as the host's own.
class PVideoFrame {
 public:
  PVideoFrame() : p_(nullptr) {}
  PVideoFrame(VideoFrame* p) : p_(p) {  // NOLINT: converting, as the host's interface has it
    if (p_) p_->AddRef();
  }
  PVideoFrame(const PVideoFrame& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  PVideoFrame& operator=(VideoFrame* p) {
    if (p) p->AddRef();
    if (p_) p_->Release();
    p_ = p;
    return *this;
  }
  PVideoFrame& operator=(const PVideoFrame& o) { return *this = o.p_; }
  ~PVideoFrame() {
    if (p_) p_->Release();
  }

  VideoFrame* operator->() const { return p_; }
  VideoFrame& operator*() const { return *p_; }
  bool operator!() const { return p_ == nullptr; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(const PVideoFrame& o) const { return p_ == o.p_; }
  bool operator!=(const PVideoFrame& o) const { return p_ != o.p_; }
  VideoFrame* get() const { return p_; }

  // Takes over a reference that the host handed out (a returned frame).
  static PVideoFrame Adopt(VideoFrame* p) {
    PVideoFrame f;
    f.p_ = p;
    return f;
  }
  // Gives up the reference without dropping it (to hand it to the host).
  VideoFrame* Detach() {
    VideoFrame* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  VideoFrame* p_;
};

// The host's script value as it crosses the boundary: 8 bytes, trivially copyable.
struct AVSValueRaw {
  short type;  // an ASCII code: 'v' void, 'c' clip, 'b' bool, 'i' int, 'f' float, 's', 'a'
  short array_size;
  union {
    IClip* clip;
    bool boolean;
    int integer;
    float floating_pt;
    const char* string;
    const AVSValue* array;
  };
};

// A clip. The count starts at 0; the last reference dropped deletes the clip through the host's
// destructor slot, whoever made the clip.
class IClip {
 public:
  IClip() : refcnt(0) {}
  IClip(const IClip&) = delete;
  IClip& operator=(const IClip&) = delete;

  // The host's slots 0 to 6. Final: a clip implements the plugin-facing methods below.
  virtual int AVS_STDCALL HostGetVersion() final {
    try {
      return GetVersion();
    } catch (...) {
      return AVISYNTH_INTERFACE_VERSION;
    }
  }
  virtual VideoFrame** AVS_STDCALL HostGetFrame(VideoFrame** out, int n,
                                                IScriptEnvironment* env) final;
  virtual bool AVS_STDCALL HostGetParity(int n) final {
    try {
      return GetParity(n);
    } catch (...) {
      return false;
    }
  }
  virtual void AVS_STDCALL HostGetAudio(void* buf, int64_t start, int64_t count,
                                        IScriptEnvironment* env) final;
  virtual void AVS_STDCALL HostSetCacheHints(int cachehints, int frame_range) final {
    try {
      SetCacheHints(cachehints, frame_range);
    } catch (...) {
    }
  }
  virtual const VideoInfo& AVS_STDCALL HostGetVideoInfo() final {
    static const VideoInfo kNone = {};
    try {
      return GetVideoInfo();
    } catch (...) {
      return kNone;
    }
  }
  // MSVC's deleting destructor (thiscall): destroys the clip, and frees it when bit 0 is set.
  // (Destructors are noexcept: nothing to catch.)
  virtual void* HostDestroy(unsigned flags) final {
    if (flags & 1) {
      delete this;
    } else {
      this->~IClip();
    }
    return this;
  }

  // What a clip implements (slots after the host's; only the plugin calls them).
  virtual int GetVersion() { return AVISYNTH_INTERFACE_VERSION; }
  virtual PVideoFrame GetFrame(int n, IScriptEnvironment* env) = 0;
  virtual bool GetParity(int n) = 0;
  virtual void GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) = 0;
  virtual void SetCacheHints(int cachehints, int frame_range) = 0;
  virtual const VideoInfo& GetVideoInfo() = 0;
  virtual ~IClip() {}

  void AddRef() { avs_msvc::AtomicIncrement(&refcnt); }
  void Release() {
    if (avs_msvc::AtomicDecrement(&refcnt) == 0) HostDestroy(1);
  }
  int RefCount() const { return static_cast<int>(refcnt); }

 private:
  friend struct AvsMsvcLayout;
  volatile long refcnt;
};

// A counted reference to a clip: one pointer, as the host's own.
class PClip {
 public:
  PClip() : p_(nullptr) {}
  PClip(IClip* p) : p_(p) {  // NOLINT: converting, as the host's interface has it
    if (p_) p_->AddRef();
  }
  PClip(const PClip& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  PClip& operator=(IClip* p) {
    if (p) p->AddRef();
    if (p_) p_->Release();
    p_ = p;
    return *this;
  }
  PClip& operator=(const PClip& o) { return *this = o.p_; }
  ~PClip() {
    if (p_) p_->Release();
  }

  IClip* operator->() const { return p_; }
  IClip& operator*() const { return *p_; }
  bool operator!() const { return p_ == nullptr; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(const PClip& o) const { return p_ == o.p_; }
  bool operator!=(const PClip& o) const { return p_ != o.p_; }
  IClip* get() const { return p_; }

 private:
  IClip* p_;
};

// A script value (8 bytes, the layout of AVSValueRaw). Holding a clip holds a reference to it;
// strings and arrays are borrowed and never freed by the value.
class AVSValue {
 public:
  AVSValue() { Clear(); }
  AVSValue(IClip* c) {  // NOLINT
    Clear();
    v_.type = 'c';
    v_.clip = c;
    if (c) c->AddRef();
  }
  AVSValue(const PClip& c) : AVSValue(c.get()) {}  // NOLINT
  AVSValue(bool b) {                               // NOLINT
    Clear();
    v_.type = 'b';
    v_.boolean = b;
  }
  AVSValue(int i) {  // NOLINT
    Clear();
    v_.type = 'i';
    v_.integer = i;
  }
  AVSValue(float f) {  // NOLINT
    Clear();
    v_.type = 'f';
    v_.floating_pt = f;
  }
  AVSValue(double f) : AVSValue(static_cast<float>(f)) {}  // NOLINT
  AVSValue(const char* s) {                                // NOLINT
    Clear();
    v_.type = 's';
    v_.string = s;
  }
  AVSValue(const AVSValue* a, int size) {
    Clear();
    v_.type = 'a';
    v_.array_size = static_cast<short>(size);
    v_.array = a;
  }
  AVSValue(const AVSValue& v) {
    Clear();
    Assign(v);
  }
  AVSValue& operator=(const AVSValue& v) {
    Assign(v);
    return *this;
  }
  ~AVSValue() {
    if (IsClip() && v_.clip) v_.clip->Release();
  }

  bool Defined() const { return v_.type != 'v'; }
  bool IsClip() const { return v_.type == 'c'; }
  bool IsBool() const { return v_.type == 'b'; }
  bool IsInt() const { return v_.type == 'i'; }
  bool IsFloat() const { return v_.type == 'f' || v_.type == 'i'; }
  bool IsString() const { return v_.type == 's'; }
  bool IsArray() const { return v_.type == 'a'; }
  char Type() const { return static_cast<char>(v_.type); }

  PClip AsClip() const { return IsClip() ? PClip(v_.clip) : PClip(); }
  bool AsBool() const { return IsBool() && v_.boolean; }
  bool AsBool(bool def) const { return IsBool() ? v_.boolean : def; }
  int AsInt() const { return IsInt() ? v_.integer : 0; }
  int AsInt(int def) const { return IsInt() ? v_.integer : def; }
  float AsFloat() const { return AsFloat(0.0f); }
  float AsFloat(float def) const {
    if (IsInt()) return static_cast<float>(v_.integer);
    return v_.type == 'f' ? v_.floating_pt : def;
  }
  const char* AsString() const { return IsString() ? v_.string : nullptr; }
  const char* AsString(const char* def) const { return IsString() ? v_.string : def; }

  int ArraySize() const { return IsArray() ? v_.array_size : 1; }
  // Out of range (or on a value that is no array) indexing gives the value itself.
  const AVSValue& operator[](int index) const {
    return (IsArray() && index >= 0 && index < v_.array_size) ? v_.array[index] : *this;
  }

  // Takes over the reference that a value from the host holds (a returned value, or an argument
  // that the callee owns).
  static AVSValue Adopt(const AVSValueRaw& raw) {
    AVSValue v;
    v.v_ = raw;
    return v;
  }
  // Gives up the value, reference included, leaving this value void (to hand it to the host).
  AVSValueRaw Detach() {
    AVSValueRaw raw = v_;
    Clear();
    return raw;
  }
  // A copy for the host that holds its own reference.
  AVSValueRaw Share() const {
    if (IsClip() && v_.clip) v_.clip->AddRef();
    return v_;
  }

 private:
  void Clear() {
    std::memset(&v_, 0, sizeof v_);
    v_.type = 'v';
  }
  void Assign(const AVSValue& v) {
    if (v.IsClip() && v.v_.clip) v.v_.clip->AddRef();
    IClip* old = IsClip() ? v_.clip : nullptr;
    v_ = v.v_;
    if (old) old->Release();
  }

  AVSValueRaw v_;
};

// The script environment, implemented by the host.
class IScriptEnvironment {
 public:
  // Raised by Invoke for unknown names.
  class NotFound : public AvisynthError {
   public:
    explicit NotFound(std::string message) : AvisynthError(std::move(message)) {}
  };

  // What the plugin registers: a filter's creation function, and a function run at exit.
  typedef AVSValue (*ApplyFunc)(AVSValue args, void* user_data, IScriptEnvironment* env);
  typedef void (*ShutdownFunc)(void* user_data, IScriptEnvironment* env);

  // What the host calls: the creation function with MSVC's hidden return pointer made explicit
  // and the argument array as a raw value that the callee owns.
  typedef AVSValueRaw*(AVS_CDECL* HostApplyFunc)(AVSValueRaw* ret, AVSValueRaw args,
                                                 void* user_data, IScriptEnvironment* env);
  typedef void(AVS_CDECL* HostShutdownFunc)(void* user_data, IScriptEnvironment* env);

  // The host's slots 0 to 21 (22 to 24 exist from host 2.5.6 on and are not used).
  virtual void* HostDestroy(unsigned flags) = 0;                                          // 0
  virtual long AVS_STDCALL HostGetCPUFlags() = 0;                                         // 1
  virtual char* AVS_STDCALL HostSaveString(const char* s, int length) = 0;                // 2
  virtual char* AVS_CDECL HostSprintf(const char* fmt, ...) = 0;                          // 3
  virtual char* AVS_STDCALL HostVSprintf(const char* fmt, va_list val) = 0;               // 4
  [[noreturn]] virtual void AVS_CDECL HostThrowError(const char* fmt, ...) = 0;           // 5
  virtual void AVS_STDCALL HostAddFunction(const char* name, const char* params,          //
                                           HostApplyFunc apply, void* user_data) = 0;     // 6
  virtual bool AVS_STDCALL HostFunctionExists(const char* name) = 0;                      // 7
  virtual AVSValueRaw* AVS_STDCALL HostInvoke(AVSValueRaw* ret, const char* name,         //
                                              AVSValueRaw args, const char** names) = 0;  // 8
  virtual AVSValueRaw* AVS_STDCALL HostGetVar(AVSValueRaw* ret, const char* name) = 0;    // 9
  virtual bool AVS_STDCALL HostSetVar(const char* name, const AVSValue& val) = 0;         // 10
  virtual bool AVS_STDCALL HostSetGlobalVar(const char* name, const AVSValue& val) = 0;   // 11
  virtual void AVS_STDCALL HostPushContext(int level) = 0;                                // 12
  virtual void AVS_STDCALL HostPopContext() = 0;                                          // 13
  virtual VideoFrame** AVS_STDCALL HostNewVideoFrame(VideoFrame** ret, const VideoInfo& vi,
                                                     int align) = 0;  // 14
  virtual bool AVS_STDCALL HostMakeWritable(PVideoFrame* pvf) = 0;    // 15
  virtual void AVS_STDCALL HostBitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch,
                                      int row_size, int height) = 0;                    // 16
  virtual void AVS_STDCALL HostAtExit(HostShutdownFunc function, void* user_data) = 0;  // 17
  virtual void AVS_STDCALL HostCheckVersion(int version) = 0;                           // 18
  virtual VideoFrame** AVS_STDCALL HostSubframe(VideoFrame** ret, VideoFrame* src, int rel_offset,
                                                int new_pitch, int new_row_size,
                                                int new_height) = 0;  // 19
  virtual int AVS_STDCALL HostSetMemoryMax(int mem) = 0;              // 20
  virtual int AVS_STDCALL HostSetWorkingDir(const char* newdir) = 0;  // 21

  // The plugin-facing calls.
  long GetCPUFlags() { return HostGetCPUFlags(); }
  char* SaveString(const char* s, int length = -1) { return HostSaveString(s, length); }
  char* Sprintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char* result = HostVSprintf(fmt, args);
    va_end(args);
    return result;
  }
  char* VSprintf(const char* fmt, va_list val) { return HostVSprintf(fmt, val); }
  // Raises the error inside the plugin; the host's entry point that is unwound to hands it on.
  [[noreturn]] void ThrowError(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string message = Format(fmt, args);
    va_end(args);
    throw AvisynthError(std::move(message));
  }
  void AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data);
  bool FunctionExists(const char* name) { return HostFunctionExists(name); }
  AVSValue Invoke(const char* name, const AVSValue& args, const char** arg_names = nullptr) {
    if (!name || !HostFunctionExists(name)) {
      throw NotFound(std::string("there is no function named \"") + (name ? name : "") + "\"");
    }
    AVSValueRaw out;
    out.type = 'v';
    out.array_size = 0;
    out.clip = nullptr;
    HostInvoke(&out, name, args.Share(), arg_names);
    return AVSValue::Adopt(out);
  }
  // The host raises its own error for an unknown name, which the plugin cannot catch.
  AVSValue GetVar(const char* name) {
    AVSValueRaw out;
    out.type = 'v';
    out.array_size = 0;
    out.clip = nullptr;
    HostGetVar(&out, name);
    return AVSValue::Adopt(out);
  }
  bool SetVar(const char* name, const AVSValue& val) { return HostSetVar(name, val); }
  bool SetGlobalVar(const char* name, const AVSValue& val) { return HostSetGlobalVar(name, val); }
  void PushContext(int level = 0) { HostPushContext(level); }
  void PopContext() { HostPopContext(); }
  PVideoFrame NewVideoFrame(const VideoInfo& vi, int align = 16) {
    VideoFrame* out = nullptr;
    HostNewVideoFrame(&out, vi, align);
    return PVideoFrame::Adopt(out);
  }
  bool MakeWritable(PVideoFrame* pvf) { return HostMakeWritable(pvf); }
  void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
              int height) {
    HostBitBlt(dstp, dst_pitch, srcp, src_pitch, row_size, height);
  }
  void AtExit(ShutdownFunc function, void* user_data);
  void CheckVersion(int version = AVISYNTH_INTERFACE_VERSION) { HostCheckVersion(version); }
  PVideoFrame Subframe(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                       int new_height) {
    VideoFrame* out = nullptr;
    HostSubframe(&out, src.Detach(), rel_offset, new_pitch, new_row_size, new_height);
    return PVideoFrame::Adopt(out);
  }
  int SetMemoryMax(int mem) { return HostSetMemoryMax(mem); }
  int SetWorkingDir(const char* newdir) { return HostSetWorkingDir(newdir); }

  // Hands a message caught inside the plugin to the host's ThrowError. Call it outside any catch
  // block, holding no owning object: the host's exception does not unwind the plugin's frames.
  [[noreturn]] void RaiseHostError(const char* message) {
    const char* saved = HostSaveString(message, -1);
    HostThrowError("%s", saved ? saved : message);
    std::terminate();  // the host's ThrowError does not return
  }

 private:
  static std::string Format(const char* fmt, va_list args) {
    char text[avs_msvc::kMessageSize];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(text, sizeof text, fmt ? fmt : "", copy);
    va_end(copy);
    if (length < 0) return fmt ? fmt : "";
    if (static_cast<size_t>(length) < sizeof text) return std::string(text, length);
    std::string message(static_cast<size_t>(length), '\0');
    std::vsnprintf(&message[0], message.size() + 1, fmt, args);
    return message;
  }
};

namespace avs_msvc {

// Records what a plugin registered with the host: the host calls a fixed thunk with the record
// as its user data. Records live as long as the plugin (the host may call them until it unloads
// the plugin); registering the same pair again reuses its record.
struct ApplyBinding {
  IScriptEnvironment::ApplyFunc function;
  void* user_data;
};
struct ShutdownBinding {
  IScriptEnvironment::ShutdownFunc function;
  void* user_data;
};

// Finds the record of (function, user_data) in `slots`, or makes one.
template <typename Binding, typename Function>
Binding* Bind(Function function, void* user_data) {
  constexpr long kSlots = 64;
  static Binding slots[kSlots];
  static volatile long used = 0;
  const long count = __atomic_load_n(&used, __ATOMIC_ACQUIRE);
  for (long i = 0; i < count && i < kSlots; ++i) {
    if (slots[i].function == function && slots[i].user_data == user_data) return &slots[i];
  }
  const long index = AtomicIncrement(&used) - 1;
  if (index < kSlots) {
    slots[index] = Binding{function, user_data};
    return &slots[index];
  }
  return new Binding{function, user_data};
}

inline AVSValueRaw* AVS_CDECL ApplyThunk(AVSValueRaw* ret, AVSValueRaw args, void* user_data,
                                         IScriptEnvironment* env) {
  ret->type = 'v';
  ret->array_size = 0;
  ret->clip = nullptr;
  char failure[kMessageSize];
  bool failed = false;
  try {
    const ApplyBinding* binding = static_cast<const ApplyBinding*>(user_data);
    // The callee owns its by-value argument: adopting it releases it when the call is done.
    AVSValue result = binding->function(AVSValue::Adopt(args), binding->user_data, env);
    *ret = result.Detach();
  } catch (const std::exception& e) {
    CopyMessage(failure, sizeof failure, e.what());
    failed = true;
  } catch (...) {
    CopyMessage(failure, sizeof failure, "unknown error in plugin");
    failed = true;
  }
  if (failed) env->RaiseHostError(failure);
  return ret;
}

inline void AVS_CDECL ShutdownThunk(void* user_data, IScriptEnvironment* env) {
  try {
    const ShutdownBinding* binding = static_cast<const ShutdownBinding*>(user_data);
    binding->function(binding->user_data, env);
  } catch (...) {
  }
}

}  // namespace avs_msvc

inline void IScriptEnvironment::AddFunction(const char* name, const char* params, ApplyFunc apply,
                                            void* user_data) {
  HostAddFunction(name, params, &avs_msvc::ApplyThunk,
                  avs_msvc::Bind<avs_msvc::ApplyBinding>(apply, user_data));
}

inline void IScriptEnvironment::AtExit(ShutdownFunc function, void* user_data) {
  HostAtExit(&avs_msvc::ShutdownThunk,
             avs_msvc::Bind<avs_msvc::ShutdownBinding>(function, user_data));
}

inline VideoFrame** AVS_STDCALL IClip::HostGetFrame(VideoFrame** out, int n,
                                                    IScriptEnvironment* env) {
  *out = nullptr;
  char failure[avs_msvc::kMessageSize];
  bool failed = false;
  try {
    // The caller receives the frame's reference.
    *out = GetFrame(n, env).Detach();
  } catch (const std::exception& e) {
    avs_msvc::CopyMessage(failure, sizeof failure, e.what());
    failed = true;
  } catch (...) {
    avs_msvc::CopyMessage(failure, sizeof failure, "unknown error in plugin");
    failed = true;
  }
  if (failed) env->RaiseHostError(failure);
  return out;
}

inline void AVS_STDCALL IClip::HostGetAudio(void* buf, int64_t start, int64_t count,
                                            IScriptEnvironment* env) {
  char failure[avs_msvc::kMessageSize];
  bool failed = false;
  try {
    GetAudio(buf, start, count, env);
  } catch (const std::exception& e) {
    avs_msvc::CopyMessage(failure, sizeof failure, e.what());
    failed = true;
  } catch (...) {
    avs_msvc::CopyMessage(failure, sizeof failure, "unknown error in plugin");
    failed = true;
  }
  if (failed) env->RaiseHostError(failure);
}

// The host's byte layout: VideoInfo is the same on 32- and 64-bit Windows.
static_assert(sizeof(VideoInfo) == 48, "VideoInfo is 48 bytes");
static_assert(offsetof(VideoInfo, fps_numerator) == 8 && offsetof(VideoInfo, num_frames) == 16 &&
                  offsetof(VideoInfo, pixel_type) == 20 &&
                  offsetof(VideoInfo, num_audio_samples) == 32 &&
                  offsetof(VideoInfo, nchannels) == 40 && offsetof(VideoInfo, image_type) == 44,
              "VideoInfo fields at the host's offsets");
#if defined(__i386__)
// The rest of the host's byte layout on 32-bit Windows.
static_assert(sizeof(VideoFrameBuffer) == 16, "VideoFrameBuffer is 16 bytes");
static_assert(offsetof(VideoFrameBuffer, data_size) == 4 &&
                  offsetof(VideoFrameBuffer, sequence_number) == 8 &&
                  offsetof(VideoFrameBuffer, refcount) == 12,
              "VideoFrameBuffer fields at the host's offsets");
static_assert(sizeof(VideoFrame) == 36, "VideoFrame is 36 bytes");
static_assert(offsetof(VideoFrame, vfb) == 4 && offsetof(VideoFrame, offset) == 8 &&
                  offsetof(VideoFrame, pitch) == 12 && offsetof(VideoFrame, row_size) == 16 &&
                  offsetof(VideoFrame, height) == 20 && offsetof(VideoFrame, offsetU) == 24 &&
                  offsetof(VideoFrame, offsetV) == 28 && offsetof(VideoFrame, pitchUV) == 32,
              "VideoFrame fields at the host's offsets");
static_assert(sizeof(AVSValueRaw) == 8 && sizeof(AVSValue) == 8, "AVSValue is 8 bytes");
static_assert(offsetof(AVSValueRaw, array_size) == 2 && offsetof(AVSValueRaw, clip) == 4,
              "AVSValue fields at the host's offsets");
// The vtable pointer and then the count: the count is at offset 4.
static_assert(sizeof(IClip) == 8, "IClip is a vtable pointer and a count");
static_assert(sizeof(PClip) == 4 && sizeof(PVideoFrame) == 4, "smart pointers are one pointer");
#elif defined(__x86_64__)
// The rest of the host's byte layout on 64-bit Windows (LLP64: long stays 4 bytes, pointers are
// 8).
static_assert(offsetof(VideoFrameBuffer, data_size) == 8 &&
                  offsetof(VideoFrameBuffer, sequence_number) == 12 &&
                  offsetof(VideoFrameBuffer, refcount) == 16 &&
                  sizeof(VideoFrameBuffer::refcount) == 4,
              "VideoFrameBuffer fields at the host's offsets");
static_assert(sizeof(VideoFrame::refcount) == 4 && offsetof(VideoFrame, vfb) == 8 &&
                  offsetof(VideoFrame, offset) == 16 && offsetof(VideoFrame, pitch) == 20 &&
                  offsetof(VideoFrame, row_size) == 24 && offsetof(VideoFrame, height) == 28 &&
                  offsetof(VideoFrame, offsetU) == 32 && offsetof(VideoFrame, offsetV) == 36 &&
                  offsetof(VideoFrame, pitchUV) == 40,
              "VideoFrame fields at the host's offsets");
static_assert(sizeof(AVSValueRaw) == 16 && sizeof(AVSValue) == 16, "AVSValue is 16 bytes");
static_assert(offsetof(AVSValueRaw, array_size) == 2 && offsetof(AVSValueRaw, clip) == 8,
              "AVSValue fields at the host's offsets");
// The vtable pointer and then a 4-byte count, padded.
static_assert(sizeof(IClip) == 16, "IClip is a vtable pointer and a count");
static_assert(sizeof(PClip) == 8 && sizeof(PVideoFrame) == 8, "smart pointers are one pointer");
#endif
static_assert(sizeof(bool) == 1 && sizeof(long) == 4, "bool and long as MSVC has them");

#define AVS_EXPORT __declspec(dllexport)

// The plugin's entry point, exported undecorated (link with --kill-at) with C linkage and the
// host's stdcall convention. The host may call it more than once.
extern "C" AVS_EXPORT const char* AVS_STDCALL AvisynthPluginInit2(IScriptEnvironment* env);
