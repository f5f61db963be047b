// CAVCDecoder: the decoder core of the plugin. It loads the project file into the GOP and picture
// tables, reads the video file (elementary stream, transport stream or Matroska) and cuts it into
// start-code units, and runs the decode thread that feeds those units to the decoding server.
//
// The object holds two 8,000,000-byte buffers and a 50,000-byte line buffer by value: make it on
// the heap. Its operations are meant for the owning clip alone; they are public so that the tests
// can drive each one directly.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/handle.h"
#include "reader/mkv_file_input.h"

struct MatroskaFile;
class ProgramStreamFiles;
namespace server {
class Link;
}

// One GOP of the project's index.
struct GopEntry {
  int32_t firstPicture;  // number of the GOP's first picture in coded order
  int32_t line;          // the project's line that lists it, for messages
  uint64_t position;     // byte offset of its data; for Matroska a seek time
};

// One picture of the project's index, in coded order.
struct PictureEntry {
  int32_t type;     // 0 I, 1 P, 3 B
  int32_t leading;  // 1 on the positions a GOP's leading B pictures take in display order
  // How the frame is shown, from the rest of the FRM word: the fields (2, 3, 4 or 6; 0 when the
  // project does not say) and the kShown* flags.
  int32_t fields;
  int32_t shown;
};

constexpr int32_t kShownTopFirst = 1;     // the top field is shown first
constexpr int32_t kShownProgressive = 2;  // a progressive frame

// One start-code unit as handed to the server: 00 00 01 and the bytes up to the next start code.
struct AnnexbUnit {
  int32_t length;
  unsigned char* data;
};

// The LUMFILT values that make a table of their own: gamma in 128ths of a power of two from
// 2^-16 to 2^16 (every curve the table can hold lies within; beyond, it stays as at the ends),
// an offset that moves a level at most from one end of 0-255 to the other. The loader refuses
// others, and the indexer never writes them.
constexpr int32_t kLumGammaLimit = 2048;
constexpr int32_t kLumOffsetLimit = 255;

// Load codes returned by Open.
enum LoadCode : int {
  kLoadOk = 0,
  kLoadEmpty = 1,
  kLoadVersionMismatch = 2,
  kLoadCannotOpen = 3,
  kLoadNotProject = 5,
  kLoadNoGops = 6,
  kLoadMatroskaParse = 9,
  kLoadNoMpegTrack = 10,
  kLoadVideoChanged = 11,      // the video is not the one the project was made from
  kLoadProjectCutShort = 12,   // the project lists fewer pictures than it says it has
  kLoadBadValue = 13,          // a value of the project cannot be right for its video
  kLoadUnsupportedTrack = 14,  // the Matroska track's frames are stored in a way not read
};

class CAVCDecoder {
 public:
  static constexpr int kBufferSize = 8000000;
  // Bytes read from the video file at a time (at most the buffer). A reposition reads one fill
  // before its first unit goes out, so the fill is kept small: a fill of the whole buffer would
  // make every restart re-read megabytes that a few GOPs do not need, and even 1,000,000 bytes
  // took a fifth of a millisecond. A fill shorter than this means the file has ended.
  static constexpr int kFillSize = 256 * 1024;
  static constexpr int kLineBufferSize = 50000;
  static constexpr int kVideoPathSize = 2000;
  static constexpr int kInitialTableSize = 1000000;
  static constexpr int kTableGrowth = 500000;
  static constexpr int kLoadDetailSize = 8192;

  CAVCDecoder();
  ~CAVCDecoder();
  CAVCDecoder(const CAVCDecoder&) = delete;
  CAVCDecoder& operator=(const CAVCDecoder&) = delete;

  // Project loading (reader/project_loader.cpp). A failing Open leaves in loadDetail the file
  // it failed on, and why when there is more to say than the load code's message.
  int Open(const char* path);
  void Close();
  // After a successful Open: checks the values the clip relies on against the video (a frame
  // rate, a picture size that matches the first sequence header, GOP positions inside the file).
  // Returns 0 or kLoadBadValue, with loadDetail saying which value is wrong.
  int CheckProject(const char* projectPath);
  // Sets loadDetail to "<file>", or "<file>: <why>" when `format` is not null.
#if defined(__GNUC__)
  __attribute__((format(printf, 3, 4)))
#endif
  void
  SetLoadDetail(const char* file, const char* format, ...);

  // Stream reading (reader/stream_reader.cpp). Byte readers return 0 with a byte, -1 at the end.
  void InitializeBuffer();
  int GetRawByte(unsigned char* byte);
  int GetTSByte(unsigned char* byte);
  int GetByte(unsigned char* byte);
  int AlignStream(uint64_t position);
  int GetAnnexbNALU();

