// MPGSource: the clip that the host sees, an adapter over the host-free clip core
// (clip/clip_source.h). Construction opens the core and presents its facts as the host's
// VideoInfo; GetFrame asks the core for the picture and has it copied into a new host frame.
// Each clip has a link of its own, so a script may hold as many clips as the server has client
// slots.
#pragma once

#include <cstdint>
#include <memory>

#include "avs/avisynth.h"
#include "clip/clip_source.h"

class MPGSource : public IClip {
 public:
  // Raises the host's error through env->ThrowError on any failure; nothing acquired stays open.
  // A 4:2:2 project is served as YUY2 unless `yv12` asks for 4:2:0 (YV12, or I420 with `i420`).
  MPGSource(const char* path, bool i420, int deinterlace, bool use_top_field,
            IScriptEnvironment* env, bool yv12 = false,
            uint32_t answerTimeoutMs = server::kDefaultAnswerTimeoutMs);

  int GetVersion() override { return 2; }
  PVideoFrame GetFrame(int n, IScriptEnvironment* env) override;
  bool GetParity(int n) override;
  void GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) override;
  void SetCacheHints(int cachehints, int frame_range) override;
  const VideoInfo& GetVideoInfo() override { return vi; }

  clip::ClipSource& Core() { return *core; }

  VideoInfo vi;

 private:
  std::unique_ptr<clip::ClipSource> core;
};
