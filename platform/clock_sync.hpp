// Whether the system clock can be trusted against UTC, as the kernel's
// clock discipline (adjtimex) tells: a time that leaves this host says how
// far off it may be, and claims synchronization only when it is true.
#pragma once

namespace platform {

struct clock_sync_state {
    bool known;              // the kernel answered
    bool synchronized;       // an external source keeps the clock on UTC
    double estimated_error;  // seconds: the kernel's estimate of the clock's error
    double maximum_error;    // seconds: the kernel's bound on it
};

// Reads the state now (one system call; the bound grows between the time
// daemon's updates, so a caller that sends times reads it about once a second).
clock_sync_state clock_sync_now();

// The state from what adjtimex returned: its result (the clock state, or -1),
// the status bits and the two errors in microseconds.  Synchronized only when
// the call worked, the state is not TIME_ERROR and STA_UNSYNC is clear.
clock_sync_state clock_sync_from_kernel(int result, int status, long maximum_error_us, long estimated_error_us);

// How far off a time stamp of this clock may be, in seconds: the kernel's
// bound when synchronized; infinity when not, because an unsynchronized
// clock may be off by anything.
double clock_sync_error_bound(const clock_sync_state* state);

}  // namespace platform
