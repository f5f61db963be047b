#include "plugin/mpgsource.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/event.h"
#include "platform/thread.h"
#include "server/chroma_layout.h"
#include "server/link.h"
#include "server/section_layout.h"

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

constexpr const char* kNoPictureRecord = "MPGSource: could not malloc YV12 picture structure!";
constexpr const char* kNoThread = "MPGSource: could not start the decode thread!";
constexpr const char* kNoPictures = "MPGSource: The VNT file lists no pictures.";
constexpr const char* kFrameNotWritable =
    "MPGSource: the host's new video frame is not writable; this plugin was built for another "
    "host interface (data model) than the host that loaded it.";
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

// Copies the server's NV12 picture into the planes that `out` describes, splitting the
// interleaved chroma rows into U and V. A picture larger than the frame is cut to it (a server may
// deliver padded pictures); one smaller than the frame lands top-left on black: the bytes that the
// picture does not supply are made black, never taken from what the area held before, so a frame
// depends only on the picture delivered for it. Returns false, writing nothing, when the header
// describes a picture that the area cannot hold (no size, rows overlapping, or past the area's
// end): such a picture cannot be placed.
bool CopyServerPicture(const unsigned char* view, const YV12PICT& out) {
  const unsigned char* area = view + server::kPictureAreaOffset;
  const int64_t height = HeaderWord(view, server::kPicHeightOffset);
  const int64_t width = HeaderWord(view, server::kPicWidthOffset);
  const int64_t pitch = HeaderWord(view, server::kPicPitchOffset);
  const int64_t chromaRows = (height + 1) / 2;
  if (width <= 0 || height <= 0 || pitch < width ||
      pitch * (height + chromaRows) > int64_t{server::kPictureAreaSize}) {
    return false;
  }

  const int64_t lumaBytes = std::min<int64_t>(width, out.lumaWidth);
  for (int j = 0; j < out.lumaHeight; ++j) {
    unsigned char* dst = out.lumaPlane + static_cast<int64_t>(j) * out.lumaPitch;
    const int64_t n = j < height ? lumaBytes : 0;
    if (n > 0) std::memcpy(dst, area + j * pitch, static_cast<size_t>(n));
    if (n < out.lumaWidth) std::memset(dst + n, kBlackLuma, static_cast<size_t>(out.lumaWidth - n));
  }

  const int rows = std::min(out.lumaHeight / 2, out.chromaHeight);
  const unsigned char* chroma = area + pitch * height;
  const int picturePairs = static_cast<int>(std::min<int64_t>((width + 1) / 2, out.chromaWidth));
  for (int j = 0; j < rows; ++j) {
    unsigned char* u = out.uPlane + static_cast<int64_t>(j) * out.chromaPitch;
    unsigned char* v = out.vPlane + static_cast<int64_t>(j) * out.chromaPitch;
    const int pairs = j < chromaRows ? picturePairs : 0;
    if (pairs > 0) SplitChromaRow(chroma + j * pitch, u, v, pairs);
    for (int i = pairs; i < out.chromaWidth; ++i) u[i] = v[i] = kBlackChroma;
  }
  return true;
}

