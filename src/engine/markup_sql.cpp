// The SQL side of the bracket markup. Scripts get their values only by splicing: the executor
// binds no parameters, so this file decides what reaches SQLite. The stages run in a fixed
// order on a working copy of the line: memory markers, column markers, request markers (with
// encryption), restoration of protected markers, date normaliser, final escapes.
#include "engine/markup_sql.h"

#include <exception>
#include <vector>

#include "auth/cipher.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/unicode.h"
#include "text/numbers.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

namespace {

// A marker stage searches again from the start after every substitution, so a value that
// brings back its own marker would never end (or double the text each round). One stage of one
// line stops once this many occurrences have been replaced.
constexpr size_t kMaxReplacements = 10000;
// Each replacement rewrites the text, so a value that brings back its own marker costs the
// text's size per round: a stage also stops once the sizes it has produced add up to this.
constexpr size_t kMaxStageWork = 256u << 20;

constexpr std::string_view kTextSavingMode = "SQL・HTML作成";
constexpr std::string_view kMultiSelect = "複数選択";
constexpr std::string_view kEncrypt = "暗号化";

bool TextSavingMode(const TStringList& posted) { return posted.GetValue("SQL") == kTextSavingMode; }

// ---------------------------------------------------------------------------------------------
// Stage 1: once per page request, on the posted fields

// A text posted for saving (a script or a template) must not have its markers expanded when a
// script splices it in, so they are swapped for look-alikes that stage 5 swaps back.
void ProtectPostedMarkers(TStringList& posted) {
  for (size_t i = 0; i < posted.GetCount(); ++i) {
    const std::string& entry = posted.Get(i);
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq + 1 == entry.size()) continue;  // no field, or empty
    std::string value = entry.substr(eq + 1);
    value = StringReplace(value, "「", "〔", rfReplaceAll);
    value = StringReplace(value, "」", "〕", rfReplaceAll);
    value = StringReplace(value, "『", "｛", rfReplaceAll);
    value = StringReplace(value, "』", "｝", rfReplaceAll);
    posted.Put(i, entry.substr(0, eq + 1) + value);
  }
}

// Each field "X複数選択" is joined, in posting order, onto the field "X" with ",". Fields the
// merge appends are not visited again.
void MergeMultiSelect(TStringList& posted) {
  const size_t count = posted.GetCount();
  for (size_t i = 0; i < count; ++i) {
    std::string name = posted.GetName(i);
    if (name.find(kMultiSelect) == std::string::npos) continue;
    std::string target = StringReplace(name, kMultiSelect, "", rfNone);
    std::string value = posted.GetValueFromIndex(i);
    std::string current = posted.GetValue(target);
    posted.SetValue(target, current.empty() ? value : current + "," + value);
  }
}

void RunOncePerRequest(TStringList& posted) {
  if (TextSavingMode(posted)) ProtectPostedMarkers(posted);
  MergeMultiSelect(posted);
}

// ---------------------------------------------------------------------------------------------
// Stages 2 to 4: the marker loop

size_t CodePoints(std::string_view s) {
  size_t n = 0, pos = 0;
  for (; pos < s.size(); ++n) DecodeUtf8(s, pos);
  return n;
}

// Replaces, from byte `from` on, every occurrence of opener + name + closer, the name compared
// ignoring case, by value; at most `limit` of them. Returns how many were replaced.
// Every occurrence starts with the opener (a character without case) and ends at the first
// closer after it (the name holds no closer), so candidates are found by the opener alone and
// only their names are compared. That finds the same occurrences as an ignore-case replacement
// over the whole text, without folding the whole text after every substitution. Names equal
// ignoring case hold as many characters, and candidates that share a closer differ in length,
// so at most one of them is folded: a long run of openers costs no more than its length.
size_t ReplaceMarker(std::string& text, size_t from, std::string_view opener, std::string_view name,
                     std::string_view closer, std::string_view value, size_t limit) {
  const size_t name_length = CodePoints(name);
  std::string out;
  size_t copied = 0, pos = from, count = 0;
  size_t close = std::string::npos;  // the first closer after the current candidate's opener
  size_t counted = 0, length = 0;    // text[counted, close) holds `length` characters
  while (count < limit) {
    size_t open = text.find(opener, pos);
    if (open == std::string::npos) break;
    const size_t inner = open + opener.size();
    if (close == std::string::npos || close < inner) {
      close = text.find(closer, inner);
      if (close == std::string::npos) break;  // no later opener has a closer either
      length = CodePoints(std::string_view(text).substr(inner, close - inner));
    } else {
      length -= CodePoints(std::string_view(text).substr(counted, inner - counted));
    }
    counted = inner;
    std::string_view candidate = std::string_view(text).substr(inner, close - inner);
    if (length == name_length && SameName(candidate, name)) {
      if (out.empty()) out.reserve(text.size() + value.size());
      out.append(text, copied, open - copied).append(value);
      copied = close + closer.size();
      pos = copied;
      ++count;
    } else {
      pos = open + 1;
    }
  }
  if (count == 0) return 0;
  out.append(text, copied, std::string::npos);
  text = std::move(out);
  return count;
}

