// A host session around one MPGSource clip: the script environment, the plugin loaded into it, and
// the clip that "MPGSource" returned (possibly wrapped by the host's crop).
#pragma once

#include <memory>
#include <string>

#include "avs/avisynth.h"
#include "avs/host/script_environment.h"
#include "tools/cli/options.h"

namespace cli {

// The plugin library: $MPGSOURCE_PLUGIN, else VantuDecodeNV.so beside this program (a build
// folder), else in the plugin folder of the installation (<prefix>/lib/avisynth beside
// <prefix>/bin).
std::string PluginPath();

class ClipSession {
 public:
  ClipSession();
  ~ClipSession();

  // Loads the plugin and invokes MPGSource(vnt=project, ...) with the clip options as named
  // arguments (options not given are left out, so the defaults file applies). Errors from the host
  // or the plugin come back in `error` exactly as raised.
  bool Open(const std::string& project, const ClipOptions& clip, std::string* error);

  const VideoInfo& Info() const { return info_; }
  bool Parity() { return clip_->GetParity(0); }
  // The frame; errors raised while serving it come back as AvisynthError.
  PVideoFrame Frame(int n) { return clip_->GetFrame(n, env_.get()); }

 private:
  std::unique_ptr<avs_host::ScriptEnvironment> env_;
  PClip clip_;
  VideoInfo info_{};
};

}  // namespace cli
