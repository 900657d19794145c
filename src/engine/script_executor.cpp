#include "engine/script_executor.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/sqlite_db.h"
#include "engine/lock_wait.h"
#include "engine/markup_sql.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/files.h"
#include "text/strings.h"

namespace nv {

namespace {

// Markers of the splitting. Scripts must not contain them.
constexpr std::string_view kCommentEnd = "＃##＃";      // follows every directive line
constexpr std::string_view kCommentStart = "＃#＃";     // stands for LF + "--" while lines join
constexpr std::string_view kEscapedSemicolon = "￥；";  // "\;", turned back into ";" by Inset

constexpr std::string_view kArrow = "→";
constexpr std::string_view kClear = "クリア";
constexpr std::string_view kOpen = "（";
constexpr std::string_view kClose = "）";
constexpr std::string_view kEncryptedFlag = "有";
constexpr std::string_view kTabCollection = "TAB列";

using Lines = std::vector<std::string>;

bool IsDirective(std::string_view line) { return line.starts_with("--"); }

// True when what occurs somewhere in text, but not as its very first character.
bool HoldsAfterFirst(std::string_view text, std::string_view what) {
  const size_t at = text.find(what);
  return at != std::string_view::npos && at > 0;
}

Lines SplitLines(std::string_view text, char separator) {
  Lines lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TSQLite3Connection& PhaseConnection(TPageRequestState& state) {
  // A call without First works on what an earlier call of the phase opened.
  if (!state.Conn) throw std::runtime_error("Database not set");
  return *state.Conn;
}

// ---- opening ------------------------------------------------------------------------------

// The spare connection of the previous row run (see KeepAsSpare) stands in for a new one when it
// would be opened just the same now and its file is still as that run's commit left it: an
// outside writer that went through the engine is seen by the engine itself, anything else that
// touched the file (a rename, a deletion, the lock recovery, a copy over it) changes its stamp.
bool TakeSpare(TPageRequestState& state, const std::string& path, const std::string& password) {
  std::unique_ptr<TSQLite3Connection> spare = std::move(state.spare_conn);
  if (!spare || !spare->CanStandInFor(path, password) || !state.spare_stamp ||
      StampOf(path) != state.spare_stamp || !spare->Renew()) {
    return false;
  }
  state.Conn = std::move(spare);
  return true;
}

void OpenPhaseConnection(TPageRequestState& state, const std::string& path, const std::string& flag,
                         const ExecutorHooks& hooks) {
  // The phase may write the definition database (as its data database or an attached one):
  // the lookups' shared read transaction ends before anything of the phase runs.
  state.definition_reads.End();
  // Whatever an earlier phase left here goes first (rolled back), so it cannot hold the lock
  // this phase is about to wait for.
  state.Query.reset();
  state.Conn.reset();

  state.conn_began_ns = hooks.kept->Now();
  // The recovery moves the file aside and copies it back: no connection of ours may have it
  // open then.
  const auto close_ours = [&] {
    state.spare_conn.reset();
    hooks.kept->Drop(path);
  };
  DBlockCheck(path, hooks.pause, close_ours);
  std::string password;
  if (CipherMode && flag == kEncryptedFlag) password = GetPassword(hooks.phrase);
  SQLiteDefaultLibrary = SQLiteCipher;
  if (TakeSpare(state, path, password)) return;
  state.Conn = hooks.kept->Take(path, password);
  if (state.Conn) return;

  auto conn = std::make_unique<TSQLite3Connection>();
  conn->DatabaseName = path;
  conn->Password = password;
  try {
    conn->Open();
  } catch (const std::exception&) {
    // A writer may just have been finishing: wait once more and try again, and let a second
    // failure go to the caller.
    DBlockCheck(path, hooks.pause, close_ours);
    conn->Open();
  }
  // Watched from the start, so that its phase can tell whether it may be kept.
  conn->WatchSession();
  conn->CreateTransaction();
  state.Conn = std::move(conn);
}

// VACUUM (and ATTACH on older engines) cannot run inside a transaction: end the engine's
// transaction (committing the work so far), run the line, and begin a new one. The transaction
// object stays active throughout.
void RunOutsideTransaction(TSQLite3Connection& conn, std::string_view line) {
  conn.ExecuteDirect("End Transaction");
  conn.ExecuteDirect(line);
  conn.ExecuteDirect("Begin Transaction");
}

bool IsVacuumLine(std::string_view line) { return UpperAscii(line) == "VACUUM;"; }

// Host paths in an ATTACH line: the first "./" stands for the executable's folder, and both
// separators become the host's.
std::string AttachStatement(std::string_view line) {
  std::string text = StringReplace(line, "./", Folder, rfNone);
  for (char& c : text) {
    if (c == '\\' || c == '/') c = kPathDelim;
  }
  return text;
}

// Marks directive lines for the splitting and runs the ATTACH lines, in their order, before
// any statement: no jump can skip them.
void MarkLines(TPageRequestState& state, Lines& lines) {
  for (std::string& line : lines) {
    if (IsDirective(line)) line += kCommentEnd;
    if (UpperAscii(line).starts_with("ATTACH")) {
      RunOutsideTransaction(PhaseConnection(state), AttachStatement(line));
      line.clear();
    }
  }
}

// ---- splitting ----------------------------------------------------------------------------

// Joins statement text across line breaks and cuts it after every ";", keeping each directive
// line on a line of its own. Leaves the split text, directive lines still marked, in SQLbun.
Lines SplitScript(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  text = StringReplace(text, "\r", "", rfReplaceAll);
  text = StringReplace(text, "\n--", kCommentStart, rfReplaceAll);
  text = StringReplace(text, "\n", " ", rfReplaceAll);
  text = StringReplace(text, "\\;", kEscapedSemicolon, rfReplaceAll);
  text = StringReplace(text, ";", ";\n", rfReplaceAll);
  text = StringReplace(text, kCommentStart, "\n--", rfReplaceAll);
  SQLbun = text;
  return SplitLines(StringReplace(text, kCommentEnd, "\n", rfReplaceAll), '\n');
}

// ---- result slots -------------------------------------------------------------------------

bool SameNames(const TStringList& a, const TStringList& b) {
  return a.GetTextStr() == b.GetTextStr();
}

// A SELECT whose columns differ from the current slot's opens the next slot; from slot 4 on
// everything stays in slot 4. Tested from slot 3 down, so one SELECT moves on one slot at most.
void ChooseSlot(TPageRequestState& state, const TStringList& names) {
  if (state.SW == 3 && !SameNames(names, state.NameList3)) {
    state.SW = 4;
    state.NameList4.Assign(names);
  }
  if (state.SW == 2 && !SameNames(names, state.NameList2)) {
    state.SW = 3;
    state.NameList3.Assign(names);
  }
  if (state.SW == 1 && !SameNames(names, state.NameList1)) {
    state.SW = 2;
    state.NameList2.Assign(names);
  }
  if (state.SW == 0) {
    state.SW = 1;
    state.NameList1.Assign(names);
  }
}

TRowList& CurrentDataList(TPageRequestState& state) {
  switch (state.SW) {
    case 1:
      return state.DataList1;
    case 2:
      return state.DataList2;
    case 3:
      return state.DataList3;
    default:
      return state.DataList4;
  }
}

void ClearSlots(TPageRequestState& state) {
  state.SW = 0;
  for (TStringList* names :
       {&state.NameList1, &state.NameList2, &state.NameList3, &state.NameList4})
    names->Clear();
  for (TRowList* rows : {&state.DataList1, &state.DataList2, &state.DataList3, &state.DataList4})
    rows->Clear();
}

TPostedFields& PostedFields(TPageRequestState& state) {
  if (state.ARequest == nullptr) throw std::logic_error("page request state without a request");
  return state.ARequest->ContentFields();
}

// ---- statements ---------------------------------------------------------------------------

// Reads the rows of an open SELECT: the first row's columns become memory variables; with View
// or TABset every row goes to the current slot or the TAB collection; otherwise only the first
// row is fetched.
void ReadSelect(TPageRequestState& state, TSQLQuery& query, bool View) {
  const bool all_rows = View || state.TABset;
  std::string collected;  // TAB rows for "TAB列", each ended by LF
  for (bool first = true; !query.Eof(); first = false) {
    if (first) {
      for (const TField& field : query.Fields())
        Memory.SetValue(field.FieldName(), field.AsString());
    }
    if (!all_rows) break;
    // Each row is written where it is kept, straight from the engine.
    if (state.TABset) {
      query.AppendTabRow(collected);
      collected += '\n';
    } else {
      CurrentDataList(state).AddWith([&](std::string& rows) { query.AppendTabRow(rows); });
    }
    query.Next();
  }
  if (!collected.empty()) {
    // Appended where the field stands: rows collected again and again are never copied anew.
    PostedFields(state).AppendToValueOf(kTabCollection, collected);
  }
}

bool IsSelect(std::string_view sql) { return UpperAscii(Trim(sql)).starts_with("SELECT"); }

void RunStatement(TPageRequestState& state, const std::string& line, std::string_view LPNo,
                  bool View, TStringList& names) {
  TSQLite3Connection& conn = PhaseConnection(state);
  // Every statement of the phase, in this call and later ones, runs through one query.
  if (!state.Query || state.Query->Database() != &conn) {
    state.Query = std::make_unique<TSQLQuery>();
    state.Query->SetDatabase(&conn);
  }
  TSQLQuery& query = *state.Query;
  query.SetSQL(Inset(state, line, LPNo));
  if (!IsSelect(query.SQL())) {
    query.ExecSQL();
    return;
  }
  query.Open();
  if (View) {
    query.GetFieldNames(names);
    ChooseSlot(state, names);
  }
  ReadSelect(state, query, View);
  state.TABset = false;
  query.Close();
}

// ---- directives ---------------------------------------------------------------------------

// A side of a number comparison: a decimal number with "." as separator, blanks around it
// ignored; anything else (a thousands separator included) counts as 0.
double ReadNumber(std::string_view text) {
  const std::string trimmed = Trim(text);
  std::string_view s = trimmed;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const auto digits = [&] {
    const size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i - from;
  };
  size_t mantissa = digits();
  if (i < s.size() && s[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (digits() == 0) return 0;
  }
  if (i != s.size()) return 0;
  // from_chars reads the C notation whatever the process locale, but takes no "+".
  if (s.starts_with('+')) s.remove_prefix(1);
  double value = 0;
  const auto result = std::from_chars(s.data(), s.data() + s.size(), value);
  return result.ec == std::errc() ? value : 0;
}

struct Operator {
  std::string_view text;
  bool numeric;
};

// In the order of rising precedence: of those in a condition, the last one listed wins.
constexpr Operator kOperators[] = {{"＝", false}, {"≠", false}, {"≦", true},
                                   {"≧", true},   {"＜", true}, {"＞", true}};

bool Compare(std::string_view op, std::string_view left, std::string_view right) {
  if (op == "＝") return left == right;
  if (op == "≠") return left != right;
  const double a = ReadNumber(left), b = ReadNumber(right);
  if (op == "≦") return a <= b;
  if (op == "≧") return a >= b;
  if (op == "＜") return a < b;
  return a > b;
}

// Whether a jump directive is taken: unconditional without "（", else only when its condition
// "（" left operator right "）" holds. A condition that cannot be read cancels the jump.
bool JumpTaken(std::string expanded) {
  expanded = StringReplace(expanded, "(", kOpen, rfNone);
  expanded = StringReplace(expanded, ")", kClose, rfNone);
  if (!HoldsAfterFirst(expanded, kOpen)) return true;
  std::string_view condition = expanded;
  condition.remove_prefix(condition.find(kOpen) + kOpen.size());
  if (!HoldsAfterFirst(condition, kClose)) return false;
  condition = condition.substr(0, condition.find(kClose));

  const Operator* chosen = nullptr;
  for (const Operator& op : kOperators) {
    if (condition.find(op.text) != std::string_view::npos) chosen = &op;
  }
  if (chosen == nullptr) return false;
  const size_t at = condition.find(chosen->text);
  return Compare(chosen->text, condition.substr(0, at), condition.substr(at + chosen->text.size()));
}

// Handles the directive line at index i and returns the index of the next line to handle:
// the label line of a jump taken, the end when that label is missing, else the next line.
size_t RunDirective(TPageRequestState& state, const Lines& lines, size_t i, std::string_view LPNo) {
  const std::string expanded = Inset(state, lines[i], LPNo);
  if (HoldsAfterFirst(expanded, kArrow)) {
    const size_t arrow = expanded.find(kArrow);
    const std::string label = Trim(std::string_view(expanded).substr(arrow + kArrow.size()));
    if (label.empty() || !JumpTaken(expanded)) return i + 1;
    // Forward only, and against the label lines as written, so every script ends.
    const std::string target = "--" + label;
    for (size_t j = i + 1; j < lines.size(); ++j) {
      if (lines[j] == target) return j;
    }
    return lines.size();
  }
  if (HoldsAfterFirst(expanded, kClear)) ClearSlots(state);
  return i + 1;
}

// ---- one call -----------------------------------------------------------------------------

void RunLines(TPageRequestState& state, const Lines& lines, std::string_view LPNo, bool View) {
  TStringList names;  // column names of the latest display SELECT
  size_t i = 0;
  while (i < lines.size()) {
    const std::string& line = lines[i];
    if (Trim(line).empty()) {
      ++i;
    } else if (IsDirective(line)) {
      i = RunDirective(state, lines, i, LPNo);
    } else {
      RunStatement(state, line, LPNo, View, names);
      ++i;
    }
  }
}

// A committed row run leaves its connection for the next row run when nothing of the run stays
// in it (see TSQLite3Connection::Renewable). Committed and at rest it holds no lock, so others
// read and write the file between the runs as they would between a close and an open. Not in
// WAL mode, whose last connection to close folds the log back into the file.
void KeepAsSpare(TPageRequestState& state) {
  if (!state.keep_spare || !state.Conn || !state.Conn->Renewable()) return;
  const std::string& path = state.Conn->DatabaseName;
  if (StampOf(path + "-wal")) return;
  state.spare_stamp = StampOf(path);
  state.spare_conn = std::move(state.Conn);
}

// Commits the phase and releases its connection: to the next row run, to later phases and
// requests, or closed. A script that ended its own transaction (COMMIT, END TRANSACTION,
// ROLLBACK) has left nothing to commit. A failed COMMIT leaves the call as the error it is (the
// caller's cleanup rolls the phase back): the page must not claim stored changes that were not
// stored.
void ClosePhase(TPageRequestState& state, const ExecutorHooks& hooks) {
  TSQLTransaction* transaction = state.Conn ? state.Conn->Transaction() : nullptr;
  if (transaction != nullptr && transaction->Active() && state.Conn->EngineInTransaction())
    transaction->Commit();
  if (state.Query) state.Query->Close();
  state.Query.reset();
  if (state.keep_spare) {
    KeepAsSpare(state);
  } else {
    hooks.kept->Keep(std::move(state.Conn), state.conn_began_ns);
  }
  state.Conn.reset();
}

void Execute(TPageRequestState& state, std::string_view LPNo, bool First, bool Last, bool View,
             const ExecutorHooks& hooks) {
  TStringList script;
  script.SetTextStr(state.SQL.GetTextStr());
  Lines lines = script.Items();
  const std::string path = lines.size() > 0 ? lines[0] : "";
  const std::string flag = lines.size() > 1 ? lines[1] : "";

  if (First) {
    OpenPhaseConnection(state, path, flag, hooks);
    if (lines.size() > 2 && IsVacuumLine(lines[2])) {
      RunOutsideTransaction(*state.Conn, lines[2]);
      lines.erase(lines.begin() + 2);
    }
  }
  lines.erase(lines.begin(), lines.begin() + std::min<size_t>(2, lines.size()));
  MarkLines(state, lines);
  lines = SplitScript(lines);
  if (First) {
    TSQLTransaction& transaction = *PhaseConnection(state).Transaction();
    if (!transaction.Active()) transaction.StartTransaction();
  }
  RunLines(state, lines, LPNo, View);
  if (Last) ClosePhase(state, hooks);
}

}  // namespace

KeptConnections& KeptDataConnections() {
  // Never freed, as the definition database's handle is not (definition_db.cpp): closing at
  // exit would need the engine's table, which has no defined order against this one.
  static KeptConnections* const kept = new KeptConnections();
  return *kept;
}

void SQLexecute(TPageRequestState& state, std::string_view LPNo, bool First, bool Last, bool View,
                const ExecutorHooks& hooks) {
  try {
    Execute(state, LPNo, First, Last, View, hooks);
  } catch (...) {
    // A phase left open would keep the data database locked until the server restarts:
    // releasing the connection rolls back whatever the phase has not committed.
    state.Query.reset();
    state.Conn.reset();
    state.spare_conn.reset();
    throw;
  }
}

void SQLexecute(TPageRequestState& state, std::string_view LPNo, bool First, bool Last, bool View) {
  ExecutorHooks hooks;
  // The server's pause serves the other clients while the lock wait waits.
  if (state.ARequest != nullptr && state.ARequest->Pause) hooks.pause = state.ARequest->Pause;
  SQLexecute(state, LPNo, First, Last, View, hooks);
}

}  // namespace nv
