// MPGSource: the clip that the host sees. It connects to the decoding server, has the decoder
// core load the project file, starts the decode thread and serves each frame request by either
// continuing the server's current run or restarting it at an earlier GOP, then copying the
// server's NV12 picture into a new planar host frame (or its 4:2:2 picture into a YUY2 frame).
//
// The decoder is held by value (16 MB): make the clip with new. Only one clip can be alive per
// process at a time, because the link to the server is process-wide; a second one is refused at
// construction with a message, and a new clip can be made once the first is destroyed.
#pragma once

#include <cstdint>
#include <string>

#include "avs/avisynth.h"
#include "decoder/avc_decoder.h"
#include "decoder/picture.h"
#include "platform/handle.h"

class MPGSource : public IClip {
 public:
  // Raises the host's error through env->ThrowError on any failure; nothing acquired stays open.
  // A 4:2:2 project is served as YUY2 unless `yv12` asks for 4:2:0 (YV12, or I420 with `i420`).
  MPGSource(const char* path, bool i420, int deinterlace, bool use_top_field,
            IScriptEnvironment* env, bool yv12 = false);
  ~MPGSource() override;

  int GetVersion() override { return 2; }
  PVideoFrame GetFrame(int n, IScriptEnvironment* env) override;
  bool GetParity(int n) override;
  void GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) override;
  void SetCacheHints(int cachehints, int frame_range) override;
  const VideoInfo& GetVideoInfo() override { return vi; }

  // Sequential requests up to this many output pictures ahead of the last one continue the
  // server's run (less one); with deinterlace 2 the window is kRunWindowDoubleRate.
  static constexpr uint32_t kRunWindow = 10;
  static constexpr uint32_t kRunWindowDoubleRate = 20;
  static constexpr uint32_t kAbortPollMs = 1;

  VideoInfo vi;
  YV12PICT* outPicture;  // describes the frame being produced; owns no planes
  int lastFrame;         // output picture served last; -1 before the first and after a failure
  platform::Handle mapping;
  CAVCDecoder decoder;

 private:
  // Produces output picture n into `frame`; returns null, or the message of a failed request.
  const char* Serve(const PVideoFrame& frame, int n);
  // Aborts the decode thread's run, if any, and waits until the thread has left AVCDecode, testing
  // at a cadence of kAbortPollMs.
  void AbortRun();
  // Ends the decode thread's current run and starts a new one whose picture `a` is the target;
  // returns the number of pictures to take and discard before it.
  int Restart(int a);
  // Releases what construction acquired before the decode thread was started.
  void ReleaseUnstarted();

  std::string failure;  // the message of the last failed request, when it is made here
};
