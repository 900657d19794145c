// Reading and writing whole files in tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace nv::test {

// The file's bytes; "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file with bytes, creating missing parent folders.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::path p(path);
  if (p.has_parent_path()) {
    std::error_code ignored;
    std::filesystem::create_directories(p.parent_path(), ignored);
  }
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace nv::test
