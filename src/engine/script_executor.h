// The script executor: runs the phase script of state.SQL on its data database.
#pragma once

#include <string_view>

#include "engine/page_state.h"

namespace nv {

// First opens the phase connection (after the lock wait), Last commits and releases it, View
// sends every SELECT's rows to the result slots.
void SQLexecute(TPageRequestState& state, std::string_view LPNo, bool First, bool Last, bool View);

}  // namespace nv
