#include "tools/cli/clip_session.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "avs/host/plugin_loader.h"

namespace cli {

std::string PluginPath() {
  if (const char* env = std::getenv("MPGSOURCE_PLUGIN")) return env;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "VantuDecodeNV.so";
  self[n] = '\0';
  std::string path(self);
  return path.substr(0, path.rfind('/') + 1) + "VantuDecodeNV.so";
}

ClipSession::ClipSession() : env_(new avs_host::ScriptEnvironment()) {}

ClipSession::~ClipSession() {
  // The clip goes before the environment that made its frames.
  clip_ = PClip();
}

bool ClipSession::Open(const std::string& project, const ClipOptions& clip, std::string* error) {
  try {
    avs_host::LoadPlugin(env_.get(), PluginPath());
    std::vector<AVSValue> args;
    std::vector<const char*> names;
    args.push_back(AVSValue(env_->SaveString(project.c_str())));
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
    AVSValue result = env_->Invoke(
        "MPGSource", AVSValue(args.data(), static_cast<int>(args.size())), names.data());
    if (!result.IsClip()) {
      *error = "MPGSource returned no clip";
      return false;
    }
    clip_ = result.AsClip();
    info_ = clip_->GetVideoInfo();
    return true;
  } catch (const AvisynthError& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace cli
