// Our declarations of the AviSynth 2.5 plugin interface: the script environment, clips, frames,
// values and the video format record, with the inline operations a plugin compiles in.
//
// Field orders, slot orders and constants follow the host's binary interface. On Linux these are
// ordinary C++ declarations (a virtual destructor takes two g++ slots, which no foreign host sees);
// everything that a Windows build must shape for an MSVC-built host is kept in this one header.
//
// Reference counting is intrusive and not thread-safe: a host calls a clip from one thread at a
// time.
#pragma once

#if defined(_WIN32)
// Windows builds are loaded by an MSVC-built host: the same interface, shaped for its ABI.
#include "avs/avisynth_msvc.h"
#else

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#define AVISYNTH_INTERFACE_VERSION 2

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

// The error that the host's ThrowError raises. Plugins never catch it: it travels to the host.
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

// The video format record (48 bytes on every platform).
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
static_assert(sizeof(VideoInfo) == 48, "VideoInfo is 48 bytes in the host's layout");

// The host declares the two counters of a frame buffer, the count of a frame and the count of a
// clip as `long`, which is 8 bytes on 64-bit Linux: they must be `long` here too, or the inline
// operations below read the host's fields at the wrong offsets.

// A block of frame memory shared by a frame and its subframes.
class VideoFrameBuffer {
 public:
  BYTE* data;
  int data_size;
  long sequence_number;  // advanced whenever the luma plane is handed out for writing
  long refcount;         // number of live frames over this buffer

  const BYTE* GetReadPtr() const { return data; }
  BYTE* GetWritePtr() {
    ++sequence_number;
    return data;
  }
  int GetDataSize() const { return data_size; }
  long GetSequenceNumber() const { return sequence_number; }
  long GetRefcount() const { return refcount; }
};

// A frame: a view of planes in a buffer. Offsets count from the buffer's data. The host makes and
// recycles frames; a plugin never deletes one, it only drops its references.
class VideoFrame {
 public:
  long refcount;
  VideoFrameBuffer* vfb;
  int offset, pitch, row_size, height;
  int offsetU, offsetV, pitchUV;  // pitchUV is 0 for frames without chroma planes

  void AddRef() { ++refcount; }
  // Dropping the last reference to a frame also drops the frame's hold on its buffer.
  void Release() {
    if (refcount == 1) --vfb->refcount;
    --refcount;
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

// A counted reference to a frame.
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

 private:
  VideoFrame* p_;
};

// A clip. The count starts at 0; the last reference dropped deletes the clip.
class IClip {
 public:
  IClip() : refcnt(0) {}
  IClip(const IClip&) = delete;
  IClip& operator=(const IClip&) = delete;

  virtual int GetVersion() { return AVISYNTH_INTERFACE_VERSION; }
  virtual PVideoFrame GetFrame(int n, IScriptEnvironment* env) = 0;
  virtual bool GetParity(int n) = 0;
  virtual void GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) = 0;
  virtual void SetCacheHints(int cachehints, int frame_range) = 0;
  virtual const VideoInfo& GetVideoInfo() = 0;
  virtual ~IClip() {}

  void AddRef() { ++refcnt; }
  void Release() {
    if (--refcnt == 0) delete this;
  }
  long RefCount() const { return refcnt; }

 private:
  long refcnt;
};

// A counted reference to a clip.
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

// A script value: a type code, an array size and the value. Holding a clip holds a reference to
// it; strings and arrays are borrowed and never freed by the value.
class AVSValue {
 public:
  AVSValue() : type('v'), array_size(0), clip(nullptr) {}
  AVSValue(IClip* c) : type('c'), array_size(0), clip(c) {  // NOLINT
    if (clip) clip->AddRef();
  }
  AVSValue(const PClip& c) : AVSValue(c.get()) {}                                    // NOLINT
  AVSValue(bool b) : type('b'), array_size(0), clip(nullptr) { boolean = b; }        // NOLINT
  AVSValue(int i) : type('i'), array_size(0), clip(nullptr) { integer = i; }         // NOLINT
  AVSValue(float f) : type('f'), array_size(0), clip(nullptr) { floating_pt = f; }   // NOLINT
  AVSValue(double f) : AVSValue(static_cast<float>(f)) {}                            // NOLINT
  AVSValue(const char* s) : type('s'), array_size(0), clip(nullptr) { string = s; }  // NOLINT
  AVSValue(const AVSValue* a, int size)
      : type('a'), array_size(static_cast<short>(size)), clip(nullptr) {
    array = a;
  }
  AVSValue(const AVSValue& v) : type('v'), array_size(0), clip(nullptr) { Assign(v); }
  AVSValue& operator=(const AVSValue& v) {
    Assign(v);
    return *this;
  }
  ~AVSValue() {
    if (IsClip() && clip) clip->Release();
  }

