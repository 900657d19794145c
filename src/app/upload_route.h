// The upload route "/upload": stores a file in "images" and sends it back.
#pragma once

#include "http/request.h"
#include "http/response.h"

namespace nv {

void Upload(TRequest& ARequest, TResponse& AResponse);

}  // namespace nv
