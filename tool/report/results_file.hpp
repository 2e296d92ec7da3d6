// Machine-readable results of a sender run: the per-probe table and the
// summary as CSV (for spreadsheets) or JSON (for jq and scripts).
//
// CSV: a header line and one record per probe,
//   index,sent,stime,rtime,reply,replies,rtt,sent_at
// (a scheduled run adds scheduled,send_time,arrival_order,outcome, a run
// with the far end's times the columns of tool/report/oneway_report.hpp), then
// one empty line and the summary as a second table,
//   name,value
// with one figure per record.  JSON: one object with "settings", "summary"
// and "probes" (an array of one object per probe).  The man page echomark(1)
// describes every field.
#pragma once

#include <cstdio>

#include "tool/record/measurement_record.hpp"
#include "tool/record/oneway_figures.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/report/schedule_report.hpp"
#include "tool/report/statistics.hpp"

// What the run was asked to do, for the summary.
struct run_settings {
    const char* ipaddr;
    int ipport;
    int count;
    int sendsize;
    int recvsize;
    double timeout;
    double interval;
    bool precise;
};

// Everything a results file is written from.
struct run_results {
    const run_settings* settings;
    const echomark_record* record;
    const probe_facts* facts;
    const run_statistics* stats;
    const schedule_results* schedule = nullptr;  // a scheduled run's columns and figures; null in other runs
    const oneway_figures* oneway = nullptr;      // the far end's times (after oneway_figures_finish); null without
};

// Longest path of a results file, terminator included.
constexpr int results_path_size = 1024;

// A results file: standard output for "-", else the file at the path,
// written under a temporary name beside it and put in its place when
// complete, so that a run ended at any moment leaves the file whole or
// untouched.
struct results_file {
    std::FILE* file;
    bool is_stdout;
    char path[results_path_size];
    char temporary[results_path_size + 8];  // empty: written directly (a device, a pipe)
};

// Opens the file for writing (the temporary one beside it, where it can);
// 0, or the errno of the failure.
int results_open(const char* path, results_file* out);
// Writes the results and closes the file (standard output is only flushed);
// 0, or the errno of the first write failure.
int results_write_csv(results_file* target, const run_results* results);
int results_write_json(results_file* target, const run_results* results);
// Flushes and closes a file written by other means (standard output is only
// flushed); 0, or the errno of the first failure seen on it.
int results_close(results_file* target);
