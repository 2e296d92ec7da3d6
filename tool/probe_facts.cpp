// Per-probe facts of a sender run.
#include "tool/probe_facts.hpp"

#include <cstring>

probe_facts echomarkfacts;

void probe_facts_reset(probe_facts* facts, int count) {
    std::memset(facts, 0, sizeof *facts);
    if (count < 0) count = 0;
    facts->count = count > echomark_slots ? echomark_slots : count;
}

void probe_facts_sent(probe_facts* facts, int probe) {
    if (probe >= 0 && probe < facts->count) facts->sent[probe] = 1;
}

void probe_facts_reply(probe_facts* facts, int probe, int cycle, double waited) {
    // A number beyond the run, or of a probe that has not left, is no answer
    // to anything this run sent: a stray, forged or earlier run's datagram.
    if (probe < 0 || probe >= facts->count || facts->sent[probe] == 0 || (cycle >= 0 && probe > cycle)) {
        facts->foreign += 1;
        return;
    }
    if (facts->copies[probe] > 0) {
        facts->duplicates += 1;
    } else if (cycle == probe) {
        facts->kind[probe] = reply_own;
        facts->rtt[probe] = waited;
    } else {
        facts->kind[probe] = cycle == facts_drain_cycle ? reply_drain : reply_late;
    }
    if (facts->copies[probe] < UINT16_MAX) facts->copies[probe] += 1;
}

const char* reply_kind_name(int kind) {
    switch (kind) {
        case reply_own: return "own";
        case reply_late: return "late";
        case reply_drain: return "drain";
        default: return "never";
    }
}
