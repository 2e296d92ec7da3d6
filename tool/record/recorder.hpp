// The one place a sender run's events are recorded.
//
// The loops report each event with one call: a probe sent, a datagram taken,
// the end of the sending (the drain follows), a stop request.  The recorder
// keeps the measurement record (counts, Stime, Rtime), the per-probe facts
// and the whole-run figures consistent, and tells the loop what a datagram
// was to the run.  Everything the reports print is computed from these.
#pragma once

#include "platform/winsock.hpp"
#include "tool/record/beyond_record.hpp"
#include "tool/record/long_run.hpp"
#include "tool/record/measurement_record.hpp"
#include "tool/record/probe_facts.hpp"

struct recorder {
    echomark_record* record;  // counts and per-probe times, read by the run report
    probe_facts* facts;       // how each probe within the record's slots fared
    long_run* whole;          // counts and round trips of every probe
    beyond_record* beyond;    // probes beyond the record's slots; null when the run stays within them
};

// What the run is: `count` probes (a long run may go beyond the record's
// slots), its --duration= and --every= (0: none), from `now` (monotonic).
struct recorder_plan {
    int count;
    bool long_active;
    double duration;
    double every;
    double now;
};

// Clears everything for a new run.
void recorder_begin(recorder* rec, const recorder_plan* plan);

// A cycle of the run begins.
void record_cycle(recorder* rec);

struct sent_event {
    int probe;                    // the probe's number
    int result;                   // the send's result: bytes sent, or a negative code
    double stime;                 // from the writability wait to the send's return, on the probe clock
    platform::clock_pair leaving;  // both clocks just before the send
};
void record_sent(recorder* rec, const sent_event* event);

struct taken_event {
    int received;                    // the receive's result
    int probe;                       // the probe number in what arrived, 0 when too little arrived
    bool reply;                      // from the destination, with a whole probe number
    int cycle;                       // the cycle that took it, facts_drain_cycle in the drain
    platform::receive_time arrival;  // the kernel's stamp, and both clocks as the receive returned
    double waited;                   // in a cycle: from the start of the wait to the receive's return (Rtime)
};

struct taken_verdict {
    reply_verdict verdict;
    double rtt;  // round trip of a first reply, else -1
};
taken_verdict record_taken(recorder* rec, const taken_event* event);

// The sending is over (the drain follows): a long run's facts cover the
// cycles it ran, not the count it was allowed.
void record_sending_over(recorder* rec);

// A stop was asked for by `signal`.
void record_stop(recorder* rec, int signal);
