#include "engine/per_record.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "engine/date_offsets.h"
#include "engine/definition_lookup.h"
#include "engine/markup_sql.h"
#include "engine/script_executor.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/files.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

namespace {

constexpr std::string_view kRowMarker = "行番号:";
constexpr std::string_view kRowNumber = "行番号";
constexpr std::string_view kTabBlock = "TAB列";
constexpr std::string_view kCsvBlock = "CSV列";

bool IsRowMarker(std::string_view name) { return name.starts_with(kRowMarker); }
bool IsBlock(std::string_view name) {
  return Contains(name, kTabBlock) || Contains(name, kCsvBlock);
}

// The row runs of the phase. First opens a phase connection, Last commits and closes it; once
// a run has committed, the next one opens a connection of its own.
struct RowRunner {
  TPageRequestState& state;
  bool First = true;
  bool Last = false;

  void Run(std::string_view LPNo) {
    SQLexecute(state, LPNo, First, Last, false);
    First = Last;
  }
};

// Row runs that each commit on their own may hand their connection on to the next one
// (script_executor.cpp); the phase ends with none left open.
struct SpareConnection {
  TPageRequestState& state;
  explicit SpareConnection(TPageRequestState& s) : state(s) { state.keep_spare = true; }
  ~SpareConnection() {
    state.keep_spare = false;
    state.spare_conn.reset();
  }
  SpareConnection(const SpareConnection&) = delete;
  SpareConnection& operator=(const SpareConnection&) = delete;
};

// ---- Uploads ----

// The client's extension as the stored name gets it: from the last "." that follows every
// folder or drive separator and is not the name's first character, ASCII letters lower-cased.
std::string LoweredExtension(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  size_t sep = name.find_last_of("\\/:");
  if (sep != std::string::npos && sep > dot) return "";
  return LowerAscii(name.substr(dot));
}

// A client file named "削除" (any extension) asks for deletion instead of storage.
bool IsDeleteRequest(const std::string& client_name) {
  size_t dot = client_name.rfind('.');
  size_t sep = client_name.find_last_of("\\/");
  std::string base = client_name;
  if (dot != std::string::npos && (sep == std::string::npos || dot > sep))
    base = client_name.substr(0, dot);
  return base == "削除";
}

// Folder + "images/" + relative, where "/" and "\" in relative both separate folders. The
// target must be a file inside "images": a ".." that climbs above it, a path ending at a
// folder or a NUL byte is refused before anything is stored or deleted.
std::string UploadTarget(const std::string& relative) {
  const std::string root = Folder + "images" + kPathDelim;
  auto refuse = [&]() -> std::string {
    throw std::runtime_error("Invalid upload path \"" + root + relative + "\"");
  };
  if (relative.find('\0') != std::string::npos) return refuse();
  std::vector<std::string> levels;
  std::string level;
  auto close_level = [&]() -> bool {
    if (level == "..") {
      if (levels.empty()) return false;
      levels.pop_back();
    } else if (!level.empty() && level != ".") {
      levels.push_back(level);
    }
    return true;
  };
  for (char c : relative) {
    if (c == '/' || c == '\\') {
      if (!close_level()) return refuse();
      level.clear();
    } else {
      level += c;
    }
  }
  if (level.empty() || level == "." || level == ".." || !close_level()) return refuse();
  std::string path = root;
  for (size_t i = 0; i < levels.size(); ++i) {
    if (i > 0) path += kPathDelim;
    path += levels[i];
  }
  return path;
}

// The upload field: stores the first uploaded file under "images" (sub-folder "パス", base
// name renamed through "ファイル名変更"), or deletes a stored file for a "削除" upload.
void StoreUpload(const TPostedFields& fields, const TUploadedFile& file) {
  std::string relative = fields.GetValue("パス");
  if (!relative.empty()) relative += kPathDelim;

  std::string name = file.FileName;
  const std::string rename_field = fields.GetValue("ファイル名変更");
  if (!rename_field.empty()) {
    const std::string base = fields.GetValue(rename_field);
    if (!base.empty()) name = base + LoweredExtension(file.FileName);
  }
  const std::string target = UploadTarget(relative + name);

  if (IsDeleteRequest(file.FileName)) {
    if (FileExists(target)) {
      std::error_code ignored;
      std::filesystem::remove(target, ignored);
    }
    return;
  }
  // A write that fails (a full disk) keeps the former file whole.
  ReplaceFileOrThrow(target, file.Content);
}

// The CSV file field: the first uploaded file's non-empty lines become the block "CSV列". The
// block's rows are read from the file's content where it lies, as it is read whole only when
// some marker asks for it: a file of millions of short lines is never held twice.
void CsvFileToBlock(TPostedFields& fields, const TUploadedFile& file) {
  std::string decoded;
  std::string_view text = DecodeListText(file.Content, decoded);
  if (text.data() == decoded.data()) {
    fields.SetLinesValue(kCsvBlock, std::move(decoded));  // UTF-16, now kept as UTF-8
  } else {
    fields.SetLinesValue(kCsvBlock, text);
  }
}

// First pass: counts the row-marker fields, handles uploads and the CSV file. It runs before
// any row, so a refused or failed upload stops the phase before anything is run.
void FirstPass(TPageRequestState& state, int& CNT, bool& Loop) {
  TRequest& request = *state.ARequest;
  TPostedFields& fields = request.ContentFields();
  const std::vector<TUploadedFile>& files = request.Files();
  const size_t count = fields.GetCount();
  for (size_t i = 0; i < count; ++i) {
    const std::string name = fields.GetName(i);
    if (IsRowMarker(name)) ++CNT;
    if (name == "ファイル" && !files.empty()) StoreUpload(fields, files[0]);
    if (UpperAscii(name) == "CSVファイル") {
      Loop = true;
      if (!files.empty()) CsvFileToBlock(fields, files[0]);
    }
  }
}

// The non-empty lines of a block field, every CR removed, as the field's value read when the
// pass reached it. They are read from the field itself as the runs go on: a copy of a block
// as large as the body would double what the request holds. The runs only ever add to a posted
// field's end (the TAB collection, the merge of multiple choices), and the reading stops at
// the value's length it had at the start; where a run could rewrite the value (the posted texts
// of the text-saving mode, or an encryption marker's row name, which ends in a TAB), the lines
// are read from a copy instead. The block of a CSV file is read from the file's text, which
// nothing rewrites: its non-empty lines are the value's lines.
class TBlockLines {
 public:
  TBlockLines(TPageRequestState& state, size_t index)
      : fields_(state.ARequest->ContentFields()), index_(index) {
    if (fields_.LinesSource(index, source_)) {
      from_source_ = true;
    } else {
      end_ = Value().size();
      if (OncePerRequestMayRewrite(state) || Contains(fields_.GetName(index), "\t")) {
        copy_ = std::string(Value());
        copied_ = true;
      }
    }
    Advance();
  }

