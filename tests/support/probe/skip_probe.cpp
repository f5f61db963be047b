// Run by test_support: one test of each kind that the shared test main tells apart.
#include <gtest/gtest.h>

#include "tests/support/allowed_skip.h"

TEST(Probe, Passes) {
  EXPECT_TRUE(true);
}

TEST(Probe, SkipsPlainly) {
  GTEST_SKIP() << "a tool is missing";
}

TEST(Probe, SkipsAsAllowed) {
  MPG_ALLOWED_SKIP("not on this platform");
}

class SkippingSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GTEST_SKIP() << "the suite's medium is missing"; }
};

TEST_F(SkippingSuite, Runs) {
  EXPECT_TRUE(true);
}
