// Frame lists of the command-line host: "0,5,10-20,7" -> frames in the order given.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Parses a comma-separated list of frame numbers and ranges "a-b" (a descending range counts down).
// Every frame must lie in [0, frameCount). Returns false with a message in `error` otherwise.
bool ParseFrameList(const std::string& text, int frameCount, std::vector<int>* frames,
                    std::string* error);

}  // namespace cli