  // The next line; false after the last.
  bool Next(std::string& line, bool& last) {
    if (next_.empty()) return false;
    line = std::move(next_);
    next_.clear();
    Advance();
    last = next_.empty();
    return true;
  }

 private:
  std::string_view Value() const {
    if (copied_) return copy_;
    return fields_.ValueView(index_);
  }

  // Reads the following non-empty line into next_.
  void Advance() {
    if (from_source_) {
      std::string_view line;
      if (NextNonEmptyLine(source_, pos_, line)) next_.assign(line);
      return;
    }
    std::string_view value = Value().substr(0, end_);
    while (next_.empty() && pos_ < end_) {
      size_t lf = value.find('\n', pos_);
      if (lf == std::string_view::npos) lf = end_;
      for (char c : value.substr(pos_, lf - pos_)) {
        if (c != '\r') next_ += c;
      }
      pos_ = lf + 1;
    }
  }

  const TPostedFields& fields_;
  size_t index_;
  bool from_source_ = false;
  std::string_view source_;
  bool copied_ = false;
  std::string copy_;
  size_t end_ = 0;
  size_t pos_ = 0;
  std::string next_;  // empty after the last line: every line read is non-empty
};

// One run per non-empty line of a TAB or CSV block; "行番号" carries the line's number.
void RunBlock(TPageRequestState& state, RowRunner& rows, size_t index, bool csv) {
  TBlockLines lines(state, index);
  std::string line;
  bool last = false;
  for (size_t n = 1; lines.Next(line, last); ++n) {
    if (csv) {
      // Empty cells are dropped, so later cells move left into their columns.
      TStringList cells;
      cells.SetDelimitedText(line);
      line.clear();
      for (const std::string& cell : cells.Items()) {
        if (!cell.empty()) line += cell + '\t';
      }
    }
    if (last) rows.Last = true;
    state.ARequest->ContentFields().SetValue(kRowNumber, std::to_string(n));
    rows.Run(line + '\t');
  }
}

// Second pass: the row runs, in posted-field order. Fields that the runs add are not visited.
void SecondPass(TPageRequestState& state, RowRunner& rows, int& CNT, bool& Loop) {
  TPostedFields& fields = state.ARequest->ContentFields();
  const size_t count = fields.GetCount();
  for (size_t i = 0; i < count; ++i) {
    if (i + 1 == fields.GetCount()) rows.Last = true;
    const std::string name = fields.GetName(i);
    if (IsRowMarker(name)) {
      Loop = true;
      if (--CNT <= 0) rows.Last = true;
      rows.Run(name.substr(kRowNumber.size()));
      if (rows.Last) return;
    }
    if (IsBlock(name)) {
      Loop = true;
      RunBlock(state, rows, i, Contains(name, kCsvBlock));
    }
  }
}

}  // namespace

void RunPerRecordPhase(TPageRequestState& state, const std::string& org) {
  state.SQL = GetZURazo(state, "SQL", SQLname, "入力一件分のSQL文等", org);
  if (state.SQL.GetCount() == 0) return;
  const std::string script = state.SQL.GetTextStr();
  if (Contains(script, "『今日+")) DateMemoryValueSet(script);

  int CNT = 0;
  bool Loop = false;
  SpareConnection spare{state};
  RowRunner rows{state};
  FirstPass(state, CNT, Loop);
  SecondPass(state, rows, CNT, Loop);
  if (!Loop) {
    rows.First = true;
    rows.Last = true;
    rows.Run("");
  }
}

}  // namespace nv
