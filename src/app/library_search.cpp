#include "app/library_search.h"

#include <algorithm>

#include "platform/files.h"
#include "text/text_list.h"

namespace nv {

std::string GetFilePath(const std::string& Path, const std::string& Search, bool Desc) {
  // Files under "images" come from browsers (uploads): a library found there would be loaded
  // and run inside the server at the next start.
  const std::string uploads = Path + "images" + kPathDelim;
  TStringList found;
  for (auto& p : FindFiles(Path, Search))
    if (p.compare(0, uploads.size(), uploads) != 0) found.Add(std::move(p));
  if (found.GetCount() == 0) return std::string();
  found.Sort();
  return Desc ? found.Get(found.GetCount() - 1) : found.Get(0);
}

}  // namespace nv
