// The wait on a data database's journal file before a phase connection opens, and the
// recovery when the journal outlives the wait.
#pragma once

#include <string>

#include "platform/clock.h"

namespace nv {

// Waits while the journal beside DBname belongs to a live writer: another process holds a lock
// on the database, or the journal is hot (the engine would roll it back). A journal that is
// neither costs nothing. Never fails. pause makes the 1,000 ms waits (the server's own pause
// goes on serving the other clients; tests pass a stand-in).
void DBlockCheck(const std::string& DBname, const PauseFn& pause = SleepMs);

}  // namespace nv
