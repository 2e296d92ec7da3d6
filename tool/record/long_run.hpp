// The figures of a whole sender run, whatever its length, in fixed memory:
// probes sent, first replies and their round trips, for the run and for the
// interval since the latest interval line; and the run's clock (--duration=,
// --every=).  The per-probe record and facts keep the first 10000 probes; a
// run beyond them (--count=, --duration=) is counted here in full.
#pragma once

#include <cstdint>

#include "tool/record/rtt_stream.hpp"

struct long_run {
    bool active;       // --count= or --duration= given
    double started;    // monotonic seconds at the first cycle
    double deadline;   // monotonic seconds at which sending stops; 0: none
    double every;      // seconds between interval lines; 0: none
    double next_line;  // monotonic seconds of the next interval line
    int stopped_by;    // the signal that asked the run to stop, 0 when none did
    int64_t cycles;    // cycles begun
    int64_t sent;      // probes that left, the whole run
    int64_t received;  // first replies counted, the whole run
    rtt_stream total;  // round trips of first replies, whatever cycle they came in
    int64_t interval_sent;
    int64_t interval_received;
    rtt_stream interval;
};

// Starts a run: `active` as the options say, the clock `now` (monotonic).
void long_run_begin(long_run* run, bool active, double duration, double every, double now);
// True when a --duration= run has used its time.
bool long_run_over(const long_run* run, double now);
// A probe left.
void long_run_sent(long_run* run);
// A reply was counted (in recvpkts); `rtt` is its round trip, negative when
// it has none.
void long_run_received(long_run* run, double rtt);
// True when an interval line is due at `now`.
bool long_run_interval_due(const long_run* run, double now);
// The interval line was written: the interval's counts start again, and the
// next line is due one interval on (a cycle longer than the interval gives
// one line, not a burst of empty ones).
void long_run_interval_done(long_run* run, double now);

// Loss in percent of what left, held within 0 to 100: late replies to
// earlier probes can make the count of replies larger than that of probes.
double loss_percent(int64_t sent, int64_t received);
