#include "clip/clip_source.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/event.h"
#include "platform/thread.h"
#include "reader/avc_decoder.h"
#include "server-link/chroma_layout.h"
#include "server-link/picture_pool.h"
#include "server-link/section_layout.h"

namespace clip {

namespace {

const char* LoadMessage(int code) {
  switch (code) {
    case kLoadEmpty:
      return "MPGSource: Invalid VNT file, it's empty!";
    case kLoadVersionMismatch:
      return "MPGSource: VantuIndexNV/VantuDecodeNV mismatch. You are picking up\n"
             "a version of VantuDecodeNV, possibly from your plugins directory,\n"
             "that does not match the version of VantuIndexNV used to make the VNT\n"
             "file. Search your hard disk for all copies of VantuDecodeNV.dll\n"
             "and delete or rename all of them except for the one that\n"
             "has the same version number as the VantuIndexNV.exe that was used\n"
             "to make the VNT file.";
    case kLoadCannotOpen:
      return "MPGSource: Could not open one of the input files.";
    case kLoadNotProject:
      return "MPGSource: The input file is not a VNT project file.";
    case kLoadNoGops:
      return "MPGSource: No GOPs found (no sequence header with a picture after it).";
    case kLoadMatroskaParse:
      return "MPGSource: Could not parse the Matroska file.";
    case kLoadNoMpegTrack:
      return "MPGSource: Could not find a MPG track in the Matroska file.";
    case kLoadVideoChanged:
      return "MPGSource: The video file is not the one the VNT file was made from; index it again.";
    case kLoadProjectCutShort:
      return "MPGSource: The VNT file is incomplete (cut short or damaged); index the video again.";
    case kLoadBadValue:
      return "MPGSource: The VNT file holds a value that cannot be right for its video.";
    default:
      return "MPGSource: Could not load the VNT file.";
  }
}

constexpr const char* kNoThread = "MPGSource: could not start the decode thread!";
constexpr const char* kNoPictures = "MPGSource: The VNT file lists no pictures.";
constexpr const char* kFrameNotWritable =
    "MPGSource: the host's new video frame is not writable; this plugin was built for another "
    "host interface (data model) than the host that loaded it.";
constexpr const char* kNoMemory = "MPGSource: not enough memory for the clip!";
constexpr const char* kPictureMisplaced =
    "MPGSource: the CUVID Server delivered a picture that cannot be placed (its size, pitch or "
    "length does not fit the shared picture area).";
constexpr const char* kFrameMisshapen =
    "MPGSource: the host's new video frame does not have the clip's size and planes.";

constexpr const char* kNot422 =
    "MPGSource: the CUVID Server delivered a 4:2:0 picture for this 4:2:2 (YUY2) clip: the server "
    "does not know 4:2:2 pictures. Update the server, or pass yv12=true to have 4:2:2 served as "
    "4:2:0.";

constexpr unsigned char kBlackLuma = 16;
constexpr unsigned char kBlackChroma = 128;

int32_t HeaderWord(const unsigned char* view, uint32_t offset) {
  int32_t value;
  std::memcpy(&value, view + offset, sizeof value);
  return value;
}

// Splits `pairs` interleaved chroma pairs (U, V, U, V, ...) into the rows `u` and `v`.
void SplitChromaRow(const unsigned char* src, unsigned char* u, unsigned char* v, int pairs) {
  int i = 0;
#if defined(__SSE2__)
  // 16 pairs at a time: the low byte of each 16-bit lane is U, the high byte V.
  const __m128i low = _mm_set1_epi16(0x00FF);
  for (; i + 16 <= pairs; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + i),
                     _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + i),
                     _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
  }
#endif
  for (; i < pairs; ++i) {
    u[i] = src[2 * i];
    v[i] = src[2 * i + 1];
  }
}

