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
  kMarkup,  // application text (include files): expanded in turn, at any depth
};

struct MarkerForm {
  std::string_view opener, closer;
  Inserted values = Inserted::kData;
};

// The value of the marker named name, or nullopt to leave that marker as written.
using MarkerValue = std::function<std::optional<std::string>(std::string_view name)>;

// Where the value of a kMarkup marker comes from: names that reach the same file give the
// same text, the empty text when it comes from nowhere (no such file). A marker whose origin
// is already being expanded on its own way down (a file that includes itself, directly or
// through others) gives nothing there, so only a real cycle is cut and any nesting without
// one expands whole.
using MarkerOrigin = std::function<std::string(std::string_view name)>;

// Without a cycle, files that each include the next many times still multiply: beyond this
// much text from kMarkup values (each counted wherever it is inserted) the expansion fails.
inline constexpr size_t kMaxMarkupBytes = size_t{16} << 20;

// Expands one marker stage in a single forward pass. A counted opener takes the first counted
// closer after it; the name between may hold openers and inserted text. Each marker found
// replaces every occurrence of itself (name compared ignoring case) at once, so value_of runs
// once per marker found, left to right, and later spellings get the first one's value.
// A kMarkup stage asks origin_of (without it, the name as written is the origin) before each
// value_of, and throws std::runtime_error once its values pass max_markup bytes.
void ExpandMarkers(WorkingText& text, const MarkerForm& form, const MarkerValue& value_of,
                   const MarkerOrigin& origin_of = nullptr, size_t max_markup = kMaxMarkupBytes);

}  // namespace nv
