// Brings every picture of a run to the clip's size, so that a stream whose picture size changes
// (an SD advert inside an HD recording) is shown whole at the size the project gives the clip.
//
// The scaling is libavfilter's scale filter, run as
//
//   scale=W:H:flags=bicubic:interl=-1       (single-threaded graph)
//
// so `ffmpeg -i X -vf scale=W:H:flags=bicubic:interl=-1` gives the same pictures. interl=-1 scales
// a picture marked interlaced field by field (its fields stay apart) and any other picture whole.
//
// The same filter brings every picture to the client's chroma layout: with an output format set,
// the graph ends in format=<that format>, as `ffmpeg -vf scale=interl=-1 -pix_fmt yuv420p` does, so
// 4:2:2 pictures become 4:2:0 with each field's chroma taken from that field alone.
// Pictures that already have the size and the format pass through untouched.
#pragma once

extern "C" {
struct AVFilterGraph;
struct AVFilterContext;
struct AVFrame;
}

namespace decode_server {

constexpr const char* kScaleFlags = "bicubic";

class PictureScaler {
 public:
  // `width` x `height`: the size every picture gets; 0 (or less) in either: pictures as decoded.
  // `format` (an AVPixelFormat): the layout every picture gets; negative: as decoded.
  PictureScaler(int width, int height, int format = -1);
  ~PictureScaler();
  PictureScaler(const PictureScaler&) = delete;
  PictureScaler& operator=(const PictureScaler&) = delete;

  // Takes `frame` over and returns the picture at the set size: `frame` itself when it has the
  // size already, else a new frame (and `frame` is freed). When the filter cannot be made or
  // fails, `frame` comes back unchanged; the client then places it top-left on black.
  AVFrame* Fit(AVFrame* frame);

  int width() const { return width_; }
  int format() const { return format_; }
  int height() const { return height_; }

 private:
  bool Build(const AVFrame* frame);
  void Reset();
  // The size a picture leaves with: the set size, or its own.
  int OutWidth(const AVFrame* frame) const;
  int OutHeight(const AVFrame* frame) const;

  int width_, height_;
  int format_;
  AVFilterGraph* graph_ = nullptr;
  AVFilterContext* source_ = nullptr;
  AVFilterContext* sink_ = nullptr;
  int inWidth_ = 0, inHeight_ = 0, inFormat_ = -1;
};

}  // namespace decode_server
