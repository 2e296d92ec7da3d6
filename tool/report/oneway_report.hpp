// What is printed of the far end's times (--oneway, --stamp): the interval
// line, the "stats(): oneway" lines, and the columns and figures of the CSV
// and JSON files.  Every function takes the run's figures after
// oneway_figures_finish (the interval line: during the run).
#pragma once

#include <cstdio>

#include "tool/record/long_run.hpp"
#include "tool/record/oneway_figures.hpp"

// The --every= line of the far end's times since the latest one, after the
// run's own line, then the next interval starts; nothing when `oneway` is
// null.
//   "every(): <stamp> t=.. oneway replies=.. times=.. out mean=.. queue=.. back mean=.. queue=.. far mean=.. [s]"
// (queue: the interval's mean less the least delay of the run so far).
void print_oneway_interval_line(oneway_figures* oneway, const long_run* run, double now, std::FILE* out);

// The "stats(): oneway" lines, after the run's other statistics.
void oneway_statistics_print(const oneway_figures* oneway, std::FILE* out);

// CSV: the columns after the others (",t1_ns,t2_ns,t3_ns,t4_ns,out,back,
// far,queue_out,queue_back,far_count,far_sync,far_error,ttl_out,ttl_back,
// tos_out,tos_back"), their values for probe i (empty where unknown), and
// the "oneway_" records of the summary.
void oneway_csv_columns(std::FILE* out);
void oneway_csv_row(std::FILE* out, const oneway_figures* oneway, int i);
void oneway_csv_summary(std::FILE* out, const oneway_figures* oneway);
// JSON: the same fields in every probe object, and the "oneway" object of
// the summary (after a comma it writes itself).
void oneway_json_probe(std::FILE* out, const oneway_figures* oneway, int i);
void oneway_json_summary(std::FILE* out, const oneway_figures* oneway);
