// Reads the stored application from the definition database "ZURazo.db" in `Folder`: SQL
// definitions (table "SQL"), templates ("HTML") and menu rows ("メニュー").
#pragma once

#include <string_view>

#include "engine/page_state.h"
#include "text/text_list.h"

namespace nv {

// SQLorHTMLorMENU, compared exactly:
//  "SQL":  the script list of definition Namae's phase column Kubun for role org: the data
//          database path, the encryption flag and the phase script; empty when there is no
//          such definition, the role may not run it, or the phase column is blank.
//  "HTML": one entry, the text of template Namae (also when empty); none when missing.
//  "MENU": fills state.MenuNameList / MenuDataList with role org's menu rows and returns an
//          empty list; with no rows the lists are left as they are.
//  anything else: an empty list; nothing is opened.
// A failing query counts as no rows; failing to open the database and a missing column throw.
// The lookup's connection and query live in state.Conn / state.Query during the call and are
// released on every path, except that a lookup that read without error hands its connection to
// state.definition_reads, which keeps it, read transaction and all, while the handler lets the
// lookups share one.
TStringList GetZURazo(TPageRequestState& state, std::string_view SQLorHTMLorMENU,
                      std::string_view Namae, std::string_view Kubun, std::string_view org);

}  // namespace nv
