// Round-trip figures of a run of any length in fixed memory: count, extremes,
// mean and spread kept as each value arrives, and a histogram of fixed
// logarithmic buckets for the median and the percentiles.
#pragma once

#include <cstdint>

// Buckets: 32 per doubling from 100 ns up, 34 doublings (to about 1700 s);
// a percentile is off by at most half a bucket, about 1.1 %.
constexpr double rtt_stream_base = 1e-7;
constexpr int rtt_stream_per_doubling = 32;
constexpr int rtt_stream_buckets = 34 * rtt_stream_per_doubling;

struct rtt_stream {
    int64_t count;
    double min, max;
    double mean, m2;    // running mean and sum of squared deviations
    double previous;    // the latest value, for the jitter
    double jitter_sum;  // sum of absolute differences of consecutive values
    int64_t jitter_pairs;
    uint64_t buckets[rtt_stream_buckets];  // values below the base go to the first, above the top to the last
};

void rtt_stream_reset(rtt_stream* stream);
void rtt_stream_add(rtt_stream* stream, double seconds);
// Nearest-rank percentile (0 < percent <= 100) from the buckets: the middle
// of the bucket holding that rank, held within min and max (the first and
// the last bucket, open-ended, give min and max).  0 when empty.
double rtt_stream_percentile(const rtt_stream* stream, double percent);
// Population standard deviation; 0 when empty.
double rtt_stream_stddev(const rtt_stream* stream);
