// File-system facts the server needs: the running executable, existence tests and the
// recursive search behind the engine library search.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nv {

// Host folder separator; the system's own texts use "\", turned into this where paths are built.
constexpr char kPathDelim = '/';

// Full path of the running executable.
std::string ExecutablePath();

bool FileExists(const std::string& path);       // a file (or a link to one)
bool DirectoryExists(const std::string& path);  // a folder (or a link to one)

// "Unable to create file "<path>": <the system's reason for err>", the failure of every write.
[[noreturn]] void ThrowCreateError(const std::string& path, int err);

// Writes bytes to path, truncating it first or (append) adding at its end, creating it when
// missing. Throws ThrowCreateError's failure when the file cannot be opened or written whole.
void WriteFileOrThrow(const std::string& path, std::string_view bytes, bool append = false);

// Replaces the file at path with bytes so that a crash or a failed write leaves the former
// file whole: the bytes go to a new, unnamed file in the same folder, are flushed to the disk,
// and the file is then named and renamed over the former one. A symbolic link at path stays
// and its target is replaced; the new file gets the former one's permission bits (and owner,
// where the process may set it). On failure the new file is removed and ThrowCreateError's
// failure names path; a path whose name is a replacement name (below) fails with EINVAL. When
// the folder lets no file be created in it and in_place_when_folder_refuses is set, the former
// file is overwritten in place instead, which is all such a folder allows.
void ReplaceFileOrThrow(const std::string& path, std::string_view bytes,
                        bool in_place_when_folder_refuses = false);

// The name a replacement's new file has between being named and taking the target's place
// (where the file system has no unnamed files, from its creation on). Nothing may serve such a
// file: it is either on its way to its own name or what a crash left behind.
bool IsReplacementName(std::string_view file_name);

// Removes the new files that replacements cut short by a crash left in folder (ending with the
// separator) and, with below, in the folders below it (links to folders are not followed). A
// replacement that a live process is still making is left alone.
void RemoveReplacementLeftovers(const std::string& folder, bool below);

// One state of a file: which file it is, its size and its times. Every write, by any program,
// moves the change time, which no program can set back, so an equal stamp means a file
// nobody has touched (within the file system's time resolution).
struct FileStamp {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  long long size = 0;
  long long modified_ns = 0;
  long long changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at path, links followed; none when there is no such file.
std::optional<FileStamp> StampOf(const std::string& path);
// The stamp of what a stat, lstat or fstat call reported.
FileStamp StampFrom(const struct stat& st);

// A file kept open for adding at its end: each addition is one write, where opening and closing
// the file by its name would cost two more calls. Moves, never copies; closes when destroyed.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { Close(); }
  AppendFile(AppendFile&& other) noexcept;
  AppendFile& operator=(AppendFile&& other) noexcept;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens the file that path names now, links followed, closing the one open before. Never
  // creates a file: false when there is none or it cannot be opened for writing.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // Writes all of bytes at the file's end. Throws ThrowCreateError's failure naming the path it
  // was opened by, and is closed then.
  void Append(std::string_view bytes);
  // The open file's stamp; none when closed, or when the file has no name left anywhere
  // (deleted, or replaced by a rename): what is written to it then, nobody sees.
  std::optional<FileStamp> Stamp() const;

 private:
  int fd_ = -1;
  std::string path_;
};

// True when the stamp's times lie far enough before now_ns (a wall-clock reading taken before
// the stamp) that a later write cannot leave them as they are: file systems keep times in
// steps (the kernel's clock tick, two seconds on FAT), and a write within the step of the last
// one would otherwise go unseen. A missing file is never settled.
bool Settled(const std::optional<FileStamp>& stamp, int64_t now_ns);

// Copies a file over another (replacing it). False when it could not be done.
bool CopyFileOver(const std::string& from, const std::string& to);

// True when another process holds a POSIX record lock on some byte of [offset, offset+len) of
// the file (locks of this process do not count); false also when the file cannot be opened.
bool RangeLockedElsewhere(const std::string& path, long long offset, long long len);

// Full paths of the files below folder (any depth) whose names match mask, ASCII letters
// compared without regard to case. folder ends with the separator. Links to folders are not
// followed, so a link loop cannot make the search endless.
std::vector<std::string> FindFiles(const std::string& folder, const std::string& mask);

}  // namespace nv
