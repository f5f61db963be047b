// `mpgsource index VIDEO --list`: what the file carries, like a short ffprobe. For a transport
// stream: its programs (from the PAT and PMTs), each stream's PID and type, and which video stream
// indexing picks by default (the first MPEG-2 video stream in PAT order, program by program). For
// an elementary stream or a Matroska file: the one line that the project file's summary holds.
#pragma once

#include <cstdio>
#include <string>

namespace indexer {

// Writes the listing of `videoPath` to `out`. Returns kIndexOk, or an IndexResult with a message.
int ListStreams(const std::string& videoPath, FILE* out, std::string* error);

// A transport stream's stream_type in words ("MPEG-2 video", "AC-3 audio", ...).
std::string StreamTypeName(int type);

}  // namespace indexer
