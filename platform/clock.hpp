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

// The calendar clock in nanoseconds since 1970-01-01 UTC: the clock of the
// kernel's receive stamps and of the times that travel in test packets.
int64_t realtime_ns();
// The monotonic clock in nanoseconds.
int64_t monotonic_ns();

// Both clocks read back to back.  The calendar gives times that can be set
// against the kernel's receive stamps and the far end's clock; the
// monotonic clock shows whether the calendar was set in between, because
// the two advance at the same rate and differ only when the calendar steps.
struct clock_pair {
    int64_t calendar_ns;
    int64_t monotonic_ns;
};
clock_pair clock_pair_now();

// The calendar may move against the monotonic clock by this much between two
// pairs before it counts as set (two readings a few tens of nanoseconds
// apart, unless the thread was preempted between them).
constexpr int64_t calendar_step_tolerance_ns = 20000;

// A round trip and where it came from.
struct round_trip {
    int64_t nanoseconds;
    bool from_stamp;  // the kernel's receive stamp less the calendar send time
};
// The round trip from a send (both clocks read right before it) to the
// arrival of its reply: the kernel's receive stamp less the calendar send
// time, one clock at both ends, when the stamp is known, lies between the
// send and the receive's return, and the calendar kept pace with the
// monotonic clock from `sent` to `taken` (both clocks read as the receive
// returned).  Otherwise the monotonic time from the send to the receive's
// return, which is never shorter than the trip.  Never negative.
round_trip round_trip_between(clock_pair sent, bool stamp_known, int64_t stamp_ns, clock_pair taken);

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

// Asks the kernel to end the calling thread's timed waits as close to their
// time as it can (a timer slack of 1 ns instead of its default 50 us), for
// loops that keep to a schedule of their own.
void timer_slack_least();

// Asks the scheduler for short time slices for the calling thread (on a
// kernel whose scheduler takes them), so that when it wakes on a busy
// processor it runs at once rather than after the running thread's slice.
// The thread keeps its ordinary priority and share.  False when the kernel
// refused.
bool short_time_slices();

}  // namespace platform
