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

// The values of a TAB row in turn (the text before each TAB), then "" for every column the row
// lacks. Reads the row in place: a page of many rows makes no list per row.
class TabValues {
 public:
  explicit TabValues(std::string_view row) : rest_(row) {}
  std::string_view Next() {
    const size_t tab = rest_.find('\t');
    if (tab == std::string_view::npos) return {};
    const std::string_view value = rest_.substr(0, tab);
    rest_.remove_prefix(tab + 1);
    return value;
  }

 private:
  std::string_view rest_;
};

bool IsTabRow(std::string_view row) { return row.find('\t') != std::string_view::npos; }

// Room for the whole rendering at once: every value's bytes plus its quotes and separator, and
// per row its brackets (or braces) and the names once more for object rows.
size_t RenderedSize(const TStringList& NameList, const TStringList& DataList, bool with_names) {
  size_t names = 0;
  for (const std::string& name : NameList.Items()) names += name.size() + 4;
  size_t size = names + 3;
  const size_t per_row = 3 * NameList.GetCount() + 3 + (with_names ? names : 0);
  for (const std::string& row : DataList.Items()) size += row.size() + per_row;
  return size;
}

// "[" quoted fields of the written columns "]".
template <typename NextValue>
void AppendArrayRow(std::string& out, const std::vector<bool>& written, NextValue next) {
  out += '[';
  bool first = true;
  for (size_t j = 0; j < written.size(); ++j) {
    const std::string_view value = next(j);
    if (!written[j]) continue;
    if (!first) out += ',';
    first = false;
    AppendQuoted(out, value);
  }
  out += ']';
}

}  // namespace

std::string DBtoHTML(const TStringList& NameList, const TStringList& DataList) {
  if (NameList.GetCount() == 0 || DataList.GetCount() == 0) return std::string();
  const std::vector<bool> written = WrittenColumns(NameList);
  std::string out;
  out.reserve(RenderedSize(NameList, DataList, false));
  AppendArrayRow(out, written, [&](size_t j) { return std::string_view(NameList.Get(j)); });
  for (const std::string& row : DataList.Items()) {
    if (!IsTabRow(row)) continue;
    out += ',';
    TabValues values(row);
    AppendArrayRow(out, written, [&](size_t) { return values.Next(); });
  }
  return out;
}

std::string DBtoJSON(const TStringList& NameList, const TStringList& DataList) {
  if (NameList.GetCount() == 0 || DataList.GetCount() == 0) return std::string();
  const std::vector<bool> written = WrittenColumns(NameList);
  std::string out;
  out.reserve(RenderedSize(NameList, DataList, true));
  for (const std::string& row : DataList.Items()) {
    if (!IsTabRow(row)) continue;
    if (!out.empty()) out += ',';
    TabValues values(row);
    out += '{';
    bool first = true;
    for (size_t j = 0; j < written.size(); ++j) {
      const std::string_view value = values.Next();
      if (!written[j]) continue;
      if (!first) out += ',';
      first = false;
      AppendQuoted(out, NameList.Get(j));
      out += ':';
      AppendQuoted(out, value);
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
