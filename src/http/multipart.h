// multipart/form-data bodies: posted fields and uploaded files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "http/posted_fields.h"
#include "http/request.h"

namespace nv {

// Body of a multipart/form-data request, boundary taken from content_type. The body becomes
// the buffer of fields, which get one entry per part in reverse part order: "name=value", for
// a file part "name=client file name", for a part without a name "DummyFileItem<i>" (i: the
// part's position in the body, from 0). Files come in reverse part order too, their contents
// in that buffer; a file part whose content is empty or exactly CR LF gives none.
// Anything but kOk leaves fields and files empty: kMalformed when the body does not parse (no
// boundary, no first or closing delimiter, a part without the empty line after its headers),
// kTooManyFields / kTooManyFiles beyond kMaxPostedFields parts / kMaxUploadedFiles files.
TBodyParse ParseMultipartBody(std::string_view content_type, std::string body,
                              TPostedFields& fields, std::vector<TUploadedFile>& files);

}  // namespace nv