  // Program streams (reader/program_stream_reader.cpp): the payload of the video stream's PES
  // packets, with tsRemaining the bytes left in the current one. FillProgramStream keeps the
  // unread bytes and reads on until `keep` of them are in view (fewer at the end of the files);
  // false when none are.
  int GetPSByte(unsigned char* byte);
  int AlignProgramStream(uint64_t position);
  bool FillProgramStream(size_t keep);
  void SkipProgramStream(uint64_t count);

  // Matroska access (reader/matroska_access.cpp). InitMatroska opens the parser and chooses
  // track mkvTrack (the first MPEG-2 video track when -1): 0, or 1 when the file cannot be parsed,
  // 2 when the track is no MPEG-2 video track, 3 when its frames are stored compressed (with
  // loadDetail saying which).
  int InitMatroska();
  uint64_t GetMKVDuration();
  void InitializeMKVBuffer(uint64_t time);
  int NextMKVBuffer();

  // Luminance table (reader/luminance.cpp).
  void InitializeLuminanceFilter(int gamma, int offset);
  void LuminanceFilter(unsigned char* plane, int width, int height, int pitch);

  // Decode thread (server-link/decode_thread.cpp).
  void StartThreadFunc();
  static unsigned ThreadFunc(void* pair);
  void AVCDecode();
  // With `more` the result of the GetAnnexbNALU that read the first unit at a GOP's position:
  // reads on to the GOP's sequence header and returns 1 with it in `unit`, or 0 when a picture,
  // the end of the data or too many other units come first.
  int SkipToSequenceHeader(int more);

  // --- Decode thread and server link ---
  server::Link* link;            // the clip's own link, set before the thread starts
  unsigned char* serverRequest;  // the request block in the link's view (view + 4)
  platform::Handle startedEvent;
  platform::Handle readyEvent;
  platform::Handle abortEvent;
  platform::Handle quitEvent;
  platform::Handle decodeThread;
  platform::Handle requestEvent;
  CAVCDecoder* threadOwner;  // with requestEvent: the pair handed to the thread

  // --- Project data ---
  char* videoPath;
  char lineBuffer[kLineBufferSize];
  int32_t decodeCount;
  int32_t width, height;
  int32_t chromaFormat;  // 420, or 422 for 4:2:2 video (the project's CHROMA line)
  int32_t clipTop, clipBottom, clipLeft, clipRight;

  // --- Options stored by the clip ---
  unsigned char i420;
  int32_t deinterlace;
  unsigned char use_top_field;
  unsigned char yuy2;  // the clip is 4:2:2 (YUY2): the server is asked for 4:2:2 pictures

  // --- Matroska ---
  MkvFileInput mkvInput;
  MatroskaFile* mkvFile;
  int32_t mkvTrack;  // index in the track table; -1 before the choice: the first MPEG-2 track

  // --- Index ---
  GopEntry** gopTable;
  int32_t gopCapacity;
  PictureEntry* pictureTable;
  int32_t pictureCapacity;
  int32_t fieldOrder;

  // --- Stream reading ---
  AnnexbUnit unit;
  AnnexbUnit* currentUnit;
  int32_t resync;
  unsigned char readBuffer[kBufferSize];
  unsigned char* readPtr;
  int32_t readCount;
  int32_t readAtEnd = 1;  // the last fill was short, or none was made: no bytes to read
  FILE* projectFile;
  FILE* videoFile;
  int32_t tsRemaining;
  // 1 transport stream, 2 Matroska, else elementary; 3 is a program stream in the projects that
  // have the program streams' header (then programFiles is set).
  int32_t streamType;
  int32_t packetSize;
  int32_t videoPid;  // the PID of a transport stream's video; a program stream's stream id
  // A program stream's files, joined (null for other streams); programNext is the offset in them of
  // the byte after the last one read into readBuffer.
  ProgramStreamFiles* programFiles = nullptr;
  uint64_t programNext = 0;
  int32_t fpsNumerator, fpsDenominator;
  int32_t pictureCount;
  int32_t gopCount;
  int32_t targetPicture;
  // The GOP that the last run could not start at (no sequence header at its position, so the
  // project does not fit the video); -1 when the run started. Written by the decode thread before
  // it sets startedEvent.
  int32_t runFailedGop = -1;
  int32_t leadingBCount;
  int32_t endOfData;
  unsigned char unitBuffer[kBufferSize];

  // --- Luminance ---
  unsigned char lumFilterOn;
  unsigned char lumTable[256];

  // --- Load checks ---
  uint64_t videoSize;                // length of the video file when it was opened
  char loadDetail[kLoadDetailSize];  // "<file>" or "<file>: <why>" after a failed load

  // The entries the index tables start with and grow by. The fuzz target makes them small: a
  // load then costs little under the sanitizers, and short projects reach the growth.
  int32_t tableStartSize = kInitialTableSize;
  int32_t tableGrowthSize = kTableGrowth;
};
