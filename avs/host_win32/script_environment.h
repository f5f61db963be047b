// A minimal AviSynth host for Windows, used by the command-line host mpgsource.exe and by the
// Windows link tests: a script environment built on the host-facing slots of avs/avisynth_msvc.h
// (so it meets the plugin DLL exactly where a real host does), frames in the host's YV12/I420
// layout (a frame that nobody holds any more is reused for the next one of its size), a "crop"
// filter, and the plugin loader. Functions are called with their arguments in the order of their
// parameter string, named ones at their positions and void where omitted.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "avs/avisynth_msvc.h"

namespace avs_host_win32 {

// The host's error, raised by its ThrowError.
class HostError : public std::runtime_error {
 public:
  explicit HostError(const std::string& message) : std::runtime_error(message) {}
};

class ScriptEnvironment : public IScriptEnvironment {
 public:
  ScriptEnvironment();
  ~ScriptEnvironment();

  // Loads the plugin DLL and calls its entry point; false with a reason on failure.
  bool LoadPlugin(const std::string& path, std::string* error);
  // Calls a registered function or "crop" the way a script does; the result holds its reference.
  AVSValue Call(const char* name, const AVSValue& args);
  // Asks a clip for frame n through the host's slot; the frame holds its reference.
  static PVideoFrame FrameOf(const PClip& clip, int n, IScriptEnvironment* env);

  // References to the host's frames still held by anyone (0 once every frame was released).
  long LiveFrameReferences() const;
  const std::string& RegisteredParams(const std::string& name) const;
  int EntryPointCalls() const { return entryPointCalls_; }

  void* HostDestroy(unsigned flags) override;
  long AVS_STDCALL HostGetCPUFlags() override;
  char* AVS_STDCALL HostSaveString(const char* s, int length) override;
  char* AVS_CDECL HostSprintf(const char* fmt, ...) override;
  char* AVS_STDCALL HostVSprintf(const char* fmt, va_list val) override;
  [[noreturn]] void AVS_CDECL HostThrowError(const char* fmt, ...) override;
  void AVS_STDCALL HostAddFunction(const char* name, const char* params, HostApplyFunc apply,
                                   void* user_data) override;
  bool AVS_STDCALL HostFunctionExists(const char* name) override;
  AVSValueRaw* AVS_STDCALL HostInvoke(AVSValueRaw* ret, const char* name, AVSValueRaw args,
                                      const char** names) override;
  AVSValueRaw* AVS_STDCALL HostGetVar(AVSValueRaw* ret, const char* name) override;
  bool AVS_STDCALL HostSetVar(const char* name, const AVSValue& val) override;
  bool AVS_STDCALL HostSetGlobalVar(const char* name, const AVSValue& val) override;
  void AVS_STDCALL HostPushContext(int level) override;
  void AVS_STDCALL HostPopContext() override;
  VideoFrame** AVS_STDCALL HostNewVideoFrame(VideoFrame** ret, const VideoInfo& vi,
                                             int align) override;
  bool AVS_STDCALL HostMakeWritable(PVideoFrame* pvf) override;
  void AVS_STDCALL HostBitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch,
                              int row_size, int height) override;
  void AVS_STDCALL HostAtExit(HostShutdownFunc function, void* user_data) override;
  void AVS_STDCALL HostCheckVersion(int version) override;
  VideoFrame** AVS_STDCALL HostSubframe(VideoFrame** ret, VideoFrame* src, int rel_offset,
                                        int new_pitch, int new_row_size, int new_height) override;
  int AVS_STDCALL HostSetMemoryMax(int mem) override;
  int AVS_STDCALL HostSetWorkingDir(const char* newdir) override;

 private:
  struct Function {
    std::string params;
    HostApplyFunc apply;
    void* user_data;
  };
  struct Frame {
    std::vector<BYTE> memory;
    VideoFrameBuffer buffer;
    VideoFrame frame;
  };

  std::string Format(const char* fmt, va_list args);

  std::map<std::string, Function> functions_;
  std::deque<std::string> strings_;
  std::vector<std::unique_ptr<Frame>> frames_;
  std::vector<std::pair<HostShutdownFunc, void*>> atExit_;
  void* plugin_ = nullptr;
  int entryPointCalls_ = 0;
};

}  // namespace avs_host_win32
