// The template side of the bracket markup: include files, request and memory markers.
#pragma once

#include <string>
#include <string_view>

#include "engine/page_state.h"

namespace nv {

std::string InsetHTML(TPageRequestState& state, std::string_view HTMLIn);

}  // namespace nv
