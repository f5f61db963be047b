// Concrete implementations of the host-facing interfaces, compiled to assembly for i686 so that
// check-abi.sh can read their vtables: the order of the host's slots, the callee-popped byte
// count of each stdcall slot (the @N of its symbol) and the thiscall destructor slots.
#include <cstddef>

#include "avs/avisynth_msvc.h"

#pragma GCC diagnostic ignored "-Winvalid-offsetof"

// IClip's count sits right after the vtable pointer, where the host's inline AddRef finds it.
struct AvsMsvcLayout {
  static_assert(offsetof(IClip, refcnt) == sizeof(void*), "refcnt follows the vtable pointer");
};

class SlotProbeEnv final : public IScriptEnvironment {
 public:
  void* HostDestroy(unsigned) override { return this; }
  long AVS_STDCALL HostGetCPUFlags() override { return 0; }
  char* AVS_STDCALL HostSaveString(const char* s, int) override { return const_cast<char*>(s); }
  char* AVS_CDECL HostSprintf(const char* fmt, ...) override { return const_cast<char*>(fmt); }
  char* AVS_STDCALL HostVSprintf(const char* fmt, va_list) override {
    return const_cast<char*>(fmt);
  }
  [[noreturn]] void AVS_CDECL HostThrowError(const char*, ...) override { throw 0; }
  void AVS_STDCALL HostAddFunction(const char*, const char*, HostApplyFunc, void*) override {}
  bool AVS_STDCALL HostFunctionExists(const char*) override { return false; }
  AVSValueRaw* AVS_STDCALL HostInvoke(AVSValueRaw* ret, const char*, AVSValueRaw,
                                      const char**) override {
    return ret;
  }
  AVSValueRaw* AVS_STDCALL HostGetVar(AVSValueRaw* ret, const char*) override { return ret; }
  bool AVS_STDCALL HostSetVar(const char*, const AVSValue&) override { return false; }
  bool AVS_STDCALL HostSetGlobalVar(const char*, const AVSValue&) override { return false; }
  void AVS_STDCALL HostPushContext(int) override {}
  void AVS_STDCALL HostPopContext() override {}
  VideoFrame** AVS_STDCALL HostNewVideoFrame(VideoFrame** ret, const VideoInfo&, int) override {
    return ret;
  }
  bool AVS_STDCALL HostMakeWritable(PVideoFrame*) override { return false; }
  void AVS_STDCALL HostBitBlt(BYTE*, int, const BYTE*, int, int, int) override {}
  void AVS_STDCALL HostAtExit(HostShutdownFunc, void*) override {}
  void AVS_STDCALL HostCheckVersion(int) override {}
  VideoFrame** AVS_STDCALL HostSubframe(VideoFrame** ret, VideoFrame*, int, int, int,
                                        int) override {
    return ret;
  }
  int AVS_STDCALL HostSetMemoryMax(int) override { return 0; }
  int AVS_STDCALL HostSetWorkingDir(const char*) override { return 0; }
};

class SlotProbeClip final : public IClip {
 public:
  PVideoFrame GetFrame(int, IScriptEnvironment*) override { return PVideoFrame(); }
  bool GetParity(int) override { return false; }
  void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
  void SetCacheHints(int, int) override {}
  const VideoInfo& GetVideoInfo() override { return vi_; }

 private:
  VideoInfo vi_ = {};
};

// Instantiating both emits their vtables.
IScriptEnvironment* MakeSlotProbeEnv() {
  return new SlotProbeEnv;
}
IClip* MakeSlotProbeClip() {
  return new SlotProbeClip;
}
