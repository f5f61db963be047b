// A small test runner for the Windows programs (GoogleTest is not available for the MinGW
// builds): tests register themselves, CHECK records a failure and goes on, and the exit code
// says whether every test passed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace wintest {

using TestFunction = void (*)();

bool Register(const char* name, TestFunction function);
void Fail(const char* file, int line, const std::string& what);
// Runs every test whose name contains the first argument (all without one); returns the exit code.
int RunAll(int argc, char** argv);

template <typename T>
std::string Show(const T& value) {
  return std::to_string(value);
}
inline std::string Show(const std::string& value) {
  return "\"" + value + "\"";
}
inline std::string Show(const char* value) {
  return value ? "\"" + std::string(value) + "\"" : "null";
}
inline std::string Show(bool value) {
  return value ? "true" : "false";
}
inline std::string Show(const void* value) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", value);
  return text;
}

}  // namespace wintest

#define WIN_TEST(name)                                                   \
  static void name();                                                    \
  static const bool name##_registered = wintest::Register(#name, &name); \
  static void name()

#define CHECK(condition)                                                          \
  do {                                                                            \
    if (!(condition)) wintest::Fail(__FILE__, __LINE__, "CHECK(" #condition ")"); \
  } while (0)

#define CHECK_EQ(expected, actual)                                                              \
  do {                                                                                          \
    const auto& e_ = (expected);                                                                \
    const auto& a_ = (actual);                                                                  \
    if (!(e_ == a_)) {                                                                          \
      wintest::Fail(                                                                            \
          __FILE__, __LINE__,                                                                   \
          std::string(#actual " is ") + wintest::Show(a_) + ", expected " + wintest::Show(e_)); \
    }                                                                                           \
  } while (0)

// Stops the current test when the condition fails (later steps depend on it).
#define REQUIRE(condition)                                          \
  do {                                                              \
    if (!(condition)) {                                             \
      wintest::Fail(__FILE__, __LINE__, "REQUIRE(" #condition ")"); \
      return;                                                       \
    }                                                               \
  } while (0)