// Copies `height` rows of `width` luma bytes, `pitch` apart from `luma`, into the frame's luma
// plane: a picture larger than the frame is cut to it (a server may deliver padded pictures); one
// smaller than the frame lands top-left on black. The bytes that the picture does not supply are
// made black, never taken from what the area held before, so a frame depends only on the picture
// delivered for it.
void CopyLumaRows(const unsigned char* luma, int64_t pitch, int64_t width, int64_t height,
                  const YV12PICT& out) {
  const int64_t lumaBytes = std::min<int64_t>(width, out.lumaWidth);
  for (int j = 0; j < out.lumaHeight; ++j) {
    unsigned char* dst = out.lumaPlane + static_cast<int64_t>(j) * out.lumaPitch;
    const int64_t n = j < height ? lumaBytes : 0;
    if (n > 0) std::memcpy(dst, luma + j * pitch, static_cast<size_t>(n));
    if (n < out.lumaWidth) std::memset(dst + n, kBlackLuma, static_cast<size_t>(out.lumaWidth - n));
  }
}

// Copies the chroma of a 4:2:0 picture `width` x `height` into the frame's U and V planes, with
// the cutting and black filling of the luma: `copyRow(j, u, v, pairs)` writes the first `pairs`
// samples of chroma row j.
template <typename CopyRow>
void CopyChromaRows(int64_t width, int64_t height, const YV12PICT& out, CopyRow copyRow) {
  const int rows = std::min(out.lumaHeight / 2, out.chromaHeight);
  const int64_t chromaRows = (height + 1) / 2;
  const int picturePairs = static_cast<int>(std::min<int64_t>((width + 1) / 2, out.chromaWidth));
  for (int j = 0; j < rows; ++j) {
    unsigned char* u = out.uPlane + static_cast<int64_t>(j) * out.chromaPitch;
    unsigned char* v = out.vPlane + static_cast<int64_t>(j) * out.chromaPitch;
    const int pairs = j < chromaRows ? picturePairs : 0;
    if (pairs > 0) copyRow(j, u, v, pairs);
    for (int i = pairs; i < out.chromaWidth; ++i) u[i] = v[i] = kBlackChroma;
  }
}

// Copies the picture that the server left in its pool (server-link/picture_pool.h) into the
// planes that `out` describes. False, writing nothing, when the reference record is missing or
// names planes that do not lie inside the pool.
bool CopyPoolPicture(const unsigned char* view, const unsigned char* pool, const YV12PICT& out) {
  server::PictureRef where;
  if (!server::GetPictureRef(view, &where)) return false;
  const int64_t height = HeaderWord(view, server::kPicHeightOffset);
  const int64_t width = HeaderWord(view, server::kPicWidthOffset);
  const int64_t chromaRows = (height + 1) / 2, chromaWidth = (width + 1) / 2;
  auto inside = [](uint32_t offset, int64_t pitch, int64_t rows, int64_t bytes) {
    return pitch >= bytes &&
           offset + pitch * (rows - 1) + bytes <= int64_t{server::kPoolSectionSize};
  };
  if (width <= 0 || height <= 0 || !inside(where.y, where.lumaPitch, height, width) ||
      !inside(where.u, where.chromaPitch, chromaRows, chromaWidth) ||
      !inside(where.v, where.chromaPitch, chromaRows, chromaWidth)) {
    return false;
  }
  CopyLumaRows(pool + where.y, where.lumaPitch, width, height, out);
  CopyChromaRows(width, height, out, [&](int64_t j, unsigned char* u, unsigned char* v, int n) {
    std::memcpy(u, pool + where.u + j * where.chromaPitch, static_cast<size_t>(n));
    std::memcpy(v, pool + where.v + j * where.chromaPitch, static_cast<size_t>(n));
  });
  return true;
}

