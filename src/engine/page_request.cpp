#include <stdexcept>

#include "auth/basic_auth.h"
#include "shell/routes.h"

namespace nv {

// The authentication gate of every page request. The page engine behind it (menus, phases,
// templates) is not part of this build yet, so an admitted request ends on the error page.
void CGI(TRequest& ARequest, TResponse& AResponse) {
  if (BasicAuthorization(ARequest.Authorization) == "null") {
    BasicAuthorizationView(AResponse);
    return;
  }
  throw std::runtime_error("The page engine is not available in this build");
}

}  // namespace nv
