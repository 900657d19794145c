// Date-offset variables: "『今日+N』" in a phase script names the date N days from today.
#pragma once

#include <string_view>

namespace nv {

// Sets "今日+N" in Memory for every date-offset marker of SQLtext that has no value yet.
void DateMemoryValueSet(std::string_view SQLtext);

}  // namespace nv
