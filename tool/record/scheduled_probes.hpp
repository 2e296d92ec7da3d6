// What a scheduled run learns about each of its first probes beyond what
// every run keeps (probe_facts): when the probe was due, when its first
// reply arrived and in which place among the replies, and what became of
// it.  Also what the schedule was, for the reports.
#pragma once

#include <cstdint>

#include "tool/record/measurement_record.hpp"
#include "tool/record/probe_window.hpp"
#include "tool/record/rtt_stream.hpp"

enum schedule_shape : uint8_t {
    schedule_shape_fixed = 0,    // one gap
    schedule_shape_poisson = 1,  // exponential gaps of a mean
};

// What the schedule of a run is.
struct schedule_setup {
    uint8_t shape;         // schedule_shape
    double interval;       // the gap, or the mean gap, in seconds
    uint64_t seed;         // of a Poisson schedule
    int32_t window_slots;  // probes the run can hold in flight
    double start;          // monotonic seconds of probe 0's deadline
};

struct scheduled_probes {
    schedule_setup setup;
    rtt_stream interval_lag;  // lag behind the schedule since the latest interval line
    int64_t left;             // probes that left
    double first_leaving;     // monotonic seconds before the first probe's send
    double last_leaving;      // and before the latest one's
    // Per probe, by probe number, for the probes the facts hold.
    double scheduled[echomark_slots];      // the deadline, monotonic
    double arrival[echomark_slots];        // first reply within the wait, monotonic; 0 without one
    int64_t arrival_order[echomark_slots];  // its 0-based place among the run's first replies; -1 without
    uint8_t outcome[echomark_slots];       // probe_outcome once retired
    uint8_t retired[echomark_slots];       // 1 once the window handed the probe back
};

// Clears the record for a run on the schedule `setup`.
void scheduled_probes_reset(scheduled_probes* probes, const schedule_setup* setup);
// Probe `probe` was due at `scheduled`; probes beyond the record are ignored.
void scheduled_probes_due(scheduled_probes* probes, int64_t probe, double scheduled);
// Probe `probe` left at `leaving` (monotonic): the rate achieved.
void scheduled_probes_left(scheduled_probes* probes, double leaving);
// The rate achieved: probes that left over the time from the first send to
// the latest, less one; 0 before two have left.
double scheduled_probes_rate(const scheduled_probes* probes);
// The window handed back a probe's final record; beyond the record ignored.
void scheduled_probes_retired(scheduled_probes* probes, const probe_slot* slot);

// Text of a probe's outcome: "answered", "late", "lost", "cut_short",
// "unsent", "stopped", or "waiting" for one never retired.
const char* probe_outcome_name(int outcome);
