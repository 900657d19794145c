// The wait on a data database's journal file before a phase connection opens, and the
// recovery when the journal outlives the wait.
#pragma once

#include <functional>
#include <string>

#include "platform/clock.h"

namespace nv {

// Waits while the journal beside DBname belongs to a live writer: another process holds a lock
// on the database, or the journal is hot (the engine would roll it back). A journal that is
// neither costs nothing. Never fails. pause makes the 1,000 ms waits (the server's own pause
// goes on serving the other clients; tests pass a stand-in). before_recovery runs when the
// wait gives up, before the file is moved aside and copied back: the caller closes its own
// connections to the file there, as no file may be moved while it is open.
void DBlockCheck(const std::string& DBname, const PauseFn& pause = SleepMs,
                 const std::function<void()>& before_recovery = nullptr);

}  // namespace nv
