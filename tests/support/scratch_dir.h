// A fresh directory under the test temporary directory for one test, removed with everything in
// it when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace tarvik::testing {

class ScratchDir {
 public:
  // The directory is named `prefix` with a unique ending.
  explicit ScratchDir(const std::string& prefix) {
    std::string pattern = ::testing::TempDir() + prefix + "-XXXXXX";
    if (const char* made = ::mkdtemp(pattern.data())) {
      path_ = made;
    } else {
      ADD_FAILURE() << "cannot create a directory like " << pattern;
    }
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace tarvik::testing
