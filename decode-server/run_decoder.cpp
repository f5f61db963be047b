#include "decode-server/run_decoder.h"

#include <cstring>

#include "decode-server/shared_picture_pool.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace decode_server {

namespace {
// Size of the black picture of a run that never saw a usable sequence header.
constexpr int kFallbackWidth = 720;
constexpr int kFallbackHeight = 576;
constexpr int kMaxDimension = 8192;

}  // namespace

RunDecoder::RunDecoder(int deinterlace, bool useTopField, int width, int height, int format,
                       SharedPicturePool* pool)
    : deinterlace_(deinterlace >= 0 && deinterlace <= 2 ? deinterlace : 0),
      useTopField_(useTopField),
      scaler_(width, height, format) {
  packet_ = av_packet_alloc();
  decoded_ = av_frame_alloc();
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG2VIDEO);
  if (!codec || !packet_ || !decoded_) return;
  context_ = avcodec_alloc_context3(codec);
  if (!context_) return;
  context_->thread_count = 1;
  // One thread, so no frame threading: its request would make libavcodec warn that the buffer
  // callback is not marked thread-safe.
  context_->thread_type = FF_THREAD_SLICE;
  // Every buffer starts black (shared_picture_pool.h says why).
  if (pool) {
    pool->Attach(context_);
  } else {
    context_->get_buffer2 = ClearedBuffer;
  }
  if (avcodec_open2(context_, codec, nullptr) < 0) avcodec_free_context(&context_);
}

RunDecoder::~RunDecoder() {
  avcodec_free_context(&context_);
  av_packet_free(&packet_);
  av_frame_free(&decoded_);
  av_frame_free(&lastShown_);
}

void RunDecoder::PushUnit(const uint8_t* data, size_t size, const Sink& sink) {
  if (finished_ || cancelled_ || size == 0) return;
  ++stats_.units;
  const int64_t placedBefore = tracker_.placedFrames();
  const CodedPictureTracker::UnitAction action = tracker_.OnUnit(data, size);
  stats_.codedFrames = tracker_.codedFrames();
  if (action.flushBefore) SendPacket(sink);
  // A new anchor gives the anchor before it its display place. When that place is the client's
  // target, the target waits inside the decoder for the new anchor's decode: draining the decoder
  // hands it out at once, and the run is decoded again up to here only if the client reads on.
  if (action.startsFrame && action.codingType != kCodingTypeB && !action.formatChange &&
      deinterlace_ == 0 && !drained_ && placedBefore == unseenFrames_ &&
      tracker_.placedFrames() == placedBefore + 1 && nextDisplay_ <= unseenFrames_) {
    DrainAtTarget(sink);
  }
  // The units taken so far for this frame's packet (its sequence headers) stay with it.
  if (action.formatChange && context_ && !cancelled_) DrainDecoder(sink);
  pending_.insert(pending_.end(), data, data + size);
  if (action.startsFrame) {
    pendingIndex_ = action.codedIndex;
    pendingIsB_ = action.codingType == kCodingTypeB;
  }
  if (action.flushAfter) SendPacket(sink);
}

void RunDecoder::SendPacket(const Sink& sink) {
  if (pending_.empty()) return;
  if (pendingIsB_ && deinterlace_ == 0 && pendingIndex_ >= 0 &&
      tracker_.DisplayIndexOf(pendingIndex_) < unseenFrames_) {
    ++stats_.skippedFrames;
    pending_.clear();
    pendingIndex_ = -1;
    pendingIsB_ = false;
    return;
  }
  if (drained_ && !replayed_) Replay();
  const int64_t pts = pendingIndex_ >= 0 ? pendingIndex_ : AV_NOPTS_VALUE;
  // Until the target is out, the packets are kept for a replay.
  if (!drained_ && deinterlace_ == 0) {
    if (nextDisplay_ <= unseenFrames_) {
      sent_.push_back(SentPacket{pending_, pts});
    } else if (!sent_.empty()) {
      sent_.clear();  // the target came out the usual way
      sent_.shrink_to_fit();
    }
  }
  if (context_ && av_new_packet(packet_, static_cast<int>(pending_.size())) == 0) {
    std::memcpy(packet_->data, pending_.data(), pending_.size());
    packet_->pts = pts;
    // Every picture is received right after its packet, so the decoder never refuses input.
    if (avcodec_send_packet(context_, packet_) < 0) ++stats_.decoderErrors;
    av_packet_unref(packet_);
    Receive(sink);
  }
  pending_.clear();
  pendingIndex_ = -1;
  pendingIsB_ = false;
}

