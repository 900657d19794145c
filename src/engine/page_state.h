// The record of one page request, shared in place by the handler, the definition lookup, the
// script executor, both sides of the bracket markup and the per-record phase.
#pragma once

#include <cstdint>
#include <memory>

#include "db/definition_db.h"
#include "db/sqlite_db.h"
#include "text/row_list.h"
#include "text/text_list.h"

namespace nv {

class TRequest;
class TResponse;

struct TPageRequestState {
  TRequest* ARequest = nullptr;
  TResponse* AResponse = nullptr;
  // The running lookup's or phase's connection and query; empty between them. Query is
  // declared after Conn, so it goes first when the state is released.
  std::unique_ptr<TSQLite3Connection> Conn;
  std::unique_ptr<TSQLQuery> Query;
  // The request's reads of the definition database: the lookups that the handler lets share
  // one read transaction, and the end of it before a phase connection opens.
  DefinitionReads definition_reads;
  TStringList MenuNameList;  // column names of table "メニュー"
  TStringList MenuDataList;  // one TAB row per menu row of the user role
  // Result slots 1 to 4: column names and TAB rows.
  TStringList NameList1;
  TRowList DataList1;
  TStringList NameList2;
  TRowList DataList2;
  TStringList NameList3;
  TRowList DataList3;
  TStringList NameList4;
  TRowList DataList4;
  TStringList SQL;  // script list of the latest phase lookup
  TStringList etc;  // template list: one entry, or none when there is no such template
  int32_t SW = 0;   // current result slot, 0 (none yet) to 4
  bool TABset = false;
  bool SQLexecFirst = true;
  // While the per-record phase runs, a row run's committed phase connection may wait here for
  // the next row run, which takes it instead of opening the file anew when it can pass for a
  // new connection (script_executor.cpp). spare_stamp is its file right after that commit.
  bool keep_spare = false;
  std::unique_ptr<TSQLite3Connection> spare_conn;
  std::optional<FileStamp> spare_stamp;
  // The clock before Conn's phase began: a phase connection is kept for later phases and
  // requests only when its file had not changed for a while by then (db/kept_connections.h).
  int64_t conn_began_ns = 0;
};

}  // namespace nv
