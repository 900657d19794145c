// Result slots and menu lists as page text: array rows, object rows, AI2 CSV.
#pragma once

#include <cstddef>
#include <string>

#include "text/row_list.h"
#include "text/text_list.h"

namespace nv {

// The data list is a text list (menu rows) or a row list (result slots); both give the same
// text for the same rows.
std::string DBtoHTML(const TStringList& NameList, const TStringList& DataList);
std::string DBtoHTML(const TStringList& NameList, const TRowList& DataList);
std::string DBtoJSON(const TStringList& NameList, const TStringList& DataList);
std::string DBtoJSON(const TStringList& NameList, const TRowList& DataList);
// The AI2 CSV text of a result slot (the page handler passes slot 1).
std::string DBtoAI2CSV(const TStringList& NameList, const TStringList& DataList);
std::string DBtoAI2CSV(const TStringList& NameList, const TRowList& DataList);

// DBtoHTML and DBtoJSON appended to out, which is not copied: a page of many rows is written
// where it will stand. The Room functions give the most bytes each appends, so that out can be
// made large enough for the whole page at once.
void AppendDBtoHTML(std::string& out, const TStringList& NameList, const TRowList& DataList);
void AppendDBtoJSON(std::string& out, const TStringList& NameList, const TRowList& DataList);
size_t DBtoHTMLRoom(const TStringList& NameList, const TRowList& DataList);
size_t DBtoJSONRoom(const TStringList& NameList, const TRowList& DataList);

}  // namespace nv
