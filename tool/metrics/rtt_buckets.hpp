// Round trips as a Prometheus histogram: the logarithmic buckets of an
// rtt_stream gathered at a fixed set of upper bounds.
//
// The bounds are the same for every series, every scrape and every host, so
// buckets can be summed across flows and targets and compared across runs.
#pragma once

#include <cstdint>

#include "tool/metrics/prometheus_text.hpp"
#include "tool/record/rtt_stream.hpp"

// Upper bounds ("le") in seconds, 50 microseconds to 10 seconds.
constexpr double rtt_bucket_bounds[] = {50e-6, 100e-6, 250e-6, 500e-6, 1e-3, 2.5e-3, 5e-3, 10e-3, 25e-3,
                                        50e-3, 100e-3, 250e-3, 500e-3, 1.0,  2.5,    5.0,  10.0};
constexpr int rtt_bucket_count = static_cast<int>(sizeof rtt_bucket_bounds / sizeof rtt_bucket_bounds[0]);

struct rtt_buckets {
    uint64_t cumulative[rtt_bucket_count];  // values at most rtt_bucket_bounds[i]
    uint64_t count;                         // every value
    double sum;                             // seconds, every value
};

// Gathers the stream's buckets at the bounds.  A stream bucket counts toward
// a bound only when it lies wholly at or below it; the one bucket that
// straddles a bound counts toward the next, so each cumulative count is a
// true lower bound, short by at most the values within one bucket (about
// 2.2 % of the bound) below it.
void rtt_buckets_from_stream(const rtt_stream* stream, rtt_buckets* out);

// The buckets as the text writer takes them; valid while `buckets` lives.
prom_buckets rtt_buckets_view(const rtt_buckets* buckets);