// Copies the server's 4:2:2 picture (server/chroma_layout.h) into the packed YUY2 frame at
// `plane` (`rowBytes` bytes, that is width * 2, in each of `rows` rows, `pitch` apart): every row
// Y0 U Y1 V for each pair of pixels. As for 4:2:0, a picture larger than the frame is cut to it
// and the bytes that a smaller one does not supply are black. `table`, when given, corrects the
// luma bytes. Returns null, or the message of a picture that cannot be placed.
const char* CopyServerPicture422(const unsigned char* view, unsigned char* plane, int rowBytes,
                                 int rows, int pitch, const unsigned char* table) {
  if (!(HeaderWord(view, server::kPicFlagsOffset) & server::kPictureFlagChroma422)) return kNot422;
  const unsigned char* area = view + server::kPictureAreaOffset;
  const int64_t height = HeaderWord(view, server::kPicHeightOffset);
  const int64_t width = HeaderWord(view, server::kPicWidthOffset);
  const int64_t picPitch = HeaderWord(view, server::kPicPitchOffset);
  if (width <= 0 || height <= 0 || picPitch < width ||
      picPitch * (height + (height + 1) / 2) > int64_t{server::kPictureAreaSize} ||
      picPitch * (height / 2) > int64_t{server::kOddChromaRowsSize}) {
    return kPictureMisplaced;
  }
  const unsigned char* evenRows = area + picPitch * height;
  const unsigned char* oddRows = view + server::kOddChromaRowsOffset;
  const int pixels = rowBytes / 2;
  const int64_t shown = std::min<int64_t>(width, pixels);
  for (int j = 0; j < rows; ++j) {
    unsigned char* dst = plane + static_cast<int64_t>(j) * pitch;
    int x = 0;
    if (j < height) {
      const unsigned char* y = area + j * picPitch;
      const unsigned char* c = (j % 2 == 0 ? evenRows : oddRows) + (j / 2) * picPitch;
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

}  // namespace

MPGSource::MPGSource(const char* path, bool i420, int deinterlace, bool use_top_field,
                     IScriptEnvironment* env, bool yv12)
    : vi(), outPicture(nullptr), lastFrame(-1), mapping(nullptr) {
  server::ConnectResult link = server::Connect(&mapping);
  if (link != server::kConnected) env->ThrowError("%s", server::ConnectMessage(link));

  decoder.i420 = i420 ? 1 : 0;
  decoder.deinterlace = deinterlace;
  decoder.use_top_field = use_top_field ? 1 : 0;

  const char* project = path ? path : "";
  int code = decoder.Open(project);
  if (code == kLoadOk) code = decoder.CheckProject(project);
  if (code != kLoadOk) {
    // The load code's message as it always was, then the file it is about, and why.
    const std::string message = std::string(LoadMessage(code)) + " (" +
                                (decoder.loadDetail[0] ? decoder.loadDetail : project) + ")";
    ReleaseUnstarted();
    env->ThrowError("%s", message.c_str());
  }

  std::memset(&vi, 0, sizeof vi);
  vi.width = decoder.width;
  vi.height = decoder.height;
  // 4:2:2 video as it is (YUY2) unless 4:2:0 is asked for; the server then converts it.
  decoder.yuy2 = decoder.chromaFormat == 422 && !yv12 ? 1 : 0;
  vi.pixel_type = decoder.yuy2 ? CS_YUY2 : i420 ? CS_I420 : CS_YV12;
  vi.fps_numerator = static_cast<unsigned>(decoder.fpsNumerator);
  vi.fps_denominator = static_cast<unsigned>(decoder.fpsDenominator);
  vi.num_frames = decoder.pictureCount;
  if (deinterlace == 2) {
    // Two output pictures per coded frame: twice the rate and twice the frames.
    vi.fps_numerator *= 2;
    vi.num_frames = static_cast<int>(std::min<int64_t>(2 * int64_t{decoder.pictureCount}, INT_MAX));
  }
  vi.SetFieldBased(false);

  outPicture = static_cast<YV12PICT*>(std::calloc(1, sizeof(YV12PICT)));
  if (!outPicture) {
    ReleaseUnstarted();
    env->ThrowError("%s", kNoPictureRecord);
  }

  lastFrame = -1;
  decoder.endOfData = 0;
  decoder.StartThreadFunc();
  if (!decoder.decodeThread) {
    ReleaseUnstarted();
    env->ThrowError("%s", kNoThread);
  }
}

void MPGSource::ReleaseUnstarted() {
  if (decoder.projectFile) {
    std::fclose(decoder.projectFile);
    decoder.projectFile = nullptr;
  }
  decoder.Close();
  std::free(outPicture);
  outPicture = nullptr;
  server::Disconnect(mapping);
  mapping = nullptr;
}

MPGSource::~MPGSource() {
  // Let a running AVCDecode return, then end the thread. The thread is joined so that nothing it
  // might still touch (a handshake with a silent server) is closed under it.
  AbortRun();
  platform::SetEvent(decoder.quitEvent);
  platform::WaitForThread(decoder.decodeThread, platform::kInfinite);
  server::StopDecoding(server::kStopAtEnd);
  decoder.Close();
  std::free(outPicture);
  outPicture = nullptr;
  server::Disconnect(mapping);
  mapping = nullptr;
  // The decoder's destructor closes its private events and the thread handle.
}

PVideoFrame MPGSource::GetFrame(int n, IScriptEnvironment* env) {
  const char* failure;
  {
    PVideoFrame frame = env->NewVideoFrame(vi, 16);
    failure = Serve(frame, n);
    if (!failure) return frame;
  }
  // The frame is released before the error leaves, so that no reference outlives it.
  env->ThrowError("%s", failure);
  return PVideoFrame();  // not reached: ThrowError does not return
}

const char* MPGSource::Serve(const PVideoFrame& frame, int n) {
  YV12PICT& out = *outPicture;
  out.lumaPlane = frame->GetWritePtr();
  const bool packed = decoder.yuy2 != 0;
  out.uPlane = packed ? nullptr : frame->GetWritePtr(PLANAR_U);
  out.vPlane = packed ? nullptr : frame->GetWritePtr(PLANAR_V);
  out.lumaPitch = frame->GetPitch();
  out.chromaPitch = frame->GetPitch(PLANAR_U);
  out.lumaWidth = frame->GetRowSize();
  out.chromaWidth = frame->GetRowSize(PLANAR_U);
  out.lumaHeight = frame->GetHeight();
  out.chromaHeight = frame->GetHeight(PLANAR_U);
  // A frame the picture cannot be written into is an error, never a blank frame.
  if (!out.lumaPlane) return kFrameNotWritable;
  if (packed) {
    if (out.lumaWidth != 2 * vi.width || out.lumaHeight != vi.height ||
        out.lumaPitch < out.lumaWidth) {
      return kFrameMisshapen;
    }
  } else if (!out.uPlane || !out.vPlane || out.lumaWidth != vi.width ||
             out.lumaHeight != vi.height || out.lumaPitch < out.lumaWidth ||
             out.chromaWidth != vi.width / 2 || out.chromaHeight != vi.height / 2 ||
             out.chromaPitch < out.chromaWidth) {
    return kFrameMisshapen;
  }

  if (vi.num_frames <= 0) return kNoPictures;
  platform::WaitForEvent(decoder.readyEvent, platform::kInfinite);
  if (server::ServerGone()) return server::BrokenLinkMessage();

  // Requests outside the clip are served by its first or last frame; below the first picture the
  // server can deliver, by that picture.
  const int last = vi.num_frames - 1;
  int a = std::min(std::max(n, 0), last);
  a = std::max(a, decoder.leadingBCount + (decoder.deinterlace > 0 ? 1 : 0));
  a = std::min(a, last);

  const uint32_t window = decoder.deinterlace == 2 ? kRunWindowDoubleRate : kRunWindow;
  const uint32_t ua = static_cast<uint32_t>(a);
  const uint32_t served = static_cast<uint32_t>(lastFrame);
  int skip;
  if (ua != 0 && served < ua && ua < served + window) {
    skip = static_cast<int>(ua - served - 1);
  } else {
    skip = Restart(a);
    if (server::ServerGone()) {
      lastFrame = -1;
      return server::BrokenLinkMessage();
    }
    if (decoder.runFailedGop >= 0) {
      lastFrame = -1;
      const GopEntry& gop = *decoder.gopTable[decoder.runFailedGop];
      failure = "MPGSource: the VNT file does not fit its video: GOP " +
                std::to_string(decoder.runFailedGop) + " (from frame " +
                std::to_string(gop.firstPicture) +
                ") does not start at an MPEG-2 sequence header in " + decoder.videoPath +
                " (byte " + std::to_string(gop.position) + "); index the video again.";
      return failure.c_str();
    }
  }
  lastFrame = a;

  for (int k = 0; k <= skip; ++k) {
    if (server::TakePicture() != server::kAnswered) {
      lastFrame = -1;
      return server::BrokenLinkMessage();
    }
  }
  if (packed) {
    const char* wrong =
        CopyServerPicture422(server::sharedView, out.lumaPlane, out.lumaWidth, out.lumaHeight,
                             out.lumaPitch, decoder.lumFilterOn ? decoder.lumTable : nullptr);
    if (wrong) {
      lastFrame = -1;
      return wrong;
    }
    return nullptr;
  }
  if (!CopyServerPicture(server::sharedView, out)) {
    // The run's state is unknown from here: the next request starts afresh.
    lastFrame = -1;
    return kPictureMisplaced;
  }
  if (decoder.lumFilterOn) {
    decoder.LuminanceFilter(out.lumaPlane, out.lumaWidth, out.lumaHeight, out.lumaPitch);
  }
  return nullptr;
}

void MPGSource::AbortRun() {
  // requestEvent stays set until the thread has left AVCDecode.
  platform::SetEvent(decoder.abortEvent);
  for (uint32_t attempt = 0;
       platform::WaitForEvent(decoder.requestEvent, 0) == platform::kWaitObject0; ++attempt) {
    platform::PollPause(kAbortPollMs, attempt);
  }
}

int MPGSource::Restart(int a) {
  AbortRun();
  // An idle thread did not consume the abort.
  platform::ResetEvent(decoder.abortEvent);
  // A run is started only once the server has dropped the old one; a server that never does
  // breaks the link, and the request fails below.
  server::StopDecoding(server::kStopBeforeRun);

  // The thread is idle: targetPicture can be written, and decodeCount is read only once the new
  // run has published it.
  decoder.targetPicture =
      decoder.deinterlace == 2 ? static_cast<int>(static_cast<uint32_t>(a) / 2) : a;
  platform::SetEvent(decoder.requestEvent);
  platform::WaitForEvent(decoder.startedEvent, platform::kInfinite);
  if (decoder.deinterlace == 2) return 2 * decoder.decodeCount - 2 + (a % 2);
  return decoder.decodeCount - 1;
}

bool MPGSource::GetParity(int) {
  return decoder.fieldOrder == 0;
}

void MPGSource::GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) {}

void MPGSource::SetCacheHints(int, int) {}
