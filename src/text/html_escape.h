// HTML escaping of text shown inside a page or an attribute.
#pragma once

#include <string>
#include <string_view>

namespace nv {

// "&", "<", ">", '"' and "'" as character references; nothing else changes.
std::string HtmlEscape(std::string_view text);

}  // namespace nv