// Copies the server's picture into the planes that `out` describes: NV12 from the picture area,
// its interleaved chroma rows split into U and V, or the picture left in the pool. Returns false,
// writing nothing, when the header describes a picture that the area cannot hold (no size, rows
// overlapping, or past the area's end) or the pool record is not valid: such a picture cannot be
// placed.
bool CopyServerPicture(const unsigned char* view, const unsigned char* pool, const YV12PICT& out) {
  // The flag counts only from a server that agreed to deliver in place: any other may use the
  // word's bits for its own purposes.
  if (pool && (HeaderWord(view, server::kPicFlagsOffset) & server::kPictureFlagInPool)) {
    return CopyPoolPicture(view, pool, out);
  }
  const unsigned char* area = view + server::kPictureAreaOffset;
  const int64_t height = HeaderWord(view, server::kPicHeightOffset);
  const int64_t width = HeaderWord(view, server::kPicWidthOffset);
  const int64_t pitch = HeaderWord(view, server::kPicPitchOffset);
  const int64_t chromaRows = (height + 1) / 2;
  if (width <= 0 || height <= 0 || pitch < width ||
      pitch * (height + chromaRows) > int64_t{server::kPictureAreaSize}) {
    return false;
  }
  CopyLumaRows(area, pitch, width, height, out);
  const unsigned char* chroma = area + pitch * height;
  CopyChromaRows(width, height, out, [&](int64_t j, unsigned char* u, unsigned char* v, int n) {
    SplitChromaRow(chroma + j * pitch, u, v, n);
  });
  return true;
}

// Where the parts of the server's 4:2:2 picture lie in the view: the luma rows, the even chroma
// rows after them and the odd ones in their own area.
struct Picture422 {
  const unsigned char* luma;
  const unsigned char* evenRows;
  const unsigned char* oddRows;
  int64_t width, height, pitch;

  const unsigned char* LumaRow(int64_t j) const { return luma + j * pitch; }
  // Row j's chroma: even rows follow the luma, odd rows lie in their own area.
  const unsigned char* ChromaRow(int64_t j) const {
    return (j % 2 == 0 ? evenRows : oddRows) + (j / 2) * pitch;
  }
};

// Null with `picture` set, or the message of a picture that is no 4:2:2 picture or does not fit
// its areas.
const char* LocatePicture422(const unsigned char* view, Picture422* picture) {
  if (!(HeaderWord(view, server::kPicFlagsOffset) & server::kPictureFlagChroma422)) return kNot422;
  picture->luma = view + server::kPictureAreaOffset;
  picture->height = HeaderWord(view, server::kPicHeightOffset);
  picture->width = HeaderWord(view, server::kPicWidthOffset);
  picture->pitch = HeaderWord(view, server::kPicPitchOffset);
  const int64_t width = picture->width, height = picture->height, picPitch = picture->pitch;
  if (width <= 0 || height <= 0 || picPitch < width ||
      picPitch * (height + (height + 1) / 2) > int64_t{server::kPictureAreaSize} ||
      picPitch * (height / 2) > int64_t{server::kOddChromaRowsSize}) {
    return kPictureMisplaced;
  }
  picture->evenRows = picture->luma + picture->pitch * picture->height;
  picture->oddRows = view + server::kOddChromaRowsOffset;
  return nullptr;
}

// Copies the server's 4:2:2 picture (server-link/chroma_layout.h) into the packed YUY2 frame at
// `plane` (`rowBytes` bytes, that is width * 2, in each of `rows` rows, `pitch` apart): every row
// Y0 U Y1 V for each pair of pixels. As for 4:2:0, a picture larger than the frame is cut to it
// and the bytes that a smaller one does not supply are black. `table`, when given, corrects the
// luma bytes. Returns null, or the message of a picture that cannot be placed.
const char* CopyServerPicture422(const unsigned char* view, unsigned char* plane, int rowBytes,
                                 int rows, int pitch, const unsigned char* table) {
  Picture422 picture;
  if (const char* failure = LocatePicture422(view, &picture)) return failure;
  const int64_t height = picture.height;
  const int64_t width = picture.width;
  const int pixels = rowBytes / 2;
  const int64_t shown = std::min<int64_t>(width, pixels);
  for (int j = 0; j < rows; ++j) {
    unsigned char* dst = plane + static_cast<int64_t>(j) * pitch;
    int x = 0;
    if (j < height) {
      const unsigned char* y = picture.LumaRow(j);
      const unsigned char* c = picture.ChromaRow(j);
      // Each pixel takes its luma and, in turn, the U or V of its pair (U at even bytes).
      for (; x < shown; ++x) {
        dst[2 * x] = table ? table[y[x]] : y[x];
        dst[2 * x + 1] = c[x];
      }
    }
    for (; x < pixels; ++x) {
      dst[2 * x] = table ? table[kBlackLuma] : kBlackLuma;
      dst[2 * x + 1] = kBlackChroma;
    }
  }
  return nullptr;
}

