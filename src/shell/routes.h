// The route handlers the start-up sequence registers, and the request-exception hook.
#pragma once

#include <exception>

#include "platform/http.h"

namespace nv {

void CGI(TRequest& ARequest, TResponse& AResponse);     // page requests, normal mode
void Upload(TRequest& ARequest, TResponse& AResponse);  // "/upload", normal mode
void Init(TRequest& ARequest, TResponse& AResponse);    // every request in first-run mode

// Turns an exception that left a handler into the error page and sends it.
void MyShowRequestException(TResponse& AResponse, const std::exception& E, bool& Flag);

// The first seven lines of the shell's own pages (doctype to "<body>"), with their title.
void AddPageOpening(TStringList& lines, std::string_view title);

// "&", "<", ">", '"' and "'" as character references; nothing else changes.
std::string HtmlEscape(std::string_view text);

}  // namespace nv