// The target waits inside libavcodec for the next anchor's decode: draining hands it out now.
// Units already taken for the next packet (a sequence header before the anchor) stay with it.
void RunDecoder::DrainAtTarget(const Sink& sink) {
  if (!context_ || cancelled_) return;
  DrainDecoder(sink);
  drained_ = true;
  // What the replay gives again: the places shown so far (the target among them, unless the
  // decoder withheld it).
  quietUpTo_ = nextDisplay_ - 1;
}

void RunDecoder::Replay() {
  replayed_ = true;
  if (!context_) return;
  // The same packets give the same pictures; all of them were shown already and are dropped, and
  // the decoder ends up holding the references the rest of the run needs.
  for (const SentPacket& sent : sent_) {
    if (av_new_packet(packet_, static_cast<int>(sent.bytes.size())) != 0) break;
    std::memcpy(packet_->data, sent.bytes.data(), sent.bytes.size());
    packet_->pts = sent.pts;
    avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    while (avcodec_receive_frame(context_, decoded_) == 0) av_frame_unref(decoded_);
  }
  sent_.clear();
  sent_.shrink_to_fit();
}

// libavcodec drops the picture it still holds back when a sequence of another size or aspect ratio
// begins; at such a change it is taken out first, and the decoder starts afresh.
void RunDecoder::DrainDecoder(const Sink& sink) {
  if (avcodec_send_packet(context_, nullptr) == 0) Receive(sink);
  avcodec_flush_buffers(context_);
}

