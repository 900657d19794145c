#include "engine/request_log.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "auth/basic_auth.h"
#include "globals/globals.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "text/strings.h"

namespace nv {

namespace {

std::string LogPath() { return Folder + "log.txt"; }

// The size "log.txt" has when it holds the list's text as a whole-list save writes it.
// Only the UTF-8 forms are sized; a list loaded from UTF-16 is always saved whole.
bool ExpectedSize(const TStringList& list, std::uintmax_t& size) {
  if (list.Encoding() == TextEncoding::Utf16LE || list.Encoding() == TextEncoding::Utf16BE)
    return false;
  size = list.Encoding() == TextEncoding::Utf8Bom ? 3 : 0;
  for (const std::string& entry : list.Items()) size += entry.size() + 2;
  return true;
}

// True when the file holds exactly the list before its newest entry, so that writing that
// entry at the end gives the same bytes as saving the whole list. A missing file, one a
// crash cut short, or one loaded with other line ends fails the test and is saved whole.
bool FileMatchesAllButLast(const TStringList& list) {
  std::uintmax_t want = 0;
  if (!ExpectedSize(list, want)) return false;
  want -= list.Items().back().size() + 2;
  std::error_code ec;
  std::uintmax_t have = std::filesystem::file_size(LogPath(), ec);
  return !ec && have == want;
}

void AppendEntry(const std::string& entry) { WriteFileOrThrow(LogPath(), entry + "\r\n", true); }

// Writes the whole list beside the log and renames it over the log, so a crash mid-write
// leaves the previous file whole. A failure names the log file itself.
void SaveWhole(const TStringList& list) {
  const std::string path = LogPath(), temp = path + ".tmp";
  try {
    list.SaveToFile(temp);
  } catch (const std::exception& e) {
    std::remove(temp.c_str());
    throw std::runtime_error(StringReplace(e.what(), temp, path, rfNone));
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    std::remove(temp.c_str());
    ThrowCreateError(path, err);
  }
}

// Adds the entry to `log` and brings the file up to date. Appending one line keeps the cost
// flat as the log grows and never leaves the file half-rewritten; whenever the file is not
// what the list says (first write after a start, an earlier failed write), it is saved whole,
// so a line that once failed to reach the file arrives with the next successful write.
void AddLine(std::string line) {
  log.Add(std::move(line));
  if (FileMatchesAllButLast(log))
    AppendEntry(log.Items().back());
  else
    SaveWhole(log);
}

// The part both lines share: stamp, client, user name and role.
std::string LineHead(const char* marker, const TRequest& ARequest, const std::string& role) {
  return std::string(marker) + FormatLogStamp(LocalNow()) +
         "ms IPAddress:" + ARequest.RemoteAddress +
         " User:" + GetBasicAuth(ARequest.Authorization, "User") + "(" + role + ")";
}

}  // namespace

void AddStartLogLine(const TRequest& ARequest, const std::string& role) {
  AddLine(LineHead("----START---- ", ARequest, role) + " SQL:" + SQLname +
          ARequest.QueryFields.GetValue("SQL"));
}

void AddEndLogLine(const TRequest& ARequest, const std::string& role, const std::string& etcName) {
  AddLine(LineHead("==== END ==== ", ARequest, role) + " HTML:" + etcName + "\n");
}

}  // namespace nv
