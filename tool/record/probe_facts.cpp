// Per-probe facts of a sender run.
#include "tool/record/probe_facts.hpp"

#include <cstring>

void probe_facts_reset(probe_facts* facts, int count) {
    std::memset(facts, 0, sizeof *facts);
    if (count < 0) count = 0;
    facts->count = count > echomark_slots ? echomark_slots : count;
}

void probe_facts_sent(probe_facts* facts, int probe, double calendar, double monotonic) {
    platform::clock_pair sent = {static_cast<int64_t>(calendar * 1e9), static_cast<int64_t>(monotonic * 1e9)};
    probe_facts_sent_at(facts, probe, sent);
    if (probe < 0 || probe >= facts->count) return;
    facts->sent_at[probe] = calendar;
    facts->sent_mono[probe] = monotonic;
}

void probe_facts_sent_at(probe_facts* facts, int probe, platform::clock_pair sent) {
    if (probe < 0 || probe >= facts->count) return;
    facts->sent[probe] = 1;
    facts->sent_clocks[probe] = sent;
    facts->sent_at[probe] = static_cast<double>(sent.calendar_ns) / 1e9;
    facts->sent_mono[probe] = static_cast<double>(sent.monotonic_ns) / 1e9;
}

reply_verdict probe_facts_reply(probe_facts* facts, int probe, int cycle, double arrival) {
    bool known = probe >= 0 && probe < facts->count;
    return probe_facts_reply_timed(facts, probe, cycle, known ? arrival - facts->sent_mono[probe] : 0.0);
}

reply_verdict probe_facts_reply_timed(probe_facts* facts, int probe, int cycle, double rtt) {
    // A number beyond the run, or of a probe that has not left, is no answer
    // to anything this run sent: a stray, forged or earlier run's datagram.
    if (probe < 0 || probe >= facts->count || facts->sent[probe] == 0 || (cycle >= 0 && probe > cycle)) {
        facts->foreign += 1;
        return verdict_foreign;
    }
    if (facts->copies[probe] < UINT16_MAX) facts->copies[probe] += 1;
    if (facts->kind[probe] != reply_never) {
        facts->duplicates += 1;
        return verdict_duplicate;
    }
    if (cycle == facts_drain_cycle) {
        facts->kind[probe] = reply_drain;
    } else {
        facts->kind[probe] = cycle == probe ? reply_own : reply_late;
    }
    facts->rtt[probe] = rtt > 0.0 ? rtt : 0.0;
    return verdict_first;
}

void probe_facts_not_reply(probe_facts* facts) { facts->foreign += 1; }

const char* reply_kind_name(int kind) {
    switch (kind) {
        case reply_own: return "own";
        case reply_late: return "late";
        case reply_drain: return "drain";
        default: return "never";
    }
}
