// The parts of the output rule that are the same on every system: the names and the messages.
#include "platform/output_file.h"

#include "platform/output_system.h"
#include "platform/path.h"

namespace platform {

bool OutputFile::Open(const std::string& path, const OutputRule& rule, std::string* error) {
  Discard();
  path_ = path;
  rule_ = rule;
  if (!Check(path, rule, error)) return false;
  if (path == "-") {
    standardOutput_ = true;
    stream_ = stdout;
    return true;
  }
  return OpenTemporary(error);
}

bool OutputFile::Check(const std::string& path, const OutputRule& rule, std::string* error) {
  if (path.empty()) {
    *error = "no file named for " + rule.what + " (the name is empty)";
    return false;
  }
  std::string why;
  if (path == "-") {
    if (rule.standardOutput) return true;
    why = "it cannot go to standard output (write ./- for a file named -)";
  } else if (IsPathSeparator(path.back())) {
    why = "the name ends in a folder separator";
  } else {
    why = output_system::Refusal(path, rule);
  }
  if (why.empty()) return true;
  *error = "will not write " + rule.what + " \"" + path + "\": " + why;
  return false;
}

}  // namespace platform
