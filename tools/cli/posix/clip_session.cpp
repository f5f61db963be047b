#include "tools/cli/clip_session.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "avs/host/plugin_loader.h"
#include "avs/host/script_environment.h"
#include "tools/cli/server_process.h"

// Where an installed plugin lies, relative to the installed program's folder.
#ifndef MPG_PLUGIN_DIR_FROM_BIN
#define MPG_PLUGIN_DIR_FROM_BIN "../lib/avisynth"
#endif

namespace cli {

std::string PluginPath() {
  if (const char* env = std::getenv("MPGSOURCE_PLUGIN")) return env;
  const std::string name = "VantuDecodeNV.so";
  const std::string dir = ProgramFolder();
  if (dir.empty()) return name;
  // In a build folder the plugin lies beside the program; installed, in the host's plugin folder.
  if (access((dir + name).c_str(), F_OK) == 0) return dir + name;
  return dir + MPG_PLUGIN_DIR_FROM_BIN + "/" + name;
}

struct ClipSession::Host {
  avs_host::ScriptEnvironment env;
  PClip clip;

  ~Host() {
    // The clip goes before the environment that made its frames.
    clip = PClip();
  }
};

ClipSession::ClipSession() : host_(new Host()) {}

ClipSession::~ClipSession() = default;

bool ClipSession::Parity() {
  return host_->clip->GetParity(0);
}

PVideoFrame ClipSession::Frame(int n) {
  return host_->clip->GetFrame(n, &host_->env);
}

bool ClipSession::Open(const std::string& project, const ClipOptions& clip, std::string* error) {
  try {
    avs_host::LoadPlugin(&host_->env, PluginPath());
    std::vector<AVSValue> args;
    std::vector<const char*> names;
    args.push_back(AVSValue(host_->env.SaveString(project.c_str())));
    names.push_back("vnt");
    if (clip.i420) {
      args.push_back(AVSValue(true));
      names.push_back("i420");
    }
    if (clip.deinterlace >= 0) {
      args.push_back(AVSValue(clip.deinterlace));
      names.push_back("deinterlace");
    }
    if (clip.bottomField) {
      args.push_back(AVSValue(false));
      names.push_back("use_top_field");
    }
    if (clip.yv12) {
      args.push_back(AVSValue(true));
      names.push_back("yv12");
    }
    AVSValue result = host_->env.Invoke(
        "MPGSource", AVSValue(args.data(), static_cast<int>(args.size())), names.data());
    if (!result.IsClip()) {
      *error = "MPGSource returned no clip";
      return false;
    }
    host_->clip = result.AsClip();
    info_ = host_->clip->GetVideoInfo();
    return true;
  } catch (const AvisynthError& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace cli
