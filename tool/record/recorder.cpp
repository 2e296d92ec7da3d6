// The recorder of a sender run.
#include "tool/record/recorder.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

bool in_record(int probe) { return probe >= 0 && probe < echomark_slots; }

// From the send to the reply's arrival, on one clock: the kernel's stamp
// less the calendar send time (see platform::round_trip_between).
double round_trip_of(platform::clock_pair sent, const platform::receive_time& arrival) {
    platform::round_trip trip =
        platform::round_trip_between(sent, arrival.facts.stamp_known, arrival.facts.stamp_ns, arrival.taken);
    return static_cast<double>(trip.nanoseconds) / 1e9;
}

// A reply of a run that keeps the far end's times: a first reply's four
// times, or a number of no probe it sent.
void record_oneway(oneway_figures* oneway, bool first, bool unknown, int64_t probe, int64_t sent_ns, double rtt,
                   const oneway_reply* reply) {
    if (unknown) oneway_figures_problem(oneway, oneway_unknown_number);
    if (!first || reply == nullptr) return;
    oneway_figures_reply(oneway, probe, sent_ns, static_cast<int64_t>(std::llround(rtt * 1e9)), reply);
}

}  // namespace

void recorder_begin(recorder* rec, const recorder_plan* plan) {
    std::memset(rec->record, 0, sizeof *rec->record);
    probe_facts_reset(rec->facts, plan->count);
    long_run_begin(rec->whole, plan->long_active, plan->duration, plan->every, plan->now);
    if (rec->beyond != nullptr) beyond_reset(rec->beyond);
}

void record_cycle(recorder* rec) { rec->whole->cycles += 1; }

void record_sent(recorder* rec, const sent_event* event) {
    echomark_record* r = rec->record;
    r->lastpkts = event->probe;
    if (in_record(event->probe)) r->Stime[event->probe] = event->stime;
    if (event->result <= 0) return;
    r->sendpkts += 1;
    probe_facts_sent_at(rec->facts, event->probe, event->leaving);
    if (rec->oneway != nullptr) oneway_figures_sent(rec->oneway, event->probe, event->leaving.calendar_ns);
    long_run_sent(rec->whole);
    if (rec->beyond != nullptr) beyond_sent(rec->beyond, event->probe, event->leaving);
}

taken_verdict record_taken(recorder* rec, const taken_event* event) {
    taken_verdict result = {verdict_foreign, -1.0};
    if (!event->reply) {
        // Another source's datagram, or one too short to name a probe.
        if (event->received >= 0) probe_facts_not_reply(rec->facts);
        return result;
    }
    echomark_record* r = rec->record;
    r->lastpkts = event->probe;
    platform::clock_pair sent = {};
    if (rec->beyond != nullptr && beyond_knows(rec->beyond, event->probe)) {
        // Beyond the record: the window tells a first reply from a copy.
        bool first = beyond_first_reply(rec->beyond, event->probe);
        result.verdict = first ? verdict_first : verdict_duplicate;
        sent = beyond_leaving(rec->beyond, event->probe);
        if (first) result.rtt = round_trip_of(sent, event->arrival);
    } else {
        probe_facts* facts = rec->facts;
        bool known = event->probe >= 0 && event->probe < facts->count && facts->sent[event->probe] != 0;
        if (known) sent = facts->sent_clocks[event->probe];
        double rtt = known ? round_trip_of(sent, event->arrival) : 0.0;
        result.verdict = probe_facts_reply_timed(facts, event->probe, event->cycle, rtt);
        if (result.verdict == verdict_first) result.rtt = facts->rtt[event->probe];
    }
    if (rec->oneway != nullptr) {
        record_oneway(rec->oneway, result.verdict == verdict_first, result.verdict == verdict_foreign, event->probe,
                      sent.calendar_ns, result.rtt, event->oneway);
    }
    // Rtime keeps the wait of every reply to a probe of this run, copies too.
    if (event->cycle != facts_drain_cycle && result.verdict != verdict_foreign && in_record(event->probe)) {
        r->Rtime[event->probe] = event->waited;
    }
    if (result.verdict == verdict_first) {
        r->recvpkts += 1;
        long_run_received(rec->whole, result.rtt);
    }
    return result;
}

