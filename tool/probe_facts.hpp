// What the sender learns about each probe while it runs: whether it left,
// when and how its reply came back, and the replies that were no reply to
// this run.  The statistics and the result files are computed from these
// facts after the run; nothing here is estimated.
#pragma once

#include <cstdint>

#include "tool/probe_record.hpp"

// How the first reply to a probe was taken.
enum reply_kind : uint8_t {
    reply_never = 0,  // no reply (or the probe never left)
    reply_own = 1,    // in the probe's own cycle: the wait was its round trip
    reply_late = 2,   // in a later cycle of phase 1
    reply_drain = 3,  // in the drain after phase 1
};

// Cycle number that stands for the drain.
constexpr int facts_drain_cycle = -1;

struct probe_facts {
    int32_t count;                    // probes the run was asked for (at most echomark_slots)
    int32_t duplicates;               // replies to a probe whose reply had already been taken
    int32_t foreign;                  // replies naming no probe of this run that had left
    uint8_t sent[echomark_slots];     // 1 when the probe's send succeeded
    uint8_t kind[echomark_slots];     // reply_kind of the first reply
    uint16_t copies[echomark_slots];  // replies taken for the probe (held at 65535)
    double rtt[echomark_slots];       // the wait of the own-cycle reply, else 0
};

extern probe_facts echomarkfacts;

// Clears the facts for a run of `count` probes.
void probe_facts_reset(probe_facts* facts, int count);
// Probe `probe` was sent.
void probe_facts_sent(probe_facts* facts, int probe);
// A reply naming `probe` was taken in cycle `cycle` (facts_drain_cycle in the
// drain) after a wait of `waited` seconds (phase 1 only).
void probe_facts_reply(probe_facts* facts, int probe, int cycle, double waited);

// Text of a reply kind: "own", "late", "drain" or "never".
const char* reply_kind_name(int kind);
