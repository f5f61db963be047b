// End-to-end tests of the plugin DLL on Windows: a host loads VantuDecodeNV.dll through its
// exported entry point and pulls frames from MPGSource clips, which talk to the test decoding
// server over the real named section and events.
#include "tests/win32/support/check.h"
#include "tests/win32/support/process.h"

int main(int argc, char** argv) {
  wintest::UseOwnNamespace("wine2e");
  return wintest::RunAll(argc, argv);
}
