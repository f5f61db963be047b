// What every program of ours does the same way on its command line: the exit status, the
// --version text and the reading of numbers.
#pragma once

#include <charconv>
#include <string>
#include <string_view>

namespace command_line {

// The release of the programs, the plugin and the project files they write.
constexpr const char* kVersion = "1.0";

// Exit status: 0 success, 1 failure, 2 a command line that was not understood.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The closing lines of every program's --help.
constexpr const char* kConventionsHelp =
    "  --version          print the program's name and version\n"
    "  --help             print this help\n"
    "Exit status: 0 success, 1 failure, 2 a command line that was not understood.\n";

// "<program> <version>\n".
inline std::string VersionText(const char* program) {
  return std::string(program) + " " + kVersion + "\n";
}

// A whole decimal integer from `low` to `high`: an optional minus sign and digits, nothing else
// (no space, no plus sign; a leading 0 is no octal prefix). With `hex`, "0x" or "0X" and
// hexadecimal digits are taken too, as PIDs are written.
inline bool ParseNumber(std::string_view text, long long low, long long high, long long* value,
                        bool hex = false) {
  int base = 10;
  if (hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
    if (text.empty() || text[0] == '-') return false;
  }
  long long v = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, v, base);
  if (error != std::errc() || stop != end || v < low || v > high) return false;
  *value = v;
  return true;
}

// `count` such integers separated by commas ("L,R,T,B"), each from `low` to `high`.
inline bool ParseNumbers(std::string_view text, int count, long long low, long long high,
                         long long* values) {
  for (int i = 0; i < count; ++i) {
    const size_t comma = text.find(',');
    if ((comma == std::string_view::npos) != (i == count - 1)) return false;
    if (!ParseNumber(text.substr(0, comma), low, high, &values[i])) return false;
    if (comma != std::string_view::npos) text.remove_prefix(comma + 1);
  }
  return true;
}

}  // namespace command_line
