// What a run learns from the far end's times: for every answered probe the
// four times T1 (our send), T2 (the far end's receive), T3 (its send) and
// T4 (our receive), the IP header each way, and the far end's count of what
// it received; and from them, in fixed memory, the figures of each
// direction.
//
// T1 and T4 are on our calendar clock, T2 and T3 on the far end's.  The
// delay out (T2 - T1) and back (T4 - T3) hold the offset between the two
// clocks with opposite signs, so they are one-way delays only when both
// clocks are synchronized; what needs no synchronized clocks is kept too:
// the far end's own time (T3 - T2, one clock), each direction's variation,
// and its queueing delay (the delay above a baseline: a line along the
// least delays of the run, whose slope is the clocks' drift).
#pragma once

#include <cstdint>

#include "platform/winsock.hpp"
#include "tool/record/measurement_record.hpp"
#include "tool/record/rtt_stream.hpp"

// Which probes carry the far end's times.
enum oneway_wire : uint8_t {
    oneway_wire_probe = 0,  // the project's probe asking with probe_ask_oneway
    oneway_wire_stamp = 1,  // STAMP test packets
};

// What one reply says, read by the sender's probe format.
struct oneway_reply {
    bool far_times;  // T2 and T3 came: both times, T3 not before T2
    int64_t t2_ns;   // ns since 1970 on the far end's clock
    int64_t t3_ns;
    bool far_synchronized;   // the far end says its clock is synchronized
    double far_error;        // seconds: its bound on its clock's error; infinity when it gives none
    bool near_synchronized;  // ours, as the kernel said at the send
    double near_error;       // seconds: the kernel's bound on ours; infinity when unsynchronized
    bool far_counts;         // far_count is a count of the probes the far end received
    bool count_may_copy;     // it may be a copy of our own number (a STAMP reflector that keeps no count)
    uint32_t far_count;
    bool ttl_out_known;  // the probe's TTL (hop limit) and TOS (traffic class) as the far end received them
    bool tos_out_known;
    uint8_t ttl_out;
    uint8_t tos_out;
    platform::receive_facts back;  // the reply's, as we received it
};

// Per probe, for the probes the record holds.
enum oneway_probe_flag : uint8_t {
    oneway_has_reply = 0x01,  // t4 (and t1, which every probe that left has)
    oneway_has_times = 0x02,  // t2 and t3
    oneway_has_count = 0x04,
    oneway_has_ttl_out = 0x08,
    oneway_has_tos_out = 0x10,
    oneway_has_ttl_back = 0x20,
    oneway_has_tos_back = 0x40,
    oneway_far_synchronized = 0x80,
};

struct oneway_probe {
    int64_t t1_ns;  // our calendar, just before the send
    int64_t t2_ns;  // the far end's calendar
    int64_t t3_ns;
    int64_t t4_ns;    // ours: T1 plus the round trip
    float far_error;  // seconds, as the far end gave it (infinity: none)
    uint32_t far_count;
    uint8_t ttl_out, tos_out, ttl_back, tos_back;
    uint8_t flags;  // oneway_probe_flag; 0 with t1 0: the probe never left
};
static_assert(sizeof(oneway_probe) == 48, "four times, the error, the count, four header bytes and the flags");

// Answered probes kept for the figures that need every value (percentiles,
// queueing delays): all of a run up to this many, then every second one,
// every fourth, ..., evenly over the run.
constexpr int oneway_sample_size = 16384;
static_assert(oneway_sample_size >= echomark_slots, "a run within the record is sampled whole");

struct oneway_point {
    double t;     // seconds from the first probe's send
    double out;   // T2 - T1, seconds
    double back;  // T4 - T3
    double far;   // T3 - T2
};

// Two clocks drift apart by at most this much: a clock disciplined by NTP
// is held within 500 ppm of the true rate, and a free-running one is far
// closer.  A baseline steeper than this is noise, and is held to it.
constexpr double oneway_drift_most = 500e-6;
// The baseline runs through the least delay of each of this many equal
// stretches of the run.
constexpr int oneway_baseline_stretches = 16;

// How the run was set up, for the figures and their text.
struct oneway_setup {
    uint8_t wire;    // oneway_wire
    bool far_asked;  // the probes can carry the far end's times (--oneway: the replies are long enough)
    bool ttl_sent_known;
    bool tos_sent_known;
    uint8_t ttl_sent;  // what our probes leave with
    uint8_t tos_sent;
};

// The interval of --every=: means of the replies since the latest line.
struct oneway_interval {
    int64_t replies;
    int64_t with_times;
    double out_sum, back_sum, far_sum;
};

