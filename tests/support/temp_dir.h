// A private temporary directory for a test, removed with everything in it when
// the object goes out of scope.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class TempDir {
 public:
  // Makes /tmp/<prefix>XXXXXX (mode 0700); fails the test when it cannot.
  explicit TempDir(const std::string& prefix = "varo-test-") {
    std::string tmpl = "/tmp/" + prefix + "XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << tmpl << " failed";
      return;
    }
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when the directory could not be made.
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};
