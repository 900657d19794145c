// Template side of the bracket markup. Three marker stages run in order over one working text:
// include files, request values, memory values. Included text is expanded like the template;
// request and memory values are inserted as they are and never expanded again.
#include "engine/markup_html.h"

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "engine/marker_loop.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/files.h"
#include "text/html_escape.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

namespace {

constexpr MarkerForm kInclude = {"【", "】", Inserted::kMarkup};
constexpr MarkerForm kRequest = {"「", "」"};
constexpr MarkerForm kMemory = {"『", "』"};
// In edit mode each of these becomes a memory marker once the stages are done.
constexpr std::string_view kProtectedOpen = "｛", kProtectedClose = "｝";

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

// The include file a name stands for; empty when there is no such file.
std::string IncludePath(std::string_view name) {
  if (!StaysInIncludeFolder(name)) return std::string();
  std::string relative(name);
  for (char& c : relative)
    if (c == '\\') c = kPathDelim;
  std::string path = Folder + "include" + kPathDelim + relative;
  return FileExists(path) ? path : std::string();
}

// Which file a name reaches, so that two spellings of one file (either separator, a link) are
// one file to the cycle test; empty when it reaches none.
std::string IncludeOrigin(std::string_view name) {
  const std::optional<FileStamp> stamp = StampOf(IncludePath(name));
  if (!stamp) return std::string();
  return std::to_string(stamp->device) + ":" + std::to_string(stamp->inode);
}

// Whole text of an include file, every line followed by CR LF; empty when there is no such
// file. A file that exists but cannot be read fails with the text list's message.
std::string IncludeText(std::string_view name) {
  const std::string path = IncludePath(name);
  if (path.empty()) return std::string();
  TStringList lines;
  lines.LoadFromFile(path);
  return lines.GetTextStr();
}

// Posted value when not empty, else the query value.
std::string RequestValue(TRequest* request, std::string_view name) {
  if (request == nullptr) return std::string();
  std::string value = request->ContentFields().GetValue(name);
  if (value.empty()) value = request->QueryFields.GetValue(name);
  return value;
}

// Edit mode shows stored scripts and templates inside a textarea, markers and all.
bool IsEditMode(const TRequest* request) {
  if (request == nullptr) return false;
  const std::string mode = request->QueryFields.GetValue("SQL");
  return mode == "SQL編集" || mode == "HTML編集";
}

// A memory value as edit mode shows it: a closing textarea tag defused so the value cannot
// end the editor's textarea. Its markers need no disguise: no inserted value is expanded.
std::string ProtectForEditing(const std::string& value) {
  return StringReplace(value, "</textarea>", "&lt;/textarea>", rfReplaceAll | rfIgnoreCase);
}

}  // namespace

std::string InsetHTML(TPageRequestState& state, std::string_view HTMLIn) {
  TRequest* request = state.ARequest;
  const bool edit_mode = IsEditMode(request);
  WorkingText text{std::string(HTMLIn), {}};

  // Included files are the application's own text: their markers expand like the template's.
  ExpandMarkers(
      text, kInclude, [](std::string_view name) { return IncludeText(name); }, IncludeOrigin);
  // A request value is the client's: escaped, so a template that echoes it shows text.
  ExpandMarkers(text, kRequest, [request](std::string_view name) {
    return HtmlEscape(RequestValue(request, name));
  });
  // Memory values come from the application's queries and may carry HTML on purpose.
  ExpandMarkers(text, kMemory, [edit_mode](std::string_view name) -> std::optional<std::string> {
    try {
      std::string value = Memory.GetValue(name);
      return edit_mode ? ProtectForEditing(value) : value;
    } catch (const std::exception&) {
      return std::nullopt;  // a failed substitution leaves its marker as written
    }
  });

  if (edit_mode) {
    // Every disguised marker comes back, wherever it came from.
    text.text = StringReplace(text.text, kProtectedOpen, kMemory.opener, rfReplaceAll);
    text.text = StringReplace(text.text, kProtectedClose, kMemory.closer, rfReplaceAll);
  }
  return std::move(text.text);
}

}  // namespace nv
