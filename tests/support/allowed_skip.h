// Skips that a test run may accept. Every test program links tests/support/test_main.cpp: with
// MPG_FAIL_ON_SKIP=1 in the environment (scripts/test.sh and so CI set it) a test that skips fails
// instead, unless it skipped with MPG_ALLOWED_SKIP, which says why the skip is legitimate on a
// machine that has every tool (a platform without the feature, say). A skip for a missing tool
// or medium stays a plain GTEST_SKIP: where everything is installed it must not happen.
#pragma once

#include <gtest/gtest.h>

namespace mpgtest {

// The beginning of an allowed skip's message.
constexpr const char kAllowedSkipMarker[] = "allowed skip: ";

}  // namespace mpgtest

// Skips the current test as allowed; `reason` (streamable) says why.
#define MPG_ALLOWED_SKIP(reason) GTEST_SKIP() << ::mpgtest::kAllowedSkipMarker << reason
