// Reading and writing whole files in tests.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

// Every entry below folder (any depth), as paths relative to it, sorted; links are not followed.
inline std::vector<std::string> Tree(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    names.push_back(entry.path().lexically_relative(folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace nv::test
