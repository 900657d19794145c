// Result slots and menu lists as page text. Nothing is escaped: names and values go out byte
// for byte and the template decides how the text is embedded.
#include "engine/renderings.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "text/strings.h"

namespace nv {

namespace {

// A name with nothing left after trimming blanks and control characters has no column in the
// array and object rows (the query gave no usable name for it).
std::vector<char> WrittenColumns(const TStringList& NameList) {
  std::vector<char> written;
  written.reserve(NameList.GetCount());
  for (const std::string& name : NameList.Items()) written.push_back(!TrimView(name).empty());
  return written;
}

size_t RowBytes(const TStringList& DataList) {
  size_t bytes = 0;
  for (const std::string& row : DataList.Items()) bytes += row.size();
  return bytes;
}

size_t RowBytes(const TRowList& DataList) { return DataList.Bytes().size(); }

// Each row of a data list with the end of the bytes that may be read from it: a row list keeps
// its rows back to back, so a row may be read beyond its end into those that follow.
template <typename Visit>
void EachRow(const TStringList& DataList, Visit visit) {
  for (const std::string& row : DataList.Items()) visit(row, row.data() + row.size());
}

template <typename Visit>
void EachRow(const TRowList& DataList, Visit visit) {
  const char* readable_end = DataList.Bytes().data() + DataList.Bytes().size();
  DataList.ForEach([&](std::string_view row) { visit(row, readable_end); });
}

// The values of a TAB row in turn, each the text before the next TAB; once no TAB is left, every
// further value is "". Values are looked for and copied eight bytes at a time: a page of many
// rows is made of short values, and a search and a copy per value would cost more than the
// bytes themselves.
class TTabCursor {
 public:
  TTabCursor(std::string_view row, const char* readable_end)
      : at_(row.data()), end_(row.data() + row.size()), readable_end_(readable_end) {}

  // Copies the next value to out and returns the end of the copy. Up to eight bytes beyond
  // the value's end may be written (they are written over next).
  char* CopyNext(char* out) {
    char* const start = out;
    while (readable_end_ - at_ >= 8) {
      uint64_t word;
      std::memcpy(&word, at_, 8);
      std::memcpy(out, &word, 8);
      const uint64_t x = word ^ 0x0909090909090909ULL;  // a TAB byte becomes zero
      const uint64_t tabs = (x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL;
      const size_t tab = tabs == 0 ? 8 : static_cast<size_t>(std::countr_zero(tabs)) / 8;
      if (tab >= static_cast<size_t>(end_ - at_)) return NoValue(start);
      if (tab < 8) {
        at_ += tab + 1;
        return out + tab;
      }
      at_ += 8;
      out += 8;
    }
    while (at_ < end_ && *at_ != '\t') *out++ = *at_++;
    if (at_ == end_) return NoValue(start);
    ++at_;
    return out;
  }

  void SkipNext() {
    const void* tab = std::memchr(at_, '\t', static_cast<size_t>(end_ - at_));
    at_ = tab == nullptr ? end_ : static_cast<const char*>(tab) + 1;
  }

 private:
  // Text after the last TAB is no value.
  char* NoValue(char* start) {
    at_ = end_;
    return start;
  }

  const char* at_;
  const char* end_;
  const char* readable_end_;
};

bool IsTabRow(std::string_view row) { return row.find('\t') != std::string_view::npos; }

// Bytes a value copy may write beyond the value (TTabCursor::CopyNext).
constexpr size_t kCopySlack = 8;

// Writes into room made beforehand for the most the text can take (the Room functions below,
// the copies' slack included), so that the many small pieces of a large rendering are copied
// without a capacity check each; the room left over is given back at the end.
class TWriter {
 public:
  TWriter(std::string& out, size_t most) : out_(out) {
    const size_t start = out.size();
    out.resize(start + most);
    at_ = out.data() + start;
  }
  TWriter(const TWriter&) = delete;
  TWriter& operator=(const TWriter&) = delete;
  ~TWriter() { out_.resize(static_cast<size_t>(at_ - out_.data())); }

  void Put(char c) { *at_++ = c; }
  void Put(std::string_view text) {
    std::memcpy(at_, text.data(), text.size());
    at_ += text.size();
  }
  void Quoted(std::string_view text) {
    Put('"');
    Put(text);
    Put('"');
  }
  void QuotedNext(TTabCursor& values) {
    Put('"');
    at_ = values.CopyNext(at_);
    Put('"');
  }