void RunDecoder::Receive(const Sink& sink) {
  while (!cancelled_) {
    const int result = avcodec_receive_frame(context_, decoded_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
    if (result < 0) {
      ++stats_.decoderErrors;
      return;
    }
    AVFrame* frame = av_frame_alloc();
    if (!frame) {
      av_frame_unref(decoded_);
      return;
    }
    av_frame_move_ref(frame, decoded_);
    Place(frame, sink);
  }
}

// Matches a decoded picture to its display place and fills the places before it that the decoder
// skipped. A picture whose place was already shown (or that matches no counted frame) is dropped:
// the count of a run is the tracker's, never the decoder's.
void RunDecoder::Place(AVFrame* frame, const Sink& sink) {
  const int64_t coded = frame->pts;
  int64_t display = tracker_.DisplayIndexOf(coded);
  if (display >= 0 && display <= quietUpTo_) {
    // Shown before the decoder was drained at the target: decoded again after the replay.
    av_frame_free(&frame);
    return;
  }
  if (display < 0 && coded >= 0 && coded < tracker_.codedFrames()) {
    tracker_.PlacePendingAnchor();
    display = tracker_.DisplayIndexOf(coded);
  }
  if (display < nextDisplay_) {
    ++stats_.decoderErrors;
    av_frame_free(&frame);
    return;
  }
  ++stats_.decodedFrames;
  while (nextDisplay_ < display && !cancelled_) {
    AVFrame* copy = av_frame_clone(frame);
    if (!copy) break;
    Show(copy, nextDisplay_, true, sink);
  }
  Show(frame, display, false, sink);
}

void RunDecoder::Show(AVFrame* frame, int64_t displayIndex, bool placeholder, const Sink& sink) {
  av_frame_free(&lastShown_);
  lastShown_ = av_frame_clone(frame);
  nextDisplay_ = displayIndex + 1;
  if (placeholder) ++stats_.placeholders;
  Output(frame, displayIndex, placeholder, sink);
}

void RunDecoder::Output(AVFrame* frame, int64_t displayIndex, bool placeholder, const Sink& sink) {
  if (deinterlace_ == 0) {
    Emit(frame, displayIndex, placeholder, sink);
    return;
  }
  const bool topFirst = !frame->interlaced_frame || frame->top_field_first;
  inFilter_[displayIndex] = FilteredFrame{placeholder, topFirst};
  const bool filtered = deinterlacer_.Push(
      frame, displayIndex,
      [&](AVFrame* picture, int64_t index, int half) { OnFiltered(picture, index, half, sink); });
  if (!filtered) {
    // A frame the filter refuses is passed on as it is, as many times as the mode asks, so that
    // the count holds.
    inFilter_.erase(displayIndex);
    if (deinterlace_ == 2) {
      AVFrame* copy = av_frame_clone(frame);
      if (copy) Emit(copy, displayIndex, placeholder, sink);
    }
    Emit(frame, displayIndex, placeholder, sink);
    return;
  }
  av_frame_free(&frame);
}

void RunDecoder::OnFiltered(AVFrame* picture, int64_t displayIndex, int half, const Sink& sink) {
  const auto found = inFilter_.find(displayIndex);
  if (found == inFilter_.end()) {
    av_frame_free(&picture);
    return;
  }
  const FilteredFrame info = found->second;
  if (half == 1) inFilter_.erase(inFilter_.begin(), std::next(found));
  if (deinterlace_ == 1) {
    const int wanted = useTopField_ == info.topFirst ? 0 : 1;
    if (half != wanted) {
      av_frame_free(&picture);
      return;
    }
  }
  Emit(picture, displayIndex, info.placeholder, sink);
}

void RunDecoder::Emit(AVFrame* frame, int64_t displayIndex, bool placeholder, const Sink& sink) {
  if (cancelled_) {
    av_frame_free(&frame);
    return;
  }
  RunPicture picture;
  picture.frame = scaler_.Fit(frame);
  picture.placeholder = placeholder;
  picture.displayIndex = displayIndex;
  picture.outputIndex = stats_.pictures++;
  sink(picture);
}

void RunDecoder::Finish(const Sink& sink) {
  if (finished_) return;
  finished_ = true;
  tracker_.Finish();
  if (context_ && !cancelled_) {
    SendPacket(sink);
    if (avcodec_send_packet(context_, nullptr) == 0) Receive(sink);
  }
  pending_.clear();
  // Places the decoder never filled: copies of the last picture shown, or black.
  while (nextDisplay_ < tracker_.placedFrames() && !cancelled_) {
    AVFrame* frame = lastShown_ ? av_frame_clone(lastShown_)
                                : MakeBlackFrame(tracker_.width(), tracker_.height());
    if (!frame) break;
    Show(frame, nextDisplay_, true, sink);
  }
  deinterlacer_.Finish(
      [&](AVFrame* picture, int64_t index, int half) { OnFiltered(picture, index, half, sink); });
  inFilter_.clear();
}

AVFrame* MakeBlackFrame(int width, int height) {
  if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) {
    width = kFallbackWidth;
    height = kFallbackHeight;
  }
  AVFrame* frame = av_frame_alloc();
  if (!frame) return nullptr;
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame, 0) < 0) {
    av_frame_free(&frame);
    return nullptr;
  }
  const int chromaHeight = (height + 1) / 2;
  for (int y = 0; y < height; ++y) std::memset(frame->data[0] + y * frame->linesize[0], 16, width);
  for (int plane = 1; plane <= 2; ++plane) {
    for (int y = 0; y < chromaHeight; ++y) {
      std::memset(frame->data[plane] + y * frame->linesize[plane], 128, (width + 1) / 2);
    }
  }
  return frame;
}

}  // namespace decode_server
