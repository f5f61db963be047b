#include "platform/file.h"

#include <cstdio>
#include <string>

#include "tests/win32/support/check.h"
#include "tests/win32/support/win.h"

using namespace platform;

namespace {

std::string TempFile(const char* name) {
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  return std::string(folder) + name + std::to_string(GetCurrentProcessId());
}

}  // namespace

WIN_TEST(SeekAndTellUseSixtyFourBitPositions) {
  const std::string path = TempFile("mpg_seek_test");
  FILE* f = std::fopen(path.c_str(), "wb+");
  REQUIRE(f);
  std::fputs("0123456789", f);
  CHECK_EQ(0, SeekFile(f, 3));
  CHECK_EQ(int64_t{3}, TellFile(f));
  CHECK_EQ('3', std::fgetc(f));
  // Beyond 4 GiB: a position past the end is valid, and nothing is truncated to 32 bits.
  const uint64_t beyond4GiB = 5000000000ull;
  CHECK_EQ(0, SeekFile(f, beyond4GiB));
  CHECK_EQ(static_cast<int64_t>(beyond4GiB), TellFile(f));
  CHECK_EQ(-1, SeekFile(f, ~0ull));
  CHECK_EQ(-1, SeekFile(nullptr, 0));
  CHECK_EQ(int64_t{-1}, TellFile(nullptr));
  std::fclose(f);
  std::remove(path.c_str());
}