 private:
  std::string& out_;
  char* at_;
};

// The most bytes the array rows take: the header row, and per row a comma, the brackets, two
// quotes and a comma per column and the row's own bytes.
template <typename Rows>
size_t ArrayRoom(const TStringList& NameList, const Rows& DataList) {
  if (NameList.GetCount() == 0 || DataList.GetCount() == 0) return 0;
  size_t names = 2;
  for (const std::string& name : NameList.Items()) names += name.size() + 3;
  return names + DataList.GetCount() * (3 + 3 * NameList.GetCount()) + RowBytes(DataList) +
         kCopySlack;
}

// The most bytes the object rows take: per row a comma and the braces, per written column its
// name, four quotes, a colon and a comma, and the row's own bytes.
template <typename Rows>
size_t ObjectRoom(const TStringList& NameList, const Rows& DataList) {
  if (NameList.GetCount() == 0 || DataList.GetCount() == 0) return 0;
  size_t pairs = 0;
  for (const std::string& name : NameList.Items()) {
    if (!TrimView(name).empty()) pairs += name.size() + 6;
  }
  return DataList.GetCount() * (3 + pairs) + RowBytes(DataList) + kCopySlack;
}

// Calls put(j) for each written column of a row in turn, with a comma between them; the values
// of the other columns are passed over.
template <typename Put>
void PutWritten(TWriter& w, TTabCursor& values, const std::vector<char>& written, Put put) {
  bool first = true;
  for (size_t j = 0; j < written.size(); ++j) {
    if (!written[j]) {
      values.SkipNext();
      continue;
    }
    if (!first) w.Put(',');
    first = false;
    put(j);
  }
}

// Array rows: the header row of names, then per data entry that holds a TAB "[" the quoted
// values of the written columns "]".
template <typename Rows>
void AppendArrayRows(std::string& out, const TStringList& NameList, const Rows& DataList) {
  if (NameList.GetCount() == 0 || DataList.GetCount() == 0) return;
  const std::vector<char> written = WrittenColumns(NameList);
  TWriter w(out, ArrayRoom(NameList, DataList));
  w.Put('[');
  bool first = true;
  for (size_t j = 0; j < written.size(); ++j) {
    if (!written[j]) continue;
    if (!first) w.Put(',');
    first = false;
    w.Quoted(NameList.Get(j));
  }
  w.Put(']');
  EachRow(DataList, [&](std::string_view row, const char* readable_end) {
    if (!IsTabRow(row)) return;
    w.Put(',');
    w.Put('[');
    TTabCursor values(row, readable_end);
    PutWritten(w, values, written, [&](size_t) { w.QuotedNext(values); });
    w.Put(']');
  });
}

// Object rows: per data entry that holds a TAB, "{" the written columns' "name":"value" "}".
template <typename Rows>
void AppendObjectRows(std::string& out, const TStringList& NameList, const Rows& DataList) {
  if (NameList.GetCount() == 0 || DataList.GetCount() == 0) return;
  const std::vector<char> written = WrittenColumns(NameList);
  TWriter w(out, ObjectRoom(NameList, DataList));
  bool first_row = true;
  EachRow(DataList, [&](std::string_view row, const char* readable_end) {
    if (!IsTabRow(row)) return;
    if (!first_row) w.Put(',');
    first_row = false;
    TTabCursor values(row, readable_end);
    w.Put('{');
    PutWritten(w, values, written, [&](size_t j) {
      w.Quoted(NameList.Get(j));
      w.Put(':');
      w.QuotedNext(values);
    });
    w.Put('}');
  });
}

// The AI2 client reads every field quoted, fields split at commas and lines at LF. The text is
// built by joining the lists and turning their separators into quote-comma-quote and
// quote-LF-quote, so a row's trailing empty value drops out and nothing inside a value is
// escaped; clients of this format rely on exactly that shape.
template <typename Rows>
std::string AI2CSV(const TStringList& NameList, const Rows& DataList) {
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

// A rendering on its own rather than appended to a page.
template <typename Rows>
std::string Whole(void (*append)(std::string&, const TStringList&, const Rows&),
                  const TStringList& NameList, const Rows& DataList) {
  std::string out;
  append(out, NameList, DataList);
  return out;
}

}  // namespace

std::string DBtoHTML(const TStringList& NameList, const TStringList& DataList) {
  return Whole(AppendArrayRows<TStringList>, NameList, DataList);
}

std::string DBtoHTML(const TStringList& NameList, const TRowList& DataList) {
  return Whole(AppendArrayRows<TRowList>, NameList, DataList);
}

std::string DBtoJSON(const TStringList& NameList, const TStringList& DataList) {
  return Whole(AppendObjectRows<TStringList>, NameList, DataList);
}

std::string DBtoJSON(const TStringList& NameList, const TRowList& DataList) {
  return Whole(AppendObjectRows<TRowList>, NameList, DataList);
}

std::string DBtoAI2CSV(const TStringList& NameList, const TStringList& DataList) {
  return AI2CSV(NameList, DataList);
}

std::string DBtoAI2CSV(const TStringList& NameList, const TRowList& DataList) {
  return AI2CSV(NameList, DataList);
}

void AppendDBtoHTML(std::string& out, const TStringList& NameList, const TRowList& DataList) {
  AppendArrayRows(out, NameList, DataList);
}

void AppendDBtoJSON(std::string& out, const TStringList& NameList, const TRowList& DataList) {
  AppendObjectRows(out, NameList, DataList);
}

size_t DBtoHTMLRoom(const TStringList& NameList, const TRowList& DataList) {
  return ArrayRoom(NameList, DataList);
}

size_t DBtoJSONRoom(const TStringList& NameList, const TRowList& DataList) {
  return ObjectRoom(NameList, DataList);
}

}  // namespace nv
