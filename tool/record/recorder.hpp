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
#include "tool/record/oneway_figures.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/record/probe_window.hpp"
#include "tool/record/schedule_figures.hpp"
#include "tool/record/scheduled_probes.hpp"

struct recorder {
    echomark_record* record;  // counts and per-probe times, read by the run report
    probe_facts* facts;       // how each probe within the record's slots fared
    long_run* whole;          // counts and round trips of every probe
    beyond_record* beyond;    // probes beyond the record's slots; null when the run stays within them
    scheduled_probes* scheduled = nullptr;  // a scheduled run's own per-probe facts; null in other runs
    schedule_figures* schedule = nullptr;   // a scheduled run's figures; null in other runs
    oneway_figures* oneway = nullptr;       // the far end's times (--oneway, --stamp); null in other runs
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
    const oneway_reply* oneway = nullptr;  // what a reply says of the far end, when the run keeps it
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

// --- a scheduled run -------------------------------------------------------------
//
// Probes leave on a schedule whatever the replies do; the engine's window
// matches the replies and hands each probe back once, in probe order.  In
// the measurement record Stime is the send call's own time and Rtime the
// probe's round trip (both on the monotonic clock); recvpkts counts the
// probes answered within their wait.

// Clears everything for a scheduled run on `setup` (rec->scheduled and
// rec->schedule must be set).
void recorder_begin_scheduled(recorder* rec, const recorder_plan* plan, const schedule_setup* setup);

// The schedule starts at `start` (monotonic): the run's clock begins there,
// after the records were cleared, so that clearing them never delays probe 0.
void record_scheduled_start(recorder* rec, double start);

struct scheduled_sent_event {
    int64_t probe;     // the probe's number
    int result;        // the send's result: bytes sent, or a negative code
    double scheduled;  // its deadline, monotonic seconds
    double leaving;    // monotonic seconds just before the send
    double calendar;   // calendar seconds just before the send (read for the probes the facts hold)
    double send_call;  // seconds the send call took
    int64_t calendar_ns = 0;  // the same calendar reading, whole
};
// A probe's turn came and its send was made (a failed send too).
void record_scheduled_sent(recorder* rec, const scheduled_sent_event* event);

struct scheduled_reply_event {
    bool reply;             // from the destination, with a whole probe number
    int32_t wire;           // the probe number as it came
    int64_t probe;          // what the window took it for; -1: none
    window_verdict verdict;  // what the window said
    double rtt;             // round trip of a first reply
    int64_t sent_ns = 0;    // our calendar just before the probe's send, when the window holds it
    const oneway_reply* oneway = nullptr;  // what a reply says of the far end, when the run keeps it
};
// A datagram taken from the socket, as the window judged it.
void record_scheduled_reply(recorder* rec, const scheduled_reply_event* event);

// A probe's final record from the window.
void record_scheduled_retired(recorder* rec, const probe_slot* slot);

// The interval line of a scheduled run was written: its lag figures start again.
void record_scheduled_interval_done(recorder* rec);