// One marker stage: the first opener, the first closer after it, the name between; every
// occurrence of that marker replaced by value_of(name); again from the start, until no marker
// is left or the bound is reached. value_of may have side effects (previous-row variables,
// encryption); they belong to the marker found, which is always among those replaced.
// With swallow_errors, a failed substitution leaves the text as it stood and ends the stage:
// its marker would be found first again, for ever.
template <typename ValueOf>
void ExpandMarkers(std::string& text, std::string_view opener, std::string_view closer,
                   ValueOf value_of, bool swallow_errors = false) {
  size_t replaced = 0;
  size_t from = 0;
  size_t work = 0;
  while (replaced < kMaxReplacements) {
    size_t open = text.find(opener, from);
    if (open == std::string::npos) return;
    size_t close = text.find(closer, open + opener.size());
    if (close == std::string::npos) return;  // the opener stays, for the later stages
    const size_t inner = open + opener.size();
    try {
      std::string name = text.substr(inner, close - inner);
      std::string value = value_of(name);
      replaced +=
          ReplaceMarker(text, open, opener, name, closer, value, kMaxReplacements - replaced);
      work += text.size();
      if (work > kMaxStageWork) return;
    } catch (const std::exception&) {
      if (!swallow_errors) throw;
      return;
    }
    // Nothing before `open` changed, so a marker can now start no earlier than where an opener
    // would still reach into the replaced text.
    from = open >= opener.size() - 1 ? open - (opener.size() - 1) : 0;
  }
}

// Stage 2: 『name』 is the memory variable, as stored.
void ExpandMemoryMarkers(std::string& text) {
  ExpandMarkers(
      text, "『", "』", [](const std::string& name) { return Memory.GetValue(name); }, true);
}

// Stage 3: 「列:n」 is value n (from 1) of the TAB row; 前列:n keeps it for the next row.
void ExpandColumnMarkers(std::string& text, std::string_view row) {
  const std::vector<std::string_view> cols = SplitTabRow(row);
  ExpandMarkers(text, "「列:", "」", [&](const std::string& name) {
    int32_t n = ReadIntegerDef(name, -1);
    if (n < 1 || static_cast<size_t>(n) > cols.size()) return std::string();
    std::string value(cols[static_cast<size_t>(n) - 1]);
    Memory.SetValue("前列:" + name, value);
    return value;
  });
}

// Stage 4: 「name」 is the request value, quotes doubled for an SQL literal. A name holding
// "暗号化" first stores the cipher text of its source field under the name.
void ExpandRequestMarkers(std::string& text, TRequest& req, std::string_view row) {
  TStringList& posted = req.ContentFields;
  ExpandMarkers(text, "「", "」", [&](const std::string& name) {
    const std::string row_name = name + std::string(row);
    if (name.find(kEncrypt) != std::string::npos) {
      std::string source = posted.GetValue(StringReplace(row_name, kEncrypt, "", rfNone));
      // Throws without a host phrase: a value kept as cipher text must never be stored as
      // something any other value would also match.
      if (!source.empty()) posted.SetValue(row_name, StoredCipherText(source));
    }
    std::string value = posted.GetValue(row_name);
    if (value.empty()) value = posted.GetValue(name);
    if (value.empty()) value = req.QueryFields.GetValue(name);
    value = StringReplace(value, "'", "''", rfReplaceAll);
    if (!row.empty()) Memory.SetValue("前:" + name, posted.GetValue(row_name));
    return value;
  });
}

// ---------------------------------------------------------------------------------------------
// Stage 5: protected markers back to real ones, unexpanded

void RestoreProtectedMarkers(std::string& text) {
  text = StringReplace(text, "〔", "「", rfReplaceAll);
  text = StringReplace(text, "〕", "」", rfReplaceAll);
  text = StringReplace(text, "｛", "『", rfReplaceAll);
  text = StringReplace(text, "｝", "』", rfReplaceAll);
}

// ---------------------------------------------------------------------------------------------
// Stage 6: date normaliser. Its lengths count UTF-16 code units, except the eight-byte test.

