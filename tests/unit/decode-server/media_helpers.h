// Test media and references: the clips made by the build (scripts/make-media.sh), ffmpeg's own
// per-frame MD5 of them, and the same MD5 computed over the server's pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
struct AVFrame;
}

namespace decode_server_test {

// $MPG_BUILD_DIR/media/<name>.
std::string MediaPath(const std::string& name);
std::vector<uint8_t> ReadFile(const std::string& path);

// A stream cut into start-code units (00 00 01 and the bytes up to the next start code).
struct Unit {
  size_t offset;
  size_t size;
  uint8_t code;  // the byte after 00 00 01
};
std::vector<Unit> SplitUnits(const std::vector<uint8_t>& stream);

// Where each GOP begins (the index of its sequence header unit) and the display number of its
// first picture (the number of coded frames before it).
struct GopStart {
  size_t unit;
  int firstPicture;
};
std::vector<GopStart> FindGops(const std::vector<Unit>& units);

// A clip read and cut into units, with its GOPs.
struct TestStream {
  explicit TestStream(const std::string& name);

  // For an open GOP (closed_gop clear) whose I frame is followed in coded order by B frames: the
  // number of those B frames, which a run started at that GOP cannot decode. 0 otherwise.
  int LeadingBs(size_t gop) const;
  // The units from GOP `gop` to the end: one run.
  std::vector<Unit> UnitsFrom(size_t gop) const;

  std::string path;
  std::vector<uint8_t> bytes;
  std::vector<Unit> units;
  std::vector<GopStart> gops;
  int frames = 0;  // coded frames (all frame pictures in these clips)
};

// The clip `name`, read once per process and kept for its whole life (feeding threads of a test
// that fails half-way may still read it).
const TestStream& Media(const std::string& name);

// ffmpeg's per-frame MD5 (Y, then U, then V of the yuv420p picture) of a sequential decode, with
// an optional video filter. Results are cached per file and filter.
const std::vector<std::string>& FfmpegFrameMd5(const std::string& path, const std::string& filter);

// The same MD5 over an 8-bit yuv420p frame, and over an NV12 picture as the plugin reads it.
std::string Md5OfFrame(const AVFrame* frame);
std::string Md5OfNv12(const uint8_t* area, int width, int height, int pitch);
// And over a planar 4:2:0 picture (a picture in the server's pool).
std::string Md5OfPlanes(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int height,
                        int lumaPitch, int chromaPitch);

// A unique name space for the platform layer's named objects, so that tests run side by side.
std::string UniqueIpcNamespace(const char* test);

}  // namespace decode_server_test
