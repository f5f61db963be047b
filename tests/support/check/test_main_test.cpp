// The shared test main run on a real test program (skip_probe): under MPG_FAIL_ON_SKIP=1 a plain
// skip fails its test and the program, an allowed skip does not; without it a skip is a skip.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/command_output.h"

#ifndef MPG_SKIP_PROBE
#error "MPG_SKIP_PROBE must name the skip_probe program"
#endif

namespace {

struct ProbeRun {
  int exitCode = -1;
  std::string output;
};

ProbeRun RunProbe(const std::string& filter, bool failOnSkip) {
  const std::string command = std::string(failOnSkip ? "MPG_FAIL_ON_SKIP=1" : "MPG_FAIL_ON_SKIP=") +
                              " '" + MPG_SKIP_PROBE + "' --gtest_filter='" + filter + "' 2>&1";
  ProbeRun run;
  int status = -1;
  run.output = test_support::CommandOutput(command, &status);
  run.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

struct Case {
  const char* filter;
  bool failOnSkip;
  bool passes;        // the program exits 0
  const char* shows;  // a line the output must contain
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.filter << (c.failOnSkip ? " with" : " without") << " MPG_FAIL_ON_SKIP=1";
}

class SharedTestMain : public ::testing::TestWithParam<Case> {};

TEST_P(SharedTestMain, FailsOnlyTheSkipsThatAreNotAllowed) {
  const Case& c = GetParam();
  const ProbeRun run = RunProbe(c.filter, c.failOnSkip);
  EXPECT_EQ(run.exitCode == 0, c.passes) << run.output;
  EXPECT_NE(run.output.find(c.shows), std::string::npos) << run.output;
  // A skip turned into a failure is no skip as well: ctest counts a test whose output has this
  // line as skipped, not failed.
  if (c.failOnSkip) {
    EXPECT_EQ(run.output.find("[  SKIPPED ] Probe.SkipsPlainly"), std::string::npos) << run.output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Skips, SharedTestMain,
    ::testing::Values(Case{"Probe.Passes", true, true, "[       OK ] Probe.Passes"},
                      Case{"Probe.SkipsPlainly", false, true, "[  SKIPPED ] Probe.SkipsPlainly"},
                      Case{"Probe.SkipsPlainly", true, false, "[  FAILED  ] Probe.SkipsPlainly"},
                      Case{"Probe.SkipsAsAllowed", true, true, "[  SKIPPED ] Probe.SkipsAsAllowed"},
                      Case{"Probe.*", true, false, "the test skipped (\"a tool is missing\")"},
                      Case{"SkippingSuite.*", false, true, "SkippingSuite"},
                      Case{"SkippingSuite.*", true, false, "SkippingSuite"}));

}  // namespace
