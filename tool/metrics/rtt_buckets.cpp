// The fixed bounds of the exported round-trip histogram over the stream's
// finer logarithmic buckets.
#include "tool/metrics/rtt_buckets.hpp"

#include <cmath>

namespace {

// Stream buckets lying wholly at or below `bound`: bucket i ends at
// base * 2^((i + 1) / per_doubling).  The last, open-ended bucket never does.
int buckets_below(double bound) {
    double edges = std::floor(std::log2(bound / rtt_stream_base) * rtt_stream_per_doubling);
    if (edges < 0) return 0;
    if (edges > rtt_stream_buckets - 1) return rtt_stream_buckets - 1;
    return static_cast<int>(edges);
}

}  // namespace

void rtt_buckets_from_stream(const rtt_stream* stream, rtt_buckets* out) {
    int bucket = 0;
    uint64_t below = 0;
    for (int i = 0; i < rtt_bucket_count; i++) {
        for (int end = buckets_below(rtt_bucket_bounds[i]); bucket < end; bucket++) below += stream->buckets[bucket];
        out->cumulative[i] = below;
    }
    out->count = stream->count > 0 ? static_cast<uint64_t>(stream->count) : 0;
    out->sum = stream->count > 0 ? stream->mean * static_cast<double>(stream->count) : 0.0;
}

prom_buckets rtt_buckets_view(const rtt_buckets* buckets) {
    return {rtt_bucket_bounds, buckets->cumulative, rtt_bucket_count, buckets->count, buckets->sum};
}
