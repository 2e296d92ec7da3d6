// --fail-rtt= and --fail-jitter=: limits on a run's round trips and their
// variation, judged after the run, so that a script can check more than
// the loss from the exit status.
#pragma once

#include "tool/record/rtt_stream.hpp"

// Which round-trip figure --fail-rtt= names.
enum fail_rtt_figure {
    fail_rtt_percentile = 0,  // pN: the nearest-rank percentile N (0 < N < 100)
    fail_rtt_median = 1,      // median (also p50), as the statistics block gives it
    fail_rtt_max = 2,         // max (also p100)
};

struct fail_limits {
    bool rtt_given = false;
    int rtt_figure = fail_rtt_percentile;  // fail_rtt_figure
    double rtt_percent = 0.0;              // N of pN
    double rtt_seconds = 0.0;              // the figure above this fails the run
    bool jitter_given = false;
    double jitter_seconds = 0.0;  // the mean delay variation above this fails the run
};

// The figures of a run that the limits judge; absent ones fail the check
// that asks for them (no reply, or no two consecutive replies).
struct judged_figures {
    bool rtt_present = false;
    double rtt = 0.0;  // the figure the limit names
    bool jitter_present = false;
    double jitter = 0.0;
};

// The figure named by the limit from round trips sorted in ascending order.
void fail_rtt_from_sorted(const fail_limits* limits, const double* sorted, int count, double median,
                          judged_figures* out);
// The figure named by the limit from streaming round-trip figures.
void fail_rtt_from_stream(const fail_limits* limits, const rtt_stream* stream, judged_figures* out);

// True when a limit given is passed (or its figure is absent).
bool fail_limits_passed(const fail_limits* limits, const judged_figures* figures);
