// A host session around one MPGSource clip: the script environment, the plugin loaded into it, and
// the clip that "MPGSource" returned (possibly wrapped by the host's crop). The host is the one of
// this system (avs/host, or avs/host_win32 for the plugin DLL); posix/ and win32/ hold the two.
#pragma once

#include <memory>
#include <string>

#include "avs/avisynth.h"
#include "tools/cli/options.h"

namespace cli {

// The plugin library: $MPGSOURCE_PLUGIN, else the plugin beside this program (VantuDecodeNV.so in
// a build folder, VantuDecodeNV.dll on Windows), else, on POSIX, in the plugin folder of the
// installation (<prefix>/lib/avisynth beside <prefix>/bin).
std::string PluginPath();

class ClipSession {
 public:
  ClipSession();
  ~ClipSession();
  ClipSession(const ClipSession&) = delete;
  ClipSession& operator=(const ClipSession&) = delete;

  // Loads the plugin and invokes MPGSource(vnt=project, ...) with the clip options as named
  // arguments (options not given are left out, so the defaults file applies). Errors from the host
  // or the plugin come back in `error` exactly as raised.
  bool Open(const std::string& project, const ClipOptions& clip, std::string* error);

  const VideoInfo& Info() const { return info_; }
  bool Parity();
  // The frame; errors raised while serving it come back as AvisynthError.
  PVideoFrame Frame(int n);

 private:
  struct Host;  // the script environment and the clip
  std::unique_ptr<Host> host_;
  VideoInfo info_{};
};

}  // namespace cli
