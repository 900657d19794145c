// A stand-in for the lock wait's 1,000 ms pauses: counts them, and lets a test act at a given
// pause (remove the journal, repair the engine ...), so the waits cost no real time.
#pragma once

#include <functional>

namespace nv::test {

struct FakePause {
  static inline int count = 0;
  static inline long total_ms = 0;
  // Called with the number of the pause just made (from 1).
  static inline std::function<void(int)> on_pause;

  static void Pause(int ms) {
    ++count;
    total_ms += ms;
    if (on_pause) on_pause(count);
  }
  static void Reset() {
    count = 0;
    total_ms = 0;
    on_pause = nullptr;
  }
};

}  // namespace nv::test
