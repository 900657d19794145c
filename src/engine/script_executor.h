// The script executor: runs the phase script of state.SQL on its data database.
#pragma once

#include <string_view>

#include "auth/basic_auth.h"
#include "db/kept_connections.h"
#include "engine/page_state.h"
#include "platform/clock.h"

namespace nv {

// First opens the phase connection (after the lock wait), or takes one kept from an earlier
// phase; Last commits and releases it, keeping it where it can stand in for a new one; View
// sends every SELECT's rows to the result slots. On any failure the phase connection is rolled
// back and released (state.Conn and state.Query empty) before the exception leaves the call.
void SQLexecute(TPageRequestState& state, std::string_view LPNo, bool First, bool Last, bool View);

// The phase connections kept open for later phases and requests while a new connection would
// behave the same (db/kept_connections.h): one set for the process, owned here and emptied by
// the start-up sequence once the server has stopped.
KeptConnections& KeptDataConnections();

// What the executor takes from outside the process: the lock wait's pause, the host phrase
// behind the key of encrypted data databases and the kept connections. Tests pass stand-ins.
struct ExecutorHooks {
  PauseFn pause = SleepMs;
  PhraseSource phrase = GeneratePhrase;
  KeptConnections* kept = &KeptDataConnections();
};

void SQLexecute(TPageRequestState& state, std::string_view LPNo, bool First, bool Last, bool View,
                const ExecutorHooks& hooks);

}  // namespace nv
