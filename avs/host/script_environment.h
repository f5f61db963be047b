// A minimal AviSynth 2.5 script environment for non-Windows builds: a table of script functions
// (with the host's own "crop"), Invoke with checked arguments, variables, saved strings, frames,
// and errors thrown as AvisynthError.
//
// Single-threaded: a host calls a clip from one thread at a time. Drop every clip and frame
// obtained from the environment before destroying it.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "avs/avisynth.h"
#include "avs/host/frame_store.h"
#include "avs/host/function_table.h"

namespace avs_host {

class ScriptEnvironment : public IScriptEnvironment {
 public:
  ScriptEnvironment();
  // Runs the AtExit callbacks, last registered first, then releases variables and frames.
  ~ScriptEnvironment() override;
  ScriptEnvironment(const ScriptEnvironment&) = delete;
  ScriptEnvironment& operator=(const ScriptEnvironment&) = delete;

  long GetCPUFlags() override;
  char* SaveString(const char* s, int length = -1) override;
  char* Sprintf(const char* fmt, ...) override;
  char* VSprintf(const char* fmt, va_list val) override;
  [[noreturn]] void ThrowError(const char* fmt, ...) override;
  void AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) override;
  bool FunctionExists(const char* name) override;
  AVSValue Invoke(const char* name, const AVSValue args, const char** arg_names = nullptr) override;
  AVSValue GetVar(const char* name) override;
  bool SetVar(const char* name, const AVSValue& val) override;
  bool SetGlobalVar(const char* name, const AVSValue& val) override;
  void PushContext(int level = 0) override;
  void PopContext() override;
  PVideoFrame NewVideoFrame(const VideoInfo& vi, int align = 16) override;
  bool MakeWritable(PVideoFrame* pvf) override;
  void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
              int height) override;
  void AtExit(ShutdownFunc function, void* user_data) override;
  void CheckVersion(int version = AVISYNTH_INTERFACE_VERSION) override;
  PVideoFrame Subframe(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                       int new_height) override;
  int SetMemoryMax(int mem) override;
  int SetWorkingDir(const char* newdir) override;

  // The host side.
  const Function* FindFunction(const char* name) const { return functions_.Find(name); }
  std::vector<std::string> FunctionNames() const { return functions_.Names(); }
  FrameStore& Frames() { return frames_; }
  // Takes a loaded plugin library, to be unloaded when the environment ends, after every clip
  // and variable is gone (as a real host unloads its plugins).
  void KeepLibrary(void* library);

 private:
  using Variables = std::map<std::string, AVSValue>;
  // A copy of v whose strings and arrays live as long as the environment.
  AVSValue Persist(const AVSValue& v);

  FrameStore frames_;  // declared first: frames outlive everything that may hold them
  std::deque<std::string> strings_;
  std::deque<std::vector<AVSValue>> arrays_;
  FunctionTable functions_;
  std::vector<Variables> contexts_;  // [0] is the script's level; PushContext adds one
  Variables globals_;
  std::vector<std::pair<ShutdownFunc, void*>> atExit_;
  int memoryMax_ = 0;
  std::vector<void*> libraries_;
};

}  // namespace avs_host
