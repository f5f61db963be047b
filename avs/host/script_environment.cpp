#include "avs/host/script_environment.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "avs/host/crop_filter.h"

namespace avs_host {
namespace {

std::string Format(const char* fmt, va_list ap) {
  if (fmt == nullptr) return std::string();
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&s[0], s.size(), fmt, ap);
  s.resize(static_cast<size_t>(n));
  return s;
}

// Variable names, like function names, ignore case.
std::string Key(const char* name) {
  std::string k = name ? name : "";
  std::transform(k.begin(), k.end(), k.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return k;
}

}  // namespace

ScriptEnvironment::ScriptEnvironment() : contexts_(1) {
  std::string error;
  functions_.Add("crop", kCropParams, CreateCrop, &frames_, &error);
}

ScriptEnvironment::~ScriptEnvironment() {
  // Callbacks may still use the environment, so they run before anything is released.
  while (!atExit_.empty()) {
    auto [function, data] = atExit_.back();
    atExit_.pop_back();
    function(data, this);
  }
  contexts_.clear();
  globals_.clear();
  arrays_.clear();
  // Nothing made by a plugin is left: its code can go.
  for (auto it = libraries_.rbegin(); it != libraries_.rend(); ++it) dlclose(*it);
}

void ScriptEnvironment::KeepLibrary(void* library) {
  libraries_.push_back(library);
}

long ScriptEnvironment::GetCPUFlags() {
  // No optional instruction set is promised: plugins take their plain code paths.
  return 0;
}

char* ScriptEnvironment::SaveString(const char* s, int length) {
  if (s == nullptr) s = "";
  const size_t n = length < 0 ? std::strlen(s) : strnlen(s, static_cast<size_t>(length));
  strings_.emplace_back(s, n);
  return &strings_.back()[0];
}

char* ScriptEnvironment::Sprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = Format(fmt, ap);
  va_end(ap);
  return SaveString(s.c_str(), static_cast<int>(s.size()));
}

char* ScriptEnvironment::VSprintf(const char* fmt, va_list val) {
  std::string s = Format(fmt, val);
  return SaveString(s.c_str(), static_cast<int>(s.size()));
}

void ScriptEnvironment::ThrowError(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = Format(fmt, ap);
  va_end(ap);
  throw AvisynthError(s);
}

void ScriptEnvironment::AddFunction(const char* name, const char* params, ApplyFunc apply,
                                    void* user_data) {
  std::string error;
  if (!functions_.Add(name, params, apply, user_data, &error)) throw AvisynthError(error);
}

bool ScriptEnvironment::FunctionExists(const char* name) {
  return functions_.Find(name);
}

AVSValue ScriptEnvironment::Invoke(const char* name, const AVSValue args, const char** arg_names) {
  const Function* f = functions_.Find(name);
  if (f == nullptr) {
    throw NotFound(std::string("there is no function named \"") + (name ? name : "") + "\"");
  }
  BoundArguments bound;
  std::string error;
  if (!BindArguments(*f, args, arg_names, &bound, &error)) throw AvisynthError(error);
  // The function may register others, which may move entries of the table: copy what is called.
  const ApplyFunc apply = f->apply;
  void* const user_data = f->user_data;
  return apply(AVSValue(bound.values.data(), static_cast<int>(bound.values.size())), user_data,
               this);
}

AVSValue ScriptEnvironment::GetVar(const char* name) {
  const std::string key = Key(name);
  auto local = contexts_.back().find(key);
  if (local != contexts_.back().end()) return local->second;
  auto global = globals_.find(key);
  if (global != globals_.end()) return global->second;
  throw NotFound(std::string("there is no variable named \"") + (name ? name : "") + "\"");
}

bool ScriptEnvironment::SetVar(const char* name, const AVSValue& val) {
  contexts_.back()[Key(name)] = Persist(val);
  return true;
}

bool ScriptEnvironment::SetGlobalVar(const char* name, const AVSValue& val) {
  globals_[Key(name)] = Persist(val);
  return true;
}

AVSValue ScriptEnvironment::Persist(const AVSValue& v) {
  if (v.IsString()) return AVSValue(SaveString(v.AsString()));
  if (v.IsArray()) {
    std::vector<AVSValue> copy;
    for (int i = 0; i < v.ArraySize(); ++i) copy.push_back(Persist(v[i]));
    arrays_.push_back(std::move(copy));
    return AVSValue(arrays_.back().data(), static_cast<int>(arrays_.back().size()));
  }
  return v;
}

void ScriptEnvironment::PushContext(int) {
  contexts_.emplace_back();
}

void ScriptEnvironment::PopContext() {
  if (contexts_.size() > 1) contexts_.pop_back();
}

PVideoFrame ScriptEnvironment::NewVideoFrame(const VideoInfo& vi, int align) {
  return frames_.NewVideoFrame(vi, align);
}

bool ScriptEnvironment::MakeWritable(PVideoFrame* pvf) {
  return frames_.MakeWritable(pvf);
}

void ScriptEnvironment::BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch,
                               int row_size, int height) {
  avs_host::BitBlt(dstp, dst_pitch, srcp, src_pitch, row_size, height);
}

void ScriptEnvironment::AtExit(ShutdownFunc function, void* user_data) {
  if (function) atExit_.emplace_back(function, user_data);
}

void ScriptEnvironment::CheckVersion(int version) {
  if (version > AVISYNTH_INTERFACE_VERSION) {
    ThrowError("this plugin needs interface version %d; this host offers %d", version,
               AVISYNTH_INTERFACE_VERSION);
  }
}

PVideoFrame ScriptEnvironment::Subframe(PVideoFrame src, int rel_offset, int new_pitch,
                                        int new_row_size, int new_height) {
  return frames_.Subframe(src, rel_offset, new_pitch, new_row_size, new_height);
}

int ScriptEnvironment::SetMemoryMax(int mem) {
  // Frames are reclaimed as soon as their last reference goes; the limit is only recorded.
  if (mem > 0) memoryMax_ = mem;
  return memoryMax_;
}

int ScriptEnvironment::SetWorkingDir(const char* newdir) {
  return newdir != nullptr && chdir(newdir) == 0 ? 0 : -1;
}

}  // namespace avs_host
