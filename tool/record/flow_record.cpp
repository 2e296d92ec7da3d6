// Per-flow figures of a run.
#include "tool/record/flow_record.hpp"

#include <cstring>

void flow_record_reset(flow_record* flow) {
    std::memset(flow, 0, sizeof *flow);
    schedule_figures_reset(&flow->figures);
    rtt_stream_reset(&flow->interval_rtt);
    rtt_stream_reset(&flow->interval_lag);
}

void flow_record_sent(flow_record* flow, bool left, double lag) {
    if (!left) return;
    flow->sent += 1;
    flow->interval_sent += 1;
    rtt_stream_add(&flow->interval_lag, lag);
}

void flow_record_reply(flow_record* flow, window_verdict verdict, int64_t probe, double rtt) {
    schedule_figures_reply(&flow->figures, verdict, probe);
    if (verdict != window_first) return;
    flow->interval_received += 1;
    rtt_stream_add(&flow->interval_rtt, rtt);
}

void flow_record_retired(flow_record* flow, const probe_slot* slot) { schedule_figures_retired(&flow->figures, slot); }

void flow_record_interval_done(flow_record* flow) {
    flow->interval_sent = 0;
    flow->interval_received = 0;
    rtt_stream_reset(&flow->interval_rtt);
    rtt_stream_reset(&flow->interval_lag);
}

void record_flows_start(recorder* rec, double start) {
    long_run* whole = rec->whole;
    long_run_begin(whole, whole->active, whole->deadline > 0.0 ? whole->deadline - whole->started : 0.0, whole->every,
                   start);
}

void record_flow_sent(recorder* rec, flow_record* flow, const scheduled_sent_event* event) {
    echomark_record* r = rec->record;
    rec->whole->cycles += 1;
    // The run's probes counted across its flows: lastpkts+1 is how many turns it had.
    r->lastpkts = static_cast<int32_t>(rec->whole->cycles - 1);
    const bool left = event->result > 0;
    flow_record_sent(flow, left, event->leaving - event->scheduled);
    if (!left) return;
    r->sendpkts += 1;
    long_run_sent(rec->whole);
}

void record_flow_reply(recorder* rec, flow_record* flow, const scheduled_reply_event* event) {
    if (flow == nullptr || !event->reply || event->verdict == window_unknown) {
        // Counted once for the run: no flow of it knows the datagram.
        probe_facts_not_reply(rec->facts);
        if (flow != nullptr) flow_record_reply(flow, window_unknown, -1, 0.0);
        return;
    }
    flow_record_reply(flow, event->verdict, event->probe, event->rtt);
    if (event->verdict != window_first) return;
    rec->record->recvpkts += 1;
    long_run_received(rec->whole, event->rtt);
}
