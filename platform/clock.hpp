// Clock, calendar and pause services of the platform layer.
//
// The libraries expect a time-out record of two signed 32-bit fields and a
// local clock that reports milliseconds, as on Windows.  These
// functions give them exactly that on Linux; they are the only code that
// reads the system clocks or sleeps.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// Time-out record of the socket services: whole seconds and microseconds.
struct timeval {
    int32_t tv_sec;
    int32_t tv_usec;
};
static_assert(sizeof(timeval) == 8, "the time-out record is two 32-bit fields");

// Converts seconds to a time-out record by truncation toward zero:
// 2.5 gives {2, 500000}, -1.5 gives {-1, -500000}, 0.0000005 gives {0, 0}.
// Values beyond the 32-bit seconds are clamped to the nearest end; a value
// that is not a number gives {0, 0}.
timeval timeval_from_seconds(double seconds);

// One reading of the calendar clock: seconds since 1970-01-01 UTC and the
// nanoseconds within that second, taken together so they always agree.
struct clock_reading {
    int64_t seconds;
    int32_t nanoseconds;
};
clock_reading realtime_now();

// One reading of the monotonic clock in seconds (for durations only).
double monotonic_seconds();

// Local calendar time of a whole second, with the time zone loaded once per
// process (no file-system check per call).  False when the second cannot be
// represented.
bool local_calendar(int64_t seconds, std::tm* out);

// The local clock as Windows reports it: calendar fields down to milliseconds.
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
void GetLocalTime(SYSTEMTIME* out);

// Pauses the calling thread for the given number of milliseconds.  The
// thread's timer slack is reduced once so that a 1 ms pause lasts close to
// 1 ms rather than the kernel's default rounding.  A stop request (see
// stop_request.hpp) ends the pause at once.
void Sleep(uint32_t milliseconds);

// Pauses the calling thread for the given seconds, to the nanosecond as far
// as the kernel's timer allows; 0, a negative value or one that is not a
// number returns at once, and values beyond a day are held at a day.  A stop
// request ends the pause at once.
void pause_seconds(double seconds);

}  // namespace platform
