// Runs a test inside a fresh temporary directory (the defaults file is read from the current
// directory) and returns to the previous one afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

class FrontTestDir : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(previous_, sizeof(previous_)), nullptr);
    std::string pattern =
        (std::filesystem::temp_directory_path() / "mpgsource_front_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    std::remove((dir_ + "/VantuDecodeNV.def").c_str());
    EXPECT_EQ(chdir(previous_), 0);
    rmdir(dir_.c_str());
  }
  // Writes the defaults file in the current directory, byte for byte.
  void WriteDefaults(const std::string& text) {
    FILE* f = std::fopen("VantuDecodeNV.def", "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
    std::fclose(f);
  }

  std::string dir_;

 private:
  char previous_[PATH_MAX];
};
