// End-to-end tests of the Windows programs under wine64 or on Windows: the decoding server
// mpgsource-server.exe, the command-line host mpgsource.exe and the plugin DLL beside them index
// and serve media made by ffmpeg, compared with ffmpeg's own decode (see tools_fixture.h for
// what the media folder holds).
#include "tests/win32/support/check.h"
#include "tests/win32/support/process.h"

int main(int argc, char** argv) {
  wintest::UseOwnNamespace("wintools");
  return wintest::RunAll(argc, argv);
}