size_t Utf16Length(std::string_view s) {
  size_t n = 0, pos = 0;
  while (pos < s.size()) n += DecodeUtf8(s, pos) >= 0x10000 ? 2 : 1;
  return n;
}

// Code units [first, first + count) of s; a surrogate pair cut in half gives U+FFFD.
std::string Utf16Copy(std::string_view s, size_t first, size_t count) {
  std::string out;
  size_t unit = 0, pos = 0;
  const size_t end = first + count;
  while (pos < s.size() && unit < end) {
    size_t start = pos;
    size_t width = DecodeUtf8(s, pos) >= 0x10000 ? 2 : 1;
    if (unit >= first && unit + width <= end)
      out.append(s.substr(start, pos - start));
    else if (unit + width > first)
      out.append("\xEF\xBF\xBD");
    unit += width;
  }
  return out;
}

// x written as yyyy-mm-dd: eight digits, a ten-character date with "/" or "-", or a short
// one whose year, month and day get their missing digits.
std::string NormaliseDate(std::string_view x) {
  std::string digits =
      StringReplace(StringReplace(x, "/", "", rfReplaceAll), "-", "", rfReplaceAll);
  if (digits.size() == 8) {
    return Utf16Copy(digits, 0, 4) + "-" + Utf16Copy(digits, 4, 2) + "-" + Utf16Copy(digits, 6, 2);
  }
  if (x.find('/') == std::string_view::npos && x.find('-') == std::string_view::npos)
    return std::string(x);
  std::string y = StringReplace(x, "/", "-", rfReplaceAll);
  if (Utf16Length(x) == 10) return y;
  size_t dash = y.find('-');  // there is one: x held "/" or "-"
  std::string year = y.substr(0, dash + 1);
  std::string rest = y.substr(dash + 1);
  size_t dash2 = rest.find('-');
  std::string month = dash2 == std::string::npos ? std::string() : rest.substr(0, dash2 + 1);
  std::string day = dash2 == std::string::npos ? rest : rest.substr(dash2 + 1);
  // Each part still holds its "-": a full year part is five characters, a month part three.
  const size_t year_len = Utf16Length(year);
  // Padding is counted into the result rather than inserted in front of a part: GCC 12 at -O3
  // warns (wrongly) about overlap on an insert at the start of a short string.
  size_t year_pad = year_len == 3 ? 2 : year_len == 2 ? 3 : 0;
  std::string out(year_pad, '0');
  if (year_pad) out[0] = '2';
  out += year;
  if (Utf16Length(month) == 2) out += '0';
  out += month;
  if (Utf16Length(day) == 1) out += '0';
  out += day;
  return out;
}

void NormaliseDates(std::string& text) {
  constexpr std::string_view kOpen = "日付形式変換（";
  constexpr std::string_view kClose = "）";
  // Each pass consumes one "）" (a result never holds one), so the stage always ends.
  size_t from = 0;
  for (;;) {
    size_t open = text.find(kOpen, from);
    if (open == std::string::npos) return;
    const size_t inner = open + kOpen.size();
    size_t close = text.find(kClose, inner);
    if (close == std::string::npos) return;
    std::string result = NormaliseDate(std::string_view(text).substr(inner, close - inner));
    text.replace(open, close + kClose.size() - open, result);
    // No opener started before `open`, so a new one can only be one reaching into the result.
    from = open >= kOpen.size() - 1 ? open - (kOpen.size() - 1) : 0;
  }
}

// ---------------------------------------------------------------------------------------------
// Stage 7: escapes. Statements reach here with their own line breaks already turned into
// blanks, so every line break is part of an inserted value: inside a quoted literal it becomes
// an SQL concatenation with char(10), so the value keeps its line break.

std::string FinalEscapes(const std::string& text) {
  std::string out = StringReplace(text, "￥；", ";", rfReplaceAll);
  out = StringReplace(out, "\r", "", rfReplaceAll);
  return StringReplace(out, "\n", "' || char(10) || '", rfReplaceAll);
}

}  // namespace

std::string Inset(TPageRequestState& state, std::string_view SQLIn, std::string_view LPNo) {
  TRequest& req = *state.ARequest;
  if (state.SQLexecFirst) {
    state.SQLexecFirst = false;
    RunOncePerRequest(req.ContentFields);
  }
  std::string text(SQLIn);
  ExpandMemoryMarkers(text);
  if (LPNo.find('\t') != std::string_view::npos) ExpandColumnMarkers(text, LPNo);
  ExpandRequestMarkers(text, req, LPNo);
  if (TextSavingMode(req.ContentFields)) RestoreProtectedMarkers(text);
  NormaliseDates(text);
  return FinalEscapes(text);
}

}  // namespace nv
