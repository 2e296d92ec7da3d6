// Statistics of a sender run and their text block.
#include "tool/report/statistics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// Nearest rank: the smallest value with at least `percent` % of all values
// at or below it.
double percentile(const double* sorted, int count, int percent) {
    int rank = (count * percent + 99) / 100;
    if (rank < 1) rank = 1;
    return sorted[rank - 1];
}

void compute_rtt(const probe_facts* facts, rtt_figures* rtt, double* sorted_rtts) {
    std::memset(rtt, 0, sizeof *rtt);
    double sum = 0.0;
    double differences = 0.0;
    double previous = 0.0;
    for (int i = 0; i < facts->count; i++) {
        if (facts->kind[i] == reply_never) continue;
        double value = facts->rtt[i];
        if (rtt->count > 0) {
            differences += std::fabs(value - previous);
            rtt->jitter_pairs += 1;
        }
        previous = value;
        sorted_rtts[rtt->count++] = value;
        sum += value;
    }
    if (rtt->count == 0) return;

    std::sort(sorted_rtts, sorted_rtts + rtt->count);
    int n = rtt->count;
    rtt->min = sorted_rtts[0];
    rtt->max = sorted_rtts[n - 1];
    rtt->mean = sum / n;
    rtt->median = n % 2 == 1 ? sorted_rtts[n / 2] : (sorted_rtts[n / 2 - 1] + sorted_rtts[n / 2]) / 2.0;
    double squares = 0.0;
    for (int k = 0; k < n; k++) squares += (sorted_rtts[k] - rtt->mean) * (sorted_rtts[k] - rtt->mean);
    rtt->stddev = std::sqrt(squares / n);
    rtt->p90 = percentile(sorted_rtts, n, 90);
    rtt->p99 = percentile(sorted_rtts, n, 99);
    if (rtt->jitter_pairs > 0) rtt->jitter = differences / rtt->jitter_pairs;

    rtt->bin_low = rtt->min;
    rtt->bin_width = (rtt->max - rtt->min) / histogram_bins;
    for (int k = 0; k < n; k++) {
        int bin = 0;
        if (rtt->bin_width > 0.0) {
            bin = static_cast<int>((sorted_rtts[k] - rtt->min) / rtt->bin_width);
            // The maximum closes the last bin.
            bin = std::clamp(bin, 0, histogram_bins - 1);
        }
        rtt->bins[bin] += 1;
    }
}

// The round-trip lines both forms of the block share.  `streamed`: the
// figures come from the fixed buckets of a long run.
struct rtt_lines {
    int64_t count;
    double min, mean, median, max, stddev, p90, p99;
    int64_t jitter_pairs;
    double jitter;
    bool streamed;
};

// Prints the lines; false when there was no round trip (only the count).
bool print_rtt_lines(const rtt_lines* rtt, std::FILE* out) {
    std::fprintf(out, "stats(): rtt count=%lld\n", static_cast<long long>(rtt->count));
    if (rtt->count == 0) return false;
    std::fprintf(out, "stats(): rtt min=%.9f mean=%.9f median=%.9f max=%.9f [s]\n", rtt->min, rtt->mean, rtt->median,
                 rtt->max);
    std::fprintf(out, "stats(): rtt stddev=%.9f p90=%.9f p99=%.9f [s]%s\n", rtt->stddev, rtt->p90, rtt->p99,
                 rtt->streamed ? " (percentiles within 1.1 %)" : "");
    if (rtt->jitter_pairs > 0) {
        std::fprintf(out, "stats(): jitter=%.9f [s] over %lld pairs\n", rtt->jitter,
                     static_cast<long long>(rtt->jitter_pairs));
    } else if (!rtt->streamed) {
        std::fputs("stats(): jitter=- (one round trip)\n", out);
    }
    return true;
}

// The block of a long run: every probe counted, the round trips from the
// run's streaming figures.
void print_whole_run(const long_run* run, std::FILE* out) {
    std::fprintf(out, "stats(): cycles=%lld sent=%lld received=%lld loss=%.3f[%%] (every probe; the table keeps %d)\n",
                 static_cast<long long>(run->cycles), static_cast<long long>(run->sent),
                 static_cast<long long>(run->received), loss_percent(run->sent, run->received), echomark_slots);
    const rtt_stream& rtt = run->total;
    double jitter = rtt.jitter_pairs > 0 ? rtt.jitter_sum / static_cast<double>(rtt.jitter_pairs) : 0.0;
    rtt_lines lines = {rtt.count,
                       rtt.min,
                       rtt.mean,
                       rtt_stream_percentile(&rtt, 50),
                       rtt.max,
                       rtt_stream_stddev(&rtt),
                       rtt_stream_percentile(&rtt, 90),
                       rtt_stream_percentile(&rtt, 99),
                       rtt.jitter_pairs,
                       jitter,
                       true};
    print_rtt_lines(&lines, out);
}

}  // namespace

void statistics_compute(const probe_facts* facts, run_statistics* out, statistics_scratch* scratch) {
    std::memset(out, 0, sizeof *out);
    out->probes = facts->count;
    out->duplicates = facts->duplicates;
    out->foreign = facts->foreign;
    for (int i = 0; i < facts->count; i++) {
        if (facts->sent[i] == 0) continue;
        out->sent += 1;
        switch (facts->kind[i]) {
            case reply_own: out->own += 1; break;
            case reply_late: out->late_cycle += 1; break;
            case reply_drain: out->late_drain += 1; break;
            default: out->never += 1; break;
        }
    }
    out->late = out->late_cycle + out->late_drain;
    compute_rtt(facts, &out->rtt, scratch->sorted);
}

void statistics_print(const run_statistics* stats, const long_run* whole, std::FILE* out) {
    if (whole != nullptr && whole->active) {
        print_whole_run(whole, out);
        return;
    }
    const rtt_figures& rtt = stats->rtt;
    std::fprintf(out, "stats(): probes=%d sent=%d own=%d late=%d (cycle=%d drain=%d) never=%d\n", stats->probes,
                 stats->sent, stats->own, stats->late, stats->late_cycle, stats->late_drain, stats->never);
    std::fprintf(out, "stats(): duplicates=%d foreign=%d\n", stats->duplicates, stats->foreign);
    rtt_lines lines = {rtt.count, rtt.min, rtt.mean,         rtt.median, rtt.max, rtt.stddev,
                       rtt.p90,   rtt.p99, rtt.jitter_pairs, rtt.jitter, false};
    if (!print_rtt_lines(&lines, out)) return;
    int used = rtt.bin_width > 0.0 ? histogram_bins : 1;
    int tallest = *std::max_element(rtt.bins, rtt.bins + used);
    for (int b = 0; b < used; b++) {
        double low = rtt.bin_low + b * rtt.bin_width;
        double high = b == used - 1 ? rtt.max : rtt.bin_low + (b + 1) * rtt.bin_width;
        int bar = tallest > 0 ? (rtt.bins[b] * histogram_bar_width + tallest - 1) / tallest : 0;
        char bar_text[histogram_bar_width + 1];
        std::memset(bar_text, ' ', histogram_bar_width);
        std::memset(bar_text, '#', static_cast<std::size_t>(bar));
        bar_text[histogram_bar_width] = '\0';
        std::fprintf(out, "stats(): hist %.9f-%.9f |%s| %d\n", low, high, bar_text, rtt.bins[b]);
    }
}
