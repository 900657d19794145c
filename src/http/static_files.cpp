// Static file locations: "/" + location + "/" + a path below the folder, GET only.
#include "http/static_files.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "http/file_stream.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/clock.h"
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

// Files kept open after they were served, per file location.
constexpr size_t kKeptFiles = 8;

// The folder of a file location, held open so that a request finds its file below it in one
// system call. A file that stands directly in the folder is kept open once served, and the next
// request for its name is answered from the kept descriptor when a look at the name (which
// follows no link) finds the same regular file, unchanged since: the same stamp. A rename onto
// the name, a chmod, a chown, a new link or a write all move it, so the kept file is the one an
// open would give now, with the same right to read it, and its bytes are read as they are sent,
// as from a new descriptor. Only a settled file is kept: a change within the file system's time
// step could leave its stamp as it was. One look instead of an open, a look at the opened file
// and a close.
class TFolder {
 public:
  explicit TFolder(std::string path)
      : path_(std::move(path)), fd_(open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
  TFolder(const TFolder&) = delete;
  TFolder& operator=(const TFolder&) = delete;
  ~TFolder() {
    kept_.clear();
    if (fd_ >= 0) close(fd_);
  }

  // The file at relative below the folder, opened for reading, with what fstat says of it; or
  // null with the status to answer (403, 404).
  std::shared_ptr<TSharedFile> Open(const std::string& relative, struct stat& st, int& status) {
    const bool in_folder = fd_ >= 0 && relative.find('/') == std::string::npos;
    if (in_folder) {
      if (std::shared_ptr<TSharedFile> file = FromKept(relative, st)) return file;
    }
    // Read before the file is looked at, as Settled wants it.
    const int64_t now_ns = in_folder ? WallClockNs() : 0;
    bool no_link = false;
    const int fd = OpenFile(relative, in_folder, no_link, status);
    if (fd < 0) return nullptr;
    auto file = std::make_shared<TSharedFile>(fd);
    if (fstat(fd, &st) != 0) {
      status = 404;
      return nullptr;
    }
    if (no_link && S_ISREG(st.st_mode)) {
      const FileStamp stamp = StampFrom(st);
      if (Settled(stamp, now_ns)) Keep(relative, file, stamp);
    }
    return file;
  }

 private:
  struct Kept {
    std::string name;
    std::shared_ptr<TSharedFile> file;
    FileStamp stamp;
    uint64_t used;
  };

  std::shared_ptr<TSharedFile> FromKept(const std::string& name, struct stat& st) {
    auto kept =
        std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) { return k.name == name; });
    if (kept == kept_.end()) return nullptr;
    struct stat now;
    if (fstatat(fd_, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode) &&
        StampFrom(now) == kept->stamp) {
      kept->used = ++uses_;
      st = now;
      return kept->file;
    }
    kept_.erase(kept);  // a descriptor still being sent stays open until the send is done
    return nullptr;
  }

  void Keep(const std::string& name, const std::shared_ptr<TSharedFile>& file,
            const FileStamp& stamp) {
    if (kept_.size() == kKeptFiles) {
      kept_.erase(std::min_element(kept_.begin(), kept_.end(),
                                   [](const Kept& a, const Kept& b) { return a.used < b.used; }));
    }
    kept_.push_back(Kept{name, file, stamp, ++uses_});
  }

  // The descriptor of the file, or -1 with the status. no_link: it was reached through no
  // symbolic link (only looked for when may_keep).
  int OpenFile(const std::string& relative, bool may_keep, bool& no_link, int& status) const {
    open_how how{};
    // Non-blocking: opening a pipe must not stop the server (the file test refuses it after).
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    if (fd_ < 0) return OpenByPath(relative, status);
    if (may_keep) {
      // A file reached through no link may be kept; a link makes this open fail, and the
      // usual one follows.
      open_how plain = how;
      plain.resolve |= RESOLVE_NO_SYMLINKS;
      const int fd =
          static_cast<int>(syscall(SYS_openat2, fd_, relative.c_str(), &plain, sizeof plain));
      if (fd >= 0) {
        no_link = true;
        return fd;
      }
      if (errno != ELOOP) return Refused(relative, status);
    }
    const int fd = static_cast<int>(syscall(SYS_openat2, fd_, relative.c_str(), &how, sizeof how));
    if (fd >= 0) return fd;
    return Refused(relative, status);
  }

  // After a failed open: a link that leaves the folder, an absolute link or a kernel without
  // openat2 leaves the decision to the slow check by full paths.
  int Refused(const std::string& relative, int& status) const {
    if (errno == EXDEV || errno == ENOSYS || errno == EPERM || errno == EAGAIN) {
      return OpenByPath(relative, status);
    }
    status = errno == EACCES ? 403 : 404;
    return -1;
  }

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
  std::vector<Kept> kept_;  // at most kKeptFiles, the least used one leaves first
  uint64_t uses_ = 0;
};

void ServeFile(TFolder& folder, size_t levels, TRequest& req, TResponse& resp) {
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
  struct stat st;
  std::shared_ptr<TSharedFile> shared = folder.Open(relative, st, status);
  if (!shared) {
    return status == 403 ? Answer(resp, 403, "Forbidden") : Answer(resp, 404, "Not found");
  }
  // Folders, pipes and devices are no files to serve.
  if (!S_ISREG(st.st_mode)) return Answer(resp, 404, "Not found");
  TFileStream file(std::move(shared));
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
  auto shared = std::make_shared<TFolder>(full);
  // Serving a file touches nothing a page handler holds: it may run while one pauses.
  router.RegisterLocation(
      path,
      [shared, levels](TRequest& req, TResponse& resp) { ServeFile(*shared, levels, req, resp); },
      true);
}

}  // namespace nv
