// The deinterlacer: libavfilter's bwdif, run as
//
//   bwdif=mode=send_field:parity=auto:deint=all      (single-threaded graph)
//
// Every frame gives two pictures, one per field, in time order; the field order comes from each
// frame's own flags (top first when a frame is not marked interlaced), and every frame is
// deinterlaced, marked interlaced or not. Deinterlacing mode 2 delivers both pictures; mode 1
// delivers, per frame, the one built around the chosen field (the top field when use_top_field is
// set): the first picture of the pair when that field comes first in time, else the second.
// So `ffmpeg -i X -vf bwdif=mode=send_field:parity=auto:deint=all` gives the same pictures as
// mode 2, and every other one of them, chosen by field, as mode 1.
//
// bwdif looks at the previous and the next frame, so a picture depends on its frame's neighbours;
// the first frame given to a fresh filter and the last one before the end are filtered without
// one of them, exactly as ffmpeg's own filter does at the start and the end of a file.
#pragma once

#include <cstdint>
#include <functional>

extern "C" {
struct AVFilterGraph;
struct AVFilterContext;
struct AVFrame;
}

namespace decode_server {

class Deinterlacer {
 public:
  // Receives each picture as a new reference (the callee owns it), with the frame's index (the
  // pts given to Push) and which of its two pictures it is (0 first in time, 1 second).
  using Sink = std::function<void(AVFrame* picture, int64_t frameIndex, int half)>;

  Deinterlacer() = default;
  ~Deinterlacer();
  Deinterlacer(const Deinterlacer&) = delete;
  Deinterlacer& operator=(const Deinterlacer&) = delete;

  // Filters `frame` (not taken over) as frame `frameIndex`; indexes must increase by one. A change
  // of size or pixel format ends the current filter (its pictures are delivered) and starts anew.
  // Returns false when the filter cannot be made or refuses the frame.
  bool Push(const AVFrame* frame, int64_t frameIndex, const Sink& sink);

  // End of the frames: delivers the remaining pictures and drops the filter.
  void Finish(const Sink& sink);

  // Drops the filter and everything in it.
  void Reset();

 private:
  bool Build(const AVFrame* frame);
  void Drain(const Sink& sink);

  AVFilterGraph* graph_ = nullptr;
  AVFilterContext* source_ = nullptr;
  AVFilterContext* sink_ = nullptr;
  int width_ = 0, height_ = 0, format_ = -1;
};

}  // namespace decode_server
