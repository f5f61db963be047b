// The Win32 platform layer's tests. With a child mode as first argument the program plays the
// other process of a cross-process test instead.
#include <cstring>

#include "tests/win32/platform/children.h"
#include "tests/win32/support/check.h"
#include "tests/win32/support/process.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strncmp(argv[1], "--child-", 8) == 0) return RunChild(argc, argv);
  wintest::UseOwnNamespace("wintest");
  return wintest::RunAll(argc, argv);
}
