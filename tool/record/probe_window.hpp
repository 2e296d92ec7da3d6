// The probes of a scheduled run that are still in flight, one slot each in a
// ring indexed by probe number, in storage the caller gives once.  Replies
// are matched by probe number; a probe's slot is handed back, final, exactly
// once and in probe order, when its wait is over (or when the window or a
// stop needs it), and that is when it counts in the figures.
#pragma once

#include <cstdint>

// Slots of the largest window (56 bytes each: 56 MiB).
constexpr int32_t probe_window_max_slots = 1 << 20;
// Slots of the smallest window.
constexpr int32_t probe_window_min_slots = 64;
// Time beyond the wait that a window holds probes for: the sender may fall
// behind its schedule and catch up, and the wait ends a little after it is due.
constexpr double probe_window_margin = 0.1;

// What became of a probe.  waiting and answered are states of a probe in
// flight; every state but waiting is final once the probe is retired.
enum probe_outcome : uint8_t {
    outcome_waiting = 0,    // in flight, no reply yet
    outcome_answered = 1,   // its first reply came within the wait
    outcome_late = 2,       // its first reply came after the wait: lost, and counted late
    outcome_lost = 3,       // no reply within the wait
    outcome_cut_short = 4,  // no reply when the window needed the slot before the wait was over: lost
    outcome_unsent = 5,     // the send failed
    outcome_stopped = 6,    // no reply when the run ended before the wait was over
};

struct probe_slot {
    int64_t probe;          // probe number held; -1: none
    double scheduled;       // deadline from the plan
    double sent;            // monotonic seconds just before the send
    double arrival;         // arrival of the first reply (kernel stamp, monotonic); 0 without one
    double rtt;             // arrival - sent; 0 without a reply
    int64_t arrival_order;  // 0-based place of the first reply among all replies within their wait; -1 without
    uint32_t copies;        // replies taken, the first included (held at its largest value)
    uint8_t outcome;        // probe_outcome
    bool retired;           // handed back to the caller
};
static_assert(sizeof(probe_slot) == 56, "seven 8-byte fields, then copies, outcome and the flag");

// What a reply was to the run.
enum window_verdict : uint8_t {
    window_unknown = 0,  // names no probe of the window that left: never sent, long gone, or foreign
    window_first = 1,    // the first reply to its probe, within its wait
    window_copy = 2,     // a further copy for a probe already answered (or answered late)
    window_late = 3,     // the first reply to its probe, after its wait: not a reply
};

struct probe_window {
    probe_slot* slot;    // the caller's storage
    int32_t size;        // slots, a power of two
    double timeout;      // the wait of each probe, from its send
    int64_t next;        // probe number of the next send
    int64_t oldest;      // oldest probe not yet retired (== next: none in flight)
    int64_t replies;     // first replies within their wait, the whole run
    int64_t unanswered;  // probes in flight without a reply
};

// Slots for a run of `rate` probes per second (the mean rate of a Poisson
// run) waiting `timeout` seconds for each: the power of two at least
// 2 * rate * (timeout + probe_window_margin), and at least
// probe_window_min_slots.  The factor 2 covers the bursts of a Poisson
// schedule and of a sender catching up.  -1 when that is more than
// probe_window_max_slots or the arguments are no positive finite numbers.
int32_t probe_window_slots_for(double rate, double timeout);
// Starts an empty window over storage[0..slots); `slots` a power of two
// within probe_window_min_slots and probe_window_max_slots.  -1 otherwise,
// or when `timeout` is no positive finite number.
int probe_window_init(probe_window* window, probe_slot* storage, int32_t slots, double timeout);
// Probe `probe` left at `sent`, due at `scheduled`.  -1 when `probe` is not
// window->next; -2 when its slot is still held (probe_window_make_room first).
int probe_window_sent(probe_window* window, int64_t probe, double scheduled, double sent);
// Probe `probe`, due at `scheduled`, could not be sent; results as probe_window_sent.
int probe_window_send_failed(probe_window* window, int64_t probe, double scheduled);
// The 64-bit probe number a 32-bit number from the wire stands for: the
// latest probe sent that has those low 32 bits; -1 when there is none.
int64_t probe_window_unwrap(const probe_window* window, uint32_t wire);
// A reply naming `probe` arrived at `arrival` (the same clock as the sends).
// Whether it came within the wait is judged by its arrival stamp, not by
// when it is taken; but a probe already retired stays lost, so take what is
// queued in the socket before retiring the probes that are due.
window_verdict probe_window_reply(probe_window* window, int64_t probe, double arrival);
// The same with the round trip measured by the caller (on one clock, see
// platform::round_trip_between) rather than as arrival less send.
window_verdict probe_window_reply_timed(probe_window* window, int64_t probe, double arrival, double rtt);
// The slot of `probe` while the window holds it, else null.
const probe_slot* probe_window_find(const probe_window* window, int64_t probe);
// Retires the oldest probe in flight into *retired when its wait is over at
// `now` (or it never left).  False when it is not due or none is in flight;
// call until false.
bool probe_window_retire_due(probe_window* window, double now, probe_slot* retired);
// Retires the oldest probe when its slot is the one the next probe needs,
// whatever its wait; a probe without a reply is then cut short.  False when
// the slot is free.
bool probe_window_make_room(probe_window* window, probe_slot* retired);
// Retires the oldest probe whatever its wait (the run stops, or no reply is
// missing); a probe without a reply is then stopped.  False when none is in
// flight.
bool probe_window_retire_early(probe_window* window, probe_slot* retired);
