// Template side of the bracket markup. Three marker stages run in order over one working text
// (include files, request values, memory values), each rescanning from its first unexpanded
// opener, so markers inside inserted text are expanded by the same and the later stages.
#include "engine/markup_html.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/files.h"
#include "platform/unicode.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

namespace {

// A text that expands into its own marker would repeat a stage for ever (an include file that
// includes itself, a value holding its own marker); a stage stops after this many replaced
// occurrences and leaves the rest of the text as it stands.
constexpr size_t kMaxReplacedPerStage = 10000;
// Each replacement rewrites the text, so a value that brings back its own marker costs the
// text's size per round: a stage also stops once the sizes it has produced add up to this.
constexpr size_t kMaxStageWork = 256u << 20;

constexpr std::string_view kIncludeOpen = "【", kIncludeClose = "】";
constexpr std::string_view kRequestOpen = "「", kRequestClose = "」";
constexpr std::string_view kMemoryOpen = "『", kMemoryClose = "』";
// In edit mode memory values carry their markers as these, so they survive stage 3 unexpanded.
constexpr std::string_view kProtectedOpen = "｛", kProtectedClose = "｝";

// Position of the first bracket at or after `from`, npos when none. The brackets are
// three-byte characters whose first byte also starts most Japanese characters, so the search
// looks for the last byte, which is far rarer in such text, and checks the two before it.
size_t FindBracket(std::string_view text, std::string_view bracket, size_t from) {
  const size_t k = bracket.size() - 1;
  const char last = bracket[k];
  for (size_t at = from + k; at < text.size();) {
    const void* hit = std::memchr(text.data() + at, last, text.size() - at);
    if (hit == nullptr) return std::string_view::npos;
    at = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
    if (text.compare(at - k, k, bracket, 0, k) == 0) return at - k;
    ++at;
  }
  return std::string_view::npos;
}

// Whether the characters of text from `at` on upper-case to exactly `needle` (an upper-cased
// marker); `end` is then where those characters stop. `folded` is scratch space, reused so
// that comparing at every opener of a long text allocates nothing.
bool MatchesUpperCased(std::string_view text, size_t at, std::string_view needle, size_t& end,
                       std::string& folded) {
  folded.clear();
  size_t pos = at;
  while (folded.size() < needle.size() && pos < text.size()) {
    const size_t start = pos;
    const char32_t c = DecodeUtf8(text, pos);
    // Upper-cased as UpperUtf8 does it: an invalid byte stays as it is.
    if (pos - start == 1 && static_cast<unsigned char>(text[start]) >= 0x80)
      folded += text[start];
    else
      AppendUtf8(folded, UpperCodePoint(c));
    const size_t n = std::min(folded.size(), needle.size());
    if (folded.compare(0, n, needle, 0, n) != 0) return false;
  }
  if (folded != needle) return false;
  end = pos;
  return true;
}

// Replaces every occurrence of marker at or after `from`, ignoring case, by value, left to
// right and at most `limit` of them; returns how many. The result is StringReplace's with
// rfReplaceAll | rfIgnoreCase, but faster on long texts: every occurrence begins with the
// marker's opener, a bracket that no other character upper-cases to, so only the places where
// an opener stands are compared and the rest of the text is never upper-cased.
size_t ReplaceMarker(std::string& text, size_t from, std::string_view opener,
                     std::string_view marker, std::string_view value, size_t limit) {
  const std::string needle = UpperUtf8(marker);
  std::string out, folded;
  size_t copied = 0, n = 0;
  for (size_t at = FindBracket(text, opener, from); at != std::string::npos && n < limit;) {
    size_t end;
    if (!MatchesUpperCased(text, at, needle, end, folded)) {
      at = FindBracket(text, opener, at + opener.size());
      continue;
    }
    if (n == 0) out.reserve(text.size() + value.size());
    out.append(text, copied, at - copied).append(value);
    copied = end;
    ++n;
    at = FindBracket(text, opener, end);
  }
  if (n > 0) {
    out.append(text, copied);
    text = std::move(out);
  }
  return n;
}

// The marker loop: take the first opener, the first closer after it, and replace every
// occurrence of that whole marker (case ignored) by the value of its name; then look again.
// value_of(name) gives the value. With swallow_errors a failure while a marker is replaced
// leaves the text as it was and ends the stage (the marker would otherwise be met again and
// again); without it the failure goes to the caller.
template <typename ValueOf>
void ExpandMarkers(std::string& text, std::string_view opener, std::string_view closer,
                   const ValueOf& value_of, bool swallow_errors = false) {
  size_t replaced = 0;
  // Nothing before this position holds an opener: replacements never touch the text before
  // the first occurrence of a marker, so the next search may start at that marker.
  size_t from = 0;
  size_t work = 0;
  while (replaced < kMaxReplacedPerStage) {
    const size_t open = FindBracket(text, opener, from);
    if (open == std::string::npos) return;
    const size_t name_at = open + opener.size();
    const size_t close = FindBracket(text, closer, name_at);
    if (close == std::string::npos) return;  // the opener stays for the later stages
    try {
      const std::string marker = text.substr(open, close + closer.size() - open);
      const std::string value = value_of(std::string_view(text).substr(name_at, close - name_at));
      const size_t n =
          ReplaceMarker(text, open, opener, marker, value, kMaxReplacedPerStage - replaced);
      if (n == 0) return;  // cannot happen for a marker taken from the text; never spin on it
      replaced += n;
      work += text.size();
      if (work > kMaxStageWork) return;
    } catch (const std::exception&) {
      if (!swallow_errors) throw;
      return;
    }
    from = open;
  }
}

// Include names may use "\" or "/" between folders; a ".." segment would leave the folder
// "include", and a NUL byte would cut the path the system sees: both name no file.
bool StaysInIncludeFolder(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

// Whole text of an include file, every line followed by CR LF; empty when there is no such
// file. A file that exists but cannot be read fails with the text list's message.
std::string IncludeText(std::string_view name) {
  if (!StaysInIncludeFolder(name)) return std::string();
  std::string relative(name);
  for (char& c : relative)
    if (c == '\\') c = kPathDelim;
  const std::string path = Folder + "include" + kPathDelim + relative;
  if (!FileExists(path)) return std::string();
  TStringList lines;
  lines.LoadFromFile(path);
  return lines.GetTextStr();
}

// Posted value when not empty, else the query value.
std::string RequestValue(const TRequest* request, std::string_view name) {
  if (request == nullptr) return std::string();
  std::string value = request->ContentFields.GetValue(name);
  if (value.empty()) value = request->QueryFields.GetValue(name);
  return value;
}

// Edit mode shows stored scripts and templates inside a textarea, markers and all.
bool IsEditMode(const TRequest* request) {
  if (request == nullptr) return false;
  const std::string mode = request->QueryFields.GetValue("SQL");
  return mode == "SQL編集" || mode == "HTML編集";
}

// A memory value as edit mode shows it: its markers disguised so stage 3 leaves them alone,
// and a closing textarea tag defused so the value cannot end the editor's textarea.
std::string ProtectForEditing(std::string value) {
  value = StringReplace(value, kMemoryOpen, kProtectedOpen, rfReplaceAll | rfIgnoreCase);
  value = StringReplace(value, kMemoryClose, kProtectedClose, rfReplaceAll | rfIgnoreCase);
  return StringReplace(value, "</textarea>", "&lt;/textarea>", rfReplaceAll | rfIgnoreCase);
}

}  // namespace

std::string InsetHTML(TPageRequestState& state, std::string_view HTMLIn) {
  const TRequest* request = state.ARequest;
  const bool edit_mode = IsEditMode(request);
  std::string text(HTMLIn);

  ExpandMarkers(text, kIncludeOpen, kIncludeClose, IncludeText);
  ExpandMarkers(text, kRequestOpen, kRequestClose,
                [request](std::string_view name) { return RequestValue(request, name); });
  ExpandMarkers(
      text, kMemoryOpen, kMemoryClose,
      [edit_mode](std::string_view name) {
        std::string value = Memory.GetValue(name);
        return edit_mode ? ProtectForEditing(std::move(value)) : value;
      },
      /*swallow_errors=*/true);

  if (edit_mode) {
    // Every disguised marker comes back, whether it came from a memory value or not.
    text = StringReplace(text, kProtectedOpen, kMemoryOpen, rfReplaceAll);
    text = StringReplace(text, kProtectedClose, kMemoryClose, rfReplaceAll);
  }
  return text;
}

}  // namespace nv
