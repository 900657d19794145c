// File-system facts the server needs: the running executable, existence tests and the
// recursive search behind the engine library search.
#pragma once

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
