#include "engine/request_log.h"

#include <optional>
#include <string>
#include <utility>

#include "globals/globals.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace nv {

namespace {

std::string LogPath() { return Folder + "log.txt"; }

// A list loaded from UTF-16 is always saved whole: an entry appended in UTF-8 would not match.
bool SavedWholeOnly(const TStringList& list) {
  return list.Encoding() == TextEncoding::Utf16LE || list.Encoding() == TextEncoding::Utf16BE;
}

// True when "log.txt" holds exactly the entries before the newest one: the list has grown by
// that one entry since this process last wrote the file, the path still names that file (not
// one put in its place, nor none after a deletion or a rename), and nobody has touched it since
// (its stamp moves with any change, also one that keeps its size).
bool FileHoldsAllButLast() {
  return !SavedWholeOnly(log) && log.saved_stamp && log.saved_count + 1 == log.GetCount() &&
         StampOf(LogPath()) == log.saved_stamp;
}

// The kept descriptor is on the file of the saved stamp: once open, it stays on the file whose
// stamp it gave, which the path has just been seen to name. The first line after a start or a
// whole rewrite opens it by the path.
bool KeptFileIsTheSavedOne() {
  if (log.file.IsOpen()) return true;
  return log.file.Open(LogPath()) && log.file.Stamp() == log.saved_stamp;
}

// Brings the file up to date with the list. Appending one line keeps the cost flat as the log
// grows and touches no earlier line; whenever the file is not what the list says (first write
// after a start, an earlier failed write, a change made by another program, a file deleted,
// renamed or replaced), it is replaced whole, so a line that once failed to reach the file
// arrives with the next successful write. The replacement keeps the file as it was set up
// (link, permission bits) and, where the folder allows a new file, never leaves it
// half-written. The file stays open between the lines, so a line costs a look at the path, the
// write and a look at the open file.
void SaveLog() {
  const bool append = FileHoldsAllButLast() && KeptFileIsTheSavedOne();
  log.saved_stamp.reset();  // a write that fails half-way leaves a file of unknown content
  if (append) {
    log.file.Append(log.Items().back() + "\r\n");
    log.saved_stamp = log.file.Stamp();
  }
  // Not appended, or the file lost its name while the line went to it: the line must reach the
  // file that the path names.
  if (!log.saved_stamp) {
    log.file.Close();
    ReplaceFileOrThrow(LogPath(), log.SavedBytes(), true);
    if (log.file.Open(LogPath())) log.saved_stamp = log.file.Stamp();
  }
  log.saved_count = log.GetCount();
}

// The size of the file that holds the list as a save writes it; -1 when the list is only
// ever saved whole.
long long SavedSize(const TStringList& list) {
  if (SavedWholeOnly(list)) return -1;
  long long size = list.Encoding() == TextEncoding::Utf8Bom ? 3 : 0;
  for (const std::string& entry : list.Items()) size += static_cast<long long>(entry.size()) + 2;
  return size;
}

void AddLine(std::string line) {
  log.Add(std::move(line));
  SaveLog();
}

// A value as a log line carries it: CR and LF become blanks, so that every entry stays one
// line and no value can write an entry of its own.
std::string OneLine(std::string value) {
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return value;
}

// The part both lines share: stamp, client, user name and role.
std::string LineHead(const char* marker, const TRequest& ARequest, const std::string& user,
                     const std::string& role) {
  return std::string(marker) + FormatLogStamp(LocalNow()) +
         "ms IPAddress:" + OneLine(ARequest.RemoteAddress) + " User:" + OneLine(user) + "(" +
         OneLine(role) + ")";
}

}  // namespace

void LoadRequestLog() {
  log = TRequestLog();
  if (!FileExists(LogPath())) return;
  const std::optional<FileStamp> before = StampOf(LogPath());
  log.LoadFromFile(LogPath());
  // Every entry is saved followed by CR LF, and a line end read counts two bytes at most: the
  // sizes agree only when every line ended in CR LF, that is when the file's bytes are the
  // saved list's.
  if (before && StampOf(LogPath()) == before && before->size == SavedSize(log)) {
    log.saved_count = log.GetCount();
    log.saved_stamp = before;
  }
}

void AddStartLogLine(const TRequest& ARequest, const std::string& user, const std::string& role) {
  AddLine(LineHead("----START---- ", ARequest, user, role) + " SQL:" + OneLine(SQLname) +
          OneLine(ARequest.QueryFields.GetValue("SQL")));
}

void AddEndLogLine(const TRequest& ARequest, const std::string& user, const std::string& role,
                   const std::string& etcName) {
  AddLine(LineHead("==== END ==== ", ARequest, user, role) + " HTML:" + OneLine(etcName) + "\n");
}

}  // namespace nv
