// What the output rule asks of the system (platform/output_file.h): posix/ and win32/ each
// implement these and the OutputFile members that create, rename and remove files.
#pragma once

#include <string>

#include "platform/output_file.h"

namespace platform {
namespace output_system {

// Why the entry at `path` may not be replaced under `rule` ("it is a FIFO", "it is the video being
// indexed"); empty when it may be (a new name or a writable regular file that no input is).
std::string Refusal(const std::string& path, const OutputRule& rule);

}  // namespace output_system
}  // namespace platform
