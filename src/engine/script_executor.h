// The script executor: runs the phase script of state.SQL on its data database.
#pragma once

#include <string_view>

#include "auth/basic_auth.h"
#include "engine/page_state.h"
#include "platform/clock.h"

namespace nv {

// First opens the phase connection (after the lock wait), Last commits and releases it, View
// sends every SELECT's rows to the result slots. On any failure the phase connection is rolled
// back and released (state.Conn and state.Query empty) before the exception leaves the call.
void SQLexecute(TPageRequestState& state, std::string_view LPNo, bool First, bool Last, bool View);

// What the executor takes from outside the process: the lock wait's pause and the host phrase
// behind the key of encrypted data databases. Tests pass stand-ins.
struct ExecutorHooks {
  PauseFn pause = SleepMs;
  PhraseSource phrase = GeneratePhrase;
};

void SQLexecute(TPageRequestState& state, std::string_view LPNo, bool First, bool Last, bool View,
                const ExecutorHooks& hooks);

}  // namespace nv
