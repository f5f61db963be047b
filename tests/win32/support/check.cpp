#include "tests/win32/support/check.h"

#include <cstring>
#include <vector>

#include "tests/win32/support/win.h"

namespace wintest {

namespace {

struct Test {
  const char* name;
  TestFunction function;
};

std::vector<Test>& Tests() {
  static std::vector<Test> tests;
  return tests;
}

int g_failures = 0;

// A test that hangs (a wait that never ends) fails the program instead of blocking it.
constexpr DWORD kTestLimitMs = 180000;
volatile LONG g_testSerial = 0;
const char* volatile g_testName = "";

DWORD WINAPI Watchdog(LPVOID) {
  LONG seen = -1;
  DWORD since = GetTickCount();
  for (;;) {
    Sleep(1000);
    const LONG serial = g_testSerial;
    if (serial != seen) {
      seen = serial;
      since = GetTickCount();
    } else if (GetTickCount() - since > kTestLimitMs) {
      std::fprintf(stderr, "[ HUNG ] %s: still running after %lu ms\n", g_testName,
                   static_cast<unsigned long>(kTestLimitMs));
      std::fflush(stderr);
      ExitProcess(3);
    }
  }
}

}  // namespace

bool Register(const char* name, TestFunction function) {
  Tests().push_back({name, function});
  return true;
}

void Fail(const char* file, int line, const std::string& what) {
  ++g_failures;
  std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
  std::fflush(stderr);
}

int RunAll(int argc, char** argv) {
  const char* filter = argc > 1 ? argv[1] : nullptr;
  int run = 0;
  int failed = 0;
  HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  if (watchdog) CloseHandle(watchdog);
  for (const Test& test : Tests()) {
    if (filter && !std::strstr(test.name, filter)) continue;
    g_testName = test.name;
    InterlockedIncrement(&g_testSerial);
    const int before = g_failures;
    std::printf("[ RUN  ] %s\n", test.name);
    std::fflush(stdout);
    test.function();
    ++run;
    if (g_failures != before) {
      ++failed;
      std::printf("[ FAIL ] %s\n", test.name);
    } else {
      std::printf("[  OK  ] %s\n", test.name);
    }
    std::fflush(stdout);
  }
  std::printf("%d tests, %d failed\n", run, failed);
  return failed == 0 && run > 0 ? 0 : 1;
}

}  // namespace wintest
