// Result slots and menu lists as page text: array rows, object rows, AI2 CSV.
#pragma once

#include <string>

#include "text/text_list.h"

namespace nv {

std::string DBtoHTML(const TStringList& NameList, const TStringList& DataList);
std::string DBtoJSON(const TStringList& NameList, const TStringList& DataList);
// The AI2 CSV text of a result slot (the page handler passes slot 1).
std::string DBtoAI2CSV(const TStringList& NameList, const TStringList& DataList);

}  // namespace nv
