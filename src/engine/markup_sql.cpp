// The SQL side of the bracket markup. Scripts get their values only by splicing: the executor
// binds no parameters, so this file decides what reaches SQLite. The stages run in a fixed
// order on a working copy of the line: memory markers, column markers, request markers (with
// encryption), restoration of protected markers, date normaliser, final escapes.
#include "engine/markup_sql.h"

#include <exception>
#include <optional>
#include <span>
#include <vector>

#include "auth/cipher.h"
#include "engine/marker_loop.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/unicode.h"
#include "text/numbers.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

namespace {

constexpr std::string_view kTextSavingMode = "SQL・HTML作成";
constexpr std::string_view kMultiSelect = "複数選択";
constexpr std::string_view kEncrypt = "暗号化";

bool TextSavingMode(const TPostedFields& posted) {
  return posted.GetValue("SQL") == kTextSavingMode;
}

// ---------------------------------------------------------------------------------------------
// Stage 1: once per page request, on the posted fields

// A text posted for saving (a script or a template) must not have its markers expanded when a
// script splices it in, so they are swapped for look-alikes that stage 5 swaps back. Each
// bracket and its look-alike are three bytes of UTF-8, so the values are rewritten in place.
void ProtectPostedMarkers(TPostedFields& posted) {
  static constexpr std::string_view kSwaps[][2] = {
      {"「", "〔"}, {"」", "〕"}, {"『", "｛"}, {"』", "｝"}};
  for (size_t i = 0; i < posted.GetCount(); ++i) {
    std::span<char> value = posted.MutableValue(i);
    for (const auto& [from, to] : kSwaps) {
      static_assert(std::string_view("「").size() == std::string_view("〔").size());
      std::string_view text(value.data(), value.size());
      for (size_t at = text.find(from); at != std::string_view::npos;
           at = text.find(from, at + from.size())) {
        to.copy(value.data() + at, to.size());
      }
    }
  }
}

// Each field "X複数選択" is joined, in posting order, onto the field "X" with ",". Fields the
// merge appends are not visited again.
// A choice is appended to its field's value where it stands, so that many choices cost time
// in proportion to their number.
void MergeMultiSelect(TPostedFields& posted) {
  const size_t count = posted.GetCount();
  for (size_t i = 0; i < count; ++i) {
    std::string name = posted.GetName(i);
    if (name.find(kMultiSelect) == std::string::npos) continue;
    std::string target = StringReplace(name, kMultiSelect, "", rfNone);
    std::string value = posted.GetValueFromIndex(i);
    const long at = posted.IndexOfName(target);
    if (at < 0 || posted.ValueView(static_cast<size_t>(at)).empty()) {
      posted.SetValue(target, value);
    } else {
      posted.AppendToValueOf(target, "," + value);
    }
  }
}

void RunOncePerRequest(TPostedFields& posted) {
  if (TextSavingMode(posted)) ProtectPostedMarkers(posted);
  MergeMultiSelect(posted);
}

// ---------------------------------------------------------------------------------------------
// Stages 2 to 4: marker stages. Their values are data: a bracket in a posted value, a memory
// value or a row cell is text, so a value can neither vanish into a marker of its own nor read
// another field.

std::string DoubleQuotes(std::string_view value) {
  return StringReplace(value, "'", "''", rfReplaceAll);
}

// Stage 2: 『name』 is the memory variable, as stored: scripts pass SQL fragments this way.
void ExpandMemoryMarkers(WorkingText& text) {
  ExpandMarkers(text, {"『", "』"}, [](std::string_view name) -> std::optional<std::string> {
    try {
      return Memory.GetValue(name);
    } catch (const std::exception&) {
      return std::nullopt;  // a failed substitution leaves its marker as written
    }
  });
}

// Stage 3: 「列:n」 is value n (from 1) of the TAB row; 前列:n keeps it for the next row. The
// cells are client data (posted lines, CSV cells), so their quotes are doubled.
void ExpandColumnMarkers(WorkingText& text, std::string_view row) {
  const std::vector<std::string_view> cols = SplitTabRow(row);
  ExpandMarkers(text, {"「列:", "」"}, [&](std::string_view name) -> std::optional<std::string> {
    int32_t n = ReadIntegerDef(name, -1);
    if (n < 1 || static_cast<size_t>(n) > cols.size()) return std::string();
    std::string_view value = cols[static_cast<size_t>(n) - 1];
    Memory.SetValue("前列:" + std::string(name), value);
    return DoubleQuotes(value);
  });
}

// Stage 4: 「name」 is the request value, quotes doubled for an SQL literal. A name holding
// "暗号化" first stores the cipher text of its source field under the name.
void ExpandRequestMarkers(WorkingText& text, TRequest& req, std::string_view row) {
  TPostedFields& posted = req.ContentFields();
  ExpandMarkers(text, {"「", "」"}, [&](std::string_view name) -> std::optional<std::string> {
    const std::string row_name = std::string(name) + std::string(row);
    if (name.find(kEncrypt) != std::string_view::npos) {
      std::string source = posted.GetValue(StringReplace(row_name, kEncrypt, "", rfNone));
      // Throws without a host phrase: a value kept as cipher text must never be stored as
      // something any other value would also match.
      if (!source.empty()) posted.SetValue(row_name, StoredCipherText(source));
    }
    std::string value = posted.GetValue(row_name);
    if (value.empty()) value = posted.GetValue(name);
    if (value.empty()) value = req.QueryFields.GetValue(name);
    if (!row.empty()) Memory.SetValue("前:" + std::string(name), posted.GetValue(row_name));
    return DoubleQuotes(value);
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
    RunOncePerRequest(req.ContentFields());
  }
  WorkingText marked{std::string(SQLIn), {}};
  ExpandMemoryMarkers(marked);
  if (LPNo.find('\t') != std::string_view::npos) ExpandColumnMarkers(marked, LPNo);
  ExpandRequestMarkers(marked, req, LPNo);
  // The rest runs over the whole line, values included: the escapes are what keep an
  // inserted line break inside its literal.
  std::string text = std::move(marked.text);
  if (TextSavingMode(req.ContentFields())) RestoreProtectedMarkers(text);
  NormaliseDates(text);
  return FinalEscapes(text);
}

bool OncePerRequestMayRewrite(const TPageRequestState& state) {
  return state.SQLexecFirst && state.ARequest != nullptr &&
         TextSavingMode(state.ARequest->ContentFields());
}

}  // namespace nv
