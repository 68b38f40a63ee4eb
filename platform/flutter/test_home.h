// Test support: a fresh, empty QUELLMARK_HOME for the life of one test, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace flutter {

class TempHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "quellmark-home-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    setenv("QUELLMARK_HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUELLMARK_HOME");
    std::error_code ignored;  // A leftover temporary folder is not a test failure.
    std::filesystem::remove_all(home_, ignored);
  }

  std::filesystem::path home_;
};

}  // namespace flutter
