// The text of a project file.
#pragma once

#include <string>
#include <vector>

#include "tools/indexer/indexer.h"
#include "tools/indexer/video_index.h"

namespace indexer {

// One line describing the video, e.g. "MPEG-2 elementary stream: 720x576, 25/1 fps, interlaced
// top field first, 150 pictures in 13 GOPs".
std::string StreamSummary(const VideoIndex& index, const StreamLayout& layout);

// What identifies the indexed video: its length and its fingerprint (reader/video_fingerprint.h).
struct VideoIdentity {
  uint64_t size = 0;
  uint64_t fingerprint = 0;
  std::string line;  // the path as the project names it (further files of a program stream)
};

// The whole project file: the header, our tool line, the video path line, the summary, an empty
// line, the keyword lines, then one "SEQ " line per GOP followed by its "FRM" lines in coded
// order. Every line ends in a single LF. Among the keyword lines, before the GOP list, are two
// that other loaders skip as unknown: "VIDEOFILE <bytes> <fingerprint, 16 hex digits>" and
// "PICTURES <number of FRM lines>", with which our loader refuses a video changed since indexing
// and a project cut short. A program stream's project opens with a header of its own, which
// loaders that cannot read program streams refuse as another version, and names each further
// file of the stream on a line "NEXTFILE <bytes> <fingerprint> <path>". An FRM word is the coding
// letter, then how the frame is shown: the fields (2, 3, 4 or 6), t or b for the field shown
// first, p or i (e.g. "FRM B3tp"); loaders read only the letter.
std::string FormatProject(const VideoIndex& index, const StreamLayout& layout,
                          const IndexOptions& options, const std::string& videoLine,
                          const VideoIdentity& video,
                          const std::vector<VideoIdentity>& nextFiles = {});

}  // namespace indexer
