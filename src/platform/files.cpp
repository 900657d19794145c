#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace nv {

std::string ExecutablePath() {
  std::string buf(PATH_MAX, '\0');
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n < 0)
    throw std::runtime_error(std::string("Cannot read /proc/self/exe: ") + strerror(errno));
  buf.resize(static_cast<size_t>(n));
  return buf;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ThrowCreateError(const std::string& path, int err) {
  throw std::runtime_error("Unable to create file \"" + path + "\": " + std::strerror(err));
}

void WriteFileOrThrow(const std::string& path, std::string_view bytes, bool append) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) ThrowCreateError(path, errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      close(fd);
      ThrowCreateError(path, err);
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) ThrowCreateError(path, errno);
}

bool CopyFileOver(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return false;
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << in.rdbuf();
  out.flush();
  return !in.bad() && static_cast<bool>(out);
}

bool RangeLockedElsewhere(const std::string& path, long long offset, long long len) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl {};
  fl.l_type = F_WRLCK;  // conflicts with every lock: reports any holder
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(len);
  bool held = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return held;
}

namespace {

void Search(const std::string& folder, const std::string& mask, std::vector<std::string>& out,
            int depth) {
  if (depth > 64) return;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;  // unreadable folders are simply not searched
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = folder + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Search(path + kPathDelim, mask, out, depth + 1);
    } else if (fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) == 0) {
      if (S_ISLNK(st.st_mode) && !FileExists(path)) continue;  // dangling or folder link
      out.push_back(path);
    }
  }
  closedir(dir);
}

}  // namespace

std::vector<std::string> FindFiles(const std::string& folder, const std::string& mask) {
  std::vector<std::string> out;
  Search(folder, mask, out, 0);
  return out;
}

}  // namespace nv
