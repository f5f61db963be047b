#include "decode-server/picture_scaler.h"

#include <cstdint>
#include <cstdio>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace decode_server {

PictureScaler::PictureScaler(int width, int height, int format)
    : width_(width > 0 && height > 0 ? width : 0),
      height_(width > 0 && height > 0 ? height : 0),
      format_(format >= 0 ? format : -1) {}

PictureScaler::~PictureScaler() {
  Reset();
}

int PictureScaler::OutWidth(const AVFrame* frame) const {
  return width_ > 0 ? width_ : frame->width;
}

int PictureScaler::OutHeight(const AVFrame* frame) const {
  return width_ > 0 ? height_ : frame->height;
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
  std::snprintf(scale, sizeof scale, "%d:%d:flags=%s:interl=-1", OutWidth(frame), OutHeight(frame),
                kScaleFlags);
  AVFilterContext* scaler = nullptr;
  AVFilterContext* last = nullptr;
  if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", source, nullptr,
                                   graph_) < 0 ||
      avfilter_graph_create_filter(&scaler, avfilter_get_by_name("scale"), "scale", scale, nullptr,
                                   graph_) < 0 ||
      avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                   nullptr, graph_) < 0 ||
      avfilter_link(source_, 0, scaler, 0) < 0) {
    Reset();
    return false;
  }
  last = scaler;
  if (format_ >= 0) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format_));
    AVFilterContext* format = nullptr;
    if (!name ||
        avfilter_graph_create_filter(&format, avfilter_get_by_name("format"), "format", name,
                                     nullptr, graph_) < 0 ||
        avfilter_link(scaler, 0, format, 0) < 0) {
      Reset();
      return false;
    }
    last = format;
  }
  if (avfilter_link(last, 0, sink_, 0) < 0 || avfilter_graph_config(graph_, nullptr) < 0) {
    Reset();
    return false;
  }
  inWidth_ = frame->width;
  inHeight_ = frame->height;
  inFormat_ = frame->format;
  return true;
}

AVFrame* PictureScaler::Fit(AVFrame* frame) {
  if (!frame) return frame;
  const bool sized = width_ == 0 || (frame->width == width_ && frame->height == height_);
  if (sized && (format_ < 0 || frame->format == format_)) return frame;
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
      scaled->width != OutWidth(frame) || scaled->height != OutHeight(frame) ||
      (format_ >= 0 && scaled->format != format_)) {
    av_frame_free(&scaled);
    Reset();  // a graph in an unknown state is made afresh for the next picture
    return frame;
  }
  scaled->pts = frame->pts;
  av_frame_free(&frame);
  return scaled;
}

}  // namespace decode_server
