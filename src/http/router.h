// Route registration and matching.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "http/request.h"
#include "http/response.h"

namespace nv {

using THandler = std::function<void(TRequest&, TResponse&)>;

class THTTPRouter {
 public:
  // Routes are tried in registration order. A path matches level by level, ASCII letters
  // compared without regard to case; a trailing "/" is ignored ("/upload/" is "/upload"), and
  // "/" matches only the root. A default route gets whatever nothing else takes; registering
  // another default replaces it as the default.
  void RegisterRoute(const std::string& path, THandler h, bool is_default = false);
  // A location takes its own path and everything below it ("/images/a/b.png"). A handler that
  // runs_beside uses nothing another handler may hold (no database, no process-wide value), so
  // it may run while another handler pauses.
  void RegisterLocation(const std::string& path, THandler h, bool runs_beside = false);
  // The handler for a request path (without query): the first match, else the default route;
  // nullptr when there is neither.
  const THandler* FindRoute(std::string_view path_info) const;
  // Whether the handler FindRoute gives runs beside the others.
  bool RunsBeside(std::string_view path_info) const;
  void Clear();

 private:
  struct Route {
    std::vector<std::string> levels;  // upper-cased ASCII
    THandler handler;
    bool below = false;  // also matches every path below it
    bool runs_beside = false;
  };
  const Route* Match(std::string_view path_info) const;
  std::vector<Route> routes_;
  long default_ = -1;
};

}  // namespace nv
