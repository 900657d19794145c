// Date-offset variables: a phase script that names 『今日+N』 gets the local date N days from
// today in the memory variable 今日+N, read by the memory markers of both markup sides.
#include "engine/date_offsets.h"

#include <exception>
#include <string>

#include "globals/globals.h"
#include "platform/clock.h"
#include "text/numbers.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

namespace {

constexpr std::string_view kOpen = "『今日+";
constexpr std::string_view kClose = "』";

// The scan ends on its own, since every pass removes the marker it found; like the other
// expansion loops it is bounded all the same.
constexpr size_t kMaxPasses = 10000;

// The date N days from today. Any 32-bit day count is accepted, so the result is kept within
// the years a "yyyy-mm-dd" date can be written in.
std::string OffsetDate(int32_t days) {
  LocalDateTime t = AddDays(LocalNow(), days);
  if (t.year > 9999) return "9999-12-31";
  if (t.year < 1) return "0001-01-01";
  return FormatDate(t);
}

}  // namespace

void DateMemoryValueSet(std::string_view SQLtext) {
  std::string text(SQLtext);
  size_t from = 0;
  for (size_t pass = 0; pass < kMaxPasses; ++pass) {
    size_t open = text.find(kOpen, from);
    if (open == std::string::npos) return;
    const size_t inner = open + kOpen.size();
    size_t close = text.find(kClose, inner);
    if (close == std::string::npos) return;  // no later marker can have a closer either
    const std::string n = text.substr(inner, close - inner);
    const std::string name = "今日+" + n;
    // A value the request already gave this name (an earlier phase, a column of that name)
    // is kept.
    if (Memory.GetValue(name).empty()) Memory.SetValue(name, OffsetDate(ReadIntegerDef(n, 0)));
    // Every spelling of the marker goes (case ignored). Nothing before `open` holds an opener,
    // so the removal can start there.
    try {
      const std::string marker = std::string(kOpen) + n + std::string(kClose);
      std::string rest = StringReplace(std::string_view(text).substr(open), marker, "",
                                       rfReplaceAll | rfIgnoreCase);
      text.replace(open, std::string::npos, rest);
    } catch (const std::exception&) {
      return;  // the found marker would stay first in the text: the scan ends here
    }
    // A new opener can only be one that reaches into the shortened text.
    from = open >= kOpen.size() - 1 ? open - (kOpen.size() - 1) : 0;
  }
}

}  // namespace nv