  bool Defined() const { return type != 'v'; }
  bool IsClip() const { return type == 'c'; }
  bool IsBool() const { return type == 'b'; }
  bool IsInt() const { return type == 'i'; }
  bool IsFloat() const { return type == 'f' || type == 'i'; }
  bool IsString() const { return type == 's'; }
  bool IsArray() const { return type == 'a'; }
  char Type() const { return static_cast<char>(type); }

  PClip AsClip() const { return IsClip() ? PClip(clip) : PClip(); }
  bool AsBool() const { return IsBool() && boolean; }
  bool AsBool(bool def) const { return IsBool() ? boolean : def; }
  int AsInt() const { return IsInt() ? integer : 0; }
  int AsInt(int def) const { return IsInt() ? integer : def; }
  float AsFloat() const { return AsFloat(0.0f); }
  float AsFloat(float def) const {
    if (IsInt()) return static_cast<float>(integer);
    return type == 'f' ? floating_pt : def;
  }
  const char* AsString() const { return IsString() ? string : nullptr; }
  const char* AsString(const char* def) const { return IsString() ? string : def; }

  int ArraySize() const { return IsArray() ? array_size : 1; }
  // Out of range (or on a value that is no array) indexing gives the value itself.
  const AVSValue& operator[](int index) const {
    return (IsArray() && index >= 0 && index < array_size) ? array[index] : *this;
  }

 private:
  void Assign(const AVSValue& v) {
    if (v.IsClip() && v.clip) v.clip->AddRef();
    IClip* old = IsClip() ? clip : nullptr;
    type = v.type;
    array_size = v.array_size;
    clip = nullptr;
    switch (v.type) {
      case 'c':
        clip = v.clip;
        break;
      case 'b':
        boolean = v.boolean;
        break;
      case 'i':
        integer = v.integer;
        break;
      case 'f':
        floating_pt = v.floating_pt;
        break;
      case 's':
        string = v.string;
        break;
      case 'a':
        array = v.array;
        break;
      default:
        break;
    }
    if (old) old->Release();
  }

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
static_assert(sizeof(void*) != 4 || sizeof(AVSValue) == 8, "AVSValue is 8 bytes on 32-bit hosts");

// The script environment: the host's services to a plugin, in the host's slot order.
class IScriptEnvironment {
 public:
  // Raised by GetVar and Invoke for unknown names (call FunctionExists before Invoke).
  class NotFound : public AvisynthError {
   public:
    explicit NotFound(std::string message) : AvisynthError(std::move(message)) {}
  };

  // A filter's creation function: args holds one value per parameter of the argument string.
  typedef AVSValue (*ApplyFunc)(AVSValue args, void* user_data, IScriptEnvironment* env);
  typedef void (*ShutdownFunc)(void* user_data, IScriptEnvironment* env);

  virtual ~IScriptEnvironment() {}                                 // slot 0
  virtual long GetCPUFlags() = 0;                                  // 1
  virtual char* SaveString(const char* s, int length = -1) = 0;    // 2
  virtual char* Sprintf(const char* fmt, ...) = 0;                 // 3
  virtual char* VSprintf(const char* fmt, va_list val) = 0;        // 4
  [[noreturn]] virtual void ThrowError(const char* fmt, ...) = 0;  // 5
  virtual void AddFunction(const char* name, const char* params, ApplyFunc apply,
                           void* user_data) = 0;      // 6
  virtual bool FunctionExists(const char* name) = 0;  // 7
  virtual AVSValue Invoke(const char* name, const AVSValue args,
                          const char** arg_names = nullptr) = 0;               // 8
  virtual AVSValue GetVar(const char* name) = 0;                               // 9
  virtual bool SetVar(const char* name, const AVSValue& val) = 0;              // 10
  virtual bool SetGlobalVar(const char* name, const AVSValue& val) = 0;        // 11
  virtual void PushContext(int level = 0) = 0;                                 // 12
  virtual void PopContext() = 0;                                               // 13
  virtual PVideoFrame NewVideoFrame(const VideoInfo& vi, int align = 16) = 0;  // 14
  virtual bool MakeWritable(PVideoFrame* pvf) = 0;                             // 15
  virtual void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
                      int height) = 0;                                      // 16
  virtual void AtExit(ShutdownFunc function, void* user_data) = 0;          // 17
  virtual void CheckVersion(int version = AVISYNTH_INTERFACE_VERSION) = 0;  // 18
  virtual PVideoFrame Subframe(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                               int new_height) = 0;   // 19
  virtual int SetMemoryMax(int mem) = 0;              // 20
  virtual int SetWorkingDir(const char* newdir) = 0;  // 21
};

#if defined(_WIN32)
#define AVS_EXPORT __declspec(dllexport)
#else
#define AVS_EXPORT __attribute__((visibility("default")))
#endif

// The plugin's entry point, exported undecorated with C linkage. The host may call it more than
// once.
extern "C" AVS_EXPORT const char* AvisynthPluginInit2(IScriptEnvironment* env);

#endif  // _WIN32
