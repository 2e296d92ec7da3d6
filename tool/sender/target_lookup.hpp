// Targets named by a host name are looked up again every few minutes while
// the run goes on, so a target that moves to another address is followed.
// One lookup runs at a time, started and looked at by the sending loop in
// the slack before its next send; the lookup itself runs on the system's
// side (platform/name_lookup), so a slow or silent name server never holds
// up a probe.  A lookup that finds no address leaves the target where it is.
#pragma once

#include "platform/name_lookup.hpp"
#include "tool/record/run_targets.hpp"

// Seconds between two lookups of one name.
constexpr double target_lookup_every = 180.0;

struct target_lookups {
    platform::name_lookup lookup;  // must stay where it is while a lookup runs
    int target;                    // the target being looked up; -1: none
    double every;
    double next[run_flows_max];  // monotonic seconds of each target's next lookup
    int cursor;                  // where the search for a due target starts
};

// Plans a lookup of every named target `every` seconds from `now`.
void target_lookups_begin(target_lookups* lookups, const run_targets* targets, double now, double every);
// The next step: looks at the lookup running, or starts one that is due.
// Returns the target whose address changed (its record already holds the
// new address, with its port, and it printed the line that says so), or -1.
int target_lookups_work(target_lookups* lookups, run_targets* targets, double now);
// True when a step is due at `now`.
bool target_lookups_due(const target_lookups* lookups, const run_targets* targets, double now);
// Stops a lookup still running; false when it goes on (then the record must
// stay untouched until the process ends).
bool target_lookups_end(target_lookups* lookups);
