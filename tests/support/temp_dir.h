// A private temporary folder per test, removed with everything in it when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "support/files.h"

namespace nv::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nv_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }   // without a trailing "/"
  std::string folder() const { return path_ + "/"; }  // with one, as `Folder` is
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes bytes to a file below the folder, creating the folders on the way.
  void Write(const std::string& relative, const std::string& bytes) const {
    WriteFile(file(relative), bytes);
  }

 private:
  std::string path_;
};

}  // namespace nv::test
