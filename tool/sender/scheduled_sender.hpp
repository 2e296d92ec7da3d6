// The scheduled sender: probes leave on absolute deadlines from one
// monotonic start (a fixed rate, or the exponential gaps of a Poisson
// process), whatever the replies do; replies are taken as they come between
// the sends and matched by probe number in a window of the probes in
// flight.  After the last probe the run waits up to the time-out for the
// replies still missing.
//
// A run probes one target (-h, -p) from one socket, or many targets each
// from several source ports (flows).  Each flow keeps its own state: its
// schedule, its window, its probe numbers, its destination and cookie; a
// run of one target is a run of one flow with the lines and records of
// such a run.
#pragma once

#include <cstdint>

#include "platform/clock.hpp"
#include "tool/record/probe_window.hpp"
#include "tool/record/recorder.hpp"
#include "tool/record/run_targets.hpp"
#include "tool/sender/sender.hpp"
#include "tool/sender/sender_watch.hpp"
#include "tool/sender/target_lookup.hpp"

// How long before a deadline the sender stops waiting on the socket and
// watches the clock instead: the kernel wakes a timed wait late, by some
// tens of microseconds on an idle machine and by milliseconds on a busy one,
// and a probe must not leave that late.  The margin follows the lateness of
// the run's own wake-ups, between these bounds.
constexpr double scheduled_margin_least = 20e-6;
constexpr double scheduled_margin_most = 2e-3;

// Slots of the window a run of `settings` needs, from its rate and its
// time-out; -1 when no window can hold it (or the rate or time-out is no
// positive finite number).  In a run of many flows, the window of each
// flow: a target's rate is shared by its `flows`.
int32_t scheduled_sender_slots(const sender_settings* settings, int flows = 1);

// What a run probes and the storage it is given, all set aside before the
// first probe.
struct scheduled_run_parts {
    // A run of many flows (--target=, --targets=, --flows=): every target
    // and flow, with the lines and sockets of such a run.  In a run of one
    // target, its one flow's record when the run is watched (--metrics=),
    // else null.
    run_targets* targets = nullptr;
    bool many = false;
    probe_slot* windows = nullptr;  // `slots` for each flow, one after the other
    platform::clock_pair* sent_clocks = nullptr;  // as many
    int32_t slots = 0;                            // per flow
    sender_watch* watch = nullptr;                // the metrics endpoint, open; null: none
    target_lookups* lookups = nullptr;            // a run of many: the names looked up again; null: none
};

// Runs the scheduled sender: clears the recorder's records and reports
// every event to it (rec->scheduled and rec->schedule set in a run of one
// target; a run of many keeps its figures per flow in parts->targets).
// Stops sending at --count= or -c (for each target), at --duration=, or on
// a stop request (the probes in flight then end as stopped, and the report
// follows).
void scheduled_sender_run(const sender_settings* settings, recorder* rec, const scheduled_run_parts* parts);
