#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

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

namespace {

// Writes all of bytes to fd: 0, or the errno of the failure.
int WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// The file that a chain of symbolic links at path ends at (path itself when it is no link), so
// that a replacement lands where the link points and the link stays.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(PATH_MAX, '\0');
    ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n <= 0) return path;
    target.resize(static_cast<size_t>(n));
    if (target[0] != kPathDelim) {
      const size_t cut = path.rfind(kPathDelim);
      target.insert(0, cut == std::string::npos ? "" : path.substr(0, cut + 1));
    }
    path = std::move(target);
  }
  return path;
}

constexpr std::string_view kReplacementPrefix = ".norvane-new-";

// The folder part of a file path, separator included ("./" for a bare name).
std::string FolderOf(const std::string& file) {
  const size_t cut = file.rfind(kPathDelim);
  return cut == std::string::npos ? std::string(".") + kPathDelim : file.substr(0, cut + 1);
}

std::string NameOf(const std::string& file) {
  const size_t cut = file.rfind(kPathDelim);
  return cut == std::string::npos ? file : file.substr(cut + 1);
}

// A replacement name in folder, one per attempt; the process id keeps two servers sharing a
// folder apart.
std::string ReplacementName(const std::string& folder, int attempt) {
  return folder + std::string(kReplacementPrefix) + std::to_string(getpid()) + "-" +
         std::to_string(attempt);
}

// A new file in folder with the mode a plain create would give (0666 less the umask), still
// without a name: a crash while it is written leaves nothing behind. Where the file system has
// no unnamed files, a named one (temp) is made instead. -1 with errno on failure.
int CreateNewFile(const std::string& folder, std::string& temp) {
  temp.clear();
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = ReplacementName(folder, attempt);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) break;
  }
  if (fd < 0) temp.clear();
  return fd;
}

// Gives the unnamed file a replacement name in folder, so that a rename can put it in the
// target's place (a link cannot replace a file). 0, or the errno of the failure.
int NameNewFile(int fd, const std::string& folder, std::string& temp) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = ReplacementName(folder, attempt);
    int rc = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW);
    // Without /proc, a process with the right may still link the descriptor itself.
    if (rc != 0 && errno == ENOENT) rc = linkat(fd, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH);
    if (rc == 0) return 0;
    if (errno != EEXIST) break;
  }
  const int err = errno;
  temp.clear();
  return err;
}

// The replacement keeps what the user set on the former file: its owner where the process
// may give it away (failures are ignored) and its permission bits.
void TakeOverModeAndOwner(int fd, const std::string& target) {
  struct stat st;
  if (stat(target.c_str(), &st) != 0) return;
  if (st.st_uid != geteuid() || st.st_gid != getegid()) (void)!fchown(fd, st.st_uid, st.st_gid);
  (void)!fchmod(fd, st.st_mode & 07777);
}

// Calls visit(path, name, st) for every entry of folder (ending with the separator) that is no
// folder, st as lstat reports it, and with below the same in the folders below it. Links to
// folders are not followed, so a link loop cannot make the walk endless; unreadable folders
// are simply not walked.
template <typename Visit>
void WalkFolder(const std::string& folder, bool below, const Visit& visit, int depth = 0) {
  if (depth > 64) return;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      visit(path, name, st);
    } else if (below) {
      WalkFolder(path + kPathDelim, true, visit, depth + 1);
    }
  }
  closedir(dir);
}

// Makes a rename in folder survive a crash; a folder that cannot be synced is left as is.
void SyncFolder(const std::string& file) {
  int fd = open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!fsync(fd);
  close(fd);
}

}  // namespace

void WriteFileOrThrow(const std::string& path, std::string_view bytes, bool append) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) ThrowCreateError(path, errno);
  if (int err = WriteAll(fd, bytes); err != 0) {
    close(fd);
    ThrowCreateError(path, err);
  }
  if (close(fd) != 0) ThrowCreateError(path, errno);
}

bool IsReplacementName(std::string_view file_name) {
  return file_name.starts_with(kReplacementPrefix);
}

void ReplaceFileOrThrow(const std::string& path, std::string_view bytes,
                        bool in_place_when_folder_refuses) {
  const std::string target = FollowLinks(path);
  // Such a file would never be served and would be gone after the next start.
  if (IsReplacementName(NameOf(path)) || IsReplacementName(NameOf(target)))
    ThrowCreateError(path, EINVAL);
  const std::string folder = FolderOf(target);
  std::string temp;
  int fd = CreateNewFile(folder, temp);
  if (fd < 0) {
    const int err = errno;
    const bool refused = err == EACCES || err == EPERM || err == EROFS;
    if (refused && in_place_when_folder_refuses && FileExists(target))
      return WriteFileOrThrow(path, bytes);
    ThrowCreateError(path, err);
  }
  // Held until the file has taken the target's place: a start-up meanwhile leaves it alone.
  (void)!flock(fd, LOCK_EX);
  TakeOverModeAndOwner(fd, target);
  int err = WriteAll(fd, bytes);
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (err == 0 && temp.empty()) err = NameNewFile(fd, folder, temp);
  if (err == 0 && std::rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0 && !temp.empty()) unlink(temp.c_str());
  // The bytes are on the disk already (fsync): closing can no longer lose them.
  close(fd);
  if (err != 0) ThrowCreateError(path, err);
  SyncFolder(target);
}

void RemoveReplacementLeftovers(const std::string& folder, bool below) {
  WalkFolder(folder, below,
             [](const std::string& path, const std::string& name, const struct stat& st) {
               if (!S_ISREG(st.st_mode) || !IsReplacementName(name)) return;
               int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
               if (fd < 0) return;
               // A replacement that a live process is still making holds its lock.
               if (flock(fd, LOCK_EX | LOCK_NB) == 0) unlink(path.c_str());
               close(fd);
             });
}

FileStamp StampFrom(const struct stat& st) {
  const auto ns = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
  return FileStamp{st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return StampFrom(st);
}

AppendFile::AppendFile(AppendFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

bool AppendFile::Open(const std::string& path) {
  Close();
  fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd_ < 0) return false;
  path_ = path;
  return true;
}

void AppendFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void AppendFile::Append(std::string_view bytes) {
  if (int err = fd_ < 0 ? EBADF : WriteAll(fd_, bytes); err != 0) {
    Close();
    ThrowCreateError(path_, err);
  }
}

std::optional<FileStamp> AppendFile::Stamp() const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || st.st_nlink == 0) return std::nullopt;
  return StampFrom(st);
}

bool Settled(const std::optional<FileStamp>& stamp, int64_t now_ns) {
  // Wider than every step of the file systems in use (FAT: 2 s); a file changed within it is
  // simply looked at afresh until it has settled.
  constexpr int64_t kStepNs = 2'000'000'000;
  if (!stamp) return false;
  const int64_t last_change = std::max<int64_t>(stamp->modified_ns, stamp->changed_ns);
  return now_ns - last_change > kStepNs;
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

std::vector<std::string> FindFiles(const std::string& folder, const std::string& mask) {
  std::vector<std::string> out;
  WalkFolder(folder, true,
             [&](const std::string& path, const std::string& name, const struct stat& st) {
               if (fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) != 0) return;
               if (S_ISLNK(st.st_mode) && !FileExists(path)) return;  // dangling or folder link
               out.push_back(path);
             });
  return out;
}

}  // namespace nv
