#include "tests/win32/support/check.h"

#include <cstring>
#include <vector>

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
  for (const Test& test : Tests()) {
    if (filter && !std::strstr(test.name, filter)) continue;
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
