#include "plugin/defaults_file.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "reader/leading_number.h"

const char* const kDefaultsFileName = "VantuDecodeNV.def";

namespace {

bool StartsWith(const char* s, const char* key) {
  return std::strncmp(s, key, std::strlen(key)) == 0;
}

// The value starts after the first "=" of the piece (the key's own).
const char* ValueOf(const char* piece) {
  return std::strchr(piece, '=') + 1;
}

// A boolean is true only when its value starts with a lower-case t ("true"; not "True", "1").
bool ParseFlag(const char* value) {
  return *value == 't';
}

// The decimal integer at the start of value: blanks skipped, an optional sign, digits up to the
// first non-digit; 0 without digits. Values beyond the int range are held at its ends.
int ParseInteger(const char* value) {
  int n = 0;
  const char* sign = value;
  while (std::isspace(static_cast<unsigned char>(*sign))) ++sign;
  switch (number::Leading(value, &n)) {
    case number::Read::kOk:
      return n;
    case number::Read::kOutOfRange:
      return *sign == '-' ? INT_MIN : INT_MAX;
    case number::Read::kNone:
      break;
  }
  return 0;
}

// "vnt=": a double-quoted path. Anything but an opening quote gives an empty path. Without a
// closing quote within the piece, the path is the rest of the piece, less a line break.
void ParsePath(const char* value, MPGSourceSettings* settings) {
  char path[kDefaultsPathSize];
  path[0] = '\0';
  if (*value == '"') {
    const char* start = value + 1;
    const char* end = std::strchr(start, '"');
    if (end == nullptr) {
      end = start + std::strlen(start);
      while (end > start && (end[-1] == '\n' || end[-1] == '\r')) --end;
    }
    size_t n = static_cast<size_t>(end - start);
    if (n > sizeof(path) - 1) n = sizeof(path) - 1;
    std::memcpy(path, start, n);
    path[n] = '\0';
  }
  settings->path = path;
}

}  // namespace

void ApplyDefaultsPiece(const char* piece, MPGSourceSettings* settings) {
  if (StartsWith(piece, "vnt=")) ParsePath(ValueOf(piece), settings);
  if (StartsWith(piece, "i420=")) settings->i420 = ParseFlag(ValueOf(piece));
  if (StartsWith(piece, "deinterlace=")) {
    settings->deinterlace = ParseInteger(ValueOf(piece));
    settings->deinterlaceFromFile = true;
  }
  if (StartsWith(piece, "use_top_field=")) settings->use_top_field = ParseFlag(ValueOf(piece));
  if (StartsWith(piece, "yv12=")) settings->yv12 = ParseFlag(ValueOf(piece));
  if (StartsWith(piece, "server_timeout=")) {
    settings->serverTimeoutSeconds = ParseInteger(ValueOf(piece));
  }
}

bool ReadDefaultsFile(const char* path, MPGSourceSettings* settings) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  char piece[kDefaultsPieceSize];
  while (std::fgets(piece, sizeof(piece), file) != nullptr) ApplyDefaultsPiece(piece, settings);
  std::fclose(file);
  return true;
}
