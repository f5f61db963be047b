#include "tools/decode-server/picture_scaler.h"

#include <cstdint>
#include <cstdio>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
}

namespace decode_server {

PictureScaler::PictureScaler(int width, int height)
    : width_(width > 0 && height > 0 ? width : 0), height_(width > 0 && height > 0 ? height : 0) {}

PictureScaler::~PictureScaler() {
  Reset();
}

void PictureScaler::Reset() {
  avfilter_graph_free(&graph_);
  source_ = nullptr;
  sink_ = nullptr;
  inWidth_ = inHeight_ = 0;
  inFormat_ = -1;
}

bool PictureScaler::Build(const AVFrame* frame) {
  Reset();
  graph_ = avfilter_graph_alloc();
  if (!graph_) return false;
  graph_->nb_threads = 1;
  AVRational aspect = frame->sample_aspect_ratio;
  if (aspect.num <= 0 || aspect.den <= 0) aspect = AVRational{1, 1};
  char source[160];
  std::snprintf(source, sizeof source,
                "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=%d/%d", frame->width,
                frame->height, frame->format, aspect.num, aspect.den);
  char scale[96];
  std::snprintf(scale, sizeof scale, "%d:%d:flags=%s:interl=-1", width_, height_, kScaleFlags);
  AVFilterContext* scaler = nullptr;
  if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", source, nullptr,
                                   graph_) < 0 ||
      avfilter_graph_create_filter(&scaler, avfilter_get_by_name("scale"), "scale", scale, nullptr,
                                   graph_) < 0 ||
      avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                   nullptr, graph_) < 0 ||
      avfilter_link(source_, 0, scaler, 0) < 0 || avfilter_link(scaler, 0, sink_, 0) < 0 ||
      avfilter_graph_config(graph_, nullptr) < 0) {
    Reset();
    return false;
  }
  inWidth_ = frame->width;
  inHeight_ = frame->height;
  inFormat_ = frame->format;
  return true;
}

AVFrame* PictureScaler::Fit(AVFrame* frame) {
  if (!frame || width_ == 0 || (frame->width == width_ && frame->height == height_)) return frame;
  if (!graph_ || frame->width != inWidth_ || frame->height != inHeight_ ||
      frame->format != inFormat_) {
    if (!Build(frame)) return frame;
  }
  AVFrame* copy = av_frame_clone(frame);
  if (!copy) return frame;
  copy->pts = 0;
  const int added = av_buffersrc_add_frame(source_, copy);
  av_frame_free(&copy);
  AVFrame* scaled = av_frame_alloc();
  if (added < 0 || !scaled || av_buffersink_get_frame(sink_, scaled) < 0 ||
      scaled->width != width_ || scaled->height != height_) {
    av_frame_free(&scaled);
    Reset();  // a graph in an unknown state is made afresh for the next picture
    return frame;
  }
  scaled->pts = frame->pts;
  av_frame_free(&frame);
  return scaled;
}

}  // namespace decode_server
