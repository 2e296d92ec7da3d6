// Limits on round trips and delay variation.
#include "tool/report/fail_checks.hpp"

#include <cmath>

void fail_rtt_from_sorted(const fail_limits* limits, const double* sorted, int count, double median,
                          judged_figures* out) {
    out->rtt_present = count > 0;
    if (count <= 0) return;
    switch (limits->rtt_figure) {
        case fail_rtt_median: out->rtt = median; break;
        case fail_rtt_max: out->rtt = sorted[count - 1]; break;
        default: {
            double wanted = std::ceil(static_cast<double>(count) * limits->rtt_percent / 100.0);
            int rank = wanted < 1.0 ? 1 : static_cast<int>(wanted);
            out->rtt = sorted[(rank < count ? rank : count) - 1];
        }
    }
}

void fail_rtt_from_stream(const fail_limits* limits, const rtt_stream* stream, judged_figures* out) {
    out->rtt_present = stream->count > 0;
    if (stream->count == 0) return;
    switch (limits->rtt_figure) {
        case fail_rtt_median: out->rtt = rtt_stream_percentile(stream, 50); break;
        case fail_rtt_max: out->rtt = stream->max; break;
        default: out->rtt = rtt_stream_percentile(stream, limits->rtt_percent);
    }
}

bool fail_limits_passed(const fail_limits* limits, const judged_figures* figures) {
    if (limits->rtt_given && (!figures->rtt_present || figures->rtt > limits->rtt_seconds)) return false;
    if (limits->jitter_given && (!figures->jitter_present || figures->jitter > limits->jitter_seconds)) return false;
    return true;
}
