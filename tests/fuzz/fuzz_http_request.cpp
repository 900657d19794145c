// Feeds arbitrary bytes to the request parser, the router and the static path check.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "http/request.h"
#include "http/static_files.h"

namespace {

const nv::THTTPRouter& Router() {
  static const nv::THTTPRouter router = [] {
    nv::THTTPRouter r;
    r.RegisterLocation("/images", [](nv::TRequest&, nv::TResponse&) {});
    r.RegisterRoute(
        "/", [](nv::TRequest&, nv::TResponse&) {}, true);
    r.RegisterRoute(
        "/upload", [](nv::TRequest&, nv::TResponse&) {}, false);
    return r;
  }();
  return router;
}

}  // namespace

using nv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The resumable head scan, fed in two pieces, finds the same end as one scan of the whole.
  size_t whole = nv::FindHeadEnd(bytes);
  size_t resume = 0;
  size_t split = size / 2;
  size_t end = nv::FindHeadEnd(bytes.substr(0, split), &resume);
  if (end == std::string_view::npos) end = nv::FindHeadEnd(bytes, &resume);
  Check(end == whole);

  nv::TRequest req;
  int status = nv::ParseRequest(bytes, req);
  Check(status == 0 || status == 400 || status == 413 || status == 501 || status == 505);
  if (status == 0) {
    Check(!req.PathInfo.empty() && req.PathInfo[0] == '/');
    Check(req.Files().size() <= req.ContentFields().GetCount());
  }
  Check(Router().FindRoute(req.PathInfo) != nullptr);

  std::string relative;
  if (nv::StaticRelativePath(req.PathInfo, relative)) {
    Check(relative.find('\0') == std::string::npos && relative.find('\\') == std::string::npos);
    Check(relative != ".." && relative.rfind("../", 0) != 0 &&
          relative.find("/../") == std::string::npos &&
          (relative.size() < 3 || relative.compare(relative.size() - 3, 3, "/..") != 0));
  }

  // Fields decoded in place over the whole text are those of each piece decoded on its own.
  nv::TStringList fields;
  nv::ParseQueryString(bytes, fields);
  std::vector<std::string> pieces;
  for (size_t start = 0; start <= bytes.size();) {
    size_t amp = bytes.find('&', start);
    if (amp == std::string_view::npos) amp = bytes.size();
    if (amp > start) pieces.push_back(nv::URLDecode(bytes.substr(start, amp - start)));
    start = amp + 1;
  }
  Check(fields.Items() == pieces);
  // And a form body gives the same fields, pointing into the body.
  nv::TPostedFields posted;
  if (nv::ParseFormBody(std::string(bytes), posted) == nv::TBodyParse::kOk) {
    Check(posted.Items() == pieces);
  }
  return 0;
}