void record_sending_over(recorder* rec) {
    if (rec->whole->active && rec->whole->cycles < rec->facts->count) {
        rec->facts->count = static_cast<int32_t>(rec->whole->cycles);
    }
}

void record_stop(recorder* rec, int signal) { rec->whole->stopped_by = signal; }

void recorder_begin_scheduled(recorder* rec, const recorder_plan* plan, const schedule_setup* setup) {
    recorder_begin(rec, plan);
    scheduled_probes_reset(rec->scheduled, setup);
    schedule_figures_reset(rec->schedule);
}

void record_scheduled_start(recorder* rec, double start) {
    long_run* whole = rec->whole;
    long_run_begin(whole, whole->active, whole->deadline > 0.0 ? whole->deadline - whole->started : 0.0, whole->every,
                   start);
    rec->scheduled->setup.start = start;
}

void record_scheduled_sent(recorder* rec, const scheduled_sent_event* event) {
    echomark_record* r = rec->record;
    const int64_t probe = event->probe;
    r->lastpkts = static_cast<int32_t>(static_cast<uint32_t>(probe));
    rec->whole->cycles += 1;
    if (probe >= 0 && probe < echomark_slots) r->Stime[probe] = event->send_call;
    scheduled_probes_due(rec->scheduled, probe, event->scheduled);
    if (event->result <= 0) return;
    r->sendpkts += 1;
    rtt_stream_add(&rec->scheduled->interval_lag, event->leaving - event->scheduled);
    scheduled_probes_left(rec->scheduled, event->leaving);
    if (probe < rec->facts->count) probe_facts_sent(rec->facts, static_cast<int>(probe), event->calendar, event->leaving);
    if (rec->oneway != nullptr) oneway_figures_sent(rec->oneway, probe, event->calendar_ns);
    long_run_sent(rec->whole);
}

void record_scheduled_reply(recorder* rec, const scheduled_reply_event* event) {
    if (!event->reply) {
        probe_facts_not_reply(rec->facts);
        schedule_figures_reply(rec->schedule, window_unknown, -1);
        return;
    }
    rec->record->lastpkts = event->wire;
    schedule_figures_reply(rec->schedule, event->verdict, event->probe);
    if (rec->oneway != nullptr) {
        record_oneway(rec->oneway, event->verdict == window_first, event->verdict == window_unknown, event->probe,
                      event->sent_ns, event->rtt, event->oneway);
    }
    if (event->verdict == window_unknown) probe_facts_not_reply(rec->facts);
    if (event->verdict != window_first) return;
    rec->record->recvpkts += 1;
    long_run_received(rec->whole, event->rtt);
}

void record_scheduled_retired(recorder* rec, const probe_slot* slot) {
    schedule_figures_retired(rec->schedule, slot);
    scheduled_probes_retired(rec->scheduled, slot);
    const int64_t probe = slot->probe;
    probe_facts* facts = rec->facts;
    if (probe < 0 || probe >= facts->count) return;
    const bool answered = slot->outcome == outcome_answered;
    facts->kind[probe] = answered ? reply_own : reply_never;
    facts->rtt[probe] = answered && slot->rtt > 0.0 ? slot->rtt : 0.0;
    facts->copies[probe] = static_cast<uint16_t>(slot->copies < UINT16_MAX ? slot->copies : UINT16_MAX);
    // The copies the window saw beyond the first; later ones count only in
    // the run's figures.
    if (slot->copies > 1) {
        const int64_t duplicates = static_cast<int64_t>(facts->duplicates) + (slot->copies - 1);
        facts->duplicates = static_cast<int32_t>(duplicates < INT32_MAX ? duplicates : INT32_MAX);
    }
    rec->record->Rtime[probe] = facts->rtt[probe];
}

void record_scheduled_interval_done(recorder* rec) { rtt_stream_reset(&rec->scheduled->interval_lag); }
