#include "decode-server/deinterlacer.h"

#include <cstdio>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
}

namespace decode_server {

namespace {
constexpr const char* kBwdifSettings = "mode=send_field:parity=auto:deint=all";
}

Deinterlacer::~Deinterlacer() {
  Reset();
}

void Deinterlacer::Reset() {
  avfilter_graph_free(&graph_);  // frees the filters it holds
  source_ = nullptr;
  sink_ = nullptr;
  width_ = height_ = 0;
  format_ = -1;
}

bool Deinterlacer::Build(const AVFrame* frame) {
  Reset();
  graph_ = avfilter_graph_alloc();
  if (!graph_) return false;
  graph_->nb_threads = 1;
  AVRational aspect = frame->sample_aspect_ratio;
  if (aspect.num <= 0 || aspect.den <= 0) aspect = AVRational{1, 1};
  // Frame indexes are the timestamps, one unit per frame; bwdif halves the unit for its output,
  // so picture `half` of frame i comes out at 2i + half.
  char args[256];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=%d/%d",
                frame->width, frame->height, frame->format, aspect.num, aspect.den);
  AVFilterContext* bwdif = nullptr;
  if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", args, nullptr,
                                   graph_) < 0 ||
      avfilter_graph_create_filter(&bwdif, avfilter_get_by_name("bwdif"), "deinterlace",
                                   kBwdifSettings, nullptr, graph_) < 0 ||
      avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                   nullptr, graph_) < 0 ||
      avfilter_link(source_, 0, bwdif, 0) < 0 || avfilter_link(bwdif, 0, sink_, 0) < 0 ||
      avfilter_graph_config(graph_, nullptr) < 0) {
    Reset();
    return false;
  }
  width_ = frame->width;
  height_ = frame->height;
  format_ = frame->format;
  return true;
}

bool Deinterlacer::Push(const AVFrame* frame, int64_t frameIndex, const Sink& sink) {
  if (graph_ && (frame->width != width_ || frame->height != height_ || frame->format != format_)) {
    Finish(sink);
  }
  if (!graph_ && !Build(frame)) return false;
  AVFrame* copy = av_frame_clone(frame);
  if (!copy) return false;
  copy->pts = frameIndex;
  const int result = av_buffersrc_add_frame(source_, copy);
  av_frame_free(&copy);
  if (result < 0) return false;
  Drain(sink);
  return true;
}

void Deinterlacer::Drain(const Sink& sink) {
  for (;;) {
    AVFrame* picture = av_frame_alloc();
    if (!picture) return;
    if (av_buffersink_get_frame(sink_, picture) < 0) {
      av_frame_free(&picture);
      return;
    }
    const int64_t pts = picture->pts;
    sink(picture, pts >> 1, static_cast<int>(pts & 1));
  }
}

void Deinterlacer::Finish(const Sink& sink) {
  if (!graph_) return;
  if (av_buffersrc_add_frame(source_, nullptr) >= 0) Drain(sink);
  Reset();
}

}  // namespace decode_server
