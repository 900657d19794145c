// Feeds arbitrary bytes to the text list's readers: a CSV line, a text of lines, and file
// contents with or without a byte-order mark.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "text/text_list.h"

namespace {

// Every field quoted, quotes doubled: the CSV line that reads back as exactly these fields.
std::string QuotedLine(const nv::TStringList& list) {
  std::string line;
  for (size_t i = 0; i < list.GetCount(); ++i) {
    if (i > 0) line += ',';
    line += '"';
    for (char c : list.Get(i)) line.append(c == '"' ? 2 : 1, c);
    line += '"';
  }
  return line;
}

size_t Bytes(const nv::TStringList& list) {
  size_t n = 0;
  for (const std::string& e : list.Items()) n += e.size();
  return n;
}

bool HasLineBreak(const nv::TStringList& list) {
  for (const std::string& e : list.Items())
    if (e.find_first_of("\r\n") != std::string::npos) return true;
  return false;
}

}  // namespace

using nv::fuzz::Check;
using nv::fuzz::IsUtf8;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  nv::TStringList csv;
  csv.SetDelimitedText(input);
  Check(Bytes(csv) <= input.size());
  nv::TStringList again;
  again.SetDelimitedText(QuotedLine(csv));
  Check(again.Items() == csv.Items());

  nv::TStringList lines;
  lines.SetTextStr(input);
  Check(!HasLineBreak(lines) && Bytes(lines) <= input.size());
  again.SetTextStr(lines.GetTextStr());
  Check(again.Items() == lines.Items());

  // File contents: UTF-16 after its mark comes out as UTF-8, anything else as it is.
  nv::TStringList file;
  file.LoadFromBytes(input);
  Check(!HasLineBreak(file));
  const std::string_view mark = input.substr(0, 2);
  if (mark == "\xFF\xFE" || mark == "\xFE\xFF") {
    Check(file.Encoding() ==
          (mark == "\xFF\xFE" ? nv::TextEncoding::Utf16LE : nv::TextEncoding::Utf16BE));
    Check(IsUtf8(file.GetTextStr()));
  } else {
    const bool bom = input.substr(0, 3) == "\xEF\xBB\xBF";
    Check(file.Encoding() == (bom ? nv::TextEncoding::Utf8Bom : nv::TextEncoding::Utf8));
    again.SetTextStr(input.substr(bom ? 3 : 0));
    Check(file.Items() == again.Items());
  }
  return 0;
}
