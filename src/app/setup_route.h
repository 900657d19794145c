// The set-up route of first-run mode: registers the administrator.
#pragma once

#include "http/request.h"
#include "http/response.h"

namespace nv {

void Init(TRequest& ARequest, TResponse& AResponse);  // every request in first-run mode

}  // namespace nv
