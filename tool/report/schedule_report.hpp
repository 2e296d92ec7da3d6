// What is printed of a scheduled run beyond what every run prints: its
// interval lines, its lines of the statistics block, and its columns and
// figures in the CSV and JSON files.
#pragma once

#include <cstdio>

#include "tool/record/long_run.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/record/schedule_figures.hpp"
#include "tool/record/scheduled_probes.hpp"

// The figures of a scheduled run, for the result files.
struct schedule_results {
    const scheduled_probes* probes;
    const schedule_figures* figures;
};

// The --every= line of a scheduled run: the line of every run, then the lag
// behind the schedule of the probes sent in the interval, flushed.
//   "every(): <stamp> t=.. sent=.. received=.. loss=..[%] rtt median=.. p99=.. [s] lag p99=.. max=.. [s]"
void print_scheduled_interval_line(const long_run* run, const scheduled_probes* probes, double now, std::FILE* out);

// The scheduled run's "stats(): " lines, after the whole-run lines.
void schedule_statistics_print(const schedule_results* results, std::FILE* out);

// CSV: the columns after those of every run (",scheduled,send_time,
// arrival_order,outcome"), their values for probe i, and the summary
// records after those of every run.
void schedule_csv_columns(std::FILE* out);
void schedule_csv_row(std::FILE* out, const schedule_results* results, const probe_facts* facts, int i);
void schedule_csv_summary(std::FILE* out, const schedule_results* results);
// JSON: the fields after those of every probe object, and the "schedule"
// object of the summary (after a comma it writes itself).
void schedule_json_probe(std::FILE* out, const schedule_results* results, const probe_facts* facts, int i);
void schedule_json_summary(std::FILE* out, const schedule_results* results);
