// The application-wide error page, and the opening the shell's own pages share.
#pragma once

#include <exception>
#include <string_view>

#include "http/response.h"
#include "text/text_list.h"

namespace nv {

// Turns an exception that left a handler into the error page and sends it.
void MyShowRequestException(TResponse& AResponse, const std::exception& E, bool& Flag);

// The first seven lines of the shell's own pages (doctype to "<body>"), with their title.
void AddPageOpening(TStringList& lines, std::string_view title);

}  // namespace nv
