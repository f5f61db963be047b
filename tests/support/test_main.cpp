// The main function of every GoogleTest program of the project. With MPG_FAIL_ON_SKIP=1 in the
// environment a skipped test fails, unless its skip message begins with the allowed-skip marker
// (MPG_ALLOWED_SKIP, tests/support/allowed_skip.h): a run with every tool installed must not go
// green with tests silently skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/allowed_skip.h"

namespace {

bool FailOnSkip() {
  const char* value = std::getenv("MPG_FAIL_ON_SKIP");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool Allowed(const char* message) {
  return std::strncmp(message, mpgtest::kAllowedSkipMarker,
                      std::strlen(mpgtest::kAllowedSkipMarker)) == 0;
}

// Turns a skip that is not allowed into a failure of the same test. A failure cannot be added
// while gtest reports the skip (it holds its lock then), so it is added when the test ends,
// before the result printer sees the end (OnTestEnd reaches the listeners in reverse order).
class SkipIsFailure : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    skip_.clear();
    inTest_ = true;
  }

  // Called with gtest's lock held: nothing here may ask gtest for its state.
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.skipped() || Allowed(result.message())) return;
    if (!inTest_) {
      // A suite's or the environment's set-up skipped every test in it.
      outsideTests_ = true;
      return;
    }
    if (skip_.empty()) skip_ = result.message()[0] != '\0' ? result.message() : "(no reason)";
  }

  void OnTestEnd(const ::testing::TestInfo&) override {
    inTest_ = false;
    if (skip_.empty()) return;
    const std::string why = skip_;
    skip_.clear();
    ADD_FAILURE() << "the test skipped (\"" << why
                  << "\"), and MPG_FAIL_ON_SKIP=1 allows only skips made with MPG_ALLOWED_SKIP";
  }

  bool SkippedOutsideTests() const { return outsideTests_; }

 private:
  std::string skip_;
  bool inTest_ = false;
  bool outsideTests_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  SkipIsFailure* listener = nullptr;
  if (FailOnSkip()) {
    listener = new SkipIsFailure;
    ::testing::UnitTest::GetInstance()->listeners().Append(listener);  // owned by gtest
  }
  int result = RUN_ALL_TESTS();
  if (listener != nullptr && listener->SkippedOutsideTests()) {
    std::fprintf(stderr,
                 "a test suite skipped outside its tests, and MPG_FAIL_ON_SKIP=1 allows only "
                 "skips made with MPG_ALLOWED_SKIP\n");
    result = 1;
  }
  return result;
}
