// The scheduled sender: probes leave on absolute deadlines from one
// monotonic start (a fixed rate, or the exponential gaps of a Poisson
// process), whatever the replies do; replies are taken as they come between
// the sends, on the same socket, and matched by probe number in a window of
// the probes in flight.  After the last probe the run waits up to the
// time-out for the replies still missing.
#pragma once

#include <cstdint>

#include "tool/record/probe_window.hpp"
#include "tool/record/recorder.hpp"
#include "tool/sender/sender.hpp"

// How long before a deadline the sender stops waiting on the socket and
// watches the clock instead: the kernel wakes a timed wait late, by some
// tens of microseconds on an idle machine and by milliseconds on a busy one,
// and a probe must not leave that late.  The margin follows the lateness of
// the run's own wake-ups, between these bounds.
constexpr double scheduled_margin_least = 20e-6;
constexpr double scheduled_margin_most = 2e-3;

// Slots of the window a run of `settings` needs, from its rate and its
// time-out; -1 when no window can hold it (or the rate or time-out is no
// positive finite number).
int32_t scheduled_sender_slots(const sender_settings* settings);

// Runs the scheduled sender: clears the recorder's records (rec->scheduled
// and rec->schedule set) and reports every event to it.  `storage` holds
// `slots` window slots (scheduled_sender_slots), set aside before the run.
// Stops sending at --count= or -c, at --duration=, or on a stop request
// (the probes in flight then end as stopped, and the report follows).
void scheduled_sender_run(const sender_settings* settings, recorder* rec, probe_slot* storage, int32_t slots);
