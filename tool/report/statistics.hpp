// Figures of a sender run, computed after the run from the per-probe facts:
// the round trips (each from just before a probe's send to the arrival of
// its first reply, whichever cycle took it), how the replies came, and a
// small histogram.
#pragma once

#include <cstdio>

#include "tool/record/long_run.hpp"
#include "tool/record/probe_facts.hpp"

constexpr int histogram_bins = 10;
constexpr int histogram_bar_width = 40;

struct rtt_figures {
    int count;  // probes with a reply, each with its round trip
    double min, mean, median, max;
    double stddev;              // population standard deviation
    double p90, p99;            // nearest-rank percentiles
    int jitter_pairs;           // consecutive pairs behind the jitter (count - 1, or 0)
    double jitter;              // mean absolute difference of consecutive round trips
    double bin_low, bin_width;  // histogram: first bin starts at min
    int bins[histogram_bins];   // a width of 0 puts every value in bins[0]
};

struct run_statistics {
    int probes;      // probes asked for
    int sent;        // probes that left
    int own;         // first reply in the probe's own cycle
    int late;        // first reply in a later cycle or in the drain
    int late_cycle;  //   of which in a later cycle
    int late_drain;  //   of which in the drain
    int never;       // probes that left and got no reply
    int duplicates;  // replies beyond the first for a probe
    int foreign;     // replies to no probe of this run
    rtt_figures rtt;
};

// Room to sort the round trips of one run in.
struct statistics_scratch {
    double sorted[echomark_slots];
};

// Computes every figure from the facts, sorting the round trips in `scratch`.
void statistics_compute(const probe_facts* facts, run_statistics* out, statistics_scratch* scratch);

// The statistics block, "stats(): " lines on `out`: of the probes the facts
// hold, or with `whole` (a long run, which may go beyond them) of every probe.
void statistics_print(const run_statistics* stats, const long_run* whole, std::FILE* out);
