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

using nv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t lf = std::min(input.find('\n'), input.size());
  std::string_view type = input.substr(0, lf);
  std::string_view body = input.substr(std::min(lf + 1, input.size()));

  nv::TStringList fields;
  std::vector<nv::TUploadedFile> files;
  const bool parses = nv::ParseMultipart(type, body, fields, files);
  if (!parses) Check(fields.GetCount() == 0 && files.empty());
  Check(files.size() <= fields.GetCount());
  size_t bytes = 0;
  for (const nv::TUploadedFile& f : files) {
    Check(!f.Content.empty() && f.Content != "\r\n");
    // A name holding "=" reads back up to it, as in every name=value list.
    Check(fields.IndexOfName(f.FieldName.substr(0, f.FieldName.find('='))) >= 0);
    bytes += f.Content.size();
  }
  Check(bytes <= body.size());  // parts never overlap

  // A body that is used up gives the same fields and files as one that is copied from.
  nv::TStringList taken_fields;
  std::vector<nv::TUploadedFile> taken_files;
  Check(nv::ParseMultipartBody(type, std::string(body), taken_fields, taken_files) == parses);
  Check(taken_fields.Items() == fields.Items());
  Check(taken_files.size() == files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    Check(taken_files[i].FieldName == files[i].FieldName &&
          taken_files[i].FileName == files[i].FileName &&
          taken_files[i].ContentType == files[i].ContentType &&
          taken_files[i].Content == files[i].Content);
  }
  return 0;
}
