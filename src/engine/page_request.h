// The page request handler: the default route of normal mode.
#pragma once

#include "http/request.h"
#include "http/response.h"

namespace nv {

void CGI(TRequest& ARequest, TResponse& AResponse);

}  // namespace nv
