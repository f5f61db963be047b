// The text of a project file.
#pragma once

#include <string>

#include "tools/indexer/indexer.h"
#include "tools/indexer/video_index.h"

namespace indexer {

// One line describing the video, e.g. "MPEG-2 elementary stream: 720x576, 25/1 fps, interlaced
// top field first, 150 pictures in 13 GOPs".
std::string StreamSummary(const VideoIndex& index, const StreamLayout& layout);

// The whole project file: the header, our tool line, the video path line, the summary, an empty
// line, the keyword lines, then one "SEQ " line per GOP followed by its "FRM" lines in coded
// order. Every line ends in a single LF.
std::string FormatProject(const VideoIndex& index, const StreamLayout& layout,
                          const IndexOptions& options, const std::string& videoLine);

}  // namespace indexer
