// The SQL side of the bracket markup: one statement or directive line of a phase script,
// expanded with memory variables, row columns, request values and encrypted request values.
#pragma once

#include <string>
#include <string_view>

#include "engine/page_state.h"

namespace nv {

// The expanded text of SQLIn for the row context LPNo. The first call of a page request (while
// state.SQLexecFirst is set) also runs the once-per-request step on the posted fields.
std::string Inset(TPageRequestState& state, std::string_view SQLIn, std::string_view LPNo);

// True while the next Inset may rewrite posted values rather than only add to them: the
// once-per-request step is still due and protects the markers of posted texts.
bool OncePerRequestMayRewrite(const TPageRequestState& state);

}  // namespace nv