// Copies the server's 4:2:2 picture into the planes that `out` describes (chroma rows of half
// the width, as many as luma rows), with the cutting and black filling of the packed copy.
const char* CopyServerPicture422Planar(const unsigned char* view, const YV12PICT& out) {
  Picture422 picture;
  if (const char* failure = LocatePicture422(view, &picture)) return failure;
  const int64_t height = picture.height;
  const int64_t width = picture.width;
  const int64_t lumaBytes = std::min<int64_t>(width, out.lumaWidth);
  const int picturePairs = static_cast<int>(std::min<int64_t>((width + 1) / 2, out.chromaWidth));
  for (int j = 0; j < out.lumaHeight; ++j) {
    unsigned char* y = out.lumaPlane + static_cast<int64_t>(j) * out.lumaPitch;
    const int64_t n = j < height ? lumaBytes : 0;
    if (n > 0) std::memcpy(y, picture.LumaRow(j), static_cast<size_t>(n));
    if (n < out.lumaWidth) std::memset(y + n, kBlackLuma, static_cast<size_t>(out.lumaWidth - n));
    if (j >= out.chromaHeight) continue;
    unsigned char* u = out.uPlane + static_cast<int64_t>(j) * out.chromaPitch;
    unsigned char* v = out.vPlane + static_cast<int64_t>(j) * out.chromaPitch;
    const int pairs = j < height ? picturePairs : 0;
    if (pairs > 0) {
      SplitChromaRow(picture.ChromaRow(j), u, v, pairs);
    }
    for (int i = pairs; i < out.chromaWidth; ++i) u[i] = v[i] = kBlackChroma;
  }
  return nullptr;
}

}  // namespace

ClipSource::ClipSource() = default;

FrameFacts ClipSource::Shown(int n) const {
  const int last = std::max(facts_.frameCount - 1, 0);
  const int held = std::min(std::max(n, 0), last);
  return shown_.Frame(held, ServedFor(held), decoder->deinterlace);
}

int ClipSource::ServedFor(int n) const {
  // Requests outside the clip are served by its first or last frame; below the first picture the
  // server can deliver, by that picture.
  const int last = facts_.frameCount - 1;
  int a = std::min(std::max(n, 0), last);
  a = std::max(a, decoder->leadingBCount + (decoder->deinterlace > 0 ? 1 : 0));
  return std::min(a, last);
}

std::unique_ptr<ClipSource> ClipSource::Open(const char* path, const ClipOptions& options,
                                             std::string* error) {
  std::unique_ptr<ClipSource> clip(new (std::nothrow) ClipSource);
  if (clip) clip->decoder.reset(new (std::nothrow) CAVCDecoder);
  if (!clip || !clip->decoder) {
    *error = kNoMemory;
    return nullptr;
  }
  clip->link_.SetAnswerTimeout(options.answerTimeoutMs);
  const server::ConnectResult link = clip->link_.Connect();
  if (link != server::kConnected) {
    *error = clip->link_.ConnectMessage(link);
    return nullptr;
  }
  *error = clip->Load(path, options);
  if (!error->empty()) {
    clip->ReleaseUnstarted();
    return nullptr;
  }
  return clip;
}

