// The local clock, whole-day date arithmetic and pauses.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace nv {

struct LocalDateTime {
  int year = 1, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The local date and time now.
LocalDateTime LocalNow();
// The same wall-clock time the given number of whole days later (earlier when negative).
LocalDateTime AddDays(const LocalDateTime& t, int days);

std::string FormatDate(const LocalDateTime& t);      // yyyy-mm-dd
std::string FormatTime(const LocalDateTime& t);      // hh:nn:ss
std::string FormatDateTime(const LocalDateTime& t);  // yyyy-mm-dd hh:nn:ss
std::string FormatLogStamp(const LocalDateTime& t);  // yyyy-mm-dd hh:nn:ss zzz

// The wall clock in nanoseconds since 1970, read from the coarse clock the kernel stamps files
// with, so it never runs ahead of a file time written after it.
int64_t WallClockNs();
// Where a wall-clock reading comes from: WallClockNs, or a stand-in that tests pass in.
using WallClockFn = int64_t (*)();

// Pauses the calling thread.
void SleepMs(int ms);
// Where a pause goes: the real SleepMs, the server's pause that serves the other clients
// meanwhile, or a stand-in that tests pass in.
using PauseFn = std::function<void(int ms)>;

}  // namespace nv
