// A flow that stands apart from the other flows of its target.
#include "tool/report/flow_apart.hpp"

#include <algorithm>
#include <cmath>

flow_apart flow_apart_judge(const run_targets* targets, int t, int j) {
    flow_apart out = {};
    const int flows = targets->flows;
    const run_flow* first = &targets->flow[t * flows];
    const schedule_figures& own = first[j].record.figures;
    const int64_t own_judged = own.answered + own.lost;
    out.loss_percent = schedule_figures_loss_percent(&own);
    out.median = own.rtt.count > 0 ? rtt_stream_percentile(&own.rtt, 50) : 0.0;
    if (flows < 2) return out;

    int64_t others_lost = 0;
    int64_t others_judged = 0;
    int64_t others_answered = 0;
    double medians[run_flows_per_target_max];
    int median_count = 0;
    for (int k = 0; k < flows; k++) {
        if (k == j) continue;
        const schedule_figures& other = first[k].record.figures;
        others_lost += other.lost;
        others_judged += other.answered + other.lost;
        others_answered += other.answered;
        if (other.rtt.count > 0) medians[median_count++] = rtt_stream_percentile(&other.rtt, 50);
    }
    if (others_judged > 0) {
        out.others_loss_percent = static_cast<double>(others_lost) * 100.0 / static_cast<double>(others_judged);
    }
    if (median_count > 0) {
        std::sort(medians, medians + median_count);
        out.others_median = median_count % 2 == 1
                                ? medians[median_count / 2]
                                : (medians[median_count / 2 - 1] + medians[median_count / 2]) / 2.0;
    }

    if (own_judged >= apart_least_probes && others_judged >= apart_least_probes) {
        const double p = out.others_loss_percent / 100.0;
        const double error_points = 100.0 * std::sqrt(p * (1.0 - p) / static_cast<double>(own_judged));
        const double above = out.loss_percent - out.others_loss_percent;
        out.loss = above >= apart_loss_points && above >= apart_loss_errors * error_points;
    }
    if (own.answered >= apart_least_probes && others_answered >= apart_least_probes && median_count > 0) {
        out.delay = out.median >= apart_delay_factor * out.others_median &&
                    out.median - out.others_median >= apart_delay_least;
    }
    return out;
}
