// The stream facts of a project (scan, field order, pulldown, aspect ratio, colour, size changes)
// as `info` prints them, and the interlacing letter of `pipe`'s YUV4MPEG2 header.
#pragma once

#include <string>

#include "tools/indexer/stream_facts.h"

namespace cli {

// The facts as further members of `info --json`'s object: each begins with ", ". Empty when the
// project carries no facts (written by an older indexer).
std::string FactsJson(const indexer::StreamFacts& facts);

// The facts as further lines of `info`.
std::string FactsText(const indexer::StreamFacts& facts);

// 'p' when the clip's frames are progressive (deinterlaced, or a progressive stream), else 't' or
// 'b' by the parity; a project without facts is taken as interlaced.
char Y4mInterlacing(const indexer::StreamFacts& facts, int deinterlace, bool topFieldFirst);

}  // namespace cli
