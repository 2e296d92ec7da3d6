// What a probe sender exports: per target and flow, the probes and what
// became of them, the round trips, and the one-way figures where the far end
// gives them.  The run fills these plain records from its recorder when a
// page is wanted; nothing here keeps state.
#pragma once

#include <cstdint>

#include "tool/metrics/prometheus_text.hpp"
#include "tool/record/rtt_stream.hpp"

// One flow to one target: the probes of one source socket.
struct sender_flow_metrics {
    const char* target;            // label "target": the target as the operator named it, "host:port"
    int flow;                      // label "flow": 0 .. flows-1
    uint64_t probes_sent;          // probes that left
    uint64_t replies;              // first replies
    uint64_t lost;                 // probes given up on: their wait ended without a reply
    uint64_t duplicates;           // further copies of a reply already counted
    uint64_t reordered;            // first replies that came after a reply to a later probe
    const rtt_stream* round_trip;  // round trips of first replies; null: none yet
    // One-way figures, only when the far end stamps its times on a clock
    // that is synchronized (otherwise the series are left out).
    bool one_way;
    const rtt_stream* forward;   // probe send to far-end arrival
    const rtt_stream* backward;  // far-end send to reply arrival
    uint64_t far_received;       // probes the far end counted from this flow
};

struct sender_metrics {
    const sender_flow_metrics* flows;
    int flow_count;
};

// Every family of the sender, each series labelled target and flow.
void sender_metrics_write(prom_writer* writer, const sender_metrics* metrics);

// The same a part at a time, for a loop whose next probe is due before a
// whole page could be written (a histogram series costs some microseconds,
// a page of a hundred flows a millisecond and more).  Start from a zeroed
// progress; each call writes at most `series` series (a counter line, or
// one histogram with all its lines) and returns true once the sender's
// families are complete.  The flows may change between calls; each series
// shows its flow as it was when written.
struct sender_metrics_progress {
    int family;
    int flow;
    bool family_begun;  // its HELP and TYPE lines are written
};
bool sender_metrics_write_some(prom_writer* writer, const sender_metrics* metrics, sender_metrics_progress* progress,
                               int series);
