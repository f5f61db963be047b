// Matroska input for the indexer: the first "V_MPEG2" video track, read frame by frame through
// the Matroska parser. Each frame's bytes reach the scanner at the frame's start time, so a GOP's
// position is the start time of the frame that carries its sequence header: the time the plugin
// seeks to.
#pragma once

#include <string>

#include "tools/indexer/byte_source.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/mpeg2_scanner.h"

namespace indexer {

// Feeds the frames of the first V_MPEG2 video track to `scanner` and finishes it; sets
// layout->track. A file cut off inside a frame is indexed up to that frame, with a warning.
// Returns kIndexOk or a failure with a message naming options.videoPath.
int ScanMatroska(ByteSource* source, const IndexOptions& options, StreamLayout* layout,
                 Mpeg2Scanner* scanner, std::string* error);

}  // namespace indexer
