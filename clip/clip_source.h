// ClipSource: one clip of a project, free of any host. It loads the project, connects its own link
// to the decoding server (a client slot of its own, so several clips live side by side in one
// process), runs its own decode thread and serves picture n by either continuing the server's
// current run or restarting it at an earlier GOP, then copying the server's picture into the
// caller's planes: planar 4:2:0 (YV12/I420) from the server's NV12, or packed YUY2 from its
// 4:2:2 picture.
//
// Nothing of a clip is shared with another: destroying one never touches the others.
// A ClipSource serves one caller thread at a time (the host's); its decode thread is its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "clip/shown_frames.h"
#include "reader/picture.h"
#include "server-link/link.h"

class CAVCDecoder;

namespace clip {

// kYV16: planar 4:2:2 (Y, U, V planes, chroma of half width and full height), for planar hosts.
enum class PixelFormat { kYV12, kI420, kYUY2, kYV16 };

struct ClipOptions {
  bool i420 = false;        // 4:2:0 as I420 rather than YV12
  int deinterlace = 0;      // 0, 1 or 2 (two output pictures per coded frame)
  bool useTopField = true;  // the field a single-field deinterlace keeps
  bool yv12 = false;        // 4:2:2 video served as 4:2:0 rather than YUY2
  bool planar422 = false;   // 4:2:2 video served in planes (kYV16) rather than YUY2
  uint32_t answerTimeoutMs = server::kDefaultAnswerTimeoutMs;  // 0: no bound
};

// What the clip is, as its host needs to present it.
struct ClipFacts {
  int width = 0;
  int height = 0;
  PixelFormat format = PixelFormat::kYV12;
  unsigned fpsNumerator = 0;
  unsigned fpsDenominator = 0;
  int frameCount = 0;
  bool topFieldFirst = true;
  // The project's crop (CLIP line): pixels to take off each side.
  int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
};

class ClipSource {
 public:
  // Opens the project at `path`: connects a link, loads and checks the project and starts the
  // decode thread. Returns null with the user's message in `*error` on any failure; nothing
  // acquired stays open then.
  static std::unique_ptr<ClipSource> Open(const char* path, const ClipOptions& options,
                                          std::string* error);
  ~ClipSource();
  ClipSource(const ClipSource&) = delete;
  ClipSource& operator=(const ClipSource&) = delete;

  const ClipFacts& Facts() const { return facts_; }

  // The colour description, and how output frame n (held to the clip) is shown.
  const ColourFacts& Colour() const { return shown_.Colour(); }
  FrameFacts Shown(int n) const;

  // Writes output picture n (held to the clip's frames) into the planes that `out` describes:
  // lumaPlane alone for YUY2 (packed rows of lumaWidth = 2 * width bytes), the three planes for
  // 4:2:0 and planar 4:2:2. Returns null, or the user's message of a failed request (valid until
  // the next call).
  const char* GetPicture(int n, const YV12PICT& out);

  // Changes the bound on the server's answers.
  void SetAnswerTimeout(uint32_t ms) { link_.SetAnswerTimeout(ms); }

  // Looks inside, for tests: the decoder core, the output picture served last (-1 before the
  // first and after a failure) and the link.
  const CAVCDecoder& Decoder() const { return *decoder; }
  int LastServed() const { return lastFrame; }
  const server::Link& Link() const { return link_; }

  // Sequential requests up to this many output pictures ahead of the last one continue the
  // server's run (less one); with deinterlace 2 the window is kRunWindowDoubleRate.
  static constexpr uint32_t kRunWindow = 10;
  static constexpr uint32_t kRunWindowDoubleRate = 20;
  static constexpr uint32_t kAbortPollMs = 1;

 private:
  ClipSource();
  // Everything Open does after the link is connected; null or the message.
  std::string Load(const char* path, const ClipOptions& options);
  // Releases what Open acquired before the decode thread was started.
  void ReleaseUnstarted();
  // Aborts the decode thread's run, if any, and waits until the thread has left AVCDecode,
  // testing at a cadence of kAbortPollMs.
  void AbortRun();
  // Ends the decode thread's current run and starts a new one whose picture `a` is the target;
  // returns the number of pictures to take and discard before it.
  int Restart(int a);
  // The output picture that serves a request for n.
  int ServedFor(int n) const;
  // Produces output picture n into outPicture; null or the message of a failed request.
  const char* Serve(int n);

  server::Link link_;
  std::unique_ptr<CAVCDecoder> decoder;  // 16 MB of buffers: on the heap
  ClipFacts facts_;
  ShownFrames shown_;
  bool started_ = false;  // the decode thread runs
  YV12PICT outPicture{};  // the planes of the picture being produced; owns none
  int lastFrame = -1;     // output picture served last; -1 before the first and after a failure
  std::string failure_;   // the message of the last failed request, when it is made here
};

}  // namespace clip
