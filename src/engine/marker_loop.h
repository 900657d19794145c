// The marker loop that both sides of the bracket markup share: one marker stage (an opener, a
// closer, and what the name between them stands for) over a text under expansion.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nv {

// A text under expansion and the byte ranges of it that markers inserted. Openers and closers
// count only outside those ranges, where the script line, the template or an included file
// has them: an inserted value is data, so its brackets never open or close a marker.
struct WorkingText {
  struct Range {
    size_t begin, end;
  };
  std::string text;
  std::vector<Range> inserted;  // ascending, disjoint, none empty
};

// What the values of a marker stage are.
enum class Inserted {
  kData,    // final: recorded as inserted, so no later stage looks into them
  kMarkup,  // application text (include files): expanded in turn, as deep as the nesting bound
};

struct MarkerForm {
  std::string_view opener, closer;
  Inserted values = Inserted::kData;
};

// Include files may include others; one that includes itself would never end. A value of a
// kMarkup stage that would stand this many levels below the text given is left out.
inline constexpr int kMaxIncludeDepth = 8;

// The value of the marker named name, or nullopt to leave that marker as written.
using MarkerValue = std::function<std::optional<std::string>(std::string_view name)>;

// Expands one marker stage in a single forward pass. A counted opener takes the first counted
// closer after it; the name between may hold openers and inserted text. Each marker found
// replaces every occurrence of itself (name compared ignoring case) at once, so value_of runs
// once per marker found, left to right, and later spellings get the first one's value.
void ExpandMarkers(WorkingText& text, const MarkerForm& form, const MarkerValue& value_of);

}  // namespace nv
