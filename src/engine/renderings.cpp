// Result slots and menu lists as page text. Nothing is escaped: names and values go out byte
// for byte and the template decides how the text is embedded.
#include "engine/renderings.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "text/strings.h"

namespace nv {

namespace {

// A name with nothing left after trimming blanks and control characters has no column in the
// array and object rows (the query gave no usable name for it).
bool IsBlankName(std::string_view name) { return Trim(name).empty(); }

std::vector<bool> WrittenColumns(const TStringList& NameList) {
  std::vector<bool> written;
  written.reserve(NameList.GetCount());
  for (const std::string& name : NameList.Items()) written.push_back(!IsBlankName(name));
  return written;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  out += text;
  out += '"';
}

// "[" quoted fields of the written columns "]"; a row shorter than the names gives "" for
// the columns it lacks.
void AppendArrayRow(std::string& out, const std::vector<bool>& written,
                    const std::vector<std::string_view>& fields) {
  out += '[';
  bool first = true;
  for (size_t j = 0; j < written.size(); ++j) {
    if (!written[j]) continue;
    if (!first) out += ',';
    first = false;
    AppendQuoted(out, j < fields.size() ? fields[j] : std::string_view());
  }
  out += ']';
}

}  // namespace

std::string DBtoHTML(const TStringList& NameList, const TStringList& DataList) {
  if (NameList.GetCount() == 0 || DataList.GetCount() == 0) return std::string();
  const std::vector<bool> written = WrittenColumns(NameList);
  std::string out;
  const std::vector<std::string_view> names(NameList.Items().begin(), NameList.Items().end());
  AppendArrayRow(out, written, names);
  for (const std::string& row : DataList.Items()) {
    if (row.find('\t') == std::string::npos) continue;
    out += ',';
    AppendArrayRow(out, written, SplitTabRow(row));
  }
  return out;
}

std::string DBtoJSON(const TStringList& NameList, const TStringList& DataList) {
  if (NameList.GetCount() == 0 || DataList.GetCount() == 0) return std::string();
  const std::vector<bool> written = WrittenColumns(NameList);
  std::string out;
  for (const std::string& row : DataList.Items()) {
    if (row.find('\t') == std::string::npos) continue;
    if (!out.empty()) out += ',';
    const std::vector<std::string_view> values = SplitTabRow(row);
    out += '{';
    bool first = true;
    for (size_t j = 0; j < written.size(); ++j) {
      if (!written[j]) continue;
      if (!first) out += ',';
      first = false;
      AppendQuoted(out, NameList.Get(j));
      out += ':';
      AppendQuoted(out, j < values.size() ? values[j] : std::string_view());
    }
    out += '}';
  }
  return out;
}

// The AI2 client reads every field quoted, fields split at commas and lines at LF. The text is
// built by joining the lists and turning their separators into quote-comma-quote and
// quote-LF-quote, so a row's trailing empty value drops out and nothing inside a value is
// escaped; clients of this format rely on exactly that shape.
std::string DBtoAI2CSV(const TStringList& NameList, const TStringList& DataList) {
  std::string head = NameList.GetTextStr();
  head = StringReplace(head, "\r\n", "\t", rfReplaceAll);
  head = StringReplace(head, "\n", "\t", rfReplaceAll);
  if (!head.empty()) head.pop_back();

  std::string body = DataList.GetTextStr();
  body = StringReplace(body, "\t\r\n", "\n", rfReplaceAll);
  body = StringReplace(body, "\t\n", "\n", rfReplaceAll);

  std::string text = head + "\n" + body;
  text = StringReplace(text, "\t", "\",\"", rfReplaceAll);
  text = StringReplace(text, "\n", "\"\n\"", rfReplaceAll);
  std::string csv = "\"" + text;
  csv.resize(csv.size() - 2);  // the LF and quote that the last line break opened
  return csv;
}

}  // namespace nv
