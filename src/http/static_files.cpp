// Static file locations: "/" + location + "/" + a path below the folder, GET only.
#include "http/static_files.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "http/file_stream.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/files.h"
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
  resp.ClearContent();
}

bool RealPath(const std::string& path, std::string& real) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) return false;
  real = buffer;
  return true;
}

// The folder of a file location, held open so that a request finds its file below it in one
// system call.
class TFolder {
 public:
  explicit TFolder(std::string path)
      : path_(std::move(path)), fd_(open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
  TFolder(const TFolder&) = delete;
  TFolder& operator=(const TFolder&) = delete;
  ~TFolder() {
    if (fd_ >= 0) close(fd_);
  }

  // The file at relative below the folder, opened for reading: its descriptor, or -1 with the
  // status to answer (403, 404).
  int Open(const std::string& relative, int& status) const {
    open_how how{};
    // Non-blocking: opening a pipe must not stop the server (the file test refuses it after).
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = fd_ < 0
                 ? -1
                 : static_cast<int>(syscall(SYS_openat2, fd_, relative.c_str(), &how, sizeof how));
    if (fd >= 0) return fd;
    // A link that leaves the folder, an absolute link or a kernel without openat2: the slow
    // check by full paths decides.
    if (fd_ < 0 || errno == EXDEV || errno == ENOSYS || errno == EPERM || errno == EAGAIN) {
      return OpenByPath(relative, status);
    }
    status = errno == EACCES ? 403 : 404;
    return -1;
  }

 private:
  int OpenByPath(const std::string& relative, int& status) const {
    std::string root;
    std::string real;
    if (!RealPath(path_, root)) {
      status = 404;
      return -1;
    }
    if (!RealPath(root + "/" + relative, real)) {
      status = errno == EACCES ? 403 : 404;
      return -1;
    }
    // A symbolic link inside the folder may still point outside it.
    if (real.compare(0, root.size() + 1, root + "/") != 0) {
      status = 403;
      return -1;
    }
    int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) status = errno == ENOENT ? 404 : 403;
    return fd;
  }

  std::string path_;
  int fd_;
};

void ServeFile(const TFolder& folder, size_t levels, TRequest& req, TResponse& resp) {
  if (UpperAscii(req.Method) != "GET") return Answer(resp, 405, "Method not allowed");
  std::string relative;
  if (!StaticRelativePath(PathBelow(req.PathInfo, levels), relative)) {
    return Answer(resp, 403, "Forbidden");
  }
  if (relative.empty()) return Answer(resp, 404, "Not found");
  // A replacement's new file (on its way to its own name, or left by a crash) is no one's.
  if (IsReplacementName(std::string_view(relative).substr(relative.rfind('/') + 1)))
    return Answer(resp, 404, "Not found");
  int status = 0;
  TFileStream file(folder.Open(relative, status));
  if (!file.is_open()) {
    return status == 403 ? Answer(resp, 403, "Forbidden") : Answer(resp, 404, "Not found");
  }
  struct stat st;
  // Folders, pipes and devices are no files to serve.
  if (fstat(file.Descriptor(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Answer(resp, 404, "Not found");
  }
  resp.Code = 200;
  resp.CodeText = "OK";
  resp.ContentType = "Application/octet-stream";
  resp.ContentStream = &file;
  resp.ContentLength = st.st_size;  // known already: no seek to the end and back
  resp.SendContent();               // while the stream is alive
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
  auto shared = std::make_shared<const TFolder>(full);
  // Serving a file touches nothing a page handler holds: it may run while one pauses.
  router.RegisterLocation(
      path,
      [shared, levels](TRequest& req, TResponse& resp) { ServeFile(*shared, levels, req, resp); },
      true);
}

}  // namespace nv
