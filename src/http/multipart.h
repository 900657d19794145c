// multipart/form-data bodies: posted fields and uploaded files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "http/request.h"
#include "text/text_list.h"

namespace nv {

// Body of a multipart/form-data request, boundary taken from content_type. Appends one field
// per part in reverse part order: "name=value", for a file part "name=client file name", for a
// part without a name "DummyFileItem<i>" (i: the part's position in the body, from 0). Files
// come in reverse part order too; a file part whose content is empty or exactly CR LF gives none.
// False, with nothing appended, when the body does not parse: no boundary, no first or closing
// delimiter, a part without the empty line after its headers.
bool ParseMultipart(std::string_view content_type, std::string_view body, TStringList& fields,
                    std::vector<TUploadedFile>& files);
// The same over a body that is used up: its longest part takes the buffer over instead of being
// copied. body is left empty.
bool ParseMultipartBody(std::string_view content_type, std::string&& body, TStringList& fields,
                        std::vector<TUploadedFile>& files);

}  // namespace nv
