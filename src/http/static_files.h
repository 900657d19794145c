// Static file locations: "/" + location + "/" + a path below the folder, GET only.
#pragma once

#include <string>
#include <string_view>

#include "http/router.h"

namespace nv {

// The path below a file location, percent-decoded, "\" and "/" both separating folders, empty
// and "." levels dropped. False when a ".." level or a NUL byte would lead out of the folder.
bool StaticRelativePath(std::string_view encoded, std::string& relative);

// Registers location over folder on router (a relative folder is taken from base_folder).
// Throws "Directory "%s" does not exist".
void RegisterFileLocation(THTTPRouter& router, const std::string& base_folder,
                          const std::string& location, const std::string& folder);

}  // namespace nv
