#include "tools/cli/frame_list.h"

#include <climits>

#include "tools/command_line/command_line.h"

namespace cli {
namespace {

bool ParseNumber(const std::string& text, long* value) {
  long long number = 0;
  if (!command_line::ParseNumber(text, 0, INT_MAX, &number)) return false;
  *value = static_cast<long>(number);
  return true;
}

}  // namespace

bool ParseFrameList(const std::string& text, int frameCount, std::vector<int>* frames,
                    std::string* error) {
  frames->clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string item = text.substr(start, comma - start);
    size_t dash = item.find('-');
    long first = 0;
    long last = 0;
    bool ok = dash == std::string::npos ? ParseNumber(item, &first) && (last = first, true)
                                        : ParseNumber(item.substr(0, dash), &first) &&
                                              ParseNumber(item.substr(dash + 1), &last);
    if (!ok) {
      *error = "bad frame list item \"" + item + "\" (expected N or A-B)";
      return false;
    }
    if (first >= frameCount || last >= frameCount) {
      *error = "frame list item \"" + item + "\" lies beyond the last frame (" +
               std::to_string(frameCount - 1) + ")";
      return false;
    }
    int step = first <= last ? 1 : -1;
    for (long n = first;; n += step) {
      frames->push_back(static_cast<int>(n));
      if (n == last) break;
    }
    start = comma + 1;
  }
  return true;
}

}  // namespace cli
