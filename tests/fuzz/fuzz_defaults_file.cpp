// Fuzz target: the defaults file reader, over a file of any content and over the same bytes
// handed over piece by piece.
#include <cstring>
#include <string>

#include "plugin/defaults_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {

int DefaultsFile(const uint8_t* data, size_t size) {
  static const std::string path = ScratchDir() + "/" + kDefaultsFileName;
  WriteFile(path, data, size);
  MPGSourceSettings settings;
  Check(ReadDefaultsFile(path.c_str(), &settings), "the defaults file did not open");
  Check(settings.path.size() < size_t(kDefaultsPathSize), "a path longer than its buffer");
  Check(settings.path.find('\0') == std::string::npos, "a path with a zero byte in it");

  // Pieces as the reader makes them: at most kDefaultsPieceSize - 1 bytes, zero-terminated.
  MPGSourceSettings pieces;
  char piece[kDefaultsPieceSize];
  for (size_t at = 0; at < size; at += kDefaultsPieceSize - 1) {
    size_t n = std::min<size_t>(size - at, kDefaultsPieceSize - 1);
    std::memcpy(piece, data + at, n);
    piece[n] = '\0';
    ApplyDefaultsPiece(piece, &pieces);
    Check(pieces.path.size() < size_t(kDefaultsPathSize), "a path longer than its buffer");
  }
  return 0;
}

}  // namespace fuzz
