// Feeds arbitrary bodies to the multipart parser. The input's first line is the content type,
// the rest the body, so the fuzzer can vary the boundary too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "http/multipart.h"
#include "http/request.h"
#include "text/strings.h"
#include "text/text_list.h"

using nv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t lf = std::min(input.find('\n'), input.size());
  std::string_view type = input.substr(0, lf);
  std::string_view body = input.substr(std::min(lf + 1, input.size()));

  nv::TPostedFields fields;
  std::vector<nv::TUploadedFile> files;
  const nv::TBodyParse result = nv::ParseMultipartBody(type, std::string(body), fields, files);
  if (result != nv::TBodyParse::kOk) Check(fields.GetCount() == 0 && files.empty());
  Check(files.size() <= fields.GetCount());
  size_t bytes = 0;
  for (const nv::TUploadedFile& f : files) {
    Check(!f.Content.empty() && f.Content != "\r\n");
    // A name holding "=" reads back up to it, as in every name=value list.
    Check(fields.IndexOfName(f.FieldName.substr(0, f.FieldName.find('='))) >= 0);
    bytes += f.Content.size();
  }
  Check(bytes <= body.size());  // parts never overlap

  // The fields read by name exactly as a plain text list of the same entries reads them.
  nv::TStringList plain;
  for (const std::string& entry : fields.Items()) plain.Add(entry);
  for (size_t i = 0; i < fields.GetCount(); ++i) {
    const std::string name = fields.GetName(i);
    Check(name == plain.GetName(i) && fields.ValueView(i) == plain.GetValueFromIndex(i));
    for (const std::string& asked : {name, nv::UpperAscii(name), nv::LowerAscii(name)}) {
      Check(fields.IndexOfName(asked) == plain.IndexOfName(asked));
    }
  }
  return 0;
}
