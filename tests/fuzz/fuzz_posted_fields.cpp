// The posted-field list against a plain text list: the same operations, the same answers. The
// input's first line is a form body the list is parsed from; every further line is one
// operation: its first byte picks it, TABs separate its texts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "http/posted_fields.h"
#include "http/request.h"
#include "text/strings.h"
#include "text/text_list.h"

using nv::fuzz::Check;

namespace {

std::vector<std::string_view> Split(std::string_view text, char at) {
  std::vector<std::string_view> pieces;
  for (size_t start = 0;;) {
    size_t end = text.find(at, start);
    pieces.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

// What SetLinesValue's value reads as: the non-empty lines, each followed by CR LF.
std::string JoinedLines(std::string_view text) {
  nv::TStringList lines;
  lines.SetTextStr(text);
  std::string joined;
  for (const std::string& line : lines.Items()) {
    if (!line.empty()) joined += line + "\r\n";
  }
  return joined;
}

void Same(const nv::TPostedFields& fields, const nv::TStringList& plain) {
  Check(fields.GetCount() == plain.GetCount());
  for (size_t i = 0; i < plain.GetCount(); ++i) {
    Check(fields.Get(i) == plain.Get(i));
    Check(fields.GetName(i) == plain.GetName(i));
    Check(fields.ValueView(i) == plain.GetValueFromIndex(i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines = Split(input, '\n');

  nv::TPostedFields fields;
  nv::TStringList plain;
  Check(nv::ParseFormBody(std::string(lines[0]), fields) == nv::TBodyParse::kOk);
  nv::ParseQueryString(lines[0], plain);
  Same(fields, plain);

  std::vector<std::string> kept;  // texts SetLinesValue reads from must outlive the list
  kept.reserve(lines.size());
  for (size_t l = 1; l < lines.size(); ++l) {
    std::string_view line = lines[l];
    if (line.empty()) continue;
    std::vector<std::string_view> args = Split(line.substr(1), '\t');
    const std::string a(args[0]);
    const std::string b(args.size() > 1 ? args[1] : std::string_view());
    switch (static_cast<unsigned char>(line[0]) % 7) {
      case 0:
        fields.Add(a);
        plain.Add(a);
        break;
      case 1:
        fields.SetValue(a, b);
        plain.SetValue(a, b);
        break;
      case 2:
        if (plain.GetCount() > 0) {
          const size_t i = b.size() % plain.GetCount();
          fields.AppendToValue(i, a);
          plain.Put(i, plain.Get(i) + a);
        }
        break;
      case 3: {
        kept.push_back(b);
        if (a.size() % 2 == 0) {
          fields.SetLinesValue(a, std::string_view(kept.back()));
        } else {
          fields.SetLinesValue(a, std::string(b));
        }
        plain.SetValue(a, JoinedLines(b));
        break;
      }
      case 4:
        for (const std::string& name : {a, nv::UpperAscii(a), nv::LowerAscii(a)}) {
          Check(fields.IndexOfName(name) == plain.IndexOfName(name));
          Check(fields.GetValue(name) == plain.GetValue(name));
        }
        break;
      case 5:
        if (plain.GetCount() > 0) {
          // Rewriting in place, as the text-saving mode does, byte for byte.
          const size_t i = a.size() % plain.GetCount();
          std::span<char> value = fields.MutableValue(i);
          for (char& c : value) c = c == 'a' ? 'b' : c;
          if (plain.Get(i).find('=') != std::string::npos) {
            std::string entry = plain.Get(i);
            for (size_t k = entry.find('=') + 1; k < entry.size(); ++k) {
              if (entry[k] == 'a') entry[k] = 'b';
            }
            plain.Put(i, entry);
          }
        }
        break;
      case 6:
        fields.AppendToValueOf(a, b);
        plain.SetValue(a, plain.GetValue(a) + b);
        break;
    }
    Same(fields, plain);
  }
  return 0;
}
