// The engine library search of the start-up sequence.
#pragma once

#include <string>

namespace nv {

// The full path of the matching file below Path (any depth) whose path sorts first (last with
// Desc) in case-insensitive order; "" when none matches.
std::string GetFilePath(const std::string& Path, const std::string& Search, bool Desc);

}  // namespace nv
