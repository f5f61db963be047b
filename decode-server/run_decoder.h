// One decode run: MPEG-2 start-code units in, pictures out in display order, counted exactly.
//
// Units are assembled into whole-frame packets (CodedPictureTracker) and decoded by libavcodec's
// MPEG-2 decoder on one thread. Each packet carries its frame's coded index as timestamp, so every
// decoded picture is matched to its display place. libavcodec withholds some pictures (the leading
// B frames of an open GOP at the start of a run, pictures it cannot decode); each withheld place is
// filled with a copy of the next picture shown (or of the last one, at the end of the data, or a
// black picture when nothing was decoded at all), so that the k-th picture of a run is always the
// run's k-th display picture.
//
// Deinterlacing (mode 1 or 2, see Deinterlacer) is applied to the filled sequence of frames, at
// their decoded size; the pictures that come out are then brought to the clip's size.
//
// A client that seeks wants one picture of the run (its target, see SkipUnseenFrames) as soon as
// possible. An I or P target would come out of libavcodec only after the next I or P frame is
// decoded; instead the decoder is drained as soon as that frame's picture header arrives, and the
// run is decoded again up to the target if the client reads on (see AwaitsReplay).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "decode-server/coded_picture_tracker.h"
#include "decode-server/deinterlacer.h"
#include "decode-server/picture_scaler.h"

extern "C" {
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
}

namespace decode_server {

class SharedPicturePool;

struct RunPicture {
  AVFrame* frame = nullptr;  // owned by the receiver (av_frame_free)
  bool placeholder = false;  // fills a display place the decoder gave no picture for
  int64_t displayIndex = 0;  // the frame's display place in the run
  int64_t outputIndex = 0;   // the picture's number in the run (twice per frame in mode 2)
};

struct RunStats {
  int64_t units = 0;
  int64_t codedFrames = 0;
  int64_t decodedFrames = 0;  // pictures that came from the decoder
  int64_t placeholders = 0;   // display places filled in
  int64_t pictures = 0;       // pictures handed out
  int64_t decoderErrors = 0;
  int64_t skippedFrames = 0;  // B frames not decoded because the client discards them unseen
};

// A black 4:2:0 picture (Y 16, U and V 128); a size outside 1..8192 gives 720x576.
AVFrame* MakeBlackFrame(int width, int height);

class RunDecoder {
 public:
  using Sink = std::function<void(RunPicture picture)>;

  // `deinterlace`: 0 frames as decoded, 1 one picture per frame from the chosen field, 2 two
  // pictures per frame. Values outside 0..2 count as 0. `width` x `height`: the size every picture
  // is handed out at (PictureScaler); 0 x 0 hands pictures out as decoded. `format`: the
  // AVPixelFormat every picture is handed out in (PictureScaler); negative: as decoded. `pool`,
  // when given, holds the decoded pictures (it must outlive every picture of the run).
  RunDecoder(int deinterlace, bool useTopField, int width = 0, int height = 0, int format = -1,
             SharedPicturePool* pool = nullptr);
  ~RunDecoder();
  RunDecoder(const RunDecoder&) = delete;
  RunDecoder& operator=(const RunDecoder&) = delete;

  // False when libavcodec's MPEG-2 decoder could not be opened; the run then yields black pictures.
  bool ok() const { return context_ != nullptr; }

  // Takes one unit. Pictures that become ready go to `sink`, in order.
  void PushUnit(const uint8_t* data, size_t size, const Sink& sink);

  // End of the data: every remaining picture goes to `sink`. Further units are ignored.
  void Finish(const Sink& sink);

  // Stops the run's work: nothing more is decoded or handed out (for a run that was dropped).
  void Cancel() { cancelled_ = true; }

  // The client discards the run's first `frames` frames unseen. Without deinterlacing (which
  // needs every frame's neighbours) the B frames among them are not decoded: nothing refers to a
  // B frame, and their places are filled like any place the decoder leaves empty.
  void SkipUnseenFrames(int64_t frames) { unseenFrames_ = frames; }
  // True once the client's target (the first frame it reads, see SkipUnseenFrames) came out early:
  // a target anchor is handed out without the decode of the anchor after it, by draining the
  // decoder. The next packet then first decodes the run again up to the target (a replay, about
  // as long as the run took so far); a caller that knows the client may never read on waits until
  // it does before it pushes more.
  bool AwaitsReplay() const { return drained_ && !replayed_ && nextDisplay_ > unseenFrames_; }

  const RunStats& stats() const { return stats_; }
  const CodedPictureTracker& tracker() const { return tracker_; }

 private:
  void SendPacket(const Sink& sink);
  void Receive(const Sink& sink);
  // Everything libavcodec holds goes to `sink`, and it starts afresh.
  void DrainDecoder(const Sink& sink);
  void DrainAtTarget(const Sink& sink);
  void Replay();
  void Place(AVFrame* frame, const Sink& sink);
  void Show(AVFrame* frame, int64_t displayIndex, bool placeholder, const Sink& sink);
  void Output(AVFrame* frame, int64_t displayIndex, bool placeholder, const Sink& sink);
  void Emit(AVFrame* frame, int64_t displayIndex, bool placeholder, const Sink& sink);
  void OnFiltered(AVFrame* picture, int64_t displayIndex, int half, const Sink& sink);

  int deinterlace_;
  bool useTopField_;
  bool finished_ = false;
  bool cancelled_ = false;
  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* decoded_ = nullptr;
  CodedPictureTracker tracker_;
  std::vector<uint8_t> pending_;  // the packet being assembled
  int64_t pendingIndex_ = -1;     // coded index of the frame in `pending_`
  bool pendingIsB_ = false;       // the frame in `pending_` is a B frame
  int64_t unseenFrames_ = 0;      // see SkipUnseenFrames
  // The packets sent up to the target, kept for a replay after the decoder was drained there.
  struct SentPacket {
    std::vector<uint8_t> bytes;
    int64_t pts;
  };
  std::vector<SentPacket> sent_;
  bool drained_ = false;          // drained at the target (AwaitsReplay)
  bool replayed_ = false;         // the replay after the drain was done
  int64_t quietUpTo_ = -1;        // display places up to this one were shown before the drain
  int64_t nextDisplay_ = 0;       // the next display place to show
  AVFrame* lastShown_ = nullptr;  // the last frame shown (for filling places at the end)
  Deinterlacer deinterlacer_;
  PictureScaler scaler_;
  struct FilteredFrame {
    bool placeholder;
    bool topFirst;  // the top field comes first in time, as bwdif sees the frame
  };
  std::map<int64_t, FilteredFrame> inFilter_;  // frames inside the deinterlacer, by display place
  RunStats stats_;
};

}  // namespace decode_server
