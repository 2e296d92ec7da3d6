// What a run learns about each of its flows (one target, one source port):
// the figures of a scheduled run, kept apart for every flow so that a path
// the network's hashing sends one flow along shows on its own, and the
// counts of the interval since the latest --every= line.  Fixed memory per
// flow, whatever the length of the run.
#pragma once

#include <cstdint>

#include "tool/record/probe_window.hpp"
#include "tool/record/recorder.hpp"
#include "tool/record/rtt_stream.hpp"
#include "tool/record/schedule_figures.hpp"

struct flow_record {
    int64_t sent;               // probes that left
    schedule_figures figures;   // what became of them, and the replies (arrivals: first replies in time)
    int64_t interval_sent;      // since the latest interval line
    int64_t interval_received;  // first replies within their wait, as they arrived
    rtt_stream interval_rtt;
    rtt_stream interval_lag;  // actual send - scheduled
};

// Clears the record for a new run (every byte of it is written, so the
// memory of a run is all in use from its start).
void flow_record_reset(flow_record* flow);
// A probe's turn came; `left` when its send succeeded, `lag` seconds after
// its deadline.
void flow_record_sent(flow_record* flow, bool left, double lag);
// A reply to probe `probe` of the flow, as the window judged it; `rtt` is
// the round trip of a first reply.
void flow_record_reply(flow_record* flow, window_verdict verdict, int64_t probe, double rtt);
// A probe's final record from the window, in probe order.
void flow_record_retired(flow_record* flow, const probe_slot* slot);
// The interval line was written: the interval's figures start again.
void flow_record_interval_done(flow_record* flow);

// --- a run of many flows ------------------------------------------------------------
//
// The run's own records (the measurement record's counts, the whole-run
// figures, its clock) count every flow together; the per-probe facts and
// the schedule's per-probe record, which go by probe number, stay empty
// (each flow numbers its probes from 0).  These report one flow's event to
// both the run and the flow; a probe retired concerns the flow alone
// (flow_record_retired).

// The run's clock starts at `start` (monotonic), after its records were
// cleared, so that clearing them never delays the first probe.
void record_flows_start(recorder* rec, double start);
void record_flow_sent(recorder* rec, flow_record* flow, const scheduled_sent_event* event);
// `flow` null: a datagram from no target of the run.
void record_flow_reply(recorder* rec, flow_record* flow, const scheduled_reply_event* event);
