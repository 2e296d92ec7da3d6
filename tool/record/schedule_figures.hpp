// Figures of a scheduled run of any length, in fixed memory: loss, copies,
// late replies, reordering (RFC 4737), loss periods (after RFC 3357), delay
// variation between consecutive probes (RFC 3393) and the sender's lag
// behind its schedule.  Replies count as they arrive; probes count once,
// in probe order, as the window retires them.
#pragma once

#include <cstdint>

#include "tool/record/probe_window.hpp"
#include "tool/record/rtt_stream.hpp"

// In-order arrivals remembered for the reordering extent.  A reordered reply
// whose extent may reach back beyond them gets the extent to the oldest one
// remembered (at least this many) and is counted in extent_beyond; while
// extent_beyond is not 0, extent_max and the mean extent are lower bounds.
constexpr int schedule_extent_memory = 4096;

struct schedule_figures {
    // Probes, counted as they retire.
    int64_t retired;
    int64_t answered;   // a reply within the wait
    int64_t lost;       // no reply within the wait (late and cut short included)
    int64_t cut_short;  // of the lost: the window needed the slot before the wait was over
    int64_t stopped;    // the run ended before the wait was over: neither answered nor lost
    int64_t unsent;     // the send failed: neither answered nor lost
    // Replies, counted as they arrive.
    int64_t duplicates;  // copies beyond the first
    int64_t late;        // first replies after the wait
    int64_t unknown;     // replies naming no probe of the window

    // Reordering over the first replies in their arrival order (RFC 4737):
    // a reply is reordered when its probe number is below the next expected.
    int64_t arrivals;       // first replies within the wait, in arrival order
    int64_t next_expected;  // NextExp
    int64_t reordered;
    int64_t extent_max;
    int64_t extent_sum;
    int64_t extent_beyond;  // reordered replies whose extent is a lower bound
    // Positions and probe numbers of the latest in-order arrivals, in a ring:
    // both rise, so the earliest with a larger number is found by bisection.
    int64_t in_order;  // in-order arrivals so far
    int64_t in_order_position[schedule_extent_memory];
    int64_t in_order_probe[schedule_extent_memory];

    // Loss periods over the retired probes in probe order (after RFC 3357).
    // Every lost probe belongs to one period; a stopped or unsent probe
    // neither ends one nor adds to it.
    int64_t loss_periods;
    int64_t loss_longest;
    int64_t loss_run;  // length of the period going on; 0 after a reply

    // Delay variation |D(i) - D(i-1)| for consecutive probes both answered
    // (RFC 3393), D being the round trip.
    int64_t previous_probe;  // latest retired probe when answered, else -1
    double previous_rtt;

    rtt_stream rtt;   // round trips of the answered probes
    rtt_stream ipdv;  // |IPDV|
    rtt_stream lag;   // actual send - scheduled, of the probes that left
};

void schedule_figures_reset(schedule_figures* figures);
// A reply to `probe`, as the window judged it.
void schedule_figures_reply(schedule_figures* figures, window_verdict verdict, int64_t probe);
// A probe's final record from the window; in probe order.
void schedule_figures_retired(schedule_figures* figures, const probe_slot* slot);

// Lost over answered plus lost, in percent; 0 when neither.
double schedule_figures_loss_percent(const schedule_figures* figures);
// Reordered over first replies, in percent; 0 without replies.
double schedule_figures_reordered_percent(const schedule_figures* figures);
// Mean extent of the reordered replies; 0 without any.
double schedule_figures_extent_mean(const schedule_figures* figures);
// Mean length of a loss period; 0 without any.
double schedule_figures_loss_period_mean(const schedule_figures* figures);
