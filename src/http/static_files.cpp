// Static file locations: "/" + location + "/" + a path below the folder, GET only.
#include "http/static_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "http/request.h"
#include "http/response.h"
#include "text/strings.h"

namespace nv {

namespace {

// The host path of a folder text: the system's own texts separate folders with "\".
std::string HostPath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

// The request path after the location's own levels ("/images/a/b" -> "a/b" for "images").
std::string_view PathBelow(std::string_view path_info, size_t levels) {
  size_t pos = 0;
  for (size_t i = 0; i <= levels; ++i) {
    size_t slash = path_info.find('/', pos);
    if (slash == std::string_view::npos) return {};
    pos = slash + 1;
  }
  return path_info.substr(pos);
}

size_t LevelCount(std::string_view location) {
  size_t count = 0;
  bool in_level = false;
  for (char c : location) {
    if (c == '/') {
      in_level = false;
    } else if (!in_level) {
      in_level = true;
      ++count;
    }
  }
  return count;
}

void Answer(TResponse& resp, int code, const char* text) {
  resp.Code = code;
  resp.CodeText = text;
  resp.Contents.Clear();
}

bool RealPath(const std::string& path, std::string& real) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) return false;
  real = buffer;
  return true;
}

void ServeFile(const std::string& folder, size_t levels, TRequest& req, TResponse& resp) {
  if (UpperAscii(req.Method) != "GET") return Answer(resp, 405, "Method not allowed");
  std::string relative;
  if (!StaticRelativePath(PathBelow(req.PathInfo, levels), relative)) {
    return Answer(resp, 403, "Forbidden");
  }
  std::string root;
  if (relative.empty() || !RealPath(folder, root)) return Answer(resp, 404, "Not found");
  std::string real;
  if (!RealPath(root + "/" + relative, real)) {
    return errno == EACCES ? Answer(resp, 403, "Forbidden") : Answer(resp, 404, "Not found");
  }
  // A symbolic link inside the folder may still point outside it.
  if (real.compare(0, root.size() + 1, root + "/") != 0) return Answer(resp, 403, "Forbidden");
  struct stat st;
  // Folders, pipes and devices are no files to serve (opening a pipe would block the server).
  if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Answer(resp, 404, "Not found");
  std::ifstream file(real, std::ios::binary);
  if (!file) return Answer(resp, 403, "Forbidden");
  resp.Code = 200;
  resp.CodeText = "OK";
  resp.ContentType = "Application/octet-stream";
  resp.SetContentStream(&file);
  resp.SendContent();  // while the stream is alive
}

}  // namespace

bool StaticRelativePath(std::string_view encoded, std::string& relative) {
  relative.clear();
  std::string path = URLDecode(encoded, false);
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    std::string_view level = std::string_view(path).substr(start, end - start);
    if (level == ".." || level.find('\0') != std::string_view::npos) {
      relative.clear();
      return false;
    }
    if (!level.empty() && level != ".") {
      if (!relative.empty()) relative += '/';
      relative += level;
    }
    start = end + 1;
  }
  return true;
}

void RegisterFileLocation(THTTPRouter& router, const std::string& base_folder,
                          const std::string& location, const std::string& folder) {
  std::string full = HostPath(folder);
  if (full.empty() || full[0] != '/') {
    std::string base = HostPath(base_folder);
    if (!base.empty() && base.back() != '/') base += '/';
    full = base + full;
  }
  struct stat st;
  if (stat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw std::runtime_error("Directory \"" + full + "\" does not exist");
  }
  std::string path(1, '/');
  path += HostPath(location);
  size_t levels = LevelCount(path);
  router.RegisterLocation(
      path, [full, levels](TRequest& req, TResponse& resp) { ServeFile(full, levels, req, resp); });
}

}  // namespace nv
