// The filter's settings and the defaults file "VantuDecodeNV.def" that can change the built-in
// ones. The file is plain text, one "key=value" per line, the key in the first column:
//   vnt="path"  i420=true  deinterlace=2  use_top_field=false  yv12=true  server_timeout=60
// yv12=true serves 4:2:2 video as 4:2:0 (YV12, or I420 with i420=true) instead of YUY2.
// server_timeout is the time in seconds after which a decoding server that answers nothing counts
// as stopped or stuck, and the frame request fails (0: wait without a bound).
#pragma once

#include <string>

struct MPGSourceSettings {
  std::string path;  // the project file; empty when neither the file nor the script names one
  bool i420 = false;
  int deinterlace = 0;
  bool deinterlaceFromFile = false;  // the value of deinterlace came from the defaults file
  bool use_top_field = true;
  bool yv12 = false;  // 4:2:2 video as 4:2:0 (converted field by field) instead of YUY2
  int serverTimeoutSeconds = 30;
};

// The defaults file's name, looked up in the process's current directory.
extern const char* const kDefaultsFileName;

// Lines are read in pieces of at most kDefaultsPieceSize - 1 characters; a longer line is read
// as several pieces, each examined on its own.
constexpr int kDefaultsPieceSize = 80;
// A path from the file is held in a buffer of this many bytes.
constexpr int kDefaultsPathSize = 256;

// Applies one piece of the file: a piece that starts with a key (exactly, case-sensitively, in
// the first column) sets that setting; any other piece is ignored.
void ApplyDefaultsPiece(const char* piece, MPGSourceSettings* settings);

// Reads the defaults file at path over *settings. Returns false, changing nothing, when the file
// does not open.
bool ReadDefaultsFile(const char* path, MPGSourceSettings* settings);
