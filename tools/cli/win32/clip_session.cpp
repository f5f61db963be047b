// The Windows host session: the plugin DLL in avs/host_win32's script environment. That host
// raises its errors as HostError; they reach the command's code as AvisynthError, as on POSIX.
#include "tools/cli/clip_session.h"

#include <windows.h>

#include <cstdlib>

#include "avs/host_win32/script_environment.h"
#include "tools/cli/server_process.h"

namespace cli {

std::string PluginPath() {
  if (const char* env = std::getenv("MPGSOURCE_PLUGIN")) return env;
  return ProgramFolder() + "VantuDecodeNV.dll";
}

struct ClipSession::Host {
  avs_host_win32::ScriptEnvironment env;
  PClip clip;

  ~Host() {
    // The clip goes before the environment that made its frames.
    clip = PClip();
  }
};

ClipSession::ClipSession() : host_(new Host()) {}

ClipSession::~ClipSession() = default;

bool ClipSession::Parity() {
  return host_->clip->HostGetParity(0);
}

PVideoFrame ClipSession::Frame(int n) {
  try {
    return avs_host_win32::ScriptEnvironment::FrameOf(host_->clip, n, &host_->env);
  } catch (const avs_host_win32::HostError& e) {
    throw AvisynthError(e.what());
  }
}

bool ClipSession::Open(const std::string& project, const ClipOptions& clip, std::string* error) {
  if (!host_->env.LoadPlugin(PluginPath(), error)) return false;
  try {
    // The arguments at the positions of "[vnt]s[i420]b[deinterlace]i[use_top_field]b[yv12]b";
    // options not given stay void, so the defaults file applies.
    const AVSValue args[5] = {
        AVSValue(host_->env.SaveString(project.c_str())),
        clip.i420 ? AVSValue(true) : AVSValue(),
        clip.deinterlace >= 0 ? AVSValue(clip.deinterlace) : AVSValue(),
        clip.bottomField ? AVSValue(false) : AVSValue(),
        clip.yv12 ? AVSValue(true) : AVSValue(),
    };
    const AVSValue result = host_->env.Call("MPGSource", AVSValue(args, 5));
    if (!result.IsClip()) {
      *error = "MPGSource returned no clip";
      return false;
    }
    host_->clip = result.AsClip();
    info_ = host_->clip->HostGetVideoInfo();
    return true;
  } catch (const avs_host_win32::HostError& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace cli
