// What is printed of a run of many targets and flows: the interval lines of
// each target, the closing lines of each target and of each flow that
// stands apart, the statistics block per target and flow, and the CSV and
// JSON files, which hold one record per target and per flow (a run of many
// keeps no per-probe table).
#pragma once

#include <cstdint>
#include <cstdio>

#include "tool/record/long_run.hpp"
#include "tool/record/measurement_record.hpp"
#include "tool/record/run_targets.hpp"
#include "tool/report/results_file.hpp"

// Room for the interval figures of one target, its flows taken together.
struct fleet_interval_scratch {
    rtt_stream rtt;
    rtt_stream lag;
};

// One line per target:
//   "every(): <stamp> target=<label> t=.. sent=.. received=.. loss=..[%]
//    rtt median=.. p99=.. [s] lag p99=.. max=.. [s]" (median=- p99=-, p99=- max=- without values)
// then flushed.
void print_fleet_interval_lines(const run_targets* targets, const long_run* run, double now,
                                fleet_interval_scratch* scratch, std::FILE* out);

// The figures of one target, its flows taken together.
struct target_figures {
    int64_t sent;
    schedule_figures figures;
};
void target_figures_of(const run_targets* targets, int t, target_figures* out);

// What the run was asked to do, for the statistics and the files.
struct fleet_run_settings {
    bool poisson;
    double send_interval;  // of each target
    uint64_t seed;
    int window;  // slots of each flow's window
    int count;   // probes asked for each target
    int sendsize;
    int recvsize;
    double timeout;
};

struct fleet_results {
    const fleet_run_settings* settings;
    const run_targets* targets;
    const echomark_record* record;  // the run's counts, every flow together
    int64_t unknown;                // datagrams from no target of the run
    target_figures* scratch;        // room for one target's figures
};

// The closing lines, after the sender's own: one per target, and one per
// flow that stands apart (flow_apart.hpp says when).
//   "main(): target=<label> address=<a> sent=.. answered=.. lost=.. loss=..[%] rtt median=.. [s]"
//   "main(): target=<label> flow=<j> port=<p> stands apart: loss=..[%] others=..[%]"
//   "main(): target=<label> flow=<j> port=<p> stands apart: rtt median=.. others=.. [s]"
// (both parts on one line when both stand apart).
void print_fleet_closing(const fleet_results* results, std::FILE* out);

// The "stats(): " lines of a run of many: the schedule, then per target its
// figures and, with more than one flow, a line per flow.
void print_fleet_statistics(const fleet_results* results, std::FILE* out);

// CSV: one record per target (flow "all") followed by one per flow, then
// an empty line and the run's figures as name,value records.  JSON: one
// object with "settings", "summary" and "targets" (each with its figures
// and its "flows").  0, or the errno of the first write failure; the file
// is closed (standard output flushed).
int fleet_write_csv(results_file* target, const fleet_results* results);
int fleet_write_json(results_file* target, const fleet_results* results);
