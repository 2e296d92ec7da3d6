// A sender run beyond the record's 10000 slots or bounded by time
// (--count=, --duration=), and the interval lines of --every=.  Every probe
// counts in figures of fixed size; the per-probe table, the record and the
// result files keep the first 10000 probes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tool/record/rtt_stream.hpp"

// Replies to probes beyond the record are told apart from copies over this
// many of the latest probes; an older reply counts as a copy.
constexpr int long_run_window = 65536;

struct long_run {
    bool active;       // --count= or --duration= given
    double started;    // monotonic seconds at the first cycle
    double deadline;   // monotonic seconds at which sending stops; 0: none
    double every;      // seconds between interval lines; 0: none
    double next_line;  // monotonic seconds of the next interval line
    int64_t cycles;    // cycles begun
    int64_t sent;      // probes that left, the whole run
    int64_t received;  // first replies counted, the whole run
    rtt_stream total;  // round trips of first replies, whatever cycle they came in
    int64_t interval_sent;
    int64_t interval_received;
    rtt_stream interval;
    int32_t highest_sent;                     // probe number of the latest probe beyond the record
    double leaving[long_run_window];          // by probe number modulo the window: monotonic seconds before its send
    uint32_t answered[long_run_window / 32];  // by probe number modulo the window: reply taken
};

extern long_run echomarklong;

// Starts a run: `active` as the options say, the clock `now` (monotonic).
void long_run_begin(long_run* run, bool active, double duration, double every, double now);
// True when a --duration= run has used its time.
bool long_run_over(const long_run* run, double now);
// Prints the interval line on `out` when one is due (at most one per call,
// covering the time since the last).
void long_run_tick(long_run* run, double now, std::FILE* out);
// Probe `probe` left; `leaving` is the monotonic clock just before its send.
void long_run_sent(long_run* run, int probe, double leaving);
// A reply to a probe beyond the record's slots: true when it is the first
// reply to a probe that left within the window, false for a copy.
bool long_run_first_beyond(long_run* run, int probe);
// Monotonic seconds just before the send of a probe beyond the record that
// left within the window.
double long_run_leaving(const long_run* run, int probe);
// A reply was counted (in recvpkts); `rtt` is its round trip, negative when
// it has none.
void long_run_received(long_run* run, double rtt);
// The statistics block of a long run, "stats(): " lines.
void long_run_print_stats(const long_run* run, std::FILE* out);