std::string ClipSource::Load(const char* path, const ClipOptions& options) {
  decoder->i420 = options.i420 ? 1 : 0;
  decoder->deinterlace = options.deinterlace;
  decoder->use_top_field = options.useTopField ? 1 : 0;

  const char* project = path ? path : "";
  int code = decoder->Open(project);
  if (code == kLoadOk) code = decoder->CheckProject(project);
  if (code != kLoadOk) {
    // The load code's message as it always was, then the file it is about, and why.
    return std::string(LoadMessage(code)) + " (" +
           (decoder->loadDetail[0] ? decoder->loadDetail : project) + ")";
  }

  facts_.width = decoder->width;
  facts_.height = decoder->height;
  // 4:2:2 video as it is (YUY2) unless 4:2:0 is asked for; the server then converts it.
  decoder->yuy2 = decoder->chromaFormat == 422 && !options.yv12 ? 1 : 0;
  facts_.format = decoder->yuy2  ? (options.planar422 ? PixelFormat::kYV16 : PixelFormat::kYUY2)
                  : options.i420 ? PixelFormat::kI420
                                 : PixelFormat::kYV12;
  facts_.fpsNumerator = static_cast<unsigned>(decoder->fpsNumerator);
  facts_.fpsDenominator = static_cast<unsigned>(decoder->fpsDenominator);
  facts_.frameCount = decoder->pictureCount;
  if (options.deinterlace == 2) {
    // Two output pictures per coded frame: twice the rate and twice the frames.
    facts_.fpsNumerator *= 2;
    facts_.frameCount =
        static_cast<int>(std::min<int64_t>(2 * int64_t{decoder->pictureCount}, INT_MAX));
  }
  facts_.topFieldFirst = decoder->fieldOrder == 0;
  facts_.cropLeft = decoder->clipLeft;
  facts_.cropRight = decoder->clipRight;
  facts_.cropTop = decoder->clipTop;
  facts_.cropBottom = decoder->clipBottom;
  shown_.Build(*decoder, project);

  lastFrame = -1;
  decoder->endOfData = 0;
  decoder->link = &link_;
  decoder->StartThreadFunc();
  if (!decoder->decodeThread) return kNoThread;
  started_ = true;
  return std::string();
}

void ClipSource::ReleaseUnstarted() {
  if (decoder->projectFile) {
    std::fclose(decoder->projectFile);
    decoder->projectFile = nullptr;
  }
  decoder->Close();
  link_.Disconnect();
}

ClipSource::~ClipSource() {
  if (started_) {
    // Let a running AVCDecode return, then end the thread. The thread is joined so that nothing
    // it might still touch (a handshake with a silent server) is closed under it.
    AbortRun();
    platform::SetEvent(decoder->quitEvent);
    platform::WaitForThread(decoder->decodeThread, platform::kInfinite);
    link_.StopDecoding(server::kStopAtEnd);
    decoder->Close();
  }
  link_.Disconnect();
  // The decoder's destructor closes its private events and the thread handle.
}

const char* ClipSource::GetPicture(int n, const YV12PICT& out) {
  outPicture = out;
  const char* failure = Serve(n);
  // The run's state is unknown after a failed request to the server: the next request starts
  // afresh. Planes refused before anything was asked leave the run as it was.
  if (failure && failure != kFrameNotWritable && failure != kFrameMisshapen &&
      failure != kNoPictures) {
    lastFrame = -1;
  }
  return failure;
}

