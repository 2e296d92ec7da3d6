// What the sender learns about each probe while it runs: whether it left and
// when, when its first reply arrived and how it was taken, and the datagrams
// that were no reply to this run.  The statistics and the result files are
// computed from these facts after the run; nothing here is estimated.
#pragma once

#include <cstdint>

#include "platform/clock.hpp"
#include "tool/record/measurement_record.hpp"

// How the first reply to a probe was taken.
enum reply_kind : uint8_t {
    reply_never = 0,  // no reply (or the probe never left)
    reply_own = 1,    // in the probe's own cycle
    reply_late = 2,   // in a later cycle of phase 1
    reply_drain = 3,  // in the drain after phase 1
};

// Cycle number that stands for the drain.
constexpr int facts_drain_cycle = -1;

// What a datagram from the destination was to the run.
enum reply_verdict {
    verdict_foreign = 0,    // names no probe of this run that had left
    verdict_first = 1,      // the first reply to its probe: counted in recvpkts
    verdict_duplicate = 2,  // a further copy for a probe already answered
};

struct probe_facts {
    int32_t count;                     // probes the run was asked for (at most echomark_slots)
    int32_t duplicates;                // replies to a probe whose reply had already been taken
    int32_t foreign;                   // datagrams that were no reply to a probe of this run
    uint8_t sent[echomark_slots];      // 1 when the probe's send succeeded
    uint8_t kind[echomark_slots];      // reply_kind of the first reply
    uint16_t copies[echomark_slots];   // replies taken for the probe (held at 65535)
    double sent_at[echomark_slots];    // calendar time just before the send, seconds since 1970
    double sent_mono[echomark_slots];  // monotonic clock just before the send
    platform::clock_pair sent_clocks[echomark_slots];  // both clocks just before the send, for the round trip
    double rtt[echomark_slots];                          // first reply's round trip; 0 without a reply
};

// Clears the facts for a run of `count` probes.
void probe_facts_reset(probe_facts* facts, int count);
// Probe `probe` left; `calendar` and `monotonic` are the two clocks read
// just before its send, in seconds.
void probe_facts_sent(probe_facts* facts, int probe, double calendar, double monotonic);
// The same from both clocks read just before the send, kept whole for the
// round trip.
void probe_facts_sent_at(probe_facts* facts, int probe, platform::clock_pair sent);
// A reply naming `probe` from the destination, taken in cycle `cycle`
// (facts_drain_cycle in the drain), whose round trip is `rtt` seconds should
// it be the first.  Tells what it was to the run.
reply_verdict probe_facts_reply_timed(probe_facts* facts, int probe, int cycle, double rtt);
// The same for a reply that arrived at `arrival` on the monotonic clock.
reply_verdict probe_facts_reply(probe_facts* facts, int probe, int cycle, double arrival);
// A datagram that was no reply at all (another source, or too short).
void probe_facts_not_reply(probe_facts* facts);

// Text of a reply kind: "own", "late", "drain" or "never".
const char* reply_kind_name(int kind);
