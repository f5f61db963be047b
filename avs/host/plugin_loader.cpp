#include "avs/host/plugin_loader.h"

#include <dlfcn.h>

#include "avs/host/script_environment.h"

namespace avs_host {

const char* LoadPlugin(IScriptEnvironment* env, const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    throw AvisynthError("cannot load plugin \"" + path + "\": " + (why ? why : "unknown error"));
  }
  using Init = const char* (*)(IScriptEnvironment*);
  auto init = reinterpret_cast<Init>(dlsym(library, "AvisynthPluginInit2"));
  if (init == nullptr) {
    dlclose(library);
    throw AvisynthError("plugin \"" + path + "\" exports no AvisynthPluginInit2");
  }
  // The environment unloads the library when it ends; a foreign environment keeps it loaded.
  if (auto* ours = dynamic_cast<ScriptEnvironment*>(env)) {
    ours->KeepLibrary(library);
  }
  return init(env);
}

}  // namespace avs_host
