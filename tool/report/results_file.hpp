// Machine-readable results of a sender run: the per-probe table and the
// summary as CSV (for spreadsheets) or JSON (for jq and scripts).
//
// CSV: a header line and one record per probe,
//   index,sent,stime,rtime,reply,replies,rtt,sent_at
// then one empty line and the summary as a second table,
//   name,value
// with one figure per record.  JSON: one object with "settings", "summary"
// and "probes" (an array of one object per probe).  The man page echomark(1)
// describes every field.
#pragma once

#include <cstdio>

#include "tool/record/measurement_record.hpp"
#include "tool/record/probe_facts.hpp"
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
};

// A results file: standard output for "-", else the file at the path.
struct results_file {
    std::FILE* file;
    bool is_stdout;
};

// Opens (creates or truncates) the file; 0, or the errno of the failure.
int results_open(const char* path, results_file* out);
// Writes the results and closes the file (standard output is only flushed);
// 0, or the errno of the first write failure.
int results_write_csv(results_file* target, const run_results* results);
int results_write_json(results_file* target, const run_results* results);
// Flushes and closes a file written by other means (standard output is only
// flushed); 0, or the errno of the first failure seen on it.
int results_close(results_file* target);