const char* ClipSource::Serve(int n) {
  const YV12PICT& out = outPicture;
  // Planes the picture cannot be written into are an error, never a blank frame.
  if (!out.lumaPlane) return kFrameNotWritable;
  const bool packed = facts_.format == PixelFormat::kYUY2;
  const bool planar422 = facts_.format == PixelFormat::kYV16;
  if (packed) {
    if (out.lumaWidth != 2 * facts_.width || out.lumaHeight != facts_.height ||
        out.lumaPitch < out.lumaWidth) {
      return kFrameMisshapen;
    }
  } else if (!out.uPlane || !out.vPlane || out.lumaWidth != facts_.width ||
             out.lumaHeight != facts_.height || out.lumaPitch < out.lumaWidth ||
             out.chromaWidth != facts_.width / 2 ||
             out.chromaHeight != (planar422 ? facts_.height : facts_.height / 2) ||
             out.chromaPitch < out.chromaWidth) {
    return kFrameMisshapen;
  }

  if (facts_.frameCount <= 0) return kNoPictures;
  platform::WaitForEvent(decoder->readyEvent, platform::kInfinite);
  if (link_.ServerGone()) return link_.BrokenLinkMessage();

  const int a = ServedFor(n);

  const uint32_t window = decoder->deinterlace == 2 ? kRunWindowDoubleRate : kRunWindow;
  const uint32_t ua = static_cast<uint32_t>(a);
  const uint32_t served = static_cast<uint32_t>(lastFrame);
  int skip;
  if (ua != 0 && served < ua && ua < served + window) {
    skip = static_cast<int>(ua - served - 1);
  } else {
    skip = Restart(a);
    if (link_.ServerGone()) return link_.BrokenLinkMessage();
    if (decoder->runFailedGop >= 0) {
      const GopEntry& gop = *decoder->gopTable[decoder->runFailedGop];
      failure_ = "MPGSource: the VNT file does not fit its video: GOP " +
                 std::to_string(decoder->runFailedGop) + " (from frame " +
                 std::to_string(gop.firstPicture) +
                 ") does not start at an MPEG-2 sequence header in " + decoder->videoPath +
                 " (byte " + std::to_string(gop.position) + "); index the video again.";
      return failure_.c_str();
    }
  }
  lastFrame = a;

  for (int k = 0; k <= skip; ++k) {
    if (link_.TakePicture() != server::kAnswered) return link_.BrokenLinkMessage();
  }
  if (packed) {
    return CopyServerPicture422(link_.View(), out.lumaPlane, out.lumaWidth, out.lumaHeight,
                                out.lumaPitch, decoder->lumFilterOn ? decoder->lumTable : nullptr);
  }
  if (planar422) {
    if (const char* failure = CopyServerPicture422Planar(link_.View(), out)) return failure;
  } else if (!CopyServerPicture(link_.View(), link_.PoolView(), out)) {
    return kPictureMisplaced;
  }
  if (decoder->lumFilterOn) {
    decoder->LuminanceFilter(out.lumaPlane, out.lumaWidth, out.lumaHeight, out.lumaPitch);
  }
  return nullptr;
}

void ClipSource::AbortRun() {
  // requestEvent stays set until the thread has left AVCDecode.
  platform::SetEvent(decoder->abortEvent);
  for (uint32_t attempt = 0;
       platform::WaitForEvent(decoder->requestEvent, 0) == platform::kWaitObject0; ++attempt) {
    platform::PollPause(kAbortPollMs, attempt);
  }
}

int ClipSource::Restart(int a) {
  AbortRun();
  // An idle thread did not consume the abort.
  platform::ResetEvent(decoder->abortEvent);
  // A run is started only once the server has dropped the old one; a server that never does
  // breaks the link, and the request fails.
  link_.StopDecoding(server::kStopBeforeRun);

  // The thread is idle: targetPicture can be written, and decodeCount is read only once the new
  // run has published it.
  decoder->targetPicture =
      decoder->deinterlace == 2 ? static_cast<int>(static_cast<uint32_t>(a) / 2) : a;
  platform::SetEvent(decoder->requestEvent);
  platform::WaitForEvent(decoder->startedEvent, platform::kInfinite);
  if (decoder->deinterlace == 2) return 2 * decoder->decodeCount - 2 + (a % 2);
  return decoder->decodeCount - 1;
}

}  // namespace clip
