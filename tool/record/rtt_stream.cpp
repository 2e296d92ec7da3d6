// Streaming round-trip figures.  A run may last hours; nothing here grows
// with it.
#include "tool/record/rtt_stream.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

int bucket_of(double seconds) {
    if (!(seconds > rtt_stream_base)) return 0;
    double place = std::log2(seconds / rtt_stream_base) * rtt_stream_per_doubling;
    if (place >= rtt_stream_buckets - 1) return rtt_stream_buckets - 1;
    return static_cast<int>(place);
}

// The geometric middle of a bucket.
double bucket_middle(int bucket) { return rtt_stream_base * std::exp2((bucket + 0.5) / rtt_stream_per_doubling); }

}  // namespace

void rtt_stream_reset(rtt_stream* stream) { std::memset(stream, 0, sizeof *stream); }

void rtt_stream_add(rtt_stream* stream, double seconds) {
    if (stream->count == 0) {
        stream->min = seconds;
        stream->max = seconds;
    } else {
        stream->min = std::min(stream->min, seconds);
        stream->max = std::max(stream->max, seconds);
        stream->jitter_sum += std::fabs(seconds - stream->previous);
        stream->jitter_pairs += 1;
    }
    stream->previous = seconds;
    stream->count += 1;
    // Welford's update: no sum of squares that loses its precision over a long run.
    double delta = seconds - stream->mean;
    stream->mean += delta / static_cast<double>(stream->count);
    stream->m2 += delta * (seconds - stream->mean);
    stream->buckets[bucket_of(seconds)] += 1;
}

double rtt_stream_percentile(const rtt_stream* stream, double percent) {
    if (stream->count == 0) return 0.0;
    double wanted = std::ceil(static_cast<double>(stream->count) * percent / 100.0);
    uint64_t rank = wanted < 1.0 ? 1 : static_cast<uint64_t>(wanted);
    uint64_t seen = 0;
    int bucket = 0;
    for (; bucket < rtt_stream_buckets - 1; bucket++) {
        seen += stream->buckets[bucket];
        if (seen >= rank) break;
    }
    // The end buckets are open: what is known of their values is min and max.
    if (bucket == 0) return stream->min;
    if (bucket == rtt_stream_buckets - 1) return stream->max;
    return std::clamp(bucket_middle(bucket), stream->min, stream->max);
}

double rtt_stream_stddev(const rtt_stream* stream) {
    if (stream->count == 0) return 0.0;
    return std::sqrt(stream->m2 / static_cast<double>(stream->count));
}
