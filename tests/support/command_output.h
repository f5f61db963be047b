// Runs a shell command and returns what it writes to standard output, for tests that compare
// against ffmpeg, ffprobe and other programs.
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

// `status` (when given) receives pclose's status, -1 when the command could not be started.
inline std::string CommandOutput(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (status != nullptr) *status = -1;
    return out;
  }
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  const int result = pclose(pipe);
  if (status != nullptr) *status = result;
  return out;
}

}  // namespace test_support