// Figures computed after the run (oneway_figures_finish).
struct oneway_summary {
    bool done;
    int64_t points;  // the sample's answered probes with times
    double out_min, out_median, out_p99, out_max, out_mean, out_ipdv;
    double back_min, back_median, back_p99, back_max, back_mean, back_ipdv;
    double far_min, far_median, far_max;
    double net_median;             // (T4 - T1) - (T3 - T2): the round trip less the far end's time
    double out_slope, back_slope;  // the baselines' drift, seconds per second
    double out_base, back_base;    // the baselines at t = 0
    double queue_out_median, queue_out_p99, queue_out_max;
    double queue_back_median, queue_back_p99, queue_back_max;
    bool loss_known;
    int64_t loss_span;  // probes numbered from the first answered to the last
    int64_t far_received;
    int64_t loss_out, loss_back;
};

struct oneway_figures {
    oneway_setup setup;
    int32_t count;  // probes the per-probe records hold
    oneway_probe probe[echomark_slots];

    int64_t replies;            // first replies
    int64_t with_times;         // of which with the far end's times
    int64_t both_synchronized;  // of those, with both clocks saying they are synchronized
    int64_t near_synchronized;
    int64_t far_synchronized;
    double error_bound;  // the largest of our error plus the far end's, seconds (infinity: not known)

    int64_t first_t1_ns;  // the time origin of the lines
    rtt_stream out;       // T2 - T1; min, max, mean and |IPDV| (not its buckets: the values may be negative)
    rtt_stream back;      // T4 - T3
    rtt_stream far;       // T3 - T2
    double least_rtt;     // the round trip of the probe the offset is taken from
    double offset;        // (out - back) / 2 there: the far clock less ours, were the paths equal

    // The far end's count over the answered probes: what reached it between
    // the first and the last of them.
    int64_t counted;                // answered probes with a count
    int64_t count_low, count_high;  // unwrapped counts
    int64_t count_last;             // the latest, unwrapped
    int64_t probe_low, probe_high;  // their probe numbers
    bool count_differs;             // some count was not the probe's own number

    // The IP header each way, over the replies.
    int64_t ttl_out_seen, tos_out_seen, ttl_back_seen, tos_back_seen;
    uint8_t ttl_out_min, ttl_out_max, tos_out_min, tos_out_max;
    uint8_t ttl_back_min, ttl_back_max, tos_back_min, tos_back_max;
    int64_t dscp_remarked;  // replies whose probe arrived with another DSCP than it left with
    int64_t ecn_changed;    // the same DSCP, other ECN bits

    // Replies from the destination that were no answer.
    int64_t too_short;       // fewer bytes than the format needs
    int64_t authenticated;   // a STAMP packet of the authenticated layout
    int64_t other_session;   // a STAMP answer with another SSID
    int64_t unknown_number;  // a number of no probe in flight: never sent, or given up long ago
    int64_t bad_times;       // STAMP: T2 or T3 missing, no time, or T3 before T2
    int64_t mbz_nonzero;     // STAMP: must-be-zero bytes not zero (used all the same)

    int64_t sampled;  // answered probes with times offered to the sample
    int32_t stride;   // every stride-th of them is kept
    int32_t points;
    oneway_point sample[oneway_sample_size];
    double scratch[oneway_sample_size];

    oneway_interval interval;
    oneway_summary summary;
};

// Clears the figures for a run of `count` probes (the record keeps the
// first echomark_slots).
void oneway_figures_reset(oneway_figures* f, const oneway_setup* setup, int count);

// Probe `probe` left at `t1_ns` (our calendar, just before the send).
void oneway_figures_sent(oneway_figures* f, int64_t probe, int64_t t1_ns);

// The first reply to `probe`, sent at `t1_ns` (our calendar) and back after
// `rtt_ns` (one clock, see platform::round_trip_between).
void oneway_figures_reply(oneway_figures* f, int64_t probe, int64_t t1_ns, int64_t rtt_ns, const oneway_reply* reply);

// A datagram from the destination that was no answer, by what was wrong.
enum oneway_problem : uint8_t {
    oneway_too_short,
    oneway_authenticated,
    oneway_other_session,
    oneway_unknown_number,  // a number of no probe in flight: never sent, or given up long ago
    oneway_bad_times,       // counted beside its reply, which still has a round trip
    oneway_mbz_nonzero,
};
void oneway_figures_problem(oneway_figures* f, oneway_problem problem);

// The interval's line was written: the next interval starts.
void oneway_figures_interval_done(oneway_figures* f);

// Computes f->summary from what the run kept.
void oneway_figures_finish(oneway_figures* f);

// The queueing delays of a probe the record holds, above the run's
// baselines (after oneway_figures_finish); false when it has no far-end
// times.
bool oneway_probe_queueing(const oneway_figures* f, int probe, double* out, double* back);

// Whether both clocks said they were synchronized for every reply with
// times (and there was one).
bool oneway_figures_trusted(const oneway_figures* f);
