// The per-record phase: one run of the per-record script per posted row, block line or CSV
// file line, sharing one phase connection; uploads into "images".
#pragma once

#include <string>

#include "engine/page_state.h"

namespace nv {

void RunPerRecordPhase(TPageRequestState& state, const std::string& org);

}  // namespace nv
