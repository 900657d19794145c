// Route matching: registration order, level by level, ASCII case ignored.
#include "http/router.h"

#include <algorithm>

#include "text/strings.h"

namespace nv {

namespace {

// "/a/b/" -> {"A", "B"}; "/" and "" -> {}. Only one trailing "/" is ignored, so "/a//" keeps an
// empty last level and matches no route "/a".
std::vector<std::string> Levels(std::string_view path) {
  std::vector<std::string> levels;
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  if (path.empty()) return levels;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    levels.push_back(UpperAscii(path.substr(start, slash - start)));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return levels;
}

}  // namespace

void THTTPRouter::RegisterRoute(const std::string& path, THandler h, bool is_default) {
  routes_.push_back(Route{Levels(path), std::move(h), false});
  if (is_default) default_ = static_cast<long>(routes_.size()) - 1;
}

void THTTPRouter::RegisterLocation(const std::string& path, THandler h, bool runs_beside) {
  routes_.push_back(Route{Levels(path), std::move(h), true, runs_beside});
}

// Compares the request's levels in place (route levels are upper-cased already): matching
// runs twice per request and copies nothing.
const THTTPRouter::Route* THTTPRouter::Match(std::string_view path_info) const {
  std::string_view path = path_info;
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const size_t count =
      path.empty() ? 0 : static_cast<size_t>(std::count(path.begin(), path.end(), '/')) + 1;
  for (const Route& r : routes_) {
    if (r.below ? count < r.levels.size() : count != r.levels.size()) continue;
    bool same = true;
    size_t start = 0;
    for (size_t i = 0; i < r.levels.size() && same; ++i) {
      const size_t slash = path.find('/', start);
      same = SameAsciiIgnoreCase(path.substr(start, slash - start), r.levels[i]);
      start = slash + 1;
    }
    if (same) return &r;
  }
  return default_ >= 0 ? &routes_[static_cast<size_t>(default_)] : nullptr;
}

const THandler* THTTPRouter::FindRoute(std::string_view path_info) const {
  const Route* r = Match(path_info);
  return r == nullptr ? nullptr : &r->handler;
}

bool THTTPRouter::RunsBeside(std::string_view path_info) const {
  const Route* r = Match(path_info);
  return r != nullptr && r->runs_beside;
}

void THTTPRouter::Clear() {
  routes_.clear();
  default_ = -1;
}

}  // namespace nv
